#!/usr/bin/env bash
# The cost of a big folder: FILES small MOS files converted with --all in a
# folder that also holds OTHERS unrelated files, against the same FILES in a
# folder of their own. Each run lists the folder once (for temporaries left
# by killed runs, and to learn whether the folder folds case), not once an
# output, so the two should be close. Median of RUNS, alternating.
#   bash bench/sweep.sh [FILES] [OTHERS] [RUNS]   (defaults: 1000 19000 5)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-1000}
others=${2:-19000}
runs=${3:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos >/dev/null
exe=$(pwd)/build/quiltpix
work=$(mktemp -d "${TMPDIR:-/tmp}/quiltpix-sweep.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/alone" "$work/crowded"
build/mkmos noise 64 64 "$work/one.mos" 1 >/dev/null
for ((i = 0; i < files; i++)); do
  cp "$work/one.mos" "$work/alone/p$i.mos"
  cp "$work/one.mos" "$work/crowded/p$i.mos"
done
for ((i = 0; i < others; i++)); do : >"$work/crowded/other$i.txt"; done
elapsed() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
alone=() crowded=()
for ((r = 0; r < runs; r++)); do
  for where in alone crowded; do
    rm -f "$work/$where"/*.bmp "$work/$where/.quiltpix-record"
    start=$(date +%s.%N)
    (cd "$work/$where" && "$exe" --all -q ./p*.mos)
    if [ "$where" = alone ]; then alone+=("$(elapsed "$start")"); else crowded+=("$(elapsed "$start")"); fi
  done
done
echo "$files files, median of $runs: in a folder of their own $(printf '%s\n' "${alone[@]}" | median) s;" \
  "beside $others others $(printf '%s\n' "${crowded[@]}" | median) s"

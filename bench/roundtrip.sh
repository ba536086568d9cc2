#!/usr/bin/env bash
# The round trip of an archive: FILES MOS files extracted to bitmaps, EDITED
# of them edited, then put back with one command. Counts the MOS files
# rewritten (by inode and time) and the lines printed, and times --all
# against a shell loop of single runs, on copies of the same folder,
# alternating, median of RUNS.
#   bash bench/roundtrip.sh [FILES] [EDITED] [SIZE] [RUNS]   (defaults: 200 4 512 5)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-200}
edited=${2:-4}
size=${3:-512}
runs=${4:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos >/dev/null
exe=$(pwd)/build/quiltpix
mkmos=$(pwd)/build/mkmos
work=$(mktemp -d "${TMPDIR:-/tmp}/quiltpix-roundtrip.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir "$work/archive"
for ((i = 0; i < files; i++)); do
  "$mkmos" noise "$size" "$size" "$(printf '%s/archive/PIC%03d.MOS' "$work" "$i")" "$((i + 1))" >/dev/null
done
(cd "$work/archive" && "$exe" --all -q ./*.MOS)
# An edit: another picture of the same size, saved over the bitmap.
for ((i = 0; i < edited; i++)); do
  "$mkmos" noise "$size" "$size" "$work/other.mos" "$((1000 + i))" >/dev/null
  "$exe" -q --force -o "$(printf '%s/archive/PIC%03d.bmp' "$work" "$((i * files / edited))")" "$work/other.mos"
done
rm -f "$work/other.mos"

stamps() { stat -c '%n %i %Y.%y' "$1"/*.MOS; }
elapsed() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
all_times=() loop_times=()
for ((r = 0; r < runs; r++)); do
  for way in all loop; do
    rm -rf "$work/copy" && cp -a "$work/archive" "$work/copy"
    before=$(stamps "$work/copy")
    start=$(date +%s.%N)
    if [ "$way" = all ]; then
      (cd "$work/copy" && "$exe" --all ./*.bmp >"$work/lines" || true)
      all_times+=("$(elapsed "$start")")
    else
      (cd "$work/copy" && for f in ./*.bmp; do "$exe" -q "$f" || true; done)
      loop_times+=("$(elapsed "$start")")
    fi
    rewritten=$(diff <(echo "$before") <(stamps "$work/copy") | grep -c '^>' || true)
    [ "$r" = 0 ] && echo "$way: $rewritten of $files MOS files rewritten"
  done
done
echo "lines printed by --all: $(wc -l <"$work/lines") (last: $(tail -n 1 "$work/lines"))"
echo "put back, median of $runs: --all $(printf '%s\n' "${all_times[@]}" | median) s; a shell loop of single runs $(printf '%s\n' "${loop_times[@]}" | median) s"

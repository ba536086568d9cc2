#!/usr/bin/env bash
# Two builds of the program, paired: MOS to BMP and BMP back to MOS on one
# picture, the two programs alternating, RUNS times each; medians. For
# "did this change slow the program": build the other in a worktree.
#   bash bench/paired.sh OLD_PROGRAM NEW_PROGRAM [SIZE] [RUNS] [FOLDER]
#       (defaults: 4096 15 /dev/shm)
set -euo pipefail
cd "$(dirname "$0")/.."
old=$(realpath "$1") new=$(realpath "$2")
size=${3:-4096} runs=${4:-15} folder=${5:-/dev/shm}
cmake --build build --target mkmos >/dev/null
work=$(mktemp -d "$folder/quiltpix-paired.XXXXXX")
trap 'rm -rf "$work"' EXIT
build/mkmos noise "$size" "$size" "$work/pic.mos" 1 >/dev/null
"$new" -q -o "$work/pic.bmp" "$work/pic.mos"
elapsed() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f\n", 1000 * (e - s) }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A times
for ((r = 0; r < runs; r++)); do
  for which in old new; do
    program=${!which}
    rm -f "$work/out.bmp" "$work/out.mos"
    start=$(date +%s.%N); "$program" -q -o "$work/out.bmp" "$work/pic.mos"; times[$which-forward]+="$(elapsed "$start") "
    start=$(date +%s.%N); "$program" -q --fresh -o "$work/out.mos" "$work/pic.bmp"; times[$which-back]+="$(elapsed "$start") "
  done
done
for way in forward back; do
  o=$(tr ' ' '\n' <<<"${times[old-$way]}" | grep . | median)
  n=$(tr ' ' '\n' <<<"${times[new-$way]}" | grep . | median)
  printf '%-8s old %7.1f ms   new %7.1f ms   new/old %.2f\n' "$way" "$o" "$n" "$(awk -v a="$n" -v b="$o" 'BEGIN { print a / b }')"
done

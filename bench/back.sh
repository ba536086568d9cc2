#!/usr/bin/env bash
# The way back, bitmap to MOS, measured:
#  1. the exact path (every tile within 256 colours: bitmaps of MOS pictures)
#     in megapixels per second, for 8192x8192, 32767x64 and 64x32767;
#  2. the quantised path (photo-like bitmaps, every tile over 256 colours) in
#     seconds per megapixel, for 2048x2048 and 8192x8192;
#  each the median of RUNS runs (default 5) with the peak resident memory
#  beside the goal of 16 MiB + 400 bytes per pixel of width; then
#  3. the quantiser's quality on the quality set (bench_quality).
# Usage: bash bench/back.sh [--runs N] [--dir DIR]   (DIR: default /dev/shm if it has room)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5
dir=
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    *) echo "usage: bash bench/back.sh [--runs N] [--dir DIR]"; exit 2 ;;
  esac
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos bench_measure bench_quality >/dev/null
if [ -z "$dir" ]; then
  dir=/dev/shm
  [ "$(df --output=avail -k /dev/shm | tail -n 1)" -gt $((2 * 1024 * 1024)) ] || dir=build
fi
work=$(mktemp -d "$dir/quiltpix-back.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "the way back, in $work ($(stat -f -c %T "$work")), median of $runs runs"

# Runs the program on a bitmap RUNS times; prints the median seconds and the
# largest peak in KiB.
measure() {
  local times=() peak=0 t k
  for _ in $(seq "$runs"); do
    rm -f "$work/out.mos" # a fresh output each run, not one compared with the last
    read -r t k < <(build/bench/bench_measure build/quiltpix -q -o "$work/out.mos" "$1")
    times+=("$t")
    [ "$k" -gt "$peak" ] && peak=$k
  done
  printf '%s\n' "${times[@]}" | sort -g | awk -v p="$peak" '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)], p }'
}

line() { # LABEL W H KIND
  local label=$1 w=$2 h=$3 kind=$4 secs peak
  read -r secs peak < <(measure "$work/in.bmp")
  awk -v l="$label" -v w="$w" -v h="$h" -v s="$secs" -v p="$peak" -v k="$kind" 'BEGIN {
    mp = w * h / 1e6; limit = 16 * 1024 + 400 * w / 1024
    if (k == "exact") rate = sprintf("%7.1f MP/s", mp / s); else rate = sprintf("%7.3f s/MP", s / mp)
    printf "%-10s %-12s %8.3f s %s   peak %7d KiB (goal %d KiB)%s\n", k, l, s, rate, p, limit, (p > limit ? "  OVER" : "")
  }'
}

for size in 8192x8192 32767x64 64x32767; do
  w=${size%x*} h=${size#*x}
  build/mkmos noise "$w" "$h" "$work/in.mos" 3
  (cd "$work" && "$OLDPWD/build/quiltpix" -q -o in.bmp in.mos)
  rm -f "$work/in.mos"
  line "$size" "$w" "$h" exact
done
for size in 2048x2048 8192x8192; do
  w=${size%x*} h=${size#*x}
  build/mkmos photo "$w" "$h" "$work/in.bmp" 5
  line "$size" "$w" "$h" quantised
done
echo
build/bench/bench_quality

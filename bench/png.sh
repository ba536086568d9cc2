#!/usr/bin/env bash
# PNG, measured:
#  1. MOS to PNG on photo-like and MOS-like pictures (SIZE x SIZE): megapixels
#     a second and the size beside the 24-bit bitmap's, fast and --small,
#     paired and alternated with ImageMagick and Pillow (levels 6 and 1)
#     writing PNG from the same pictures' bitmaps;
#  2. peak memory of MOS to PNG for 32767 x 64, 64 x 32767 and 8192 x 8192;
#  3. PNG to MOS on the MOS-like picture, whose tiles are all exact.
# Each time the median of RUNS runs (default 5), wall clock; the tools are
# timed the same way, as commands.
# Usage: bash bench/png.sh [--runs N] [--size N] [--dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5 size=4096 dir=
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    *) echo "usage: bash bench/png.sh [--runs N] [--size N] [--dir DIR]"; exit 2 ;;
  esac
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos bench_measure >/dev/null
if [ -z "$dir" ]; then
  dir=/dev/shm
  [ "$(df --output=avail -k /dev/shm | tail -n 1)" -gt $((2 * 1024 * 1024)) ] || dir=build
fi
work=$(mktemp -d "$dir/quiltpix-png.XXXXXX")
trap 'rm -rf "$work"' EXIT
q=$(pwd)/build/quiltpix
measure=$(pwd)/build/bench/bench_measure
cd "$work"
echo "PNG in $work ($(stat -f -c %T .)), ${size}x${size}, median of $runs runs"

median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# Times a command RUNS times, removing OUT before each; prints the median
# seconds and the largest peak in KiB.
timed() { # OUT COMMAND...
  local out=$1 t k peak=0 times=()
  shift
  for _ in $(seq "$runs"); do
    rm -f "$out"
    read -r t k < <("$measure" "$@")
    times+=("$t")
    [ "$k" -gt "$peak" ] && peak=$k
  done
  echo "$(printf '%s\n' "${times[@]}" | median) $peak"
}

# The pictures: photo-like (every tile quantised once, then exact MOS), and
# MOS-like (random palettes and indices).
"$(dirname "$q")/mkmos" photo "$size" "$size" photo.bmp 5 >/dev/null
"$q" -q photo.bmp && rm photo.bmp && "$q" -q photo.mos
"$(dirname "$q")/mkmos" noise "$size" "$size" mos-like.mos 3 >/dev/null
"$q" -q mos-like.mos
mp=$(awk -v s="$size" 'BEGIN { print s * s / 1e6 }')
printf '%-9s %-22s %9s %9s %13s\n' picture writer seconds "MP/s" "size / BMP"
for picture in photo mos-like; do
  bmp=$(stat -c %s "$picture.bmp")
  # Alternated: each writer's run after the others'.
  for writer in quiltpix quiltpix-small imagemagick pillow-6 pillow-1; do
    case $writer in
      quiltpix) read -r s _ < <(timed out.png "$q" -q -o out.png "$picture.mos") ;;
      quiltpix-small) read -r s _ < <(timed out.png "$q" -q --small -o out.png "$picture.mos") ;;
      imagemagick) read -r s _ < <(timed out.png /usr/bin/convert "$picture.bmp" out.png) ;;
      pillow-6) read -r s _ < <(timed out.png /usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2], compress_level=6)' "$picture.bmp" out.png) ;;
      pillow-1) read -r s _ < <(timed out.png /usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2], compress_level=1)' "$picture.bmp" out.png) ;;
    esac
    case $writer in
      quiltpix) "$q" -q -o out.png "$picture.mos" ;;
      quiltpix-small) rm -f out.png && "$q" -q --small -o out.png "$picture.mos" ;;
    esac
    awk -v p="$picture" -v w="$writer" -v s="$s" -v mp="$mp" -v png="$(stat -c %s out.png)" -v bmp="$bmp" \
      'BEGIN { printf "%-9s %-22s %9.3f %9.1f %13.3f\n", p, w, s, mp / s, png / bmp }'
  done
done

echo
echo "peak memory of MOS to PNG (the bitmap's goal: flat in height, 20 MiB at 32767 wide)"
for dims in 32767x64 64x32767 8192x8192; do
  w=${dims%x*} h=${dims#*x}
  "$(dirname "$q")/mkmos" noise "$w" "$h" in.mos 4 >/dev/null
  read -r s k < <(timed in.png "$q" -q -o in.png in.mos)
  printf '%-10s %8.3f s  peak %6d KiB\n' "$dims" "$s" "$k"
done

echo
"$q" -q --png mos-like.mos
read -r s k < <(timed back.mos "$q" -q --fresh -o back.mos mos-like.png)
awk -v s="$s" -v mp="$mp" -v k="$k" 'BEGIN { printf "PNG to MOS, exact tiles: %.3f s, %.1f MP/s, peak %d KiB\n", s, mp / s, k }'

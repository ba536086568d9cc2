#!/usr/bin/env bash
# A folder of many small files: --all against a shell loop and xargs -P2,
# in turn, three rounds, median wall times.
# Usage: bash bench/many.sh [COUNT] [WxH]   (default 1000 files of 640x480)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-1000}
size=${2:-640x480}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos >/dev/null
dir=/dev/shm
[ "$(df --output=avail -k /dev/shm | tail -n 1)" -gt $((2 * 1024 * 1024)) ] || dir=build
work=$(mktemp -d "$dir/quiltpix-many.XXXXXX")
trap 'rm -rf "$work"' EXIT
q=$(pwd)/build/quiltpix
build/mkmos noise "${size%x*}" "${size#*x}" "$work/one.mos" 1
for i in $(seq -w 1 "$count"); do cp "$work/one.mos" "$work/f$i.mos"; done
rm "$work/one.mos"
cd "$work"
time_of() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s%N); echo $(((e - s) / 1000000)); }
declare -A ms
for round in 1 2 3; do
  rm -rf out && mkdir out
  ms[all]+="$(time_of "$q" --all -q -o out/ ./*.mos) "
  rm -rf out && mkdir out
  ms[loop]+="$(time_of bash -c 'for f in *.mos; do "$0" -q -o out/ "$f"; done' "$q") "
  rm -rf out && mkdir out
  ms[xargs]+="$(time_of bash -c 'printf "%s\0" *.mos | xargs -0 -n1 -P2 "$0" -q -o out/' "$q") "
done
echo "$count files of $size in $work ($(stat -f -c %T "$work")), median of 3 rounds:"
for k in all loop xargs; do
  printf '%-6s %6d ms\n' "$k" "$(echo ${ms[$k]} | tr ' ' '\n' | sort -n | sed -n 2p)"
done

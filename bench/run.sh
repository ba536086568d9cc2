#!/usr/bin/env bash
# The benchmark: a Release build, then
#  1. wall time against the I/O floor and peak memory, for the sizes given
#     (default 64x64 4096x4096 16384x16384 32767x64 64x32767), and
#  2. user-space instructions per pixel for the whole process on 2048x2048,
#     counted by callgrind: the figure that does not drift with the machine.
# Usage: bash bench/run.sh [--runs N] [--dir DIR] [WxH ...]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix quiltpix_bench bench_iofloor bench_measure mkmos >/dev/null

grep -m1 'model name' /proc/cpuinfo || true
build/bench/quiltpix_bench build/bench/bench_measure build/quiltpix build/bench/bench_iofloor "$@"

echo
if command -v valgrind >/dev/null; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  build/mkmos noise 2048 2048 "$work/p.mos"
  refs=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null build/quiltpix "$work/p.mos" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p')
  awk -v r="$refs" 'BEGIN { printf "2048x2048 under callgrind: %d instructions, %.2f per pixel\n", r, r / (2048 * 2048) }'
else
  echo "valgrind not found: no instruction count"
fi

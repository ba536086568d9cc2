#!/usr/bin/env bash
# The benchmark: a Release build, then
#  1. wall time against the I/O floor and peak memory, for the sizes given,
#     of the program with the kernel it chooses and with the scalar kernel
#     (default 64x64 4096x4096 16384x16384 32767x64 64x32767), and
#  1b. the same for 8192x8192 on a disk-backed folder (the build folder), where
#     writeback and syncs cost what they cost users, and
#  2. user-space instructions per pixel for the whole process on 2048x2048,
#     counted by callgrind: the figure that does not drift with the machine.
# Usage: bash bench/run.sh [--runs N] [--dir DIR] [WxH ...]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix quiltpix_scalar quiltpix_bench bench_iofloor bench_measure mkmos >/dev/null

grep -m1 'model name' /proc/cpuinfo || true
grep -m1 -o 'avx512vbmi' /proc/cpuinfo >/dev/null && echo "the processor has AVX-512 VBMI: 'chosen' runs its kernel" ||
  echo "no AVX-512 VBMI here: 'chosen' runs the scalar kernel too"
# QUILTPIX_BENCH_EXTRA=LABEL=PATH adds another build to compare with.
build/bench/quiltpix_bench build/bench/bench_measure build/bench/bench_iofloor \
  chosen=build/quiltpix scalar=build/bench/quiltpix_scalar ${QUILTPIX_BENCH_EXTRA:-} "$@"

# The same on a disk-backed folder, where a cost that tmpfs hides (a sync,
# say) shows: the build folder, unless it is on tmpfs too.
disk=build/bench-disk
mkdir -p "$disk"
if [ "$(stat -f -c %T "$disk")" != tmpfs ]; then
  echo
  echo "on a disk-backed folder ($(df --output=source "$disk" | tail -n 1)):"
  build/bench/quiltpix_bench build/bench/bench_measure build/bench/bench_iofloor \
    chosen=build/quiltpix ${QUILTPIX_BENCH_EXTRA:-} --dir "$disk" 8192x8192
else
  echo "the build folder is on tmpfs: no disk-backed line"
fi
rmdir "$disk" 2>/dev/null || true

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

echo
bash bench/back.sh

#!/usr/bin/env bash
# Builds and runs every test: a Release build with g++, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and, where clang is
# installed, the tests again under clang's sanitizers with the fuzz corpus
# replayed and a bounded fuzzing run (QUILTPIX_FUZZ_SECONDS, default 60);
# then the bitmaps and PNGs checked in two independent readers and PngSuite
# (scripts/crosscheck.sh); last, the builds for Windows, i686, s390x, aarch64,
# a scalar-only build and one without zlib, tested under wine and qemu-user
# (scripts/cross.sh; QUILTPIX_CROSS=0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

step() { printf '\n== %s\n' "$*"; }

step "Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUILTPIX_REQUIRE_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer build (g++)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ -DQUILTPIX_SANITIZE=ON -DQUILTPIX_REQUIRE_TESTS=ON
cmake --build build-asan -j"$jobs"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build-asan --output-on-failure -j"$jobs"

if command -v clang++ >/dev/null; then
  step "clang sanitizers, corpus replay and ${QUILTPIX_FUZZ_SECONDS:-60} s of fuzzing"
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DQUILTPIX_FUZZ=ON -DQUILTPIX_REQUIRE_TESTS=ON -DQUILTPIX_FUZZ_SECONDS="${QUILTPIX_FUZZ_SECONDS:-60}"
  cmake --build build-fuzz -j"$jobs"
  # The fuzz test waits for the replay and runs alone, so it gets a whole core.
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build-fuzz --output-on-failure -j"$jobs"
else
  step "clang++ not found: no clang sanitizer build and no fuzzing"
fi

step "Bitmaps and PNGs in independent readers (ImageMagick, Pillow) and PngSuite"
bash scripts/crosscheck.sh

if [ "${QUILTPIX_CROSS:-1}" != 0 ]; then
  step "Other systems: Windows under wine; i686, s390x, aarch64 under qemu-user; no vector kernels; no zlib"
  bash scripts/cross.sh
else
  step "QUILTPIX_CROSS=0: no builds for other systems"
fi

#!/usr/bin/env bash
# Builds and runs every test: a Release build with g++, its Python package
# tested with pytest (in the build tree, and installed by pip into a fresh
# environment), libquiltpix installed and used by the C example through
# pkg-config and find_package (scripts/consumer.sh); the same tests under
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

# Debian's Python, which has numpy, Pillow, pybind11 and pytest.
python=${PYTHON:-/usr/bin/python3}
[ -x "$python" ] || python=python3

step "Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUILTPIX_REQUIRE_TESTS=ON -DPython_EXECUTABLE="$python"
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

step "Python package: pytest on the build tree's package"
PYTHONPATH=build/python QUILTPIX_EXE=build/quiltpix "$python" -m pytest -q -p no:cacheprovider python/tests

step "Python package: pip install --no-build-isolation ./python into a fresh environment, and pytest on it"
venv=$(mktemp -d)
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-build-isolation --no-index ./python
# From another folder, so that the installed package is the one imported.
root=$(pwd)
(cd "$venv" && QUILTPIX_EXE="$root/build/quiltpix" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests")
rm -rf "$venv"

step "libquiltpix installed: the C example through pkg-config and find_package"
PYTHON=$python bash scripts/consumer.sh build

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

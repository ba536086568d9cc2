#!/usr/bin/env bash
# Builds the program and its tests for the other systems it runs on, runs the
# tests there through an emulator, and converts two large pictures with each
# build, comparing the bitmaps byte for byte with this machine's native build:
# one whose bitmap is over 2 GiB (32767 x 32767: 3.2 GB) and one whose tile
# data lies past 4 GiB in a sparse file; then takes two bitmaps back to MOS,
# one exactly (the second picture's) and one quantised (a photo), and
# compares those MOS files with the native build's too.
#   windows  Windows x64, MinGW-w64, run under wine (plus scripts/windows_driver.sh)
#   i686     32-bit x86 Linux, under qemu-user
#   s390x    big-endian Linux, under qemu-user
#   aarch64  64-bit ARM Linux, under qemu-user
#   scalar   this machine, built without vector kernels
#   nozlib   this machine, built without zlib: BMP only, and PNG refused
# Every build but nozlib has zlib, for PNG: Debian's for this machine and
# for Windows (libz-mingw-w64-dev, linked statically), and for the Linux
# targets zlib1g-dev of their architecture, downloaded and unpacked into
# build-cross/ (root adds the architecture to apt the first time).
# Usage: bash scripts/cross.sh [TARGET ...]   (default: all six)
# Needs the native Release build in build/ (scripts/test.sh makes it first).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(windows i686 s390x aarch64 scalar nozlib)

# wine keeps its prefix in the home folder; CI may run without one.
export WINEPREFIX=${WINEPREFIX:-${HOME:-/tmp}/.wine}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos >/dev/null

# The large pictures and their native bitmaps, on tmpfs when it has room.
if [ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -n 1)" -gt $((12 * 1024 * 1024)) ] 2>/dev/null; then
  work=$(mktemp -d /dev/shm/quiltpix-cross.XXXXXX)
else
  work=$(mktemp -d "$root/build/cross-work.XXXXXX")
fi
trap 'rm -rf "$work"' EXIT
echo "making the large pictures in $work"
build/mkmos noise 32767 32767 "$work/huge.mos" 9
build/mkmos far 3000 2000 "$work/far.mos" 4
build/mkmos photo 1500 1000 "$work/photo.bmp" 7
(cd "$work" && "$root/build/quiltpix" -q huge.mos && "$root/build/quiltpix" -q far.mos && cp far.bmp back.bmp &&
  "$root/build/quiltpix" -q back.bmp && "$root/build/quiltpix" -q photo.bmp && "$root/build/quiltpix" -q --png far.mos)
mkdir "$work/native" && mv "$work/huge.bmp" "$work/far.bmp" "$work/back.mos" "$work/photo.mos" "$work/far.png" "$work/native/"

mkdir -p build-cross
# zlib1g-dev of another architecture, unpacked here; prints its root.
zlib_for() { # DEBIAN_ARCH
  local into=$root/build-cross/zlib-$1
  if ! compgen -G "$into/usr/lib/*/libz.a" >/dev/null; then
    rm -rf "$into" && mkdir -p "$into"
    if ! (cd "$into" && apt-get download -qq "zlib1g-dev:$1" >/dev/null 2>&1); then
      # An index that fails to download (a mirror caught mid-sync) need not
      # be the one zlib is in: the download itself says.
      dpkg --add-architecture "$1" || return 1
      apt-get update -qq >/dev/null 2>&1 || echo "apt-get update reported errors; trying the download anyway" >&2
      (cd "$into" && apt-get download -qq "zlib1g-dev:$1" >/dev/null) || return 1
    fi
    dpkg-deb -x "$into"/zlib1g-dev_*.deb "$into" || return 1
  fi
  echo "$into"
}

summary=()
good=0
bad=0
status=0
for target in "${targets[@]}"; do
  printf '\n== %s\n' "$target"
  dir=build-cross/$target
  options=(-DCMAKE_BUILD_TYPE=Release -DQUILTPIX_REQUIRE_TESTS=ON)
  case $target in
    windows) options+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DQUILTPIX_GTEST_SOURCE=/usr/src/googletest
                       -DZLIB_USE_STATIC_LIBS=ON)
             run=(env WINEDEBUG=-all /usr/lib/wine/wine64); exe=quiltpix.exe ;;
    i686|s390x|aarch64)
             arch=$target triplet=$target-linux-gnu
             [ "$target" = i686 ] && arch=i386 triplet=i386-linux-gnu
             [ "$target" = aarch64 ] && arch=arm64
             zlib=$(zlib_for "$arch") || { echo "$target: zlib1g-dev:$arch could not be had"; exit 1; }
             # Static programs, and a static libquiltpix alone: a shared one
             # would need the target's zlib built position-independent.
             options+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-cross.cmake" -DQUILTPIX_TARGET_ARCH="$target"
                       -DQUILTPIX_GTEST_SOURCE=/usr/src/googletest -DQUILTPIX_SHARED_LIBRARY=OFF
                       -DZLIB_INCLUDE_DIR="$zlib/usr/include" -DZLIB_LIBRARY="$zlib/usr/lib/$triplet/libz.a")
             emulator=qemu-$target; [ "$target" = i686 ] && emulator=qemu-i386
             run=("$emulator"); exe=quiltpix ;;
    scalar)  options+=(-DQUILTPIX_VECTOR=OFF); run=(); exe=quiltpix ;;
    nozlib)  options+=(-DQUILTPIX_PNG=OFF); run=(); exe=quiltpix ;;
    *) echo "unknown target: $target"; exit 2 ;;
  esac
  start=$SECONDS
  cmake -S . -B "$dir" "${options[@]}" >"$dir.configure.log" 2>&1 || { mkdir -p "$dir"; cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$(nproc)" >"$dir.build.log" 2>&1 || { cat "$dir.build.log"; exit 1; }
  # Warnings from the project's own files count; the static C library's
  # note about getaddrinfo, which only GoogleTest uses, does not.
  warnings=$(grep -E "^$root/[^:]+:[0-9]+:[0-9]+: warning" "$dir.build.log" | grep -c -v '/googletest/' || true)
  [ "$warnings" -eq 0 ] || { grep -E "^$root/.*warning" "$dir.build.log"; status=1; }
  tests=passed
  jobs=$(nproc)
  if [ "$target" = windows ]; then
    # Make the wine prefix and start its server once, before the tests: two
    # first runs at the same moment race to create them, and one loses.
    /usr/lib/wine/wineserver64 -p 2>/dev/null || true
    env WINEDEBUG=-all /usr/lib/wine/wine64 "$dir/$exe" --version >/dev/null 2>&1 || true
    jobs=1
  fi
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" || { tests=FAILED; status=1; }
  if [ "$target" = windows ]; then
    bash scripts/windows_driver.sh "$dir" || { tests=FAILED; status=1; }
  fi

  identical=0
  # Each input and what it becomes: bitmaps from MOS files, MOS files from
  # bitmaps, and a PNG (but where there is no zlib).
  pairs=(huge.mos:huge.bmp far.mos:far.bmp back.bmp:back.mos photo.bmp:photo.mos)
  [ "$target" = nozlib ] || pairs+=(far.mos:far.png)
  for pair in "${pairs[@]}"; do
    input=${pair%:*} output=${pair#*:}
    rm -f "$work/$output"
    if (cd "$work" && "${run[@]}" "$root/$dir/$exe" -q -o "$output" "$input") && cmp -s "$work/$output" "$work/native/$output"; then
      identical=$((identical + 1))
    else
      echo "$target: $output differs from the native build's"; status=1
    fi
    rm -f "$work/$output"
  done
  [ "$tests" = passed ] && [ "$warnings" -eq 0 ] && [ "$identical" -eq ${#pairs[@]} ] && good=$((good + 1)) || bad=$((bad + 1))
  summary+=("$target: built, $warnings warnings, tests $tests, $identical of ${#pairs[@]} large files identical to the native build's ($((SECONDS - start)) s)")
done

printf '\n== cross builds\n'
printf '%s\n' "${summary[@]}"
echo "targets: $good passed, $bad failed"
exit $status

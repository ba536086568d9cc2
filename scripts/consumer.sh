#!/usr/bin/env bash
# libquiltpix as its users get it: installed into a temporary prefix with
# cmake --install, then the C example built from the installed files alone,
# through pkg-config (shared and static) and through find_package, and run
# against the program's own output.
#   scripts/consumer.sh [BUILD]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name quiltpix.pc)")
echo "pkg-config: $(pkg-config --modversion quiltpix), $(pkg-config --cflags --libs quiltpix)"

sample=examples/harbour.mos
"$build/quiltpix" -q -o "$work/expected.bmp" "$sample" 2>/dev/null || "$build/quiltpix" "$sample" -o "$work/expected.bmp" >/dev/null

check() { # name, program
  local name=$1 program=$2
  "$program" "$sample" "$work/$name.bmp" >/dev/null
  cmp "$work/$name.bmp" "$work/expected.bmp"
  "$program" "$work/$name.bmp" "$work/$name.mos" "$sample" >/dev/null
  cmp "$work/$name.mos" "$sample"
  # A broken file: the program's own reason, and no output left behind.
  head -c 1000 "$sample" >"$work/cut.mos"
  if "$program" "$work/cut.mos" "$work/$name-cut.bmp" 2>"$work/why"; then
    echo "$name: a cut file converted"; exit 1
  fi
  grep -q "needs bytes" "$work/why"
  echo "$name: converts both ways, byte for byte"
}

# Shared, through pkg-config: the library found at run time from the prefix.
cc -std=c99 -Wall -Wextra -Werror examples/c/picture.c $(pkg-config --cflags --libs quiltpix) -o "$work/shared"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir quiltpix) check pkg-config-shared "$work/shared"

# The README's C example, as it stands, with a main around it.
awk '/^## As a library/ { in_section = 1 } /^## From Python/ { in_section = 0 }
     in_section && /^```c$/ { code = 1; next } code && /^```$/ { code = 0 } code' README.md >"$work/readme.c"
cat >>"$work/readme.c" <<'MAIN'
int main(int argc, char** argv)
{
    static unsigned char mos[1 << 20];
    FILE* f = fopen(argv[1], "rb");
    size_t size = f ? fread(mos, 1, sizeof mos, f) : 0;
    int width = 0, height = 0;
    unsigned char* rgb = mos_pixels(mos, argc > 2 ? size / 2 : size, &width, &height);
    printf("%d x %d, first pixel %d %d %d\n", width, height, rgb ? rgb[0] : -1, rgb ? rgb[1] : -1, rgb ? rgb[2] : -1);
    free(rgb);
    return rgb ? 0 : 1;
}
MAIN
cc -std=c99 -Wall -Wextra -Werror "$work/readme.c" $(pkg-config --cflags --libs quiltpix) -o "$work/readme"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir quiltpix) "$work/readme" "$sample" | grep -q "^200 x 150, first pixel "
if LD_LIBRARY_PATH=$(pkg-config --variable=libdir quiltpix) "$work/readme" "$sample" half 2>"$work/why" >/dev/null; then
  echo "the README's example decoded half a file"; exit 1
fi
grep -q "needs bytes" "$work/why"
echo "the README's C example: runs, and says why on half a file"

# Static, through pkg-config --static: no libquiltpix needed at run time.
libdir=$(pkg-config --variable=libdir quiltpix)
cc -std=c99 -Wall -Wextra -Werror examples/c/picture.c $(pkg-config --cflags quiltpix) \
  "$libdir/libquiltpix.a" $(pkg-config --static --libs-only-other --libs-only-l quiltpix | sed 's/-lquiltpix//') \
  -o "$work/static"
if ldd "$work/static" | grep -q libquiltpix; then echo "the static build loads libquiltpix"; exit 1; fi
check pkg-config-static "$work/static"

# find_package(Quiltpix) with the installed CMake package.
cmake -S examples/c -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/example" >/dev/null
check find_package "$work/example/picture"

# The Python example, on the build tree's package, where it was built.
if [ -d "$build/python/quiltpix" ]; then
  mkdir "$work/folder"
  cp "$sample" "$work/folder/"
  PYTHONPATH="$build/python" "${PYTHON:-/usr/bin/python3}" examples/python/folder.py "$work/folder" >/dev/null
  cmp "$work/folder/harbour.mos" "$sample"
  echo "python example: a folder to arrays and back, byte for byte"
fi

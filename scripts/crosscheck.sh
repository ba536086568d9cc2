#!/usr/bin/env bash
# Checks the converter against independent bitmap readers and writers from
# Debian's packages (ImageMagick and Pillow): converts the bundled sample and
# a few generated pictures, and compares what each reader sees with the
# picture the MOS file was made from; then takes the bitmaps those tools
# write in their own variants (RLE8, palettes, V5 with alpha, top-down, 1-bit)
# back to MOS and out again, and compares with what the tool itself reads.
# Installs the tools if missing (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v magick >/dev/null && ! [ -x /usr/bin/convert ] || ! /usr/bin/python3 -c 'import PIL' 2>/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq imagemagick python3-pil >/dev/null
fi

cmake -B build -S . >/dev/null
cmake --build build -j2 --target quiltpix mkmos >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/mkmos sample "$work/harbour.mos" "$work/harbour.ppm"
for size in "1 1" "10 3" "63 65" "100 70" "129 128" "301 77" "1000 150" "2049 97"; do
  set -- $size
  build/mkmos noise "$1" "$2" "$work/noise-$1x$2.mos" 3 "$work/noise-$1x$2.ppm"
done

status=0
for mos in "$work"/*.mos; do
  build/quiltpix "$mos" >/dev/null
  bmp="${mos%.mos}.bmp"
  # ImageMagick's reading against the source picture, then Pillow's against
  # ImageMagick's, pixel for pixel.
  /usr/bin/convert "$bmp" -depth 8 "rgb:$bmp.magick.rgb"
  /usr/bin/convert "${mos%.mos}.ppm" -depth 8 "rgb:$bmp.source.rgb"
  if ! cmp -s "$bmp.magick.rgb" "$bmp.source.rgb"; then
    echo "ImageMagick reads $(basename "$bmp") differently from its source picture"; status=1
  fi
  /usr/bin/python3 - "$bmp" "$bmp.magick.rgb" <<'PY' || status=1
import sys
from PIL import Image
img = Image.open(sys.argv[1])
assert img.mode == "RGB", img.mode
pillow = img.tobytes()
magick = open(sys.argv[2], "rb").read()
if pillow != magick:
    sys.exit(f"Pillow and ImageMagick disagree on {sys.argv[1]}")
print(f"{sys.argv[1].split('/')[-1]}: {img.size[0]}x{img.size[1]}, ImageMagick and Pillow both show the source picture")
PY
done

# The way back, from what the tools write. Channels of 8 bits only: for 16-bit
# pixels the two tools disagree with each other by a level (each rounds its
# own way); the tests hold those to round(v x 255 / (2^n - 1)).
back=0
variants=("BMP3:" "BMP:" "-type Palette BMP3:" "-type Palette -compress RLE BMP3:" "-type Palette BMP2:"
          "-alpha on BMP:" "-colors 16 -type Palette BMP3:" "-monochrome BMP3:")
for mos in "$work/harbour.mos" "$work/noise-301x77.mos" "$work/noise-63x65.mos"; do
  ppm="${mos%.mos}.ppm"
  for v in "${variants[@]}"; do
    in="$work/back.bmp"
    # shellcheck disable=SC2086
    /usr/bin/convert "$ppm" $v"$in"
    if ! build/quiltpix -q -o "$work/back.mos" "$in" || ! build/quiltpix -q -o "$work/again.bmp" "$work/back.mos"; then
      echo "$(basename "$ppm") as ImageMagick's $v: not taken back"; status=1; continue
    fi
    /usr/bin/convert "$in" -depth 8 "rgb:$work/a.rgb"
    /usr/bin/convert "$work/again.bmp" -depth 8 "rgb:$work/b.rgb"
    if cmp -s "$work/a.rgb" "$work/b.rgb"; then back=$((back + 1)); else
      echo "$(basename "$ppm") as ImageMagick's $v: the way back changed pixels"; status=1
    fi
  done
  /usr/bin/python3 - "$ppm" "$work" <<'PY' || status=1
import subprocess, sys
from PIL import Image
src, work = sys.argv[1], sys.argv[2]
picture = Image.open(src).convert("RGB")
for mode in ("RGB", "P", "L", "1", "RGBA"):
    path = f"{work}/pillow.bmp"
    picture.convert(mode).save(path)
    subprocess.run(["build/quiltpix", "-q", "-o", f"{work}/pillow.mos", path], check=True)
    subprocess.run(["build/quiltpix", "-q", "-o", f"{work}/pillow-again.bmp", f"{work}/pillow.mos"], check=True)
    if Image.open(path).convert("RGB").tobytes() != Image.open(f"{work}/pillow-again.bmp").tobytes():
        sys.exit(f"{src.split('/')[-1]} as Pillow's {mode} bitmap: the way back changed pixels")
print(f"{src.split('/')[-1]}: Pillow's RGB, P, L, 1 and RGBA bitmaps come back exactly")
PY
done
echo "$back bitmaps written by ImageMagick came back exactly"
exit $status

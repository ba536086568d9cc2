#!/usr/bin/env bash
# Checks the converter against independent bitmap readers from Debian's
# packages (ImageMagick and Pillow): converts the bundled sample and a few
# generated pictures, and compares what each reader sees with the picture the
# MOS file was made from. Installs the readers if missing (needs root).
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
exit $status

#!/usr/bin/env bash
# Checks the converter against independent bitmap readers and writers from
# Debian's packages (ImageMagick and Pillow): converts the bundled sample and
# a few generated pictures, and compares what each reader sees with the
# picture the MOS file was made from; then takes the bitmaps those tools
# write in their own variants (RLE8, palettes, V5 with alpha, top-down, 1-bit)
# back to MOS and out again, and compares with what the tool itself reads.
# Then PNG: the pictures written as PNG (fast and --small) read by both
# tools (ImageMagick's through libpng); and PngSuite, the PNG conformance
# suite (Debian's libsixel-examples): every valid file taken back to MOS and
# out again shows the pixels Pillow reads, and every corrupted one is refused.
# Installs the tools if missing (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."

suite=/usr/share/doc/libsixel-examples/examples/images/pngsuite
if ! command -v magick >/dev/null && ! [ -x /usr/bin/convert ] || ! /usr/bin/python3 -c 'import PIL' 2>/dev/null ||
   ! [ -d "$suite" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq imagemagick python3-pil libsixel-examples >/dev/null
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
    if ! build/quiltpix -q --fresh -o "$work/back.mos" "$in" || ! build/quiltpix -q -o "$work/again.bmp" "$work/back.mos"; then
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
    subprocess.run(["build/quiltpix", "-q", "--fresh", "-o", f"{work}/pillow.mos", path], check=True)
    subprocess.run(["build/quiltpix", "-q", "-o", f"{work}/pillow-again.bmp", f"{work}/pillow.mos"], check=True)
    if Image.open(path).convert("RGB").tobytes() != Image.open(f"{work}/pillow-again.bmp").tobytes():
        sys.exit(f"{src.split('/')[-1]} as Pillow's {mode} bitmap: the way back changed pixels")
print(f"{src.split('/')[-1]}: Pillow's RGB, P, L, 1 and RGBA bitmaps come back exactly")
PY
done
echo "$back bitmaps written by ImageMagick came back exactly"

# PNG written: what both tools read is the source picture.
pngs=0
for mos in "$work"/*.mos; do
  [ -f "${mos%.mos}.ppm" ] || continue # the way back's own files
  for small in "" "--small"; do
    png="$work/out.png"
    rm -f "$png"
    build/quiltpix -q $small -o "$png" "$mos"
    /usr/bin/convert "$png" -depth 8 "rgb:$work/png.rgb"
    /usr/bin/convert "${mos%.mos}.ppm" -depth 8 "rgb:$work/source.rgb"
    if ! cmp -s "$work/png.rgb" "$work/source.rgb"; then
      echo "ImageMagick reads $(basename "$mos") as PNG $small differently from its source"; status=1
    fi
    /usr/bin/python3 -c 'import sys; from PIL import Image; a = Image.open(sys.argv[1]); a.load(); sys.exit(a.mode != "RGB" or a.tobytes() != open(sys.argv[2], "rb").read())' \
      "$png" "$work/source.rgb" || { echo "Pillow reads $(basename "$mos") as PNG $small differently"; status=1; }
    pngs=$((pngs + 1))
  done
done
echo "$pngs PNG files written read as their source pictures in ImageMagick and Pillow"

# PngSuite, the way back and out again, against Pillow's reading, with
# transparency dropped. Pillow keeps 16-bit grey as it is but cuts 16-bit
# colour to its high byte (and ImageMagick turns gAMA 1.0 into sRGB), so
# 16-bit colour is decoded here, sample for sample, and scaled as the way
# back does: round(v x 255 / 65535).
/usr/bin/python3 - "$suite" "$work" <<'PY' || status=1
import glob, os, struct, subprocess, sys, warnings, zlib
warnings.filterwarnings("ignore")
from PIL import Image
suite, work = sys.argv[1], sys.argv[2]
def eight(v):
    return (v * 255 + 32767) // 65535
def samples16(path):
    data = open(path, "rb").read()
    pos, idat = 8, b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IHDR":
            w, h, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data[pos + 8:pos + 21])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + n]
        pos += 12 + n
    raw, channels = zlib.decompress(idat), {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    bpp, image, at = 2 * channels, [[None] * w for _ in range(h)], 0
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)] if interlace else [(0, 0, 1, 1)]
    for x0, y0, dx, dy in passes:
        pw, ph = (w - x0 + dx - 1) // dx if w > x0 else 0, (h - y0 + dy - 1) // dy if h > y0 else 0
        if pw == 0 or ph == 0:
            continue
        prev = bytes(pw * bpp)
        for k in range(ph):
            f, line = raw[at], bytearray(raw[at + 1:at + 1 + pw * bpp])
            at += 1 + pw * bpp
            for i in range(len(line)):
                a = line[i - bpp] if i >= bpp else 0
                b, c = prev[i], prev[i - bpp] if i >= bpp else 0
                p = a + b - c
                pred = [0, a, b, (a + b) // 2, a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c][f]
                line[i] = (line[i] + pred) & 255
            prev = bytes(line)
            for j in range(pw):
                v = [line[j * bpp + 2 * m] << 8 | line[j * bpp + 2 * m + 1] for m in range(channels)]
                grey = colour in (0, 4)
                image[y0 + k * dy][x0 + j * dx] = (v[0], v[0], v[0]) if grey else (v[0], v[1], v[2])
    return (w, h), bytes(eight(s) for row in image for px in row for s in px)
def expected(path):
    img = Image.open(path)
    if open(path, "rb").read()[24] == 16:
        return samples16(path)
    return img.size, img.convert("RGB").tobytes()
import math, re
valid = refused = quantised = 0
for path in sorted(glob.glob(f"{suite}/*/*.png")):
    name = os.path.basename(path)
    mos, bmp = f"{work}/suite.mos", f"{work}/suite.bmp"
    for f in (mos, bmp):
        if os.path.exists(f):
            os.remove(f)
    back = subprocess.run(["build/quiltpix", "--fresh", "-o", mos, path], capture_output=True, text=True)
    if "/corrupted/" in path:
        if back.returncode == 0:
            sys.exit(f"PngSuite {name}: corrupted, but converted")
        refused += 1
        continue
    if back.returncode != 0:
        sys.exit(f"PngSuite {name}: refused: {back.stdout.strip()}")
    subprocess.run(["build/quiltpix", "-q", "-o", bmp, mos], check=True)
    size, want = expected(path)
    got = Image.open(bmp).convert("RGB").tobytes()
    if Image.open(bmp).size != size:
        sys.exit(f"PngSuite {name}: {Image.open(bmp).size}, not {size}")
    # A tile of more than 256 colours is quantised: close, not exact.
    if re.search(r" 0 quantised", back.stdout):
        if got != want:
            sys.exit(f"PngSuite {name}: the pixels differ from Pillow's reading")
    else:
        error = sum((a - b) ** 2 for a, b in zip(got, want)) / len(got)
        psnr = 10 * math.log10(255 ** 2 / error) if error else 99
        if psnr < 30:
            sys.exit(f"PngSuite {name}: quantised to {psnr:.1f} dB")
        quantised += 1
    valid += 1
print(f"PngSuite: {valid} valid files came back with Pillow's pixels ({quantised} of them quantised, within 30 dB), "
      f"{refused} corrupted files refused")
PY
exit $status

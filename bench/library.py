"""The Python package against the program, on one picture, in one run:

  read      quiltpix.read(path) against `quiltpix x.mos` (MOS to BMP)
  pillow    Image.open(path).load() against the same, less what Pillow
            takes to make and fill an image of that size by itself
            (Image.new with a colour)
  write     quiltpix.write(array, path) against `quiltpix x.bmp` (BMP to MOS)

Each pair runs alternately, RUNS times; the medians and their ratio are
printed. The program's times include its start (a fresh process), the
package's its call alone: each allocates its memory afresh every time.

  python3 bench/library.py BUILD [SIZE] [RUNS] [FOLDER]
      (defaults: build 4096 11 /dev/shm)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 4096
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 11
    folder = sys.argv[4] if len(sys.argv) > 4 else "/dev/shm"
    sys.path.insert(0, os.path.join(build, "python"))
    import quiltpix
    import quiltpix.pillow  # noqa: F401
    from PIL import Image

    exe = os.path.join(build, "quiltpix")
    with tempfile.TemporaryDirectory(dir=folder) as work:
        mos = os.path.join(work, "pic.mos")
        bmp = os.path.join(work, "pic.bmp")
        back = os.path.join(work, "back.mos")
        subprocess.run([os.path.join(build, "mkmos"), "noise", str(size), str(size), mos, "1"], check=True,
                       stdout=subprocess.DEVNULL)
        pixels = quiltpix.read(mos)

        def program(*args):
            start = time.perf_counter()
            subprocess.run([exe, "-q", *args], check=True)
            return time.perf_counter() - start

        def timed(f):
            start = time.perf_counter()
            f()
            return time.perf_counter() - start

        def forward():
            if os.path.exists(bmp):
                os.unlink(bmp)
            return program("-o", bmp, mos)

        def backward():
            if os.path.exists(back):
                os.unlink(back)
            return program("--fresh", "-o", back, bmp)

        def load():
            with Image.open(mos) as im:
                im.load()

        def allocate():
            Image.new("RGB", (size, size), (1, 2, 3))

        def write():
            if os.path.exists(back):
                os.unlink(back)
            quiltpix.write(pixels, back)

        forward()
        pairs = {"read": ([], []), "pillow": ([], [], []), "write": ([], [])}
        for _ in range(runs):
            pairs["read"][0].append(forward())
            pairs["read"][1].append(timed(lambda: quiltpix.read(mos)))
            pairs["pillow"][0].append(forward())
            pairs["pillow"][1].append(timed(load))
            pairs["pillow"][2].append(timed(allocate))
            pairs["write"][0].append(backward())
            pairs["write"][1].append(timed(write))

        ms = lambda v: f"{1000 * statistics.median(v):7.1f} ms"  # noqa: E731
        print(f"{size} x {size} pixels in {folder}, medians of {runs}:")
        p, q = pairs["read"]
        print(f"  read    program {ms(p)}   quiltpix.read   {ms(q)}   ratio {statistics.median(q) / statistics.median(p):.2f}")
        p, q, a = pairs["pillow"]
        net = [x - y for x, y in zip(q, a)]
        print(f"  pillow  program {ms(p)}   open().load()   {ms(q)}   Pillow's own image {ms(a)}   "
              f"ratio less that {statistics.median(net) / statistics.median(p):.2f}")
        p, q = pairs["write"]
        print(f"  write   program {ms(p)}   quiltpix.write  {ms(q)}   ratio {statistics.median(q) / statistics.median(p):.2f}")


if __name__ == "__main__":
    main()

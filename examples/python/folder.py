"""Every MOS file in a folder to a numpy array and back.

    python3 folder.py FOLDER

Reads each *.mos file into an array, saves the arrays side by side as
FOLDER/arrays.npz, then writes each array back over its MOS file with the
file itself as the original: a picture that is unchanged leaves its file
byte for byte as it was, and an edited one rewrites only the tiles that
changed.
"""
import pathlib
import sys

import numpy

import quiltpix


def main(folder: pathlib.Path) -> int:
    pictures = {}
    for path in sorted(folder.glob("*.mos")):
        try:
            pictures[path.name] = quiltpix.read(path)
        except quiltpix.Error as error:
            print(error, file=sys.stderr)  # "x.mos: the tile offset table needs bytes ..."
            continue
        height, width, _ = pictures[path.name].shape
        print(f"{path.name}: {width} x {height} pixels")
    numpy.savez(folder / "arrays.npz", **pictures)

    # ... edit the arrays here ...

    for name, pixels in numpy.load(folder / "arrays.npz").items():
        path = folder / name
        summary = quiltpix.write(pixels, path, original=path)
        print(f"{name}: {summary}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(pathlib.Path(sys.argv[1])))

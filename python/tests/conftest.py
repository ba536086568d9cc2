import os
import pathlib

import numpy
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def program():
    """The quiltpix program of the same build, to compare messages with."""
    path = pathlib.Path(os.environ.get("QUILTPIX_EXE", ROOT / "build" / "quiltpix")).resolve()
    if not path.exists():
        pytest.skip(f"no program at {path} (set QUILTPIX_EXE)")
    return path


@pytest.fixture(scope="session")
def sample():
    return ROOT / "examples" / "harbour.mos"


def tiled(width, height, seed=1, colours=256):
    """A picture whose every 64 x 64 tile draws from `colours` colours of
    its own: what a MOS file holds exactly."""
    rng = numpy.random.default_rng(seed)
    pixels = numpy.empty((height, width, 3), numpy.uint8)
    for top in range(0, height, 64):
        for left in range(0, width, 64):
            palette = rng.integers(0, 256, (colours, 3), dtype=numpy.uint8)
            tile = pixels[top:top + 64, left:left + 64]
            tile[...] = palette[rng.integers(0, colours, tile.shape[:2])]
    return pixels

"""MOS pictures (64 x 64-pixel tiles, each with a palette of its own) as
numpy arrays, and back.

    pixels = quiltpix.read("harbour.mos")      # (height, width, 3) uint8, RGB
    pixels[10:20, 10:20] = (255, 0, 0)
    summary = quiltpix.write(pixels, "harbour.mos", original="harbour.mos")

`original=` keeps the original MOS file's palettes, index bytes and layout
wherever the picture still agrees with it, so an unedited picture gives its
bytes back exactly; `write` reads it whole before it replaces anything, so
the original may be the very file being written. Every function takes a
path or the file's bytes. A file that is not a whole MOS file raises
quiltpix.Error with the reason the quiltpix program gives.

For Pillow, `import quiltpix.pillow` registers the format.
"""

import mmap
import os
import tempfile
from dataclasses import dataclass
from typing import Callable, Optional, Union

import numpy

from . import _quiltpix

__version__ = _quiltpix.version
__all__ = ["read", "read_rows", "write", "encode", "inspect", "Info", "Summary", "Error"]

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview]


class Error(OSError):
    """A file that cannot be converted, or an original that cannot be kept.

    `reason` is the program's own words; `filename` the path, when one was
    given."""

    def __init__(self, reason: str, filename: Optional[str] = None):
        super().__init__(reason)
        self.reason = reason
        self.filename = filename

    def __str__(self) -> str:
        return f"{self.filename}: {self.reason}" if self.filename else self.reason


@dataclass(frozen=True)
class Info:
    """What a file is: kind ("mos", "bmp", "png" or "unknown"), its size, the
    MOS tiles it has or would have, and why it does not convert (None when it
    does)."""

    kind: str
    width: int
    height: int
    tiles: int
    reason: Optional[str]

    @property
    def whole(self) -> bool:
        return self.reason is None


@dataclass(frozen=True)
class Summary:
    """What writing a MOS file did: tiles in all, tiles whose every pixel kept
    its colour, tiles given 256 colours of their own (and their PSNR, in dB),
    with an original the tiles that differ from it, pixels whose transparency
    was dropped, and the bytes written. `line` is the program's summary."""

    tiles: int
    exact: int
    quantised: int
    changed: int
    translucent: int
    psnr_mean: float
    psnr_worst: float
    size: int
    line: str

    def __str__(self) -> str:
        return self.line


class _Opened:
    """The bytes of a source: a mapping of a file (read without copying it
    into memory first), or the bytes given."""

    def __init__(self, source: Source):
        self.filename = None
        self._map = None
        if isinstance(source, (bytes, bytearray, memoryview)):
            self.data = source
            return
        if hasattr(source, "read"):
            self.filename = getattr(source, "name", None)
            self.data = source.read()
            return
        self.filename = os.fspath(source)
        with open(self.filename, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size == 0:
                self.data = b""
            else:
                self._map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
                self.data = self._map

    def close(self):
        if self._map is not None:
            self._map.close()
            self._map = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _raise(failure: "_quiltpix.Failure", filename: Optional[str]):
    status, message = failure.args
    if status == 4:
        raise MemoryError(message) from None
    if status == 5:
        raise ValueError(message) from None
    raise Error(message, filename) from None


def inspect(source: Source) -> Info:
    """What the file is and whether it converts, as `quiltpix --check` judges
    it: a MOS file by its tables, a bitmap or PNG by every pixel."""
    with _Opened(source) as opened:
        try:
            return Info(**_quiltpix.inspect(opened.data))
        except _quiltpix.Failure as failure:
            _raise(failure, opened.filename)


def read(source: Source) -> numpy.ndarray:
    """The MOS file's pixels: an array of (height, width, 3) uint8, red,
    green, blue."""
    with _Opened(source) as opened:
        try:
            return _quiltpix.decode(opened.data)
        except _quiltpix.Failure as failure:
            _raise(failure, opened.filename)


def read_rows(source: Source, band: Callable[[int, numpy.ndarray], None], rows: int = 64) -> None:
    """Hands the MOS file's pixels to band(y, pixels) a band of up to `rows`
    rows at a time, top to bottom, in memory that does not grow with the
    picture's height. The array is reused for the next band: copy what is
    kept."""
    with _Opened(source) as opened:
        try:
            _quiltpix.decode_rows(opened.data, band, rows)
        except _quiltpix.Failure as failure:
            _raise(failure, opened.filename)


def _pixels(array) -> numpy.ndarray:
    a = numpy.asarray(array)
    if a.dtype != numpy.uint8:
        raise TypeError(f"the pixels must be uint8, not {a.dtype}")
    if a.ndim != 3 or a.shape[2] != 3:
        raise ValueError(f"the pixels must be (height, width, 3), not {a.shape}")
    if a.strides[2] != 1 or a.strides[1] != 3:
        a = numpy.ascontiguousarray(a)
    return a


def encode(array, original: Optional[Source] = None, dither: bool = False) -> "tuple[bytes, Summary]":
    """The MOS file for the pixels, as bytes, and the summary."""
    pixels = _pixels(array)
    kept = _Opened(original) if original is not None else None
    try:
        data, summary = _quiltpix.encode(pixels, kept.data if kept else None, dither)
        return data, Summary(**summary)
    except _quiltpix.Failure as failure:
        _raise(failure, kept.filename if kept and failure.args[0] == 2 else None)
    finally:
        if kept:
            kept.close()


def _umask() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return umask


def _take_over(temporary: str, path: str) -> None:
    """Gives the new file what the old one had, as the program does: its
    owner and group where the system allows it, and its permissions, less
    the group's when the group changes and less the umask when the owner
    does; a new file gets 0666 less the umask."""
    try:
        old = os.stat(path)
    except FileNotFoundError:
        os.chmod(temporary, 0o666 & ~_umask())
        return
    if hasattr(os, "chown"):
        for owner in (old.st_uid, -1):
            try:
                os.chown(temporary, owner, old.st_gid)
                break
            except OSError:
                continue
    new = os.stat(temporary)
    mode = old.st_mode & 0o7777
    if new.st_gid != old.st_gid:
        mode &= ~0o070
    if new.st_uid != old.st_uid:
        mode &= ~_umask()
    os.chmod(temporary, mode)


def write(array, path: Union[str, "os.PathLike[str]"], original: Optional[Source] = None,
          dither: bool = False) -> Summary:
    """Writes the pixels (height, width, 3) uint8 as a MOS file at `path`.

    The file is written under a temporary name beside it and renamed over
    `path` only once whole, so a failure leaves what was there. `original`
    (a path or bytes) is read whole first: writing a picture back over the
    MOS file it came from, with original= that file, keeps its bytes where
    the picture agrees."""
    pixels = _pixels(array)
    # Through a symbolic link, the file linked to is replaced, as the
    # program does; other hard links keep the old picture.
    path = os.path.realpath(path) if os.path.islink(path) else os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".quiltpix-", suffix=".mos", dir=folder)
    except OSError as error:
        # Named for the file asked for, not the temporary name it would have had.
        raise type(error)(error.errno, error.strerror, path) from None
    os.close(fd)
    kept = None
    try:
        kept = _Opened(original) if original is not None else None
        try:
            summary = _quiltpix.encode_to_file(pixels, temporary, kept.data if kept else None, dither)
        except _quiltpix.Failure as failure:
            _raise(failure, kept.filename if kept and failure.args[0] == 2 else path)
        _take_over(temporary, path)
        os.replace(temporary, path)
        temporary = None
        return Summary(**summary)
    finally:
        if kept:
            kept.close()
        if temporary:
            os.unlink(temporary)

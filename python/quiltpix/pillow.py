"""MOS for Pillow: after `import quiltpix.pillow`,

    im = Image.open("x.mos")          # RGB; im.size is known before decoding
    im.save("new.mos", original="x.mos", dither=True)

Image.open recognises a MOS file by its first bytes; any other file goes on
to Pillow's other formats, and a MOS file that is not whole raises
quiltpix.Error (an OSError) with the program's reason.

Pillow empties the file it saves to before the format's code runs, so
saving over the original itself cannot keep its bytes; put a picture back
in place with quiltpix.write(numpy.asarray(im), "x.mos", original="x.mos"),
which reads the original whole before it replaces it.
"""

import os

import numpy
from PIL import Image, ImageFile

from . import Error, _quiltpix, _raise, encode

FORMAT = "MOS"


def _accept(prefix: bytes) -> bool:
    return prefix[:4] == b"MOS "


class MosImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "MOS tiled picture"

    def _open(self):
        # The whole file, mapped where it is one, so that the tables can be
        # judged now and the pixels decoded on load without reading twice.
        self.fp.seek(0)
        fileno = None
        try:
            fileno = self.fp.fileno()
        except (AttributeError, OSError, ValueError):
            pass
        self._source = _FileSource(fileno) if fileno is not None else _BytesSource(self.fp.read())
        try:
            info = _quiltpix.inspect(self._source.data)
        except _quiltpix.Failure as failure:
            self._source.close()
            _raise(failure, self.filename or None)
        if info["reason"] is not None:
            self._source.close()
            raise Error(info["reason"], getattr(self, "filename", None) or None)
        # Newer Pillow keeps the mode behind a property.
        if isinstance(Image.Image.__dict__.get("mode"), property):
            self._mode = "RGB"
        else:
            self.mode = "RGB"
        self._size = (info["width"], info["height"])
        self.tile = [("quiltpix", (0, 0) + self._size, 0, None)]

    def close(self):
        # The mapping of a file closed before it was loaded.
        source = getattr(self, "_source", None)
        if source is not None:
            source.close()
        super().close()

    def load(self):
        if self.tile and self.im is None:
            try:
                pixels = _quiltpix.decode(self._source.data)
            except _quiltpix.Failure as failure:
                _raise(failure, getattr(self, "filename", None) or None)
            finally:
                self._source.close()
            self.load_prepare()
            decoder = Image._getdecoder(self.mode, "raw", ("RGB", 0, 1))
            decoder.setimage(self.im, (0, 0) + self.size)
            status, error = decoder.decode(pixels)
            if status >= 0 or error != 0:
                raise OSError("the decoded pixels did not fill the image")
            self.tile = []
            self.readonly = 0
            self.load_end()
            if self._exclusive_fp and self._close_exclusive_fp_after_loading:
                self.fp.close()
            self.fp = None
        return Image.Image.load(self)


class _BytesSource:
    def __init__(self, data: bytes):
        self.data = data

    def close(self):
        self.data = b""


class _FileSource:
    """A file descriptor's contents as a read-only mapping."""

    def __init__(self, fileno: int):
        import mmap

        size = os.fstat(fileno).st_size
        self._map = mmap.mmap(fileno, 0, access=mmap.ACCESS_READ) if size else None
        self.data = self._map if self._map is not None else b""

    def close(self):
        if self._map is not None:
            self._map.close()
            self._map = None


def _save(im, fp, filename):
    info = im.encoderinfo
    original = info.get("original")
    if original is not None and not isinstance(original, (bytes, bytearray, memoryview)):
        try:
            same = os.path.samefile(original, filename)
        except (OSError, TypeError):
            same = False
        if same:
            raise Error("the original is the file being saved, which Pillow empties first; put a picture back "
                        "in place with quiltpix.write(numpy.asarray(im), path, original=path)", os.fspath(original))
    if im.mode != "RGB":
        im = im.convert("RGB")
    data, _ = encode(numpy.asarray(im), original=original, dither=bool(info.get("dither", False)))
    fp.write(data)


Image.register_open(FORMAT, MosImageFile, _accept)
Image.register_save(FORMAT, _save)
Image.register_extension(FORMAT, ".mos")
Image.register_mime(FORMAT, "image/x-mos")

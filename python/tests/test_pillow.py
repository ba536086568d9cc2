"""The Pillow plugin: MOS opens and saves as any format does, and every
other file goes on to Pillow's own formats."""
import io

import numpy
import pytest
from PIL import Image, UnidentifiedImageError

import quiltpix
import quiltpix.pillow  # noqa: F401  (registers the format)
from conftest import tiled


def test_open_knows_the_size_before_decoding_and_loads_exactly(tmp_path):
    pixels = tiled(130, 70)
    path = tmp_path / "p.mos"
    quiltpix.write(pixels, path)
    with Image.open(path) as im:
        assert (im.format, im.mode, im.size) == ("MOS", "RGB", (130, 70))
        assert im.tile, "decoded before load"
        numpy.testing.assert_array_equal(numpy.asarray(im), pixels)
    # Closed unloaded, it lets the file go.
    im = Image.open(path)
    im.close()
    # From a file object with no file behind it, too.
    with Image.open(io.BytesIO(path.read_bytes())) as im:
        numpy.testing.assert_array_equal(numpy.asarray(im), pixels)


def test_an_image_made_in_pillow_goes_to_mos_and_back_exactly(tmp_path):
    pixels = tiled(150, 100, seed=4)
    Image.fromarray(pixels).save(tmp_path / "made.mos")
    numpy.testing.assert_array_equal(quiltpix.read(tmp_path / "made.mos"), pixels)
    with Image.open(tmp_path / "made.mos") as im:
        numpy.testing.assert_array_equal(numpy.asarray(im), pixels)


def test_save_keeps_an_originals_bytes_and_takes_dither(tmp_path, sample):
    with Image.open(sample) as im:
        im.load()
        out = tmp_path / "copy.mos"
        im.save(out, original=sample)
        assert out.read_bytes() == sample.read_bytes()
        # The extension alone chooses the format; any mode is converted.
        im.convert("L").save(tmp_path / "grey.mos")
        grey = quiltpix.read(tmp_path / "grey.mos")
        assert (grey[..., 0] == grey[..., 1]).all()
    photo = Image.radial_gradient("L").resize((64, 64)).convert("RGB")
    photo = Image.merge("RGB", (photo.getchannel(0), photo.getchannel(0).rotate(90), photo.getchannel(0).rotate(45)))
    photo.save(tmp_path / "plain.mos")
    photo.save(tmp_path / "dithered.mos", dither=True)
    assert (tmp_path / "plain.mos").read_bytes() != (tmp_path / "dithered.mos").read_bytes()


def test_saving_over_the_original_says_to_use_write(tmp_path, sample):
    path = tmp_path / "x.mos"
    path.write_bytes(sample.read_bytes())
    with Image.open(path) as im:
        im.load()
    with pytest.raises(quiltpix.Error, match=r"quiltpix\.write"):
        im.save(path, original=path)


def test_other_files_fall_through_and_broken_ones_give_the_reason(tmp_path):
    png = tmp_path / "p.png"
    Image.new("RGB", (3, 2), (1, 2, 3)).save(png)
    with Image.open(png) as im:
        assert im.format == "PNG"
    garbage = tmp_path / "g.mos"
    garbage.write_bytes(b"not a picture at all" * 4)
    with pytest.raises(UnidentifiedImageError):
        Image.open(garbage)
    broken = tmp_path / "b.mos"
    data = quiltpix.encode(tiled(100, 100))[0]
    broken.write_bytes(data[:-1])
    with pytest.raises(OSError) as caught:
        Image.open(broken)
    assert "tile row 1 needs bytes" in str(caught.value)

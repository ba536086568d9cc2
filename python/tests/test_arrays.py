"""quiltpix as numpy users call it: read, write, inspect, row bands."""
import os
import pathlib
import subprocess
import threading
import tracemalloc

import numpy
import pytest

import quiltpix
from conftest import ROOT, tiled


@pytest.mark.parametrize("width,height", [(1, 1), (64, 64), (65, 130), (300, 200)])
def test_round_trip_is_exact_for_tiles_of_up_to_256_colours(tmp_path, width, height):
    pixels = tiled(width, height, seed=width)
    path = tmp_path / "p.mos"
    summary = quiltpix.write(pixels, path)
    assert summary.tiles == summary.exact == ((width + 63) // 64) * ((height + 63) // 64)
    assert summary.quantised == 0 and summary.size == path.stat().st_size
    back = quiltpix.read(path)
    assert back.dtype == numpy.uint8 and back.shape == (height, width, 3)
    numpy.testing.assert_array_equal(back, pixels)
    # Bytes in, bytes out: the same file.
    data, again = quiltpix.encode(pixels)
    assert data == path.read_bytes() and again == summary
    numpy.testing.assert_array_equal(quiltpix.read(data), pixels)
    info = quiltpix.inspect(str(path))
    assert (info.kind, info.width, info.height, info.whole) == ("mos", width, height, True)


def test_arrays_of_other_layouts_are_taken_or_refused_plainly(tmp_path):
    pixels = tiled(100, 70)
    # A view with rows apart, and a Fortran-ordered copy: the same picture.
    wide = numpy.zeros((70, 130, 3), numpy.uint8)
    wide[:, :100] = pixels
    data, _ = quiltpix.encode(pixels)
    assert quiltpix.encode(wide[:, :100])[0] == data
    assert quiltpix.encode(numpy.asfortranarray(pixels))[0] == data
    with pytest.raises(TypeError):
        quiltpix.encode(pixels.astype(numpy.float32))
    with pytest.raises(ValueError):
        quiltpix.encode(pixels[:, :, :2])
    with pytest.raises(ValueError, match="outside 1 to 32767"):
        quiltpix.encode(numpy.zeros((0, 5, 3), numpy.uint8))


def test_an_original_keeps_its_bytes_and_the_put_back_goes_in_place(tmp_path, sample):
    original = sample.read_bytes()
    path = tmp_path / "harbour.mos"
    path.write_bytes(original)
    pixels = quiltpix.read(path)
    summary = quiltpix.write(pixels, path, original=path)
    assert path.read_bytes() == original and summary.changed == 0
    # One pixel takes a colour its tile already has: that tile alone changes.
    differs = (pixels[:, :-1] != pixels[:, 1:]).any(axis=2)
    differs[:, 63::64] = False  # the neighbour in the next tile
    y, x = numpy.argwhere(differs)[0]
    pixels[y, x] = pixels[y, x + 1]
    summary = quiltpix.write(pixels, path, original=path)
    assert summary.changed == 1 and summary.exact == summary.tiles
    numpy.testing.assert_array_equal(quiltpix.read(path), pixels)
    assert len(path.read_bytes()) == len(original)
    # The original as bytes does the same.
    data, from_bytes = quiltpix.encode(pixels, original=original)
    assert data == path.read_bytes() and from_bytes.changed == 1
    assert not [p for p in tmp_path.iterdir() if p.name != "harbour.mos"], "a temporary file was left"


def test_a_failed_write_leaves_what_was_there(tmp_path):
    path = tmp_path / "p.mos"
    path.write_bytes(b"keep me")
    with pytest.raises(quiltpix.Error) as caught:
        quiltpix.write(tiled(10, 10), path, original=b"MOS V2  " + bytes(16))
    assert caught.value.reason == "width 0 is not positive"
    assert path.read_bytes() == b"keep me"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.mos"]
    with pytest.raises(FileNotFoundError) as missing:
        quiltpix.write(tiled(10, 10), tmp_path / "no such folder" / "p.mos")
    assert missing.value.filename == str(tmp_path / "no such folder" / "p.mos")
    with pytest.raises(FileNotFoundError):
        quiltpix.read(tmp_path / "missing.mos")


def test_permissions_are_kept_and_links_written_through(tmp_path):
    path = tmp_path / "p.mos"
    umask = os.umask(0o022)
    try:
        quiltpix.write(tiled(8, 8), path)
        assert path.stat().st_mode & 0o777 == 0o644
        path.chmod(0o600)
        quiltpix.write(tiled(8, 8, seed=2), path)
        assert path.stat().st_mode & 0o777 == 0o600
    finally:
        os.umask(umask)
    link = tmp_path / "link.mos"
    link.symlink_to(path.name)
    quiltpix.write(tiled(8, 8, seed=3), link)
    assert link.is_symlink()
    numpy.testing.assert_array_equal(quiltpix.read(path), tiled(8, 8, seed=3))


def test_many_colours_are_quantised_and_dithering_changes_the_result():
    rng = numpy.random.default_rng(3)
    ramp = numpy.linspace(0, 255, 64, dtype=numpy.float64)
    pixels = numpy.stack(numpy.meshgrid(ramp, ramp[::-1]) + [numpy.full((64, 64), 128.0)], axis=2)
    pixels = numpy.clip(pixels + rng.normal(0, 6, pixels.shape), 0, 255).astype(numpy.uint8)
    plain, summary = quiltpix.encode(pixels)
    dithered, _ = quiltpix.encode(pixels, dither=True)
    assert summary.quantised == 1 and summary.psnr_worst > 30
    assert plain != dithered
    assert "1 quantised" in summary.line


def _corpus(tmp_path):
    """The fuzz seeds and regressions, each also cut short and with a byte
    of its header changed: broken files of every kind."""
    files = []
    for folder in ("seeds", "regressions"):
        for source in sorted((ROOT / "fuzz" / folder).iterdir()):
            if source.suffix not in (".mos", ".bmp", ".png"):
                continue
            data = source.read_bytes()
            variants = {"whole": data, "cut": data[: len(data) * 2 // 3], "header": bytearray(data)}
            variants["header"][min(12, len(data) - 1)] ^= 0x41
            for name, bytes_ in variants.items():
                path = tmp_path / f"{source.stem}-{name}{source.suffix}"
                path.write_bytes(bytes(bytes_))
                files.append(path)
    return files


def test_hostile_files_raise_with_the_programs_reason(tmp_path, program):
    files = _corpus(tmp_path)
    run = subprocess.run([str(program), "--check"] + [f.name for f in files], cwd=tmp_path,
                         capture_output=True, text=True)
    said = {}
    for line in (run.stdout + run.stderr).splitlines():
        name, sep, rest = line.partition(": ")
        if sep:
            said[name] = rest
    refused = 0
    for path in files:
        info = quiltpix.inspect(path)
        assert path.name in said, path.name
        if info.whole:
            assert said[path.name].endswith(": whole"), (path.name, said[path.name])
            continue
        refused += 1
        assert info.reason == said[path.name], path.name
        if path.suffix == ".mos":
            with pytest.raises(quiltpix.Error) as caught:
                quiltpix.read(path)
            assert caught.value.reason == info.reason
            assert str(caught.value) == f"{path}: {info.reason}"
            with pytest.raises(quiltpix.Error):
                quiltpix.read(path.read_bytes())
    assert refused > 20


def test_rows_come_in_bands_in_memory_that_does_not_grow_with_the_height(tmp_path):
    pixels = tiled(256, 4096, seed=9, colours=16)
    path = tmp_path / "tall.mos"
    quiltpix.write(pixels, path)
    seen = numpy.zeros(4096, bool)
    matches = []

    def band(y, rows):
        seen[y:y + len(rows)] = True
        matches.append(numpy.array_equal(rows, pixels[y:y + len(rows)]))

    tracemalloc.start()
    quiltpix.read_rows(path, band, rows=100)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert seen.all() and all(matches) and len(matches) == 41
    assert peak < 256 * 3 * 4096 // 16, peak  # the whole picture would be 3 MiB

    def stop(y, rows):
        raise KeyError("enough")

    with pytest.raises(KeyError, match="enough"):
        quiltpix.read_rows(path, stop)


def test_separate_threads_convert_at_once():
    pictures = [tiled(200, 150, seed=s) for s in range(4)]
    results = [None] * 4

    def work(k):
        data, _ = quiltpix.encode(pictures[k])
        results[k] = numpy.array_equal(quiltpix.read(data), pictures[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 4

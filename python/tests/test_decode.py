"""quorvin.open().read() and rows() against the quorvin tool and Pillow on
every generated sample; sources, errors, options, pages and threads."""
import concurrent.futures
import io
import os
import pathlib

import numpy as np
import pytest

import quorvin
from conftest import as_shown, to_rgb, tool_rgb

SAMPLE_NAMES = [
    "bmp1.bmp", "bmp24.bmp", "bmp4-topdown.bmp", "bmp8.bmp", "grey8.bmp", "rle8.bmp", "os2.bmp",
    "interlaced.gif", "plain.gif", "pcx8.pcx", "pcx24.pcx", "tga24.tga", "tga8-rle.tga", "tga-grey.tga",
    "tiff-grey8.tif", "tiff-minwhite-packbits.tif", "tiff-bilevel-packbits.tif", "tiff-palette4-packbits.tif",
    "tiff-palette8-lzw.tif", "tiff-rgb-lzw-predictor.tif", "tiff-rgb-bigendian.tif", "tiff-cmyk.tif",
    "tiff-pages.tif", "fax-g3.tif", "fax-g3-2d.tif", "fax-g4-lsb.tif", "fax-raw.g3",
]


def generated(samples):
    return [n for n in samples if n.startswith("gen-")]


@pytest.fixture(scope="module")
def every(samples):
    names = SAMPLE_NAMES + generated(samples)
    missing = [n for n in names if n not in samples]
    assert not missing, "samples not written: %s" % missing
    return names


def test_every_sample_matches_the_tool_and_pillow(samples, every, tool, tmp_path):
    from PIL import Image as PILImage

    modes, pillow_checked = set(), 0
    for name in every:
        image = quorvin.open(samples[name])
        pixels = image.read()
        modes.add(image.mode)
        assert pixels.dtype == np.uint8 and pixels.shape == image.shape, name
        assert pixels.flags.c_contiguous, name
        rgb = to_rgb(image, pixels)
        np.testing.assert_array_equal(as_shown(image, rgb), tool_rgb(tool, samples[name], tmp_path), err_msg=name)
        try:
            peer = PILImage.open(samples[name])
            peer.load()
        except Exception:  # Pillow has no reader for raw fax data
            assert name.endswith(".g3"), name
            continue
        if image.mode == "CMYK":
            np.testing.assert_array_equal(pixels, np.asarray(peer), err_msg=name)
        else:
            np.testing.assert_array_equal(rgb, np.asarray(peer.convert("RGB")), err_msg=name)
        pillow_checked += 1
    assert modes == {"1", "L", "P", "RGB", "CMYK"}, modes
    assert pillow_checked == len(every) - 1


@pytest.mark.parametrize("band", [1, 3, 64, 100000])
def test_bands_put_together_are_the_whole_image(samples, every, band):
    for name in every:
        image = quorvin.open(samples[name])
        bands = list(image.rows(band=band))
        assert all(b.shape[0] == band for b in bands[:-1]), name
        assert 0 < bands[-1].shape[0] <= band
        np.testing.assert_array_equal(np.concatenate(bands), image.read(), err_msg=name)


def test_leaving_the_rows_early_stops_the_decode(samples):
    image = quorvin.open(samples["fax-g3.tif"])
    rows = image.rows(band=8)
    first = next(rows)
    assert first.shape == (8, 1728)
    rows.close()
    assert list(rows) == []
    with image.rows(band=4) as again:
        np.testing.assert_array_equal(next(again), image.read()[:4])
    for _ in image.rows(band=16):
        break  # dropped unfinished; the decode thread must end with it


def test_every_kind_of_source_gives_the_same_pixels(samples):
    path = samples["tiff-rgb-lzw-predictor.tif"]
    data = pathlib.Path(path).read_bytes()
    want = quorvin.open(path).read()
    with open(path, "rb") as f:
        f.read(0)
        from_file = quorvin.open(f).read()
    for source in (pathlib.Path(path), data, bytearray(data), memoryview(data),
                   io.BytesIO(data)):
        np.testing.assert_array_equal(quorvin.open(source).read(), want, err_msg=type(source).__name__)
    np.testing.assert_array_equal(from_file, want)
    np.testing.assert_array_equal(np.concatenate(list(quorvin.open(data).rows(band=5))), want)
    with pytest.raises(TypeError):
        quorvin.open(12)
    with pytest.raises(TypeError):
        quorvin.open(io.StringIO("text"))


def test_failures_raise_decode_error_or_os_error(samples, tmp_path):
    data = pathlib.Path(samples["gen-bmp24-v5.bmp"]).read_bytes()
    cases = [
        (b"", None),                                   # empty
        (b"not an image at all, nothing here" * 4, None),
        (data[:60], None),                             # header cut short: refused when read
    ]
    for source, _ in cases:
        with pytest.raises(quorvin.DecodeError) as caught:
            quorvin.open(source).read()
        error = caught.value
        assert isinstance(error, ValueError)
        assert error.status < 0 and error.text and "status %d" % error.status in str(error)
    with pytest.raises(quorvin.DecodeError) as caught:
        quorvin.open(samples["tiff-pages.tif"], page=4)
    assert caught.value.status == -1703
    assert caught.value.text == quorvin._quorvin.status_text(-1703)
    assert "the file has 3 pages" in str(caught.value)
    with pytest.raises(FileNotFoundError) as missing:
        quorvin.open(str(tmp_path / "absent.tif"))
    assert missing.value.filename == str(tmp_path / "absent.tif")
    with pytest.raises(IsADirectoryError):
        quorvin.open(tmp_path)
    with pytest.raises(ValueError):
        quorvin.open(samples["bmp8.bmp"], page=0)
    with pytest.raises(TypeError):
        quorvin.open(samples["bmp8.bmp"], colour="red")
    with pytest.raises(ValueError):
        quorvin.open(samples["bmp8.bmp"], type="TOOLONG")
    # A file that goes away between open() and read() is an OSError at read().
    gone = tmp_path / "gone.bmp"
    gone.write_bytes(data)
    image = quorvin.open(gone)
    gone.unlink()
    with pytest.raises(FileNotFoundError):
        image.read()
    with pytest.raises(FileNotFoundError):
        list(image.rows(band=2))


def test_pages_and_descriptive_tags(samples):
    path = samples["tiff-pages.tif"]
    images = list(quorvin.pages(path))
    assert [(i.page, i.page_count, i.mode) for i in images] == [(1, 3, "L"), (2, 3, "RGB"), (3, 3, "P")]
    for image in images:
        np.testing.assert_array_equal(image.read(), quorvin.open(path, page=image.page).read())
    tags = images[1].info["tags"]
    assert tags["DocumentName"] == "scan.tif" and tags["Software"] == "pysamples"
    assert images[1].info["dpi"] == (300.0, 150.0)
    assert images[1].info["compression"] == "packbits"
    assert quorvin.open(samples["fax-g4-lsb.tif"]).info["compression"] == "group4"
    header = quorvin.info(path, page=3)
    assert (header["width"], header["height"], header["mode"], header["page_count"]) == (33, 21, "P", 3)
    assert header["palette"].shape == (16, 3)
    assert [i.page for i in quorvin.pages(samples["bmp24.bmp"])] == [1]
    gif = quorvin.info(samples["interlaced.gif"])
    assert gif["type"] == "GIFu" and gif["transparency"] == 3


def test_options(samples, tool, tmp_path):
    raw = samples["fax-raw.g3"]
    guessed = quorvin.open(raw)
    assert guessed.info["type"] == "G3" and guessed.mode == "1"
    pixels = guessed.read()
    np.testing.assert_array_equal(quorvin.open(raw, type="G3", fax_fill_order="msb").read(), pixels)
    negative = quorvin.open(raw, type="G3", fax_photometric="black").read()
    np.testing.assert_array_equal(negative, 255 - pixels)
    np.testing.assert_array_equal(to_rgb(guessed, negative)[:, :, 0],
                                  tool_rgb(tool, raw, tmp_path, ["--fax-photometric", "black"])[:, :, 0])
    for name in ("tiff-rgb-lzw-predictor.tif", "gen-rle8.bmp", "interlaced.gif"):
        np.testing.assert_array_equal(quorvin.open(samples[name], strict=True).read(),
                                      quorvin.open(samples[name]).read())
    # max_memory reaches the decoder as its MemoryLimit; values it cannot hold are refused here.
    assert quorvin.open(samples["tiff-palette8-lzw.tif"], max_memory=1 << 20).read().shape == (25, 40)
    for bad in (-1, 1 << 32, "1M"):
        with pytest.raises((ValueError, TypeError)):
            quorvin.open(samples["tiff-palette8-lzw.tif"], max_memory=bad)


def test_to_pil_shows_the_same_pixels(samples):
    from PIL import Image as PILImage

    for name in ("bmp1.bmp", "grey8.bmp", "bmp8.bmp", "bmp24.bmp", "tiff-cmyk.tif", "interlaced.gif"):
        image = quorvin.open(samples[name])
        picture = image.to_pil()
        assert isinstance(picture, PILImage.Image) and picture.mode == image.mode
        assert picture.size == (image.width, image.height)
        if image.mode == "CMYK":
            np.testing.assert_array_equal(np.asarray(picture), image.read())
        else:
            np.testing.assert_array_equal(np.asarray(picture.convert("RGB")), to_rgb(image, image.read()))
    assert quorvin.open(samples["interlaced.gif"]).to_pil().info["transparency"] == 3


def test_eight_threads_decoding_at_once_give_the_same_arrays(samples, every):
    images = [quorvin.open(samples[n]) for n in every]
    want = [image.read() for image in images]
    jobs = [i % len(images) for i in range(8 * 12)]

    def decode(i):
        if i % 3 == 0:
            return i, np.concatenate(list(images[i].rows(band=7)))
        return i, images[i].read()

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        for i, got in pool.map(decode, jobs):
            np.testing.assert_array_equal(got, want[i], err_msg=every[i])

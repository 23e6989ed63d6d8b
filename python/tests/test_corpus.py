"""Corpus files (../shared/corpus) through quorvin.open().read(), compared
with the quorvin tool's PNG of the same file; a refusal must be the tool's
refusal too. Every third decodable file, to keep the suite short."""
import csv
import os
import subprocess

import numpy as np
import pytest

import quorvin
from conftest import as_shown, to_rgb

CORPUS = os.environ.get("QV_CORPUS_DIR", "")


def corpus_files():
    manifest = os.path.join(CORPUS, "MANIFEST.tsv")
    if not os.path.exists(manifest):
        return []
    with open(manifest, newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return [os.path.join(CORPUS, r["path"]) for r in rows if not r["path"].startswith("reference/")][::3]


def test_corpus_files_read_as_the_tool_writes_them(tool, tmp_path):
    from PIL import Image as PILImage

    files = corpus_files()
    if not files:
        pytest.skip("no corpus at %r" % CORPUS)
    compared = refused = 0
    for path in files:
        out = tmp_path / "out.png"
        done = subprocess.run([tool, "decode", path, "-o", str(out)], capture_output=True)
        try:
            image = quorvin.open(path)
            pixels = image.read()
        except quorvin.DecodeError as error:
            assert done.returncode != 0 or "layout" in str(error), (path, str(error))
            refused += 1
            continue
        # 3: decoded as far as a damaged file goes, which the image reports.
        assert done.returncode in (0, 3), (path, done.stderr)
        assert (done.returncode == 3) == (image.info["damaged_rows"] > 0), (path, done.stderr)
        with PILImage.open(out) as png:
            np.testing.assert_array_equal(as_shown(image, to_rgb(image, pixels)), np.asarray(png.convert("RGB")),
                                          err_msg=path)
        np.testing.assert_array_equal(np.concatenate(list(image.rows(band=37))), pixels, err_msg=path)
        compared += 1
    print("corpus: %d files compared with the tool, %d refused by both" % (compared, refused))
    assert compared > 100

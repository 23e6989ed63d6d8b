"""Shared fixtures: the sample files (written once per session by the
project's pysamples program), the quorvin tool, and decoding helpers."""
import os
import subprocess

import pytest

TOOL = os.environ.get("QV_TOOL", "")
PYSAMPLES = os.environ.get("QV_PYSAMPLES", "")


def need(path, what):
    if not path or not os.path.exists(path):
        pytest.skip("%s not found (set %s)" % (what, "QV_TOOL" if what == "quorvin tool" else "QV_PYSAMPLES"))
    return path


@pytest.fixture(scope="session")
def tool():
    return need(TOOL, "quorvin tool")


@pytest.fixture(scope="session")
def samples(tmp_path_factory):
    """Directory of generated samples: name -> path."""
    need(PYSAMPLES, "pysamples")
    folder = tmp_path_factory.mktemp("samples")
    subprocess.run([PYSAMPLES, str(folder)], check=True)
    subprocess.run([os.path.join(os.path.dirname(PYSAMPLES), "samplegen"), "--set", str(folder)], check=True,
                   stdout=subprocess.DEVNULL)
    files = {name: str(folder / name) for name in sorted(os.listdir(folder))}
    assert len(files) >= 30, files
    return files


def to_rgb(image, pixels):
    """An array of any mode as (H, W, 3) RGB, as the tool's PNG output shows it."""
    import numpy as np

    if image.mode in ("1", "L"):
        return np.repeat(pixels[:, :, None], 3, axis=2)
    if image.mode == "P":
        return image.palette[pixels]
    if image.mode == "RGB":
        return pixels
    if image.mode == "RGBA":
        return pixels[:, :, :3]
    # CMYK as the tool writes it: (255 - K) x (255 - ink) / 255, rounded.
    white = 255 - pixels[:, :, 3:4].astype(np.uint32)
    t = pixels[:, :, :3].astype(np.uint32) * white + 128
    return (white - ((t + (t >> 8)) >> 8)).astype(np.uint8)


def as_shown(image, rgb):
    """The stored rows turned by the orientation the file states (TIFF
    numbering), as the tool writes them."""
    import numpy as np

    turn = {
        2: np.fliplr, 3: lambda a: np.rot90(a, 2), 4: np.flipud, 5: lambda a: a.transpose(1, 0, 2),
        6: lambda a: np.rot90(a, -1), 7: lambda a: np.rot90(a, 2).transpose(1, 0, 2), 8: lambda a: np.rot90(a, 1),
    }.get(image.info.get("orientation", 1))
    return np.ascontiguousarray(turn(rgb)) if turn else rgb


def tool_rgb(tool, path, tmp_path, extra=()):
    """The tool's PNG of path, read back by Pillow as RGB."""
    import numpy as np
    from PIL import Image as PILImage

    out = tmp_path / (os.path.basename(path) + ".png")
    subprocess.run([tool, "decode", path, "-o", str(out), *extra], check=True, stderr=subprocess.DEVNULL)
    with PILImage.open(out) as png:
        return np.asarray(png.convert("RGB"))

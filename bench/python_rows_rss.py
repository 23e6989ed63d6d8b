"""Peak RSS of iterating quorvin's rows() over a 50000 x 50000 page.

Writes a bilevel (1-bit) 50000 x 50000 BMP stored top row first (negative
height; about 313 MB) row by row, then
runs a fresh /usr/bin/python3 that imports numpy and quorvin, opens it and
iterates every band, and reports that process's peak resident set size
(ru_maxrss) next to the same figure after the imports alone.
Usage: PYTHONPATH=build/release/lib/python /usr/bin/python3 bench/python_rows_rss.py [band ...]
A file stored bottom row first (a plain BMP, a bottom-up Targa) cannot be
handed over top row first without holding its rows: rows() then keeps them
until their turn, and its memory is the image's.
"""
import os
import struct
import subprocess
import sys
import tempfile

SIZE = 50000


def write_bmp(path):
    stride = (SIZE + 31) // 32 * 4
    with open(path, "wb") as f:
        data = stride * SIZE
        f.write(b"BM" + struct.pack("<IHHI", 14 + 40 + 8 + data, 0, 0, 14 + 40 + 8))
        f.write(struct.pack("<IiiHHIIiiII", 40, SIZE, -SIZE, 1, 1, 0, data, 3780, 3780, 2, 0))
        f.write(bytes([255, 255, 255, 0, 0, 0, 0, 0]))
        rows = [bytes((((x * 7 + y) >> 3) & 0xFF) for x in range(stride)) for y in range(64)]
        for y in range(SIZE):
            f.write(rows[y % 64])


CHILD = r"""
import resource, sys, time
import numpy, quorvin
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
image = quorvin.open(sys.argv[1])
band = int(sys.argv[2]) if sys.argv[2] != "default" else None
start, rows, ink = time.monotonic(), 0, 0
for b in image.rows(band=band):
    rows += b.shape[0]
    ink += int(b[:, ::97].sum() // 255)
assert rows == image.height
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("%s %dx%d mode %s, band %s: %d rows in %.1f s; peak RSS %.1f MB (after the imports %.1f MB)"
      % (sys.argv[1].rsplit("/", 1)[-1], image.width, image.height, image.mode, sys.argv[2], rows,
         time.monotonic() - start, peak / 1024, base / 1024))
"""


def main():
    bands = sys.argv[1:] or ["default", "64", "1024"]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "page-50000.bmp")
        write_bmp(path)
        for band in bands:
            subprocess.run(["/usr/bin/python3", "-c", CHILD, path, band], check=True)


if __name__ == "__main__":
    main()

"""Decode BMP, GIF, PCX, Targa, TIFF, PNG, JPEG and raw fax images into NumPy arrays.

    >>> import quorvin
    >>> image = quorvin.open("scan.tif", page=2)
    >>> image.width, image.height, image.mode
    (1728, 2200, '1')
    >>> pixels = image.read()                  # (height, width) uint8 array
    >>> for band in image.rows(band=256):      # bounded memory, top rows first
    ...     process(band)

Arrays hold one byte per sample, top row first, red first: shape (H, W) for
modes "1", "L" and "P", (H, W, 3) for "RGB", (H, W, 4) for "RGBA" and
"CMYK". Mode "1" holds 0 and 255; "P" holds palette indices (see
Image.palette). Decoding runs in native code with the GIL released, so
threads decode in parallel.

Errors: DecodeError (a ValueError) when the decoder refuses the data, with
.status (the decoder's negative status number) and .text (its meaning);
OSError when a file cannot be read.

quorvin.dask (needs dask and distributed) maps the same decoding over a
cluster.
"""

import os as _os

from . import _quorvin
from ._quorvin import DecodeError

__all__ = ["open", "info", "pages", "Image", "DecodeError", "convert", "output_path"]

DecodeError.__doc__ = """The decoder refused the data (a ValueError).

Attributes:
    status: the decoder's status number (negative), e.g. -7006.
    text: the meaning of that status, e.g. "invalid or unsupported header".
The message names the status, its meaning and the image type tried."""

# Descriptive TIFF tags by number (the reader hands them over as they stand
# in the file).
_TIFF_TAGS = {
    254: "NewSubfileType", 269: "DocumentName", 270: "ImageDescription", 271: "Make",
    272: "Model", 282: "XResolution", 283: "YResolution", 285: "PageName",
    286: "XPosition", 287: "YPosition", 296: "ResolutionUnit", 297: "PageNumber",
    305: "Software", 306: "DateTime", 315: "Artist", 316: "HostComputer",
    33432: "Copyright",
}
_TIFF_COMPRESSION = {1: "none", 2: "ccitt_rle", 3: "group3", -3: "group3_2d", 4: "group4",
                     5: "lzw", 32773: "packbits"}
_TYPE_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8}
_OPTIONS = ("page", "type", "fax_fill_order", "fax_photometric", "strict", "max_memory")


def _tag_value(field_type, count, raw, big_endian):
    """A TIFF tag's values as Python values: text, a number or a tuple."""
    if field_type == 2:
        return raw.split(b"\0", 1)[0].decode("latin-1")
    size = _TYPE_SIZES.get(field_type)
    if size is None or len(raw) < size * count:
        return raw
    order = "big" if big_endian else "little"
    signed = field_type in (6, 8, 9, 10)
    values = []
    for i in range(count):
        chunk = raw[i * size:(i + 1) * size]
        if field_type in (5, 10):
            num = int.from_bytes(chunk[:4], order, signed=signed)
            den = int.from_bytes(chunk[4:], order, signed=signed)
            values.append(num / den if den else float("nan"))
        elif field_type in (11, 12):
            import struct
            values.append(struct.unpack((">" if big_endian else "<") + ("f" if size == 4 else "d"), chunk)[0])
        elif field_type == 7:
            return bytes(raw[:count])
        else:
            values.append(int.from_bytes(chunk, order, signed=signed))
    return values[0] if count == 1 else tuple(values)


def _info_dict(probed, source_name):
    facts = probed.facts()
    tags = {}
    for kind, data in facts["extras"]:
        if probed.page_count >= 0 and 0x4000 <= kind <= 0x4000 + 0xFFFF and len(data) >= 6:
            number = kind - 0x4000
            field_type = int.from_bytes(data[0:2], "little")
            count = int.from_bytes(data[2:6], "little")
            tags[_TIFF_TAGS.get(number, number)] = _tag_value(field_type, count, data[6:], facts["big_endian"])
    dpi = None
    if "XResolution" in tags and "YResolution" in tags and tags.get("ResolutionUnit", 2) in (2, 3):
        scale = 2.54 if tags.get("ResolutionUnit", 2) == 3 else 1.0
        try:
            dpi = (float(tags["XResolution"]) * scale, float(tags["YResolution"]) * scale)
        except (TypeError, ValueError):
            dpi = None
    elif facts["x_pels_per_meter"] > 0 and facts["y_pels_per_meter"] > 0:
        dpi = (facts["x_pels_per_meter"] * 0.0254, facts["y_pels_per_meter"] * 0.0254)
    code = facts["file_compression"]
    info = {
        "type": facts["type"].rstrip(),
        "bits": facts["bits"],
        "compression": _TIFF_COMPRESSION.get(code, code) if probed.page_count >= 0 or code else None,
        "tags": tags,
        "dpi": dpi,
        "orientation": facts["orientation"],
        "damaged_rows": facts["damaged_rows"],
        "source": source_name,
    }
    if facts["type"].startswith("G3"):
        info["compression"] = "group3_2d" if facts["type"] == "G32D" else "group3"
    if "guess" in facts:
        info["guess"] = facts["guess"]
    return info


def _source(source):
    """(object the native module reads, name for messages)."""
    if isinstance(source, (str, _os.PathLike)):
        path = _os.fspath(source)
        if isinstance(path, bytes):
            path = _os.fsdecode(path)
        return path, path
    if isinstance(source, bytes):
        return source, "<bytes>"
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source), "<bytes>"
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError("source must be a path, bytes, a memoryview or a binary file object, not "
                        + type(source).__name__)
    data = read()
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("source.read() returned " + type(data).__name__ + ", not bytes (open the file in binary mode)")
    return bytes(data), getattr(source, "name", "<file>") if isinstance(getattr(source, "name", None), str) else "<file>"


def _settings(page=1, type=None, fax_fill_order=None, fax_photometric=None, strict=False, max_memory=0):
    if isinstance(page, bool) or not isinstance(page, int):
        raise TypeError("page must be an int counted from 1")
    if page < 1:
        raise ValueError("page: pages are counted from 1")
    if not isinstance(max_memory, int) or max_memory < 0:
        raise ValueError("max_memory: a number of bytes, 0 for the default")
    return dict(page=page, type=type, fax_fill_order=fax_fill_order, fax_photometric=fax_photometric,
                strict=bool(strict), max_memory=max_memory)


class Image:
    """One decoded image: its header facts now, its pixels on request.

    Made by quorvin.open() and quorvin.pages(); the header was read when the
    image was opened, the rows are decoded by read() or rows() (each call
    decodes the file again, so an Image can be read more than once and from
    several threads).

    Attributes:
        width, height: size in pixels.
        mode: "1" (bilevel, values 0 and 255), "L" (grey), "P" (palette
            indices), "RGB", "RGBA" or "CMYK".
        palette: for mode "P", a (N, 3) uint8 array of red, green, blue;
            else None.
        transparency: the transparent palette index (GIF) or None.
        info: dict with "type" (the image type code, e.g. "TIF1"), "bits"
            (bits per pixel delivered), "compression" (TIFF and fax:
            "none", "packbits", "lzw", "ccitt_rle", "group3", "group3_2d",
            "group4"; else None), "tags" (TIFF descriptive tags by name:
            text, numbers or tuples), "dpi" ((x, y) or None),
            "orientation" (1 to 8 as TIFF numbers it: how the stored rows
            are to be shown; read() gives them as stored) and
            "damaged_rows" (rows of a damaged or cut file filled in:
            known once read() or rows() has decoded the image; 0 until
            then unless the header already shows them).
        page: the page this image is (TIFF; 1 for other files).
        page_count: pages in the file (TIFF), else 1.
    """

    __slots__ = ("_probed", "_name", "info")

    def __init__(self, probed, name):
        self._probed = probed
        self._name = name
        self.info = _info_dict(probed, name)

    width = property(lambda self: self._probed.width, doc="Width in pixels.")
    height = property(lambda self: self._probed.height, doc="Height in pixels.")
    mode = property(lambda self: self._probed.mode, doc='"1", "L", "P", "RGB", "RGBA" or "CMYK".')
    palette = property(lambda self: self._probed.palette, doc='(N, 3) uint8 RGB palette for mode "P", else None.')
    transparency = property(lambda self: self._probed.transparency, doc="Transparent palette index, or None.")
    page = property(lambda self: self._probed.page, doc="The page this image is, counted from 1.")
    page_count = property(lambda self: max(self._probed.page_count, 1), doc="Pages in the file (1 unless TIFF).")

    @property
    def shape(self):
        """The shape read() returns: (height, width) or (height, width, channels)."""
        channels = {"RGB": 3, "RGBA": 4, "CMYK": 4}.get(self.mode)
        return (self.height, self.width) + ((channels,) if channels else ())

    def __repr__(self):
        return "<quorvin.Image %s %dx%d mode=%s page %d of %d>" % (
            self.info["type"], self.width, self.height, self.mode, self.page, self.page_count)

    def read(self):
        """Decode the whole image into a new uint8 NumPy array of self.shape.

        The decoder writes the rows straight into the array's memory; the GIL
        is released meanwhile. Raises DecodeError or OSError."""
        pixels = self._probed.read()
        self.info["damaged_rows"] = self._probed.facts()["damaged_rows"]
        return pixels

    def rows(self, band=None):
        """Iterate over the image in bands of `band` rows, top band first.

        Each band is a new uint8 array of shape (rows, width[, channels]);
        the last may be shorter. Memory stays bounded by a few bands,
        whatever the image size (default: about 4 MiB of pixels per band).
        The decode runs on a thread of its own while you process a band;
        leaving the loop early stops it."""
        if band is None:
            row = self.width * {"RGB": 3, "RGBA": 4, "CMYK": 4}.get(self.mode, 1)
            band = max(1, (4 << 20) // max(row, 1))
        if isinstance(band, bool) or not isinstance(band, int) or band < 1:
            raise ValueError("band: a number of rows, at least 1")
        return _BandIterator(self._probed.rows(band), self)

    def to_pil(self):
        """The image as a PIL.Image.Image (needs Pillow, imported only now)."""
        from PIL import Image as PILImage

        pixels = self.read()
        if self.mode == "1":
            return PILImage.fromarray(pixels, "L").convert("1")
        picture = PILImage.fromarray(pixels, self.mode)
        if self.mode == "P":
            picture.putpalette(self.palette.tobytes())
            if self.transparency is not None:
                picture.info["transparency"] = self.transparency
        if self.info.get("dpi"):
            picture.info["dpi"] = self.info["dpi"]
        return picture


class _BandIterator:
    __slots__ = ("_bands", "_image")

    def __init__(self, bands, image):
        self._bands = bands
        self._image = image

    def __iter__(self):
        return self

    def __next__(self):
        if self._bands is None:
            raise StopIteration
        band = self._bands.next()
        if band is None:
            self._bands = None
            self._image.info["damaged_rows"] = self._image._probed.facts()["damaged_rows"]
            raise StopIteration
        return band

    def close(self):
        """Stop decoding (also done when the iterator is dropped)."""
        if self._bands is not None:
            self._bands.close()
            self._bands = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open(source, page=1, **options):
    """Open an image and read its header (the rows are decoded later).

    source: a path (str or os.PathLike), bytes, bytearray or memoryview
        holding the file, or a binary file object (read to its end from its
        current position).
    page: the TIFF page, counted from 1 (a missing page raises DecodeError
        with status -1703 and the page count in its message).
    options (keywords, as the quorvin tool's):
        type: the image type code ("BMPR", "GIFu", "PCX8", "TGA2", "TIF1",
            "G3", "G32D", ...; "0" for BMP); default: detected from the
            content, raw Group 3 fax data by its first rows.
        fax_fill_order: raw fax bit order, "msb" or "lsb" (default guessed).
        fax_photometric: raw fax colour of a 0 bit, "white" (default) or
            "black".
        strict: True decodes only what the classic decoder accepts (clears
            the extended-decoding bit); default False.
        max_memory: bytes of working buffers one decode may hold (0: the
            decoder's default, 256 MiB).
    Rows always come top row first.

    Returns an Image. Raises DecodeError (a ValueError) when the data is
    refused, OSError when the file cannot be read, TypeError for a source
    of another kind.
    """
    unknown = set(options) - set(_OPTIONS)
    if unknown:
        raise TypeError("open() got unexpected keyword argument(s): " + ", ".join(sorted(unknown)))
    settings = _settings(page=page, **options)
    data, name = _source(source)
    return Image(_quorvin.probe(data, name, **settings), name)


def info(source, page=1, **options):
    """The header facts of an image without decoding its rows, as a dict:
    width, height, mode, page, page_count, palette, transparency and the
    entries of Image.info. Takes the arguments of open()."""
    image = open(source, page, **options)
    facts = dict(image.info)
    facts.update(width=image.width, height=image.height, mode=image.mode, page=image.page,
                 page_count=image.page_count, palette=image.palette, transparency=image.transparency)
    return facts


def pages(source, **options):
    """Iterate over every page of a TIFF file as Images (any other file: its
    one image). Takes open()'s keywords except page."""
    if "page" in options:
        raise TypeError("pages() takes no page; it yields every page")
    data, name = _source(source)
    count = _quorvin.page_count(data, name)
    for number in range(1, max(count, 1) + 1):
        settings = _settings(page=number, **options)
        yield Image(_quorvin.probe(data, name, **settings), name)


def output_path(source, out_dir, format="png"):
    """Where quorvin batch and quorvin.dask.convert put the image of source:
    the source path as given, made relative (a leading "/" and any "." or
    ".." parts dropped), under out_dir, with its extension replaced by the
    format's."""
    parts = [p for p in _os.fspath(source).split("/") if p not in ("", ".", "..")]
    if not parts:
        raise ValueError("no file name in %r" % (source,))
    name = parts[-1]
    dot = name.rfind(".")
    parts[-1] = (name[:dot] if dot > 0 else name) + "." + format
    return _os.path.join(_os.fspath(out_dir), *parts)


def convert(source, target, format="png", pages="first", **options):
    """Decode source into the BMP or PNG file target, byte for byte as
    `quorvin decode` and `quorvin batch` write it (through a temporary file
    beside target, renamed when complete).

    format: "png" or "bmp". pages: "first" (the page option, default 1) or
    "all" (every TIFF page to target's name with -1, -2, ... before the
    extension). Other keywords as open(). Returns a list of (output path,
    error) pairs, error "" on success; nothing is raised for a file that
    fails to decode."""
    if pages not in ("first", "all"):
        raise ValueError('pages: "first" or "all"')
    unknown = set(options) - set(_OPTIONS)
    if unknown:
        raise TypeError("convert() got unexpected keyword argument(s): " + ", ".join(sorted(unknown)))
    settings = _settings(**options)
    data, name = _source(source)
    return _quorvin.convert(data, name, _os.fspath(target), format, pages == "all", **settings)

import os
from typing import IO, Any, Iterator, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

Source = Union[str, os.PathLike[str], bytes, bytearray, memoryview, IO[bytes]]
Mode = Literal["1", "L", "P", "RGB", "RGBA", "CMYK"]
Pixels = npt.NDArray[np.uint8]

class DecodeError(ValueError):
    status: int
    text: str

class _BandIterator(Iterator[Pixels]):
    def __iter__(self) -> "_BandIterator": ...
    def __next__(self) -> Pixels: ...
    def close(self) -> None: ...
    def __enter__(self) -> "_BandIterator": ...
    def __exit__(self, *exc: Any) -> None: ...

class Image:
    info: dict[str, Any]
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def mode(self) -> Mode: ...
    @property
    def palette(self) -> Optional[Pixels]: ...
    @property
    def transparency(self) -> Optional[int]: ...
    @property
    def page(self) -> int: ...
    @property
    def page_count(self) -> int: ...
    @property
    def shape(self) -> Tuple[int, ...]: ...
    def read(self) -> Pixels: ...
    def rows(self, band: Optional[int] = ...) -> _BandIterator: ...
    def to_pil(self) -> Any: ...

def open(
    source: Source,
    page: int = ...,
    *,
    type: Optional[str] = ...,
    fax_fill_order: Optional[Literal["msb", "lsb"]] = ...,
    fax_photometric: Optional[Literal["white", "black"]] = ...,
    strict: bool = ...,
    max_memory: int = ...,
) -> Image: ...
def info(
    source: Source,
    page: int = ...,
    *,
    type: Optional[str] = ...,
    fax_fill_order: Optional[Literal["msb", "lsb"]] = ...,
    fax_photometric: Optional[Literal["white", "black"]] = ...,
    strict: bool = ...,
    max_memory: int = ...,
) -> dict[str, Any]: ...
def pages(
    source: Source,
    *,
    type: Optional[str] = ...,
    fax_fill_order: Optional[Literal["msb", "lsb"]] = ...,
    fax_photometric: Optional[Literal["white", "black"]] = ...,
    strict: bool = ...,
    max_memory: int = ...,
) -> Iterator[Image]: ...
def output_path(source: Union[str, os.PathLike[str]], out_dir: Union[str, os.PathLike[str]],
                format: Literal["png", "bmp"] = ...) -> str: ...
def convert(
    source: Source,
    target: Union[str, os.PathLike[str]],
    format: Literal["png", "bmp"] = ...,
    pages: Literal["first", "all"] = ...,
    *,
    page: int = ...,
    type: Optional[str] = ...,
    fax_fill_order: Optional[Literal["msb", "lsb"]] = ...,
    fax_photometric: Optional[Literal["white", "black"]] = ...,
    strict: bool = ...,
    max_memory: int = ...,
) -> list[Tuple[str, str]]: ...

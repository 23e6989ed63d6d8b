import os
from typing import Any, Iterable, Literal, Optional, Union

import dask.array

Path = Union[str, os.PathLike[str]]

def convert(
    paths: Iterable[Path],
    out_dir: Path,
    client: Optional[Any] = ...,
    format: Literal["png", "bmp"] = ...,
    pages: Literal["all", "first"] = ...,
) -> list[dict[str, Any]]: ...
def imread(paths: Iterable[Path], page: int = ...) -> dask.array.Array: ...

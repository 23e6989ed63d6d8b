"""The quorvin conversion on a Dask cluster (needs dask and distributed).

    >>> from distributed import Client
    >>> import quorvin.dask
    >>> client = Client("scheduler:8786")
    >>> report = quorvin.dask.convert(paths, "/shared/png", client=client)
    >>> failed = [r for r in report if r["status"] == "failed"]
    >>> stack = quorvin.dask.imread(paths)      # lazy (N, H, W[, C]) array
    >>> stack.mean(axis=0).compute()

Workers open the paths themselves: every path must name the same file on
every worker (a shared file system, or an object store mounted as one), and
out_dir must be writable by all of them. That is the deployment's business;
nothing here copies files about. convert() returns only its report, never
pixels; imread() ships each image's array back when its chunk is computed.
"""

import os

import dask
import dask.array as da
import distributed
import numpy as np

import quorvin

__all__ = ["convert", "imread"]


def _convert_one(path, out_dir, format, pages):
    """One source on a worker: the report line quorvin batch would write."""
    import time

    start = time.monotonic()
    target = quorvin.output_path(path, out_dir, format)
    os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
    results = quorvin.convert(path, target, format=format, pages="all" if pages == "all" else "first")
    errors = [error for _, error in results if error]
    return {
        "input": path,
        "status": "failed" if errors else "ok",
        "text": errors[0] if errors else "",
        "seconds": time.monotonic() - start,
        "outputs": [output for output, error in results if output and not error],
    }


def convert(paths, out_dir, client=None, format="png", pages="all"):
    """Convert every path to a BMP or PNG file under out_dir on the cluster.

    Each output keeps its path's relative position under out_dir, named and
    written exactly as `quorvin batch` does (quorvin.output_path; a TIFF's
    pages as NAME-1.EXT, ... with pages="all", the first page only with
    pages="first"). A file that fails is reported and does not stop the
    others; a task whose worker dies is run again elsewhere.

    client: a distributed.Client; default the current one, else a local
    cluster started for this call. Returns a list of dicts in the order of
    paths, each with input, status ("ok" or "failed"), text, seconds and
    outputs, like the lines of `quorvin batch --report`."""
    if format not in ("png", "bmp"):
        raise ValueError('format: "png" or "bmp"')
    if pages not in ("all", "first"):
        raise ValueError('pages: "all" or "first"')
    paths = [os.fspath(p) for p in paths]
    seen = {}
    for p in paths:
        target = quorvin.output_path(p, out_dir, format)
        if target in seen:
            raise ValueError("%s and %s would both be written to %s" % (seen[target], p, target))
        seen[target] = p
    own = None
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            own = client = distributed.Client()
    try:
        futures = client.map(_convert_one, paths, out_dir=os.fspath(out_dir), format=format, pages=pages,
                             pure=False)
        return client.gather(futures)
    finally:
        if own is not None:
            own.close()


def _read(path, page):
    return quorvin.open(path, page=page).read()


def imread(paths, page=1):
    """A lazy dask.array stacking the images of paths (all of one size and
    mode): shape (N, H, W) or (N, H, W, C), uint8, one chunk per image,
    each decoded on a worker when computed. The shape comes from the first
    image's header (read here, header only); an image of another size fails
    when its chunk is computed."""
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise ValueError("imread needs at least one path")
    shape = quorvin.open(paths[0], page=page).shape
    chunks = [da.from_delayed(dask.delayed(_read, pure=True)(p, page), shape=shape, dtype=np.uint8)
              for p in paths]
    return da.stack(chunks)

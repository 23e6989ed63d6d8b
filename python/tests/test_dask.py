"""quorvin.dask on a LocalCluster of two worker processes: convert gives the
files quorvin batch gives, a failing file is reported without stopping the
rest, a worker killed mid-task has its task run again, and imread computes
the stacked read()s."""
import filecmp
import os
import shutil
import subprocess

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
import quorvin  # noqa: E402
import quorvin.dask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def hundred(samples, tmp_path_factory):
    """100 sources in nested folders (every sample, cycled), one of them
    broken, by absolute path: the workers do not share the test's folder."""
    root = tmp_path_factory.mktemp("hundred")
    names = sorted(samples)
    paths = []
    for i in range(99):
        name = names[i % len(names)]
        folder = root / "src" / ("d%d" % (i % 4))
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / ("%03d-%s" % (i, name))
        shutil.copy(samples[name], target)
        paths.append(str(target))
    (root / "src" / "broken.tif").write_bytes(b"II*\x00\x08\x00\x00\x00\x00\x00")
    paths.append(str(root / "src" / "broken.tif"))
    return root, paths


def tree(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file())


def check_against_batch(tool, root, paths, out, report):
    batch = subprocess.run([tool, "batch", "-", "-o", "batch", "--pages", "all", "-j", "2"], cwd=root,
                           input="\n".join(paths) + "\n", capture_output=True, text=True)
    assert batch.returncode == 1, batch.stderr  # the broken file
    assert [r["input"] for r in report] == paths
    failed = [r for r in report if r["status"] != "ok"]
    assert [r["input"] for r in failed] == [str(root / "src" / "broken.tif")] and "status -" in failed[0]["text"]
    assert all(r["outputs"] for r in report if r["status"] == "ok")
    got, want = tree(root / out), tree(root / "batch")
    assert got == want and len(got) >= 100
    for name in got:
        assert filecmp.cmp(root / out / name, root / "batch" / name, shallow=False), name


def test_convert_writes_what_batch_writes(client, hundred, tool):
    root, paths = hundred
    report = quorvin.dask.convert(paths, root / "dask-out", client=client)
    check_against_batch(tool, root, paths, "dask-out", report)


def test_imread_computes_the_stacked_reads(client, samples):
    paths = [samples[n] for n in ("bmp24.bmp", "tga24.tga", "pcx24.pcx", "gen-bmp24-v5.bmp")
             if quorvin.open(samples[n]).shape == quorvin.open(samples["bmp24.bmp"]).shape]
    assert len(paths) >= 3
    stack = quorvin.dask.imread(paths)
    assert stack.shape == (len(paths), 61, 93, 3) and stack.dtype == np.uint8
    want = np.stack([quorvin.open(p).read() for p in paths])
    np.testing.assert_array_equal(client.compute(stack).result(), want)
    pages = quorvin.dask.imread([samples["tiff-pages.tif"]] * 2, page=2)
    np.testing.assert_array_equal(client.compute(pages).result()[1], quorvin.open(samples["tiff-pages.tif"], page=2).read())


class KillOnce(distributed.WorkerPlugin):
    """Ends the worker's process the first time a conversion starts on it
    (a marker file makes it once per cluster)."""

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        name = key[0] if isinstance(key, tuple) else key
        if finish == "executing" and str(name).startswith("_convert_one"):
            try:
                fd = os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
            except FileExistsError:
                return
            os.write(fd, str(os.getpid()).encode())
            os.close(fd)
            os._exit(1)


def test_a_killed_worker_s_task_is_run_again(client, hundred, tool, tmp_path):
    root, paths = hundred
    marker = tmp_path / "killed"
    client.register_worker_plugin(KillOnce(str(marker)), name="kill-once")
    try:
        report = quorvin.dask.convert(paths, root / "dask-killed", client=client)
    finally:
        client.unregister_worker_plugin("kill-once")
    assert marker.exists(), "no worker was killed"
    check_against_batch(tool, root, paths, "dask-killed", report)

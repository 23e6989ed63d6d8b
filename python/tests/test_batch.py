"""quorvin batch: outputs byte-identical to quorvin decode, kept at their
relative paths; the report, --resume, failures and exit codes."""
import filecmp
import json
import os
import shutil
import subprocess

import pytest


def run(tool, *args, stdin=None, cwd=None):
    return subprocess.run([tool, "batch", *args], input=stdin, cwd=cwd, capture_output=True, text=True)


@pytest.fixture()
def tree(samples, tmp_path):
    """src/ with the samples in two subfolders, plus one file that fails."""
    src = tmp_path / "src"
    for i, (name, path) in enumerate(sorted(samples.items())):
        folder = src / ("a" if i % 2 else "b/c")
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(path, folder / name)
    (src / "b" / "broken.bmp").write_bytes(b"BM" + b"\x00" * 40)
    return tmp_path


def read_report(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def test_batch_writes_what_decode_writes(tool, tree):
    for fmt, jobs in (("png", "4"), ("bmp", "1")):
        out = "out-" + fmt
        result = run(tool, "src", "-o", out, "-j", jobs, "-f", fmt, "--pages", "all", "--report", "r.jsonl",
                     cwd=tree)
        assert result.returncode == 1, result.stderr  # broken.bmp
        report = read_report(tree / "r.jsonl")
        inputs = sorted(str(p.relative_to(tree)) for p in (tree / "src").rglob("*") if p.is_file())
        assert sorted(r["input"] for r in report) == inputs
        failed = [r for r in report if r["status"] == "failed"]
        assert [r["input"] for r in failed] == ["src/b/broken.bmp"] and "status -" in failed[0]["text"]
        assert "src/b/broken.bmp" in result.stderr
        checked = 0
        for r in report:
            if r["status"] != "ok":
                continue
            assert r["seconds"] >= 0 and r["outputs"], r
            pages = len(r["outputs"])
            for page, output in enumerate(r["outputs"], 1):
                assert output.startswith(out + "/src/")
                single = tree / ("single." + fmt)
                extra = ["--page", str(page)] if output.endswith("-%d.%s" % (page, fmt)) else []
                subprocess.run([tool, "decode", r["input"], "-o", str(single), *extra], cwd=tree, check=True,
                               capture_output=True)
                assert filecmp.cmp(tree / output, single, shallow=False), output
                checked += 1
            assert pages >= 1
        assert checked >= 30
        assert any(r["outputs"] == [out + "/src/b/c/" + "tiff-pages-%d.%s" % (n, fmt) for n in (1, 2, 3)]
                   or r["input"] != "src/b/c/tiff-pages.tif" for r in report)


def test_threads_and_sources_give_the_same_files(tool, tree):
    assert run(tool, "src", "-o", "one", "-j", "1", cwd=tree).returncode == 1
    listing = "\n".join(str(p.relative_to(tree)) for p in sorted((tree / "src").rglob("*")) if p.is_file())
    assert run(tool, "-", "-o", "many", "-j", "8", stdin=listing + "\n", cwd=tree).returncode == 1
    one = sorted(str(p.relative_to(tree / "one")) for p in (tree / "one").rglob("*") if p.is_file())
    many = sorted(str(p.relative_to(tree / "many")) for p in (tree / "many").rglob("*") if p.is_file())
    assert one == many and len(one) >= 30
    for name in one:
        assert filecmp.cmp(tree / "one" / name, tree / "many" / name, shallow=False), name
    # Absolute and dotted sources land under the folder too.
    source = tree / "src" / "a" / os.listdir(tree / "src" / "a")[0]
    assert run(tool, str(source), "./src/../src/b/c", "-o", "abs", "--report", "-", cwd=tree).returncode == 0
    stem = os.path.splitext(str(source).lstrip("/"))[0]
    assert (tree / "abs" / (stem + ".png")).is_file()
    assert (tree / "abs" / "src" / "src" / "b" / "c").is_dir()


def test_resume_skips_outputs_newer_than_their_source(tool, tree):
    assert run(tool, "src/a", "-o", "out", cwd=tree).returncode == 0
    first = {p: p.stat().st_mtime_ns for p in (tree / "out").rglob("*.png")}
    touched = sorted((tree / "src" / "a").iterdir())[0]
    os.utime(touched)  # now newer than its output
    result = run(tool, "src/a", "-o", "out", "--resume", "--report", "-", cwd=tree)
    assert result.returncode == 0
    report = [json.loads(line) for line in result.stdout.splitlines()]
    done = [r["input"] for r in report if r["status"] == "ok"]
    assert done == [str(touched.relative_to(tree))]
    assert all(r["status"] == "skipped" for r in report if r["input"] not in done)
    for p, stamp in first.items():
        assert (p.stat().st_mtime_ns != stamp) == p.name.startswith(touched.stem + "."), p


@pytest.mark.parametrize("args", [[], ["src"], ["src", "-o", "x", "-f", "gif"], ["src", "-o", "x", "--pages", "2"],
                                  ["src", "-o", "x", "-j", "0"], ["src", "-o", "x", "--frobnicate"]])
def test_usage_errors_exit_2(tool, tree, args):
    result = run(tool, *args, cwd=tree)
    assert result.returncode == 2 and "quorvin batch --help" in result.stderr

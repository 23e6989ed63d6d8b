"""Runs one pytest file of the Python tests for ctest.

A suite whose modules are missing reports "QV_NOT_RUN: reason" (ctest then
counts it as not run); so does a suite in which every test skipped. Skipped
tests are listed with their reasons.
Usage: python3 run_suite.py FILE
"""
import importlib
import os
import sys

NEEDS = {
    "test_decode.py": ["pytest", "numpy", "PIL"],
    "test_corpus.py": ["pytest", "numpy", "PIL"],
    "test_batch.py": ["pytest"],
    "test_dask.py": ["pytest", "numpy", "dask", "distributed"],
}


def main():
    name = sys.argv[1]
    missing = []
    for module in NEEDS.get(name, ["pytest"]):
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(module)
    if missing:
        print("QV_NOT_RUN: python %s: %s not importable by %s" % (name, ", ".join(missing), sys.executable))
        return 0
    import pytest

    class Outcomes:
        def __init__(self):
            self.ran = self.skipped = 0
            self.reasons = []

        def pytest_runtest_logreport(self, report):
            if report.when == "call" and not report.skipped:
                self.ran += 1
            elif report.skipped:
                self.skipped += 1
                reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
                self.reasons.append("%s: %s" % (report.nodeid, reason))

    outcomes = Outcomes()
    here = os.path.dirname(os.path.abspath(__file__))
    code = pytest.main(["-q", "-rs", "-p", "no:cacheprovider", os.path.join(here, name)], plugins=[outcomes])
    for reason in outcomes.reasons:
        print("skipped:", reason)
    if code == 0 and outcomes.ran == 0:
        print("QV_NOT_RUN: python %s: every test skipped (%s)" % (name, "; ".join(outcomes.reasons)))
    return int(code)


if __name__ == "__main__":
    sys.exit(main())

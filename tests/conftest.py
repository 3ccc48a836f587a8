import faulthandler
import os
import sys
from pathlib import Path

import pytest

# The pure-Python parts of the project, importable by the tests.
sys.path += [str(Path(__file__).resolve().parents[1] / d) for d in ("python", "examples", "bench")]

# Seconds one test may run before every thread's stack is dumped and the
# process exits: a hang fails the run instead of stalling it.
HANG_SECONDS = float(os.environ.get("CORVANE_HANG_TIMEOUT", "600"))


def pytest_configure(config):
    config.addinivalue_line("markers", "alone: measures this process's memory or threads, so scripts/test.sh runs it "
                            "in a pass of its own, after the parallel one, with no other test's threads alive")
    config.addinivalue_line("markers", "heavy(seconds): seconds of CPU in other processes (a JVM, mypy, Dask's "
                            "workers); started first, longest first, so the parallel run's workers end together")


def heavy_seconds(item):
    marker = item.get_closest_marker("heavy")
    return 0 if marker is None else marker.args[0] if marker.args else 1


def pytest_collection_modifyitems(items):
    # xdist hands the workers scopes (a test, or an xdist_group) in the
    # order of their first test here: the longest start first.
    items.sort(key=lambda item: -heavy_seconds(item))  # stable: file order otherwise


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory):
    """One mypy cache for the strict runs: the first run checks numpy's,
    polars' and the standard library's stubs (most of its 17 s of CPU), later
    ones only what changed. It lives in build/ (untracked), so it also
    carries over between runs of the suite on one checkout; mypy checks each
    cached module against its source, as in any incremental run.
    CORVANE_MYPY_CACHE=fresh starts from an empty cache. Tests that use it
    share the xdist group "mypy", so they run one after the other in one
    worker."""
    if os.environ.get("CORVANE_MYPY_CACHE") == "fresh":
        return tmp_path_factory.mktemp("mypy-cache")
    path = Path(__file__).resolve().parents[1] / "build" / "mypy-cache"
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture(autouse=True)
def _no_hang():
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()

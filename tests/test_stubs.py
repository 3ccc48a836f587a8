"""The type stub matches the runtime module, and mypy finds it the way it
finds it in an installed environment (a PEP 561 stub-only package,
``_corvane_rs-stubs``)."""

import os
import re
import runpy
import shutil
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

import _corvane_rs

pytest.importorskip("mypy")
STUB = Path(__file__).resolve().parents[1] / "python" / "_corvane_rs.pyi"
SAMPLES = Path(__file__).resolve().parent / "typing"


def checker(args, tmp_path, stub=None):
    """Runs mypy with a directory laid out like site-packages on PYTHONPATH,
    holding the stub-only package (``stub``'s text, the project's stub by
    default) and nothing else (PYTHONPATH entries are searched like
    site-packages, unlike MYPYPATH)."""
    site = tmp_path / "site" / "_corvane_rs-stubs"
    site.mkdir(parents=True, exist_ok=True)
    (site / "__init__.pyi").write_text(STUB.read_text() if stub is None else stub)
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site.parent), str(Path(_corvane_rs.__file__).parent),
                                                      os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", *args], env=env, cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)


# stubtest runs mypy with the options of a config file alone (`strict` there
# is ignored): these are --strict's flags one by one, so the modules the stub
# imports (numpy's and the standard library's stubs) come from the cache the
# strict runs fill and read, instead of some 10 s of checking them again.
STUBTEST_CONFIG = """\
[mypy]
incremental = True
cache_dir = {cache}
check_untyped_defs = True
disallow_any_generics = True
disallow_incomplete_defs = True
disallow_subclassing_any = True
disallow_untyped_calls = True
disallow_untyped_decorators = True
disallow_untyped_defs = True
extra_checks = True
implicit_reexport = False
strict_equality = True
warn_return_any = True
warn_unused_ignores = True
"""
RENAMED = ("def levenshtein_batch(left: _Strings, right: _Strings)", "def levenshtein_batch(left: _Strings, rite: _Strings)")


@pytest.mark.heavy
@pytest.mark.xdist_group("mypy")
def test_stubtest_against_runtime(tmp_path, mypy_cache):
    # stubtest compares the runtime with each function's arguments in the
    # stub's parse tree, which a module loaded from mypy's cache does not
    # keep: a stub served from the cache passes whatever its arguments. A
    # line of this run's own makes the stub a changed source, parsed afresh.
    # One argument is renamed: its report shows the arguments were read, and
    # it must be the only one.
    stub = STUB.read_text()
    assert stub.count(RENAMED[0]) == 1
    stub = stub.replace(*RENAMED) + f"# stubtest run {uuid.uuid4().hex}\n"
    (tmp_path / "stubtest.ini").write_text(STUBTEST_CONFIG.format(cache=mypy_cache))
    result = checker(["mypy.stubtest", "--mypy-config-file", "stubtest.ini", "_corvane_rs"], tmp_path, stub)
    reported = re.findall(r"^error: (.+)$", result.stdout, re.M)
    expected = ['_corvane_rs.levenshtein_batch is inconsistent, stub parameter "rite" differs from runtime parameter '
                '"right"']
    assert result.returncode == 1 and reported == expected, result.stdout + result.stderr


@pytest.mark.heavy
@pytest.mark.xdist_group("mypy")
def test_mypy_checks_user_scripts(tmp_path, mypy_cache):
    for name in ("stub_ok.py", "stub_wrong.py"):
        shutil.copy(SAMPLES / name, tmp_path / name)
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    result = checker(["mypy", "--strict", "--cache-dir", str(mypy_cache), "--config-file",
                      "mypy.ini", "--python-executable", sys.executable, "stub_ok.py", "stub_wrong.py"], tmp_path)
    output = result.stdout + result.stderr
    assert "import-not-found" not in output and "import-untyped" not in output, output
    reported = {(f, int(n)) for f, n in re.findall(r"^(stub_\w+\.py):(\d+): error: ", result.stdout, re.M)}
    source = (SAMPLES / "stub_wrong.py").read_text().splitlines()
    expected = {("stub_wrong.py", i) for i, text in enumerate(source, 1) if text.rstrip().endswith("# error")}
    assert len(expected) == 15 and reported == expected, output


def test_correct_script_runs_and_installed_stub_is_current():
    namespace = runpy.run_path(str(SAMPLES / "stub_ok.py"))  # what the stub accepts runs
    assert namespace["names"] == list(_corvane_rs.__all__) and namespace["probabilities"].shape == (3,)
    site = Path(_corvane_rs.__file__).parent
    if (site / "_corvane_rs-stubs").exists():  # an installed module, not a development build
        assert (site / "_corvane_rs-stubs" / "__init__.pyi").read_text() == STUB.read_text()
        assert (site / "_corvane_rs.pyi").read_text() == STUB.read_text()

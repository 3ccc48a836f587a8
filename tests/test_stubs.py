"""The type stub matches the runtime module, and mypy finds it the way it
finds it in an installed environment (a PEP 561 stub-only package,
``_corvane_rs-stubs``)."""

import os
import re
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _corvane_rs

pytest.importorskip("mypy")
STUB = Path(__file__).resolve().parents[1] / "python" / "_corvane_rs.pyi"
SAMPLES = Path(__file__).resolve().parent / "typing"


def checker(args, tmp_path):
    """Runs mypy with a directory laid out like site-packages on PYTHONPATH,
    holding the stub-only package and nothing else (PYTHONPATH entries are
    searched like site-packages, unlike MYPYPATH)."""
    site = tmp_path / "site" / "_corvane_rs-stubs"
    site.mkdir(parents=True, exist_ok=True)
    shutil.copy(STUB, site / "__init__.pyi")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site.parent), str(Path(_corvane_rs.__file__).parent),
                                                      os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", *args], env=env, cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)


@pytest.mark.heavy
def test_stubtest_against_runtime(tmp_path):
    result = checker(["mypy.stubtest", "_corvane_rs"], tmp_path)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr


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

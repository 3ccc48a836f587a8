"""The type stub: it matches the runtime module, and type checkers find it
the way they find it in an installed environment (a PEP 561 stub-only
package, ``_corvane_rs-stubs``)."""

import json
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

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "_corvane_rs.pyi"
SAMPLES = Path(__file__).resolve().parent / "typing"


@pytest.fixture(scope="module")
def stub_site(tmp_path_factory):
    """A directory laid out like site-packages: the stub-only package, and
    nothing else. Entries of PYTHONPATH are searched by mypy exactly like
    site-packages (py.typed or *-stubs required), unlike MYPYPATH."""
    site = tmp_path_factory.mktemp("site")
    (site / "_corvane_rs-stubs").mkdir()
    shutil.copy(STUB, site / "_corvane_rs-stubs" / "__init__.pyi")
    return site


def checker_env(stub_site):
    env = os.environ.copy()
    module_dir = str(Path(_corvane_rs.__file__).parent)
    parts = [str(stub_site), module_dir]
    if env.get("PYTHONPATH"):
        parts.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(parts)
    env.pop("MYPYPATH", None)
    return env


def run(cmd, env, cwd):
    return subprocess.run(cmd, env=env, cwd=cwd, capture_output=True, text=True, timeout=600)


def test_stubtest_against_runtime(stub_site, tmp_path):
    result = run(
        [sys.executable, "-m", "mypy.stubtest", "_corvane_rs"],
        checker_env(stub_site),
        tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def test_mypy_checks_user_scripts(stub_site, tmp_path):
    for name in ("stub_ok.py", "stub_wrong.py"):
        shutil.copy(SAMPLES / name, tmp_path / name)
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    result = run(
        [
            sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--cache-dir", str(tmp_path / "cache"), "--config-file", "mypy.ini",
            "--python-executable", sys.executable,
            "stub_ok.py", "stub_wrong.py",
        ],
        checker_env(stub_site),
        tmp_path,
    )
    output = result.stdout + result.stderr
    assert "import-not-found" not in output and "import-untyped" not in output, output

    reported = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(stub_\w+\.py):(\d+): error: ", line)
        if match:
            reported.setdefault(match[1], set()).add(int(match[2]))
    assert "stub_ok.py" not in reported, output

    source = (SAMPLES / "stub_wrong.py").read_text().splitlines()
    expected = {i for i, text in enumerate(source, 1) if text.rstrip().endswith("# error")}
    assert len(expected) == 15
    assert reported.get("stub_wrong.py", set()) == expected, output


def test_correct_script_runs():
    # What the stub accepts must also be accepted at run time.
    namespace = runpy.run_path(str(SAMPLES / "stub_ok.py"))
    assert namespace["names"] == list(_corvane_rs.__all__)
    assert namespace["probabilities"].shape == (3,)


def test_installed_stub_is_current():
    site = Path(_corvane_rs.__file__).parent
    installed = site / "_corvane_rs-stubs" / "__init__.pyi"
    if not installed.exists():
        pytest.skip("module not installed (development build)")
    assert installed.read_text() == STUB.read_text()
    assert (site / "_corvane_rs.pyi").read_text() == STUB.read_text()


@pytest.mark.skipif(shutil.which("pyright") is None, reason="pyright not installed")
def test_pyright_finds_stub(stub_site, tmp_path):
    shutil.copy(SAMPLES / "stub_wrong.py", tmp_path / "stub_wrong.py")
    config = {"extraPaths": [str(stub_site)], "reportMissingModuleSource": False}
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
    result = run(["pyright", "stub_wrong.py"], checker_env(stub_site), tmp_path)
    output = result.stdout + result.stderr
    assert 'Import "_corvane_rs" could not be resolved' not in output, output
    assert result.returncode == 1 and " error" in output, output

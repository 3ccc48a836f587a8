"""What ships beside the extension: the typed export helper (checked by mypy
the way a user's script is) and the linkage report of the examples."""

import os
import re
import runpy
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _corvane_rs

ROOT = Path(__file__).resolve().parent.parent
TYPING = Path(__file__).resolve().parent / "typing"


@pytest.mark.heavy(15)  # cold: numpy's, polars' and the standard library's stubs
@pytest.mark.xdist_group("mypy")
def test_mypy_strict_on_export_helper_and_user_scripts(tmp_path, mypy_cache):
    pytest.importorskip("mypy")
    config = tmp_path / "mypy.ini"
    # scikit-learn has no type information; users silence it the same way.
    config.write_text("[mypy]\n[mypy-sklearn.*]\nignore_missing_imports = True\n")
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"))
    files = [ROOT / "python" / "corvane_export.py", ROOT / "python" / "corvane", TYPING / "export_ok.py",
             TYPING / "export_wrong.py"]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(config), "--cache-dir", str(mypy_cache),
         *map(str, files)],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    reported = {(m[1], int(m[2])) for m in re.finditer(r"(\w+\.py):(\d+): error:", result.stdout)}
    lines = (TYPING / "export_wrong.py").read_text().splitlines()
    expected = {("export_wrong.py", i) for i, text in enumerate(lines, 1) if text.endswith("# error")}
    assert len(expected) == 10
    assert reported == expected, result.stdout + result.stderr


def test_typed_user_script_runs():
    namespace = runpy.run_path(str(TYPING / "export_ok.py"))
    assert [s.shape for s in namespace["scores"]] == [(60,)] * 5
    assert namespace["scorer_name"] == "predict_batch"
    assert np.array_equal(namespace["scores"][0], namespace["scores"][4])


def test_installed_export_stub_is_current():
    site = Path(_corvane_rs.__file__).parent
    stub = site / "corvane_export-stubs" / "__init__.pyi"
    if not stub.exists():
        pytest.skip("module not installed (development build)")
    assert stub.read_text() == (ROOT / "python" / "corvane_export.py").read_text()


@pytest.fixture(scope="module")
def report():
    pytest.importorskip("matplotlib")
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import linkage_report
    finally:
        sys.path.remove(str(ROOT / "examples"))
    return linkage_report


def test_precision_recall_against_direct_count(report):
    rng = np.random.default_rng(3)
    truth = rng.random(300) < 0.2
    scores = np.round(rng.random(300) * 0.5 + truth * 0.4, 2)  # many ties
    precision, recall = report.precision_recall(truth, scores)
    for p, r, t in zip(precision, recall, np.unique(scores)[::-1]):
        assert (p, r) == report.at_threshold(truth, scores, t)


def test_report_is_a_png_of_the_figure_size(report, tmp_path):
    rng = np.random.default_rng(0)
    truth = rng.random(2000) < 0.1
    features = np.where(truth[:, None], rng.beta(6, 1.5, (2000, 5)), rng.beta(1.5, 4, (2000, 5)))
    models = {"good": features.mean(axis=1), "poor": rng.random(2000)}
    names = [f"feature {i}" for i in range(5)]
    path = report.write_report(tmp_path / "sub" / "report.png", names, features, truth, models)
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == (1680, 1220)  # 100 dpi, two rows of features
    assert len(data) > 50_000
    with pytest.raises(ValueError, match="features has shape"):
        report.write_report(path, names[:4], features, truth, models)

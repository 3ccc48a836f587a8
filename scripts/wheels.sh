#!/usr/bin/env bash
# Builds a manylinux wheel of the module for each supported CPython into
# dist/, then installs each into a fresh venv and checks it there: a smoke
# call, the files next to the module, and mypy over a user script that
# exports and scores every model.
#
#   bash scripts/wheels.sh              every supported version (3.12 3.13)
#   bash scripts/wheels.sh 3.13         only the versions named
#
# Each version builds in its own venv (.venv, .venv-3.13: see _env.sh) and
# reuses that venv's build directory, so after scripts/test.sh the wheel
# costs little more than packing.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/_env.sh"   # for SUPPORTED_PYTHON_VERSIONS
VERSIONS=("$@")
[ ${#VERSIONS[@]} -gt 0 ] || read -r -a VERSIONS <<<"$SUPPORTED_PYTHON_VERSIONS"

mkdir -p "$ROOT/dist"
for version in "${VERSIONS[@]}"; do
    (
        export CORVANE_PYTHON="$version"
        unset CORVANE_VENV
        source "$ROOT/scripts/_env.sh"
        tag="cp${PY_VERSION/./}"
        echo "== CPython $PY_VERSION: wheel"
        "$PY" -m pip install -q -r "$ROOT/requirements-wheels.txt"
        raw="$ROOT/build/wheelhouse-$PY_VERSION"
        rm -rf "$raw"
        PATH="$VENV/bin:$PATH" "$PY" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" "$ROOT"
        rm -f "$ROOT"/dist/corvane_native-*-"$tag"-"$tag"-*.whl
        PATH="$VENV/bin:$PATH" "$PY" -m auditwheel repair -w "$ROOT/dist" "$raw"/*.whl
        wheel="$(ls "$ROOT"/dist/corvane_native-*-"$tag"-"$tag"-*manylinux*.whl)"
        "$PY" -m auditwheel show "$wheel"

        echo "== CPython $PY_VERSION: clean install of $(basename "$wheel")"
        smoke="$ROOT/build/wheel-smoke-$PY_VERSION"
        rm -rf "$smoke"
        "$BASE_PY" -m venv "$smoke"
        "$smoke/bin/python" -m pip install -q "$wheel"
        # Run outside the tree, so nothing but the installed wheel is importable.
        (cd "$smoke" && "$smoke/bin/python" -I - <<'PY'
import pathlib
import numpy as np
import _corvane_rs as m
import corvane
import corvane_export

site = pathlib.Path(m.__file__).parent
assert site.name == "site-packages", m.__file__
for name in ("_corvane_rs.pyi", "_corvane_rs-stubs/__init__.pyi",
             "corvane_export.py", "corvane_export-stubs/__init__.pyi",
             "corvane/__init__.py", "corvane/_compare.py", "corvane/py.typed"):
    assert (site / name).is_file(), name
assert pathlib.Path(corvane_export.__file__).parent == site
assert pathlib.Path(corvane.__file__).parent == site / "corvane", corvane.__file__
import pyarrow as pa
scores = corvane.compare(pa.table({"n": ["smith", None]}), pa.table({"n": ["smyth"]}),
                         ([0, 1], [0, 0]), [("n", "soundex")])
assert str(scores.column("n_soundex").to_pylist()) == "[1.0, nan]", scores
assert m.jaro_winkler_batch(["martha"], ["marhta"]) == [0.9611111111111111]
flat = m.compute_feature_matrix([["smith"]], [["smyth"]], ["soundex"],
                                np.array([[1.0]]), np.array([[3.0]]), ["numeric"], 1)
assert flat.tolist() == [1.0, 2.0], flat
assert m.predict_batch(flat.reshape(1, 2), np.zeros(2), 0.0).tolist() == [0.5]
print("smoke call ok:", m.__file__)
PY
        )
        # Type information as installed: the stub packages must be found in
        # the clean venv (scikit-learn itself is untyped and not needed here).
        checker="$ROOT/.venv/bin/python"
        if "$checker" -c 'import mypy' 2>/dev/null; then
            config="$smoke/mypy.ini"
            printf '[mypy]\n[mypy-sklearn.*]\nignore_missing_imports = True\n' >"$config"
            (cd "$smoke" && "$checker" -m mypy --strict --no-incremental --config-file "$config" \
                --cache-dir "$smoke/.mypy_cache" --python-executable "$smoke/bin/python" \
                "$ROOT/tests/typing/export_ok.py")
        fi
    )
done
echo "== wheels in dist/:"
ls -l "$ROOT"/dist/*.whl

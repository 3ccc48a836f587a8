#!/usr/bin/env bash
# Builds the module with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the pytest suite against that build, with the sanitizer runtime
# preloaded into the (uninstrumented) interpreter.
#
#   scripts/sanitize.sh                          whole suite
#   scripts/sanitize.sh tests/test_x.py -k foo   any pytest arguments
#
# Environment:
#   CORVANE_SAN_BUILD   build directory (default build/sanitize)
#   PYTHON              interpreter with numpy/pytest/... (default .venv/bin/python)
#
# Any sanitizer report aborts the process (halt_on_error), so a finding
# fails the run with a stack trace on stderr. Leak detection is off: the
# interpreter itself keeps allocations alive until exit on purpose.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PY="${PYTHON:-$ROOT/.venv/bin/python}"
BUILD="${CORVANE_SAN_BUILD:-$ROOT/build/sanitize}"
CXX_BIN="${CXX:-g++}"

if [ ! -x "$PY" ]; then
    echo "sanitize.sh: no interpreter at $PY (run scripts/test.sh once, or set PYTHON)" >&2
    exit 2
fi

GENERATOR=()
if command -v ninja >/dev/null 2>&1 || [ -x "$(dirname "$PY")/ninja" ]; then
    GENERATOR=(-G Ninja)
    PATH="$(dirname "$PY"):$PATH"
fi

CMAKE="cmake"
command -v cmake >/dev/null 2>&1 || CMAKE="$(dirname "$PY")/cmake"

# RelWithDebInfo keeps the optimiser's code shapes (so UB that only -O2 code
# exposes still shows) and gives readable stack traces.
"$CMAKE" -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
    -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON >/dev/null
"$CMAKE" --build "$BUILD"

ASAN_RT="$("$CXX_BIN" -print-file-name=libasan.so)"
UBSAN_RT="$("$CXX_BIN" -print-file-name=libubsan.so)"
for rt in "$ASAN_RT" "$UBSAN_RT"; do
    if [ ! -e "$rt" ]; then
        echo "sanitize.sh: sanitizer runtime $rt not found" >&2
        exit 2
    fi
done

# allocator_may_return_null: an impossible allocation must reach the module
# as a failed allocation (and become MemoryError), not stop the process.
# detect_odr_violation=0: NumPy's and the interpreter's own objects are not
# instrumented and trip false reports. Fork and thread tests need
# handle_segv on so a crash in a child is reported too.
# Reports go to files as well as stderr: pytest captures stderr, and an
# abort would lose it.
LOGDIR="$(mktemp -d "${TMPDIR:-/tmp}/corvane_san.XXXXXX")"
trap 'rm -rf "$LOGDIR"' EXIT
export ASAN_OPTIONS="log_path=$LOGDIR/asan:detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_odr_violation=0:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=0:handle_segv=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="log_path=$LOGDIR/ubsan:halt_on_error=1:abort_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
# The package from this checkout beside the sanitized module, whatever the
# venv has installed.
export PYTHONPATH="$BUILD:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
export CORVANE_SANITIZED=1

# The module under test must be the sanitized one, not an installed copy.
LD_PRELOAD="$ASAN_RT:$UBSAN_RT" "$PY" - "$BUILD" <<'EOF'
import os, sys, _corvane_rs
path = os.path.realpath(_corvane_rs.__file__)
if not path.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit(f"sanitize.sh: imported {path}, not the sanitized build")
EOF

# Left to the normal build:
# - allocation failure: a failed operator new aborts under the sanitizer
#   instead of throwing std::bad_alloc (such tests skip themselves when the
#   sanitizer runtime is preloaded or CORVANE_SANITIZED=1);
# - test_spark: the preloaded sanitizer runtime would reach Spark's launcher
#   and JVM, which then never start.
# Without paths, pytest runs the project's testpaths (tests/).
ARGS=("$@" --deselect tests/test_spark.py)

# Two passes, as in scripts/test.sh: everything not marked `alone` on one
# pytest-xdist worker per core (at most 4; CORVANE_TEST_WORKERS=N sets the
# count, 0 runs one serial pass), then the `alone` tests in a fresh
# interpreter. Each worker is a child of pytest and inherits LD_PRELOAD and
# the sanitizer options, so a report from any of them lands in $LOGDIR.
WORKERS="${CORVANE_TEST_WORKERS:-$(nproc)}"
[ "$WORKERS" -le 4 ] || WORKERS=4
PYTEST=("$PY" -m pytest -q -p no:cacheprovider)
start=$(date +%s)
set +e
if [ "$WORKERS" -eq 0 ]; then
    LD_PRELOAD="$ASAN_RT:$UBSAN_RT" "${PYTEST[@]}" "${ARGS[@]}"
    rc=$?
else
    # pytest's exit 5 ("no test selected") fails the run only when both
    # passes select nothing.
    LD_PRELOAD="$ASAN_RT:$UBSAN_RT" "${PYTEST[@]}" -n "$WORKERS" --dist loadgroup -m "not alone" "${ARGS[@]}"
    rc1=$?
    # Without paths given, only the files that hold such tests are collected.
    ALONE=()
    given=0
    for arg in "$@"; do
        [[ "$arg" != -* && -e "${arg%%::*}" ]] && given=1
    done
    [ "$given" -eq 1 ] || mapfile -t ALONE < <(grep -l "pytest.mark.alone" tests/test_*.py)
    LD_PRELOAD="$ASAN_RT:$UBSAN_RT" "${PYTEST[@]}" -m alone "${ALONE[@]}" "${ARGS[@]}"
    rc2=$?
    if [ "$rc1" -eq 5 ] && [ "$rc2" -eq 5 ]; then rc=5
    elif [ "$rc1" -ne 0 ] && [ "$rc1" -ne 5 ]; then rc=$rc1
    elif [ "$rc2" -ne 0 ] && [ "$rc2" -ne 5 ]; then rc=$rc2
    else rc=0
    fi
fi
set -e
if compgen -G "$LOGDIR/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    cat "$LOGDIR"/* >&2
    [ "$rc" -ne 0 ] || rc=1
fi
echo "sanitize.sh: pytest exit $rc after $(( $(date +%s) - start )) s"
exit $rc

#!/usr/bin/env bash
# Builds the module into .venv and runs the whole test suite.
#
# Two passes of pytest over the same tests (and the same arguments): the
# tests that measure this process's memory (marked `alone`) run in a fresh
# interpreter of their own, where no other test's threads (Dask's client,
# Spark's gateway) allocate meanwhile; everything else first runs on
# CORVANE_TEST_WORKERS processes (pytest-xdist; default: one per core,
# at most 4). CORVANE_TEST_WORKERS=0 runs all tests in one process, in
# file order. Arguments go to pytest; without a test path among them it
# runs tests/ (so `-m` of one's own applies only with CORVANE_TEST_WORKERS=0).
source "$(dirname "$0")/_env.sh"
# The Spark test (tests/test_spark.py) needs Java 17 for Spark's JVM.
if ! command -v java >/dev/null 2>&1; then
    echo "test.sh: installing Java 17 (openjdk-17-jre-headless) for the Spark test" >&2
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openjdk-17-jre-headless >/dev/null; }; then
        echo "test.sh: could not install Java 17; tests/test_spark.py will be skipped" >&2
    fi
fi
install_module requirements-dev.txt
cd "$ROOT"

WORKERS="${CORVANE_TEST_WORKERS:-$(nproc)}"
[ "$WORKERS" -le 4 ] || WORKERS=4
PYTEST=("$PY" -m pytest -q -p no:cacheprovider)
PATHS=(tests)
for arg in "$@"; do
    [[ "$arg" != -* && -e "${arg%%::*}" ]] && PATHS=()
done
if [ "$WORKERS" -eq 0 ]; then
    exec "${PYTEST[@]}" "${PATHS[@]}" "$@"
fi

# pytest's exit 5 is "no test selected": fine for one pass (arguments may
# pick only tests of the other), not for both.
run_pass() {
    local rc=0
    "${PYTEST[@]}" "$@" || rc=$?
    [ "$rc" -eq 5 ] && return 5
    [ "$rc" -eq 0 ] || exit "$rc"
}
start=$SECONDS
selected=0
run_pass -n "$WORKERS" --dist loadgroup -m "not alone" "${PATHS[@]}" "$@" || selected=$((selected + 1))
# Without paths given, the second pass collects only the files that hold
# such tests (collecting every file imports Spark, Dask and the rest again).
[ "${#PATHS[@]}" -eq 0 ] || mapfile -t PATHS < <(grep -l "pytest.mark.alone" tests/test_*.py)
run_pass -m alone "${PATHS[@]}" "$@" || selected=$((selected + 1))
if [ "$selected" -eq 2 ]; then
    echo "test.sh: no test selected" >&2
    exit 5
fi
echo "test.sh: both pytest passes in $((SECONDS - start)) s"

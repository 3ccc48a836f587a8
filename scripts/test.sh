#!/usr/bin/env bash
# Builds the module into .venv and runs the whole test suite.
#
# Two passes of pytest over the same tests (and the same arguments), side by
# side: the tests that measure this process's memory (marked `alone`) run in
# an interpreter of their own, where no other test's threads (Dask's client,
# Spark's gateway) allocate meanwhile; everything else runs on
# CORVANE_TEST_WORKERS processes (pytest-xdist; default: one per core,
# at most 4), longest first. The `alone` pass's report follows the other's.
# CORVANE_TEST_WORKERS=0 runs all tests in one process, in file order.
# Arguments go to pytest; without a test path among them it runs tests/ (so
# `-m` of one's own applies only with CORVANE_TEST_WORKERS=0).
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

# The project's own modules (tests/, python/, examples/, bench/) keep their
# bytecode, the tests their assertion-rewritten bytecode, in __pycache__
# (git-ignored), whatever PYTHONDONTWRITEBYTECODE says: without it each
# pytest process compiles and rewrites them again (some 5 s of CPU per
# xdist worker). CORVANE_TEST_BYTECODE=0 keeps the environment's setting.
[ "${CORVANE_TEST_BYTECODE:-1}" = 0 ] || unset PYTHONDONTWRITEBYTECODE

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

# Sets WAITED_CPU to the CPU seconds (user + system) of the processes this
# shell has waited for so far. `times` must run in this shell: a subshell
# (a pipe, $(...)) has waited for none.
waited_cpu() {
    times >"$cpu_log"
    WAITED_CPU=$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); n += t[1] * 60 + t[2] }
                               printf "%.0f", n }' "$cpu_log")
}

# pytest's exit 5 is "no test selected": fine for one pass (arguments may
# pick only tests of the other), not for both.
alone_log="$(mktemp)"
cpu_log="$(mktemp)"
trap 'rm -f "$alone_log" "$cpu_log"' EXIT
start=$SECONDS
waited_cpu
start_cpu=$WAITED_CPU
# Without paths given, the `alone` pass collects only the files that hold
# such tests (collecting every file imports Spark, Dask and the rest again).
ALONE_PATHS=("${PATHS[@]}")
[ "${#PATHS[@]}" -eq 0 ] || mapfile -t ALONE_PATHS < <(grep -l "pytest.mark.alone" tests/test_*.py)
"${PYTEST[@]}" -m alone "${ALONE_PATHS[@]}" "$@" >"$alone_log" 2>&1 &
alone_pid=$!
# The scopes go to the workers in collection order (tests/conftest.py puts
# the longest first), not largest group first.
parallel_rc=0
"${PYTEST[@]}" -n "$WORKERS" --dist loadgroup --no-loadscope-reorder -m "not alone" "${PATHS[@]}" "$@" \
    || parallel_rc=$?
alone_rc=0
wait "$alone_pid" || alone_rc=$?
cat "$alone_log"
for rc in "$parallel_rc" "$alone_rc"; do
    [ "$rc" -eq 0 ] || [ "$rc" -eq 5 ] || exit "$rc"
done
if [ "$parallel_rc" -eq 5 ] && [ "$alone_rc" -eq 5 ]; then
    echo "test.sh: no test selected" >&2
    exit 5
fi
waited_cpu
echo "test.sh: both pytest passes in $((SECONDS - start)) s, $((WAITED_CPU - start_cpu)) s of CPU (load average $(cut -d' ' -f1-3 /proc/loadavg))"

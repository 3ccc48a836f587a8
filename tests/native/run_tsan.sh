#!/usr/bin/env bash
# Builds the pool's test program with ThreadSanitizer and runs it for
# several worker counts. Prints "TSAN PASS" or "TSAN FAIL" last.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${TMPDIR:-/tmp}/corvane_pool_tsan.$$"
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT

cxx="${CXX:-g++}"
if ! "$cxx" -std=c++20 -O1 -g -fsanitize=thread -ffp-contract=off -Wall -Wextra -Werror -pthread \
        -I"$root/src" "$here/test_pool.cpp" "$root/src/runtime/pool.cpp" -o "$out/test_pool"; then
    echo "TSAN FAIL: build"
    exit 1
fi

status=0
run() {
    local label="$1"; shift
    if env TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" "$@" >"$out/log" 2>&1; then
        echo "ok   $label"
    else
        echo "FAIL $label"
        cat "$out/log"
        status=1
    fi
}
for w in 1 2 3 8; do
    run "$w worker(s)" RAYON_NUM_THREADS=$w EXPECT_WORKERS=$w "$out/test_pool" all
done
run "default"   "$out/test_pool" all
run "creation failure" "$out/test_pool" buildfail

if [ "$status" -eq 0 ]; then echo "TSAN PASS"; else echo "TSAN FAIL"; fi
exit "$status"

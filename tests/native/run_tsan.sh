#!/usr/bin/env bash
# Builds the worker pool's test program (test_pool.cpp) with ThreadSanitizer
# and runs it for several worker counts; prints "TSAN PASS" or "TSAN FAIL"
# last. run_tsan_kernels.sh sources this file for tsan_build and tsan_run.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="$(mktemp -d "${TMPDIR:-/tmp}/corvane_tsan.XXXXXX")"
trap 'rm -rf "$out"' EXIT
status=0

# tsan_build LABEL SOURCES...: builds $out/prog, or prints "LABEL FAIL: build" and exits.
tsan_build() {
    local label="$1"; shift
    "${CXX:-g++}" -std=c++20 -O1 -g -fsanitize=thread -ffp-contract=off -Wall -Wextra -Werror -pthread \
        -I"$root/src" "$@" -o "$out/prog" || { echo "$label FAIL: build"; exit 1; }
}

# tsan_run NAME COMMAND...: runs the command, halting at the first report.
tsan_run() {
    local name="$1"; shift
    if env TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" "$@" >"$out/log" 2>&1; then
        echo "ok   $name: $(tail -1 "$out/log")"
    else
        echo "FAIL $name"; cat "$out/log"; status=1
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    tsan_build TSAN "$here/test_pool.cpp" "$root/src/runtime/pool.cpp"
    for w in 1 2 3 8; do tsan_run "$w worker(s)" env RAYON_NUM_THREADS=$w EXPECT_WORKERS=$w "$out/prog" all; done
    tsan_run "second variable" env -u RAYON_NUM_THREADS RAYON_RS_NUM_CPUS=3 EXPECT_WORKERS=3 "$out/prog" all
    tsan_run "creation failure" "$out/prog" buildfail
    if [ "$status" -eq 0 ]; then echo "TSAN PASS"; else echo "TSAN FAIL"; fi
    exit "$status"
fi

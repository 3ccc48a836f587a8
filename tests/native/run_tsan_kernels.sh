#!/usr/bin/env bash
# Builds tsan_kernels.cpp with the worker pool and every pure C++ kernel
# (no Python) under ThreadSanitizer and runs it with several worker counts.
# Prints "TSAN KERNELS PASS" or "TSAN KERNELS FAIL" last.
#
#   tests/native/run_tsan_kernels.sh [rounds]
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${TMPDIR:-/tmp}/corvane_kernels_tsan.$$"
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
rounds="${1:-3}"

# Every source that is pure C++: the runtime's pool and the kernels.
sources=("$root/src/runtime/pool.cpp")
# Everything outside src/python is pure C++ by the layout's rule.
for f in "$root"/src/similarity/*.cpp "$root"/src/features/*.cpp "$root"/src/models/*/*.cpp; do
    sources+=("$f")
done

cxx="${CXX:-g++}"
if ! "$cxx" -std=c++20 -O1 -g -fsanitize=thread -ffp-contract=off -Wall -Wextra -pthread \
        -I"$root/src" "$here/tsan_kernels.cpp" "${sources[@]}" -o "$out/tsan_kernels"; then
    echo "TSAN KERNELS FAIL: build"
    exit 1
fi

status=0
run() {
    local label="$1"; shift
    if env TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" "$@" >"$out/log" 2>&1; then
        echo "ok   $label: $(head -1 "$out/log")"
    else
        echo "FAIL $label"
        cat "$out/log"
        status=1
    fi
}
run "1 worker"  env RAYON_NUM_THREADS=1 "$out/tsan_kernels" "$rounds"
run "2 workers" env RAYON_NUM_THREADS=2 "$out/tsan_kernels" "$rounds"
run "5 workers" env RAYON_NUM_THREADS=5 "$out/tsan_kernels" "$rounds"

if [ "$status" -eq 0 ]; then echo "TSAN KERNELS PASS"; else echo "TSAN KERNELS FAIL"; fi
exit "$status"

#!/usr/bin/env bash
# Builds tsan_kernels.cpp with the worker pool and every pure C++ kernel
# (everything outside src/python) under ThreadSanitizer and runs it with
# several worker counts; prints "TSAN KERNELS PASS" or "TSAN KERNELS FAIL" last.
#
#   tests/native/run_tsan_kernels.sh [rounds]
source "$(dirname "${BASH_SOURCE[0]}")/run_tsan.sh"
tsan_build "TSAN KERNELS" "$here/tsan_kernels.cpp" "$root"/src/runtime/pool.cpp "$root"/src/runtime/string_column.cpp \
    "$root"/src/similarity/*.cpp \
    "$root"/src/features/*.cpp "$root"/src/gather/*.cpp "$root"/src/models/*/*.cpp
for w in 1 2 5; do tsan_run "$w worker(s)" env RAYON_NUM_THREADS=$w "$out/prog" "${1:-3}"; done
if [ "$status" -eq 0 ]; then echo "TSAN KERNELS PASS"; else echo "TSAN KERNELS FAIL"; fi
exit "$status"

#!/usr/bin/env bash
# Builds tsan_kernels.cpp with the worker pool and every pure C++ kernel
# (everything outside src/python) under ThreadSanitizer and runs it with
# several worker counts and every instruction-set level the CPU has; prints "TSAN KERNELS PASS" or "TSAN KERNELS FAIL" last.
#
#   tests/native/run_tsan_kernels.sh [rounds]
source "$(dirname "${BASH_SOURCE[0]}")/run_tsan.sh"
tsan_build "TSAN KERNELS" "$here/tsan_kernels.cpp" "$root"/src/runtime/pool.cpp "$root"/src/runtime/string_column.cpp \
    "$root"/src/similarity/*.cpp \
    "$root"/src/features/*.cpp "$root"/src/gather/*.cpp "$root"/src/models/*/*.cpp
# The block routines of the level the CPU has, with 1, 2 and 5 workers; each
# lower level (CORVANE_SIMD forces it) with 2.
for w in 1 2 5; do tsan_run "$w worker(s)" env RAYON_NUM_THREADS=$w "$out/prog" "${1:-3}"; done
flags=" $(grep -m1 '^flags' /proc/cpuinfo) "
lower=(scalar)
[[ "$flags" == *" avx2 "* ]] && lower+=(avx2)
for level in "${lower[@]}"; do
    [[ "$level" == avx2 && ! ( "$flags" == *" avx512bw "* && "$flags" == *" avx512vl "* ) ]] && continue
    tsan_run "2 worker(s), CORVANE_SIMD=$level" env RAYON_NUM_THREADS=2 CORVANE_SIMD=$level "$out/prog" "${1:-3}"
done
if [ "$status" -eq 0 ]; then echo "TSAN KERNELS PASS"; else echo "TSAN KERNELS FAIL"; fi
exit "$status"

// The instruction set the string kernels use, chosen once per process.
//
// The module is built for plain x86-64; the multi-lane block routines are
// compiled per instruction set in their own translation units (lanes_*.cpp)
// and only ever called after the processor has been asked, at run time,
// whether it has that set. CORVANE_SIMD (read once, at the first string
// column) lowers the level:
//   scalar  - today's one-pair-at-a-time kernels only
//   avx2    - AVX2 blocks (4 pairs per register)
//   avx512  - AVX-512 BW/VL blocks (8 pairs per register)
// A level the processor lacks falls to the best one below it that it has;
// any other value (a misspelling included) means scalar, the level that
// runs everywhere, since the variable exists to restrict. Every level gives
// the same score for every pair, bit for bit.
#pragma once

#include <string_view>

namespace corvane::similarity {

enum class SimdLevel : int { scalar = 0, avx2 = 1, avx512 = 2 };
constexpr int kSimdLevels = 3;

// The best level this processor (and its operating system) supports.
SimdLevel supported_simd_level() noexcept;

// The level for a CORVANE_SIMD value (null: not set) on a processor whose
// best level is `best`.
SimdLevel resolve_simd_level(const char* requested, SimdLevel best) noexcept;

// The level in force: resolve_simd_level(getenv("CORVANE_SIMD"),
// supported_simd_level()), computed on first use.
SimdLevel simd_level() noexcept;

std::string_view simd_level_name(SimdLevel level) noexcept;

}  // namespace corvane::similarity

// Block routines: score up to kBlockPairs pairs at once, several short
// pairs per vector register, each lane holding its own pair. A routine
// takes the pairs it can pack (both strings ASCII and short enough for a
// lane), scores the rest with the metric's per-pair kernel, and writes
// out[i] for every pair i < count, bit for bit what the per-pair kernel
// gives.
//
// Each instruction set has its own namespace and translation unit
// (lanes_avx2.cpp, lanes_avx512.cpp), compiled for that set only; callers
// reach them through the table of a StringKernel (columns.hpp), which
// holds them only for levels the processor has.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvane::similarity {

constexpr std::size_t kBlockPairs = 256;

using BlockRoutine = void (*)(const std::string_view* left, const std::string_view* right, std::size_t count,
                              double* out);

#define CORVANE_LANE_ROUTINES                                                                       \
    void levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count, \
                     double* out);

#if defined(__x86_64__) && defined(__GNUC__)
#define CORVANE_HAVE_LANES 1
namespace avx2 {
CORVANE_LANE_ROUTINES
// AVX2 only: processors with AVX-512 run this one too.
void jaro_winkler(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
}
namespace avx512 {
CORVANE_LANE_ROUTINES
}
#else
#define CORVANE_HAVE_LANES 0
#endif

#undef CORVANE_LANE_ROUTINES

}  // namespace corvane::similarity

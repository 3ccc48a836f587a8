// The block routines compiled for AVX-512 (F, BW, VL): 8 lanes per register. Called only when the
// processor has the set (simd_level.hpp); see lanes_body.hpp.
#include "similarity/lanes.hpp"

#if CORVANE_HAVE_LANES

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include <immintrin.h>

#include "similarity/kernels.hpp"
#include "similarity/utf8.hpp"

#pragma GCC push_options
// The blocks' packing arrays are read only up to the count written.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,avx2,bmi,bmi2,popcnt")
#define CORVANE_LANES_NS avx512
#define CORVANE_LANE_REGISTER 64
#include "similarity/lanes_body.hpp"
#undef CORVANE_LANE_REGISTER
#undef CORVANE_LANES_NS
#pragma GCC diagnostic pop
#pragma GCC pop_options

#endif

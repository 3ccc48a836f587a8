// Numeric kernels: absolute difference and relative-difference similarity.
//
// Every step is one binary64 operation rounded on its own. The maximum is
// IEEE maxNum (a single NaN operand is ignored), written out with compares
// and selects: the same result as std::fmax without a library call.
#include <cmath>

#include "similarity/kernels.hpp"

namespace corvane::similarity {

namespace {

inline double max_num(double x, double y) noexcept {
    if (x != x) return y;
    if (y != y) return x;
    return x > y ? x : y;
}

}  // namespace

double numeric_distance(double a, double b) noexcept { return std::fabs(a - b); }

double numeric_similarity(double a, double b) noexcept {
    const double m = max_num(std::fabs(a), std::fabs(b));
    if (m == 0.0) return 1.0;  // +0.0 and -0.0 compare equal; NaN does not
    const double d = std::fabs(a - b);
    const double s = 1.0 - d / m;
    // maxNum(s, 0.0): negative scores and NaN both become 0.0.
    return s > 0.0 ? s : 0.0;
}

}  // namespace corvane::similarity

#include "models/logistic/logistic.hpp"

#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvane::inference {

namespace {

inline double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

constexpr std::ptrdiff_t kDouble = static_cast<std::ptrdiff_t>(sizeof(double));

}  // namespace

double dot_unit_stride(const char* row, const char* weights, std::size_t f) {
    // Eight independent lanes: each lane's additions keep their own order,
    // so the compiler may run them two (or more) at a time without changing
    // a single bit.
    double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t k = 0;
    for (; k + 8 <= f; k += 8) {
        const char* r = row + k * sizeof(double);
        const char* w = weights + k * sizeof(double);
        for (std::size_t j = 0; j < 8; ++j) p[j] += load(r + j * sizeof(double)) * load(w + j * sizeof(double));
    }
    double sum = 0.0 + (p[0] + p[4]);
    sum = sum + (p[1] + p[5]);
    sum = sum + (p[2] + p[6]);
    sum = sum + (p[3] + p[7]);
    for (; k < f; ++k) sum += load(row + k * sizeof(double)) * load(weights + k * sizeof(double));
    return sum;
}

double dot_strided(const char* row, std::ptrdiff_t row_step, const char* weights, std::ptrdiff_t weight_step,
                   std::size_t f) {
    double sum = 0.0;
    for (std::size_t k = 0; k < f; ++k) {
        const auto kk = static_cast<std::ptrdiff_t>(k);
        sum += load(row + kk * row_step) * load(weights + kk * weight_step);
    }
    return sum;
}

bool uses_unit_stride_order(const StridedView<double>& features, const StridedView<double>& weights) {
    return features.cols <= 1 || (features.cs == kDouble && weights.rs == kDouble);
}

namespace {

inline double sigmoid(double z) { return 1.0 / (std::exp(-z) + 1.0); }

#if defined(__x86_64__) && defined(__GNUC__)
#define CORVANE_ROWS_IN_LANES 1
typedef double d4 __attribute__((vector_size(32), aligned(8)));

__attribute__((target("avx2"))) inline d4 load4(const char* p) {
    return reinterpret_cast<d4>(_mm256_loadu_pd(reinterpret_cast<const double*>(p)));
}

// Columns c..c+3 of four rows, one register per column (lane = row).
__attribute__((target("avx2"))) inline void columns4(const char* const* rows, std::size_t c, d4* col) {
    const std::size_t at = c * sizeof(double);
    const d4 a = load4(rows[0] + at), b = load4(rows[1] + at), e = load4(rows[2] + at), g = load4(rows[3] + at);
    const d4 ab_lo = __builtin_shufflevector(a, b, 0, 4, 2, 6);  // a0 b0 a2 b2
    const d4 ab_hi = __builtin_shufflevector(a, b, 1, 5, 3, 7);  // a1 b1 a3 b3
    const d4 eg_lo = __builtin_shufflevector(e, g, 0, 4, 2, 6);
    const d4 eg_hi = __builtin_shufflevector(e, g, 1, 5, 3, 7);
    col[0] = __builtin_shufflevector(ab_lo, eg_lo, 0, 1, 4, 5);
    col[1] = __builtin_shufflevector(ab_hi, eg_hi, 0, 1, 4, 5);
    col[2] = __builtin_shufflevector(ab_lo, eg_lo, 2, 3, 6, 7);
    col[3] = __builtin_shufflevector(ab_hi, eg_hi, 2, 3, 6, 7);
}

// dot_unit_stride of four rows at once, one row per lane: every lane does
// the same multiplications and additions in the same order as the scalar
// routine (separate multiply and add, no fused operation), so each row's
// sum is the same to the bit.
__attribute__((target("avx2"))) void dot_unit_stride4(const char* const* rows, const char* weights, std::size_t f,
                                                      double* out) {
    d4 p[8];
    for (d4& v : p) v = d4{0.0, 0.0, 0.0, 0.0};
    std::size_t k = 0;
    d4 col[8];
    for (; k + 8 <= f; k += 8) {
        columns4(rows, k, col);
        columns4(rows, k + 4, col + 4);
        for (std::size_t j = 0; j < 8; ++j) {
            const double w = load(weights + (k + j) * sizeof(double));
            p[j] = p[j] + col[j] * d4{w, w, w, w};
        }
    }
    d4 sum = d4{0.0, 0.0, 0.0, 0.0} + (p[0] + p[4]);
    sum = sum + (p[1] + p[5]);
    sum = sum + (p[2] + p[6]);
    sum = sum + (p[3] + p[7]);
    for (; k < f; ++k) {
        const std::size_t at = k * sizeof(double);
        const double w = load(weights + at);
        const d4 x{load(rows[0] + at), load(rows[1] + at), load(rows[2] + at), load(rows[3] + at)};
        sum = sum + x * d4{w, w, w, w};
    }
    _mm256_storeu_pd(out, reinterpret_cast<__m256d>(sum));
}

bool rows_in_lanes() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

void logistic_scores(const StridedView<double>& features, const StridedView<double>& weights, double bias,
                     double* out) {
    // Two passes per block of rows: the dot products first, loads only, with
    // rows fetched a few ahead, so the loads of one row never wait behind
    // the exponential of the row before; then exp and the division over the
    // block's z values, still in cache. Each row's arithmetic is unchanged.
    constexpr std::size_t kBlock = 512;
    constexpr std::size_t kAhead = 8;
    const std::size_t n = features.rows;
    const std::size_t f = features.cols;
    const bool unit = uses_unit_stride_order(features, weights);
    const std::size_t row_bytes = f * sizeof(double);
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        const std::size_t hi = n - lo < kBlock ? n : lo + kBlock;
        std::size_t i = lo;
#if defined(CORVANE_ROWS_IN_LANES)
        if (unit && f >= 8 && rows_in_lanes()) {
            for (; i + 4 <= hi; i += 4) {
                const char* rows[4];
                for (std::size_t r = 0; r < 4; ++r)
                    rows[r] = features.data + static_cast<std::ptrdiff_t>(i + r) * features.rs;
                if (i + 4 + kAhead < n)
                    for (std::size_t r = 0; r < 4; ++r) {
                        const char* ahead = rows[r] + static_cast<std::ptrdiff_t>(kAhead) * features.rs;
                        for (std::size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(ahead + b);
                    }
                dot_unit_stride4(rows, weights.data, f, out + i);
            }
        }
#endif
        for (; i < hi; ++i) {
            const char* row = features.data + static_cast<std::ptrdiff_t>(i) * features.rs;
            if (i + kAhead < n && unit) {
                const char* ahead = row + static_cast<std::ptrdiff_t>(kAhead) * features.rs;
                for (std::size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(ahead + b);
            }
            out[i] = unit ? dot_unit_stride(row, weights.data, f)
                          : dot_strided(row, features.cs, weights.data, weights.rs, f);
        }
        // While the exponentials run, the next block's rows are fetched (a
        // row's lines per row scored), so its dot products find them near.
        const std::size_t next_hi = n - hi < kBlock ? n : hi + kBlock;
        for (std::size_t i = lo; i < hi; ++i) {
            const std::size_t ahead = hi + (i - lo);
            if (unit && ahead < next_hi) {
                const char* row = features.data + static_cast<std::ptrdiff_t>(ahead) * features.rs;
                for (std::size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(row + b);
            }
            out[i] = sigmoid(out[i] + bias);
        }
    }
}

}  // namespace corvane::inference

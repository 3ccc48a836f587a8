#include "models/logistic/logistic.hpp"

#include <cmath>
#include <cstring>

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
        for (std::size_t i = lo; i < hi; ++i) {
            const char* row = features.data + static_cast<std::ptrdiff_t>(i) * features.rs;
            if (i + kAhead < n && unit) {
                const char* ahead = row + static_cast<std::ptrdiff_t>(kAhead) * features.rs;
                for (std::size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(ahead + b);
            }
            out[i] = unit ? dot_unit_stride(row, weights.data, f)
                          : dot_strided(row, features.cs, weights.data, weights.rs, f);
        }
        for (std::size_t i = lo; i < hi; ++i) out[i] = sigmoid(out[i] + bias);
    }
}

}  // namespace corvane::inference

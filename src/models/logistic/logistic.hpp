// Logistic-regression scoring over a strided feature matrix. Pure C++.
#pragma once

#include <cstddef>

#include "runtime/views.hpp"

namespace corvane::inference {

// Dot product of one row with the weights when both operands are runs of
// consecutive doubles (possibly unaligned): eight partial sums p0..p7 over
// whole blocks of eight, folded as ((((0 + (p0+p4)) + (p1+p5)) + (p2+p6)) +
// (p3+p7)), then the remaining 0..7 products one at a time.
double dot_unit_stride(const char* row, const char* weights, std::size_t f);

// Plain left-to-right dot product from 0.0 over strided operands.
double dot_strided(const char* row, std::ptrdiff_t row_step, const char* weights, std::ptrdiff_t weight_step,
                   std::size_t f);

// True when the eight-way order applies: both element strides are one
// double, or there is at most one feature.
bool uses_unit_stride_order(const StridedView<double>& features, const StridedView<double>& weights);

// out[i] = 1 / (exp(-(dot(row i, weights) + bias)) + 1) for every row.
// features: N x F; weights: F elements (caller checks the lengths agree).
void logistic_scores(const StridedView<double>& features, const StridedView<double>& weights, double bias,
                     double* out);

}  // namespace corvane::inference

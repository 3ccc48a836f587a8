// RBF support-vector scoring with Platt calibration. Pure C++.
#pragma once

#include <cstddef>
#include <vector>

namespace corvane::svm {

struct SvmModel {
    const double* support_vectors = nullptr;  // s x f, row-major
    const double* dual_coef = nullptr;        // s
    const double* norms = nullptr;            // s, from support_vector_norms
    std::size_t s = 0;
    std::size_t f = 0;
    double intercept = 0.0;
    double gamma = 0.0;
    double prob_a = 0.0;
    double prob_b = 0.0;
};

// Sum of squares of each support vector, in column order from -0.0.
std::vector<double> support_vector_norms(const double* support_vectors, std::size_t s, std::size_t f);

// Probability for every row x of an n x f row-major matrix, on the worker
// pool, with exactly this arithmetic:
//   xx = sum x[j]^2 and dot_i = sum x[j]*sv[i][j], both from -0.0 in column
//   order; d2_i = (xx + norm_i) - (dot_i + dot_i); decision = intercept +
//   dual_coef[i] * exp(-(gamma * d2_i)) added in support-vector order;
//   z = decision * prob_a - prob_b; result 1 / (exp(z) + 1).
// Several support vectors' dot products are computed side by side, each
// lane keeping the column order, so the lanes change no bit.
std::vector<double> score_rows(const SvmModel& model, const double* rows, std::size_t n);

}  // namespace corvane::svm

#include "svm_inference/svm.hpp"

#include <cmath>

#include "pool.hpp"

namespace corvane::svm {

namespace {

// Support vectors per lane block in the interleaved copy.
constexpr std::size_t kLanes = 8;

double squared_norm(const double* x, std::size_t f) {
    double sum = -0.0;
    for (std::size_t j = 0; j < f; ++j) sum = sum + x[j] * x[j];
    return sum;
}

// Support vectors regrouped by blocks of kLanes: element (block, j, lane)
// is column j of support vector block * kLanes + lane. Lanes past s are
// zero and their results are never used.
struct InterleavedVectors {
    std::vector<double> data;
    std::vector<double> norms;  // padded to whole blocks
    std::size_t blocks = 0;

    InterleavedVectors(const SvmModel& model) {
        blocks = (model.s + kLanes - 1) / kLanes;
        data.assign(blocks * model.f * kLanes, 0.0);
        norms.assign(blocks * kLanes, 0.0);
        for (std::size_t i = 0; i < model.s; ++i) {
            const std::size_t b = i / kLanes, lane = i % kLanes;
            for (std::size_t j = 0; j < model.f; ++j)
                data[(b * model.f + j) * kLanes + lane] = model.support_vectors[i * model.f + j];
            norms[i] = model.norms[i];
        }
    }
};

double score_row_interleaved(const SvmModel& model, const InterleavedVectors& iv, const double* x) {
    const std::size_t f = model.f;
    const double xx = squared_norm(x, f);
    const double gamma = model.gamma;
    double decision = model.intercept;
    for (std::size_t b = 0; b < iv.blocks; ++b) {
        double dot[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) dot[l] = -0.0;
        const double* block = iv.data.data() + b * f * kLanes;
        for (std::size_t j = 0; j < f; ++j) {
            const double xj = x[j];
            const double* col = block + j * kLanes;
            for (std::size_t l = 0; l < kLanes; ++l) dot[l] = dot[l] + xj * col[l];
        }
        double arg[kLanes];
        const double* norm = iv.norms.data() + b * kLanes;
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double d2 = (xx + norm[l]) - (dot[l] + dot[l]);
            arg[l] = -(gamma * d2);
        }
        const std::size_t first = b * kLanes;
        const std::size_t lanes = model.s - first < kLanes ? model.s - first : kLanes;
        const double* coef = model.dual_coef + first;
        for (std::size_t l = 0; l < lanes; ++l) decision = decision + coef[l] * std::exp(arg[l]);
    }
    const double z = decision * model.prob_a - model.prob_b;
    return 1.0 / (std::exp(z) + 1.0);
}

}  // namespace

std::vector<double> support_vector_norms(const double* support_vectors, std::size_t s, std::size_t f) {
    std::vector<double> norms(s);
    for (std::size_t i = 0; i < s; ++i) norms[i] = squared_norm(support_vectors + i * f, f);
    return norms;
}

double score_row(const SvmModel& model, const double* x) {
    const std::size_t f = model.f;
    const double xx = squared_norm(x, f);
    double decision = model.intercept;
    for (std::size_t i = 0; i < model.s; ++i) {
        const double* sv = model.support_vectors + i * f;
        double dot = -0.0;
        for (std::size_t j = 0; j < f; ++j) dot = dot + x[j] * sv[j];
        const double d2 = (xx + model.norms[i]) - (dot + dot);
        const double k = std::exp(-(model.gamma * d2));
        decision = decision + model.dual_coef[i] * k;
    }
    const double z = decision * model.prob_a - model.prob_b;
    return 1.0 / (std::exp(z) + 1.0);
}

std::vector<double> score_rows(const SvmModel& model, const double* rows, std::size_t n) {
    if (n == 0) return {};
    const InterleavedVectors iv(model);
    const std::size_t f = model.f;
    return parallel_map(n, [&](std::size_t i) { return score_row_interleaved(model, iv, rows + i * f); });
}

}  // namespace corvane::svm

#include "models/svm/svm.hpp"

#include <cmath>
#include <memory>

#include "runtime/pool.hpp"

namespace corvane::svm {

namespace {

// Support vectors per lane block in the interleaved copy.
constexpr std::size_t kLanes = 8;

// Kernel arguments kept on the stack while a row is scored (8 KiB).
constexpr std::size_t kStackArgs = 1024;

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

    explicit InterleavedVectors(const SvmModel& model) {
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

// Two doubles operated on element by element (each element rounds exactly
// as the scalar operation would).
typedef double Pair __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
    Pair q;
    __builtin_memcpy(&q, p, sizeof q);
    return q;
}

// Kernel arguments -(gamma * d2) of one row against every support vector,
// kLanes lanes side by side; each lane adds its products in column order.
void kernel_arguments(const SvmModel& model, const InterleavedVectors& iv, const double* x, double xx,
                      double* arg) {
    static_assert(kLanes == 8, "four pairs per block");
    const std::size_t f = model.f;
    const Pair gamma = {model.gamma, model.gamma};
    const Pair vxx = {xx, xx};
    const double* block = iv.data.data();
    const double* norm = iv.norms.data();
    for (std::size_t b = 0; b < iv.blocks; ++b, block += f * kLanes, norm += kLanes, arg += kLanes) {
        Pair d0 = {-0.0, -0.0};
        Pair d1 = d0, d2 = d0, d3 = d0;
        const double* col = block;
        for (std::size_t j = 0; j < f; ++j, col += kLanes) {
            const Pair xj = {x[j], x[j]};
            d0 = d0 + xj * load_pair(col);
            d1 = d1 + xj * load_pair(col + 2);
            d2 = d2 + xj * load_pair(col + 4);
            d3 = d3 + xj * load_pair(col + 6);
        }
        const Pair a0 = -(gamma * ((vxx + load_pair(norm)) - (d0 + d0)));
        const Pair a1 = -(gamma * ((vxx + load_pair(norm + 2)) - (d1 + d1)));
        const Pair a2 = -(gamma * ((vxx + load_pair(norm + 4)) - (d2 + d2)));
        const Pair a3 = -(gamma * ((vxx + load_pair(norm + 6)) - (d3 + d3)));
        __builtin_memcpy(arg, &a0, sizeof a0);
        __builtin_memcpy(arg + 2, &a1, sizeof a1);
        __builtin_memcpy(arg + 4, &a2, sizeof a2);
        __builtin_memcpy(arg + 6, &a3, sizeof a3);
    }
}

// Probability for one row; `arg` has room for iv.blocks * kLanes values.
double score_row_interleaved(const SvmModel& model, const InterleavedVectors& iv, const double* x, double* arg) {
    kernel_arguments(model, iv, x, squared_norm(x, model.f), arg);
    double decision = model.intercept;
    const double* coef = model.dual_coef;
    for (std::size_t i = 0; i < model.s; ++i) decision = decision + coef[i] * std::exp(arg[i]);
    const double z = decision * model.prob_a - model.prob_b;
    return 1.0 / (std::exp(z) + 1.0);
}

}  // namespace

std::vector<double> support_vector_norms(const double* support_vectors, std::size_t s, std::size_t f) {
    std::vector<double> norms(s);
    for (std::size_t i = 0; i < s; ++i) norms[i] = squared_norm(support_vectors + i * f, f);
    return norms;
}

std::vector<double> score_rows(const SvmModel& model, const double* rows, std::size_t n) {
    if (n == 0) {
        pool::worker_count();  // no rows: the pool is created all the same, as by a map of no rows
        return {};
    }
    const InterleavedVectors iv(model);
    const std::size_t f = model.f;
    return parallel_map(n, [&](std::size_t i) {
        // Room for the row's kernel arguments: on the stack for models of
        // up to kStackArgs support vectors, else a buffer for this row.
        double on_stack[kStackArgs];
        std::unique_ptr<double[]> on_heap;
        double* arg = on_stack;
        if (iv.blocks * kLanes > kStackArgs) {
            on_heap.reset(new double[iv.blocks * kLanes]);
            arg = on_heap.get();
        }
        return score_row_interleaved(model, iv, rows + i * f, arg);
    });
}

}  // namespace corvane::svm

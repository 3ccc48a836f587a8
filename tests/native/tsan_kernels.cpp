// Kernel-heavy maps on the worker pool, for ThreadSanitizer (no Python).
//
// Several caller threads at once run every string and numeric column
// routine, the feature matrix builder, tree ensemble scoring (packed and
// flat walks, plus layouts that fail on some rows) and SVM scoring over
// shared read-only inputs, and compare each result bit for bit with the
// same kernels evaluated serially on the main thread beforehand. Any data
// race in the pool or the kernels is reported by TSan; any wrong or
// misplaced score is reported here. Prints "PASS" and exits 0 when clean.
//
//   tsan_kernels [rounds]     (default 3)
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/errors.hpp"
#include "features/feature_matrix.hpp"
#include "features/metrics.hpp"
#include "models/logistic/logistic.hpp"
#include "runtime/pool.hpp"
#include "similarity/columns.hpp"
#include "similarity/kernels.hpp"
#include "runtime/string_column.hpp"
#include "models/svm/svm.hpp"
#include "models/trees/ensemble.hpp"

using namespace corvane;

namespace {

std::atomic<int> g_failures{0};

void fail(const std::string& what) {
    std::fprintf(stderr, "check failed: %s\n", what.c_str());
    g_failures.fetch_add(1);
}

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_bits(a[i], b[i])) return false;
    return true;
}

// ---- shared inputs -------------------------------------------------------------

const char* const kPieces[] = {"Martha", "MARHTA", "Jiménez", "Müller ", "Mueller", "日本語テキスト", " naïve ",
                               "a b c", "c b\u2003a", "", "O'Brien", "\xF0\x9F\x98\x80", "straße", "ab"};

std::string random_text(std::mt19937_64& rng) {
    std::string s;
    for (int k = static_cast<int>(rng() % 4); k > 0; --k) s += kPieces[rng() % (sizeof kPieces / sizeof *kPieces)];
    if (rng() % 7 == 0) s += std::string(40 + rng() % 60, "xyz"[rng() % 3]);  // long enough for multi-word paths
    return s;
}

struct Inputs {
    std::size_t n = 0;
    StringColumn left, right;
    std::vector<double> num_left, num_right;  // 2 x n, row-major

    // trees: 6 trees of depth <= 6 over 5 features
    std::vector<std::int64_t> offsets, cl, cr, tf;
    std::vector<double> th, vals;
    std::vector<double> rows;  // n x 5
    // SVM: 9 support vectors over 5 features
    std::vector<double> sv, coef, norms;
};

void grow_tree(std::mt19937_64& rng, Inputs& in, std::size_t base, int depth) {
    std::size_t idx = in.cl.size();
    in.cl.push_back(-1);
    in.cr.push_back(-1);
    in.tf.push_back(static_cast<std::int64_t>(rng() % 5));
    in.th.push_back(std::uniform_real_distribution<double>(-1, 1)(rng));
    in.vals.push_back(std::uniform_real_distribution<double>(-1, 1)(rng));
    if (depth == 0 || rng() % 4 == 0) return;
    in.cl[idx] = static_cast<std::int64_t>(in.cl.size() - base);
    grow_tree(rng, in, base, depth - 1);
    in.cr[idx] = static_cast<std::int64_t>(in.cl.size() - base);
    grow_tree(rng, in, base, depth - 1);
}

Inputs make_inputs(std::size_t n) {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    Inputs in;
    in.n = n;
    for (std::size_t i = 0; i < n; ++i) {
        std::string a = random_text(rng);
        std::string b = rng() % 3 == 0 ? a : random_text(rng);
        in.left.push_back(a.data(), a.size());
        in.right.push_back(b.data(), b.size());
    }
    for (std::size_t i = 0; i < 2 * n; ++i) {
        in.num_left.push_back(i % 97 == 0 ? NAN : normal(rng));
        in.num_right.push_back(i % 89 == 0 ? INFINITY : normal(rng));
    }
    in.offsets.push_back(0);
    for (int t = 0; t < 6; ++t) {
        grow_tree(rng, in, in.cl.size(), 6);
        in.offsets.push_back(static_cast<std::int64_t>(in.cl.size()));
    }
    for (std::size_t i = 0; i < n * 5; ++i) in.rows.push_back(i % 53 == 0 ? NAN : normal(rng));
    for (std::size_t i = 0; i < 9 * 5; ++i) in.sv.push_back(normal(rng));
    for (std::size_t i = 0; i < 9; ++i) in.coef.push_back(normal(rng));
    in.norms = svm::support_vector_norms(in.sv.data(), 9, 5);
    return in;
}

trees::FlatTrees flat_of(const Inputs& in, const std::vector<std::int64_t>& cl) {
    trees::FlatTrees f;
    f.offsets = in.offsets.data();
    f.n_offsets = in.offsets.size();
    f.children_left = cl.data();
    f.n_children_left = cl.size();
    f.children_right = in.cr.data();
    f.n_children_right = in.cr.size();
    f.features = in.tf.data();
    f.n_features = in.tf.size();
    f.thresholds = in.th.data();
    f.n_thresholds = in.th.size();
    f.values = in.vals.data();
    f.n_values = in.vals.size();
    return f;
}

svm::SvmModel svm_of(const Inputs& in) {
    svm::SvmModel model;
    model.support_vectors = in.sv.data();
    model.dual_coef = in.coef.data();
    model.norms = in.norms.data();
    model.s = 9;
    model.f = 5;
    model.intercept = 0.25;
    model.gamma = 0.3;
    model.prob_a = -1.5;
    model.prob_b = 0.125;
    return model;
}

StridedView<double> view2d(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
    StridedView<double> s;
    s.data = reinterpret_cast<const char*>(v.data());
    s.rows = rows;
    s.cols = cols;
    s.rs = static_cast<std::ptrdiff_t>(cols * sizeof(double));
    s.cs = sizeof(double);
    return s;
}

StridedView<double> view1d(const std::vector<double>& v) {
    StridedView<double> s;
    s.data = reinterpret_cast<const char*>(v.data());
    s.rows = v.size();
    s.rs = sizeof(double);
    return s;
}

// A column-major view of a row-major rows x cols buffer seen as cols x rows:
// not row-major, so the builder copies it.
StridedView<double> transposed(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
    StridedView<double> s;
    s.data = reinterpret_cast<const char*>(v.data());
    s.rows = cols;
    s.cols = rows;
    s.rs = sizeof(double);
    s.cs = static_cast<std::ptrdiff_t>(cols * sizeof(double));
    return s;
}

// ---- expected results, computed serially without the pool ------------------------

// The SVM arithmetic written out plainly, one support vector at a time.
double svm_reference_row(const svm::SvmModel& model, const double* x) {
    double xx = -0.0;
    for (std::size_t j = 0; j < model.f; ++j) xx = xx + x[j] * x[j];
    double decision = model.intercept;
    for (std::size_t i = 0; i < model.s; ++i) {
        const double* sv = model.support_vectors + i * model.f;
        double dot = -0.0;
        for (std::size_t j = 0; j < model.f; ++j) dot = dot + x[j] * sv[j];
        const double d2 = (xx + model.norms[i]) - (dot + dot);
        decision = decision + model.dual_coef[i] * std::exp(-(model.gamma * d2));
    }
    const double z = decision * model.prob_a - model.prob_b;
    return 1.0 / (std::exp(z) + 1.0);
}

struct Expected {
    std::vector<std::vector<double>> string_cols;  // one per string metric
    std::vector<std::vector<double>> numeric_cols;  // numeric_distance, numeric_similarity
    std::vector<double> matrix;                    // feature matrix of all metrics
    std::vector<double> forest, gbdt, svm, logistic;
    std::string bad_tree_message;
};

Expected expected_of(const Inputs& in, const std::vector<std::int64_t>& bad_cl) {
    Expected e;
    for (const auto& metric : features::kStringMetrics) {
        std::vector<double> col(in.n);
        for (std::size_t i = 0; i < in.n; ++i) col[i] = metric.kernel(in.left[i], in.right[i]);
        e.string_cols.push_back(std::move(col));
    }
    for (auto kernel : {similarity::numeric_distance, similarity::numeric_similarity}) {
        std::vector<double> col(2 * in.n);
        for (std::size_t i = 0; i < 2 * in.n; ++i) col[i] = kernel(in.num_left[i], in.num_right[i]);
        e.numeric_cols.push_back(std::move(col));
    }
    const std::size_t nf = features::kStringMetrics.size() + 2;
    e.matrix.assign(in.n * nf, 0.0);
    for (std::size_t p = 0; p < in.n; ++p) {
        for (std::size_t k = 0; k < features::kStringMetrics.size(); ++k) e.matrix[p * nf + k] = e.string_cols[k][p];
        // numeric rows: row 0 with "numeric", row 1 with "numeric_similarity"
        e.matrix[p * nf + nf - 2] = e.numeric_cols[0][p];
        e.matrix[p * nf + nf - 1] = e.numeric_cols[1][in.n + p];
    }
    const trees::FlatTrees flat = flat_of(in, in.cl);
    trees::Ensemble forest, gbdt;
    gbdt.kind = trees::Ensemble::kBoosting;
    gbdt.learning_rate = 0.1;
    gbdt.init_value = -0.3;
    const svm::SvmModel model = svm_of(in);
    for (std::size_t i = 0; i < in.n; ++i) {
        e.forest.push_back(trees::score_row(flat, forest, &in.rows[i * 5], 5));
        e.gbdt.push_back(trees::score_row(flat, gbdt, &in.rows[i * 5], 5));
        e.svm.push_back(svm_reference_row(model, &in.rows[i * 5]));
    }
    e.logistic.assign(in.n, 0.0);
    std::vector<double> w = {0.5, -1.0, 0.25, 2.0, -0.125};
    inference::logistic_scores(view2d(in.rows, in.n, 5), view1d(w), 0.5, e.logistic.data());
    const trees::FlatTrees bad = flat_of(in, bad_cl);
    for (std::size_t i = 0; i < in.n && e.bad_tree_message.empty(); ++i) {
        try {
            trees::score_row(bad, forest, &in.rows[i * 5], 5);
        } catch (const InternalFailure& f) {
            e.bad_tree_message = f.what();
        }
    }
    return e;
}

// ---- one caller thread's work ------------------------------------------------------

void run_round(const Inputs& in, const Expected& e, const std::vector<std::int64_t>& bad_cl, int who) {
    const std::string tag = "thread " + std::to_string(who) + ": ";
    // Every string metric through its column routine, written into a
    // strided slot of a shared-shape output (like the feature matrix does).
    std::size_t k = 0;
    for (const auto& metric : features::kStringMetrics) {
        std::vector<double> out(in.n * 2, -7.0);
        similarity::string_column(metric.kernel, in.left, in.right, out.data() + 1, 2);
        std::vector<double> col(in.n);
        for (std::size_t i = 0; i < in.n; ++i) col[i] = out[2 * i + 1];
        if (!same(col, e.string_cols[k])) fail(tag + std::string(metric.name));
        for (std::size_t i = 0; i < in.n; ++i)
            if (out[2 * i] != -7.0) fail(tag + "wrote outside its slots: " + std::string(metric.name));
        ++k;
    }
    k = 0;
    for (auto kernel : {similarity::numeric_distance, similarity::numeric_similarity}) {
        std::vector<double> out(2 * in.n);
        similarity::numeric_column(kernel, in.num_left.data(), in.num_right.data(), 2 * in.n, out.data(), 1);
        if (!same(out, e.numeric_cols[k++])) fail(tag + "numeric column");
    }

    // The feature matrix: every string metric, then two numeric columns
    // given column-major (so they are copied first).
    StringColumn names, numeric_names;
    std::vector<StringColumn> lefts, rights;
    for (const auto& metric : features::kStringMetrics) {
        names.push_back(metric.name.data(), metric.name.size());
        lefts.push_back(in.left);
        rights.push_back(in.right);
    }
    for (const char* name : {"numeric", "numeric_similarity"}) numeric_names.push_back(name, std::strlen(name));
    // num_left as an n x 2 row-major buffer viewed transposed = 2 x n column-major.
    std::vector<double> nl_t(2 * in.n), nr_t(2 * in.n);
    for (std::size_t r = 0; r < 2; ++r)
        for (std::size_t p = 0; p < in.n; ++p) {
            nl_t[p * 2 + r] = in.num_left[r * in.n + p];
            nr_t[p * 2 + r] = in.num_right[r * in.n + p];
        }
    const features::FeatureInputs fin{lefts, rights, names, transposed(nl_t, in.n, 2), transposed(nr_t, in.n, 2),
                                      numeric_names, in.n};
    features::FeaturePlan plan;
    if (auto msg = features::plan_feature_matrix(fin, plan)) fail(tag + "plan: " + *msg);
    else if (!same(features::build_feature_matrix(fin, plan), e.matrix)) fail(tag + "feature matrix");

    // Tree ensembles: the packed walk (many rows) and the flat walk (few rows).
    const trees::FlatTrees flat = flat_of(in, in.cl);
    trees::Ensemble forest, gbdt;
    gbdt.kind = trees::Ensemble::kBoosting;
    gbdt.learning_rate = 0.1;
    gbdt.init_value = -0.3;
    if (!same(trees::score_rows(flat, forest, in.rows.data(), in.n, 5), e.forest)) fail(tag + "forest");
    if (!same(trees::score_rows(flat, gbdt, in.rows.data(), in.n, 5), e.gbdt)) fail(tag + "gbdt");
    std::vector<double> few(e.forest.begin(), e.forest.begin() + 3);
    if (!same(trees::score_rows(flat, forest, in.rows.data(), 3, 5), few)) fail(tag + "forest, few rows");

    // A layout that fails on some rows: the lowest failing row's message.
    const trees::FlatTrees bad = flat_of(in, bad_cl);
    try {
        trees::score_rows(bad, forest, in.rows.data(), in.n, 5);
        fail(tag + "broken layout did not fail");
    } catch (const InternalFailure& f) {
        if (e.bad_tree_message != f.what()) fail(tag + "broken layout message: " + f.what());
    }

    if (!same(svm::score_rows(svm_of(in), in.rows.data(), in.n), e.svm)) fail(tag + "svm");

    std::vector<double> w = {0.5, -1.0, 0.25, 2.0, -0.125}, out(in.n);
    inference::logistic_scores(view2d(in.rows, in.n, 5), view1d(w), 0.5, out.data());
    if (!same(out, e.logistic)) fail(tag + "logistic");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const Inputs in = make_inputs(1500);

    // Break tree 3: its root's left child lies beyond the tree, so the rows
    // whose feature is not above the root's threshold fail, the others not.
    std::vector<std::int64_t> bad_cl = in.cl;
    const auto root3 = static_cast<std::size_t>(in.offsets[3]);
    bad_cl[root3] = in.offsets[4] - in.offsets[3] + 5;

    const Expected e = expected_of(in, bad_cl);
    if (e.bad_tree_message.empty()) fail("the broken layout fails no row");

    constexpr int kCallers = 4;
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t)
        callers.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) run_round(in, e, bad_cl, t);
        });
    for (auto& c : callers) c.join();
    // And once more from the main thread, after the others are gone.
    run_round(in, e, bad_cl, -1);

    std::printf("workers=%zu rounds=%d callers=%d rows=%zu\n", pool::worker_count(), rounds, kCallers, in.n);
    if (g_failures.load() != 0) {
        std::printf("FAIL (%d)\n", g_failures.load());
        return 1;
    }
    std::printf("PASS\n");
    return 0;
}

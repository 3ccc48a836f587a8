// Kernel-heavy maps on the worker pool, for ThreadSanitizer (no Python):
// several caller threads at once run the feature matrix builder (every
// string and numeric column, and every string metric's block routine
// beside its per-pair kernel on short ASCII pairs), tree ensemble scoring (packed and per-row
// walks, and a layout failing on some rows), SVM scoring and match weights
// and level keys (the first negative score of several ranges) over shared
// read-only inputs, each result compared bit for bit with the main thread's
// own, computed beforehand. Prints "PASS" when clean. Usage: tsan_kernels [rounds]
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

#include "features/feature_matrix.hpp"
#include "features/metrics.hpp"
#include "models/fellegi/levels.hpp"
#include "models/svm/svm.hpp"
#include "models/trees/ensemble.hpp"
#include "runtime/errors.hpp"
#include "runtime/pool.hpp"
#include "runtime/string_column.hpp"
#include "similarity/columns.hpp"

using namespace corvane;
using Scores = std::vector<double>;

namespace {

std::atomic<int> g_failures{0};

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what.c_str());
        g_failures.fetch_add(1);
    }
}

bool same(const Scores& a, const Scores& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

const char* const kPieces[] = {"Martha", "MARHTA", "Jiménez", "Müller ", "Mueller", "日本語テキスト", " naïve ",
                               "a b c", "c b\u2003a", "", "O'Brien", "\xF0\x9F\x98\x80", "straße", "ab"};

// Shared read-only inputs: n string pairs, 2 x n numeric pairs, n rows of 5
// features, 6 trees of depth <= 6, 9 support vectors.
struct Inputs {
    std::size_t n = 1500;
    StringColumn left, right;
    StringColumn ascii_left, ascii_right;  // mostly the lane path of the block routines
    Scores num_left, num_right, rows, th, vals, sv, coef, norms;
    std::vector<std::int64_t> offsets{0}, cl, cr, tf, bad_cl;
};

void grow_tree(std::mt19937_64& rng, Inputs& in, std::size_t base, int depth) {
    const std::size_t idx = in.cl.size();
    std::uniform_real_distribution<double> u(-1, 1);
    in.cl.push_back(-1);
    in.cr.push_back(-1);
    in.tf.push_back(static_cast<std::int64_t>(rng() % 5));
    in.th.push_back(u(rng));
    in.vals.push_back(u(rng));
    if (depth == 0 || rng() % 4 == 0) return;
    in.cl[idx] = static_cast<std::int64_t>(in.cl.size() - base);
    grow_tree(rng, in, base, depth - 1);
    in.cr[idx] = static_cast<std::int64_t>(in.cl.size() - base);
    grow_tree(rng, in, base, depth - 1);
}

Inputs make_inputs() {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    Inputs in;
    auto text = [&] {
        std::string s;
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) s += kPieces[rng() % std::size(kPieces)];
        if (rng() % 7 == 0) s += std::string(40 + rng() % 60, "xyz"[rng() % 3]);  // multi-word paths
        return s;
    };
    for (std::size_t i = 0; i < in.n; ++i) {
        std::string a = text(), b = rng() % 3 == 0 ? a : text();
        in.left.push_back(a.data(), a.size());
        in.right.push_back(b.data(), b.size());
    }
    auto ascii = [&] {
        std::string s(rng() % 70, 'a');
        for (char& c : s) c = "abcxyz -"[rng() % (rng() % 2 == 0 ? 3 : 8)];
        return s;
    };
    for (std::size_t i = 0; i < in.n; ++i) {
        std::string a = ascii(), b = a;
        if (rng() % 4 != 0) b = rng() % 2 == 0 ? ascii() : a.substr(0, a.size() / 2) + "x" + a.substr(a.size() / 2);
        if (rng() % 50 == 0) b += "é";
        in.ascii_left.push_back(a.data(), a.size());
        in.ascii_right.push_back(b.data(), b.size());
    }
    for (std::size_t i = 0; i < 2 * in.n; ++i) {
        in.num_left.push_back(i % 97 == 0 ? NAN : normal(rng));
        in.num_right.push_back(i % 89 == 0 ? INFINITY : normal(rng));
    }
    for (int t = 0; t < 6; ++t) {
        grow_tree(rng, in, in.cl.size(), 6);
        in.offsets.push_back(static_cast<std::int64_t>(in.cl.size()));
    }
    // Tree 3's root gets a left child beyond its tree: the rows going left
    // there fail, the others not.
    in.bad_cl = in.cl;
    in.bad_cl[static_cast<std::size_t>(in.offsets[3])] = in.offsets[4] - in.offsets[3] + 5;
    for (std::size_t i = 0; i < in.n * 5; ++i) in.rows.push_back(i % 53 == 0 ? NAN : normal(rng));
    for (std::size_t i = 0; i < 9 * 5; ++i) in.sv.push_back(normal(rng));
    for (std::size_t i = 0; i < 9; ++i) in.coef.push_back(normal(rng));
    in.norms = svm::support_vector_norms(in.sv.data(), 9, 5);
    return in;
}

trees::FlatTrees flat_of(const Inputs& in, const std::vector<std::int64_t>& cl) {
    return {in.offsets.data(), in.offsets.size(), cl.data(), cl.size(), in.cr.data(), in.cr.size(),
            in.tf.data(), in.tf.size(), in.th.data(), in.th.size(), in.vals.data(), in.vals.size()};
}

StridedView<double> view(const Scores& v, std::size_t rows, std::size_t cols, std::ptrdiff_t rs, std::ptrdiff_t cs) {
    return {reinterpret_cast<const char*>(v.data()), rows, cols, rs * 8, cs * 8};
}

// Everything one caller computes, each result labelled; the failure
// message of the broken layout comes last.
using Results = std::vector<std::pair<std::string, Scores>>;

Results compute(const Inputs& in) {
    Results r;
    // Every string metric's column, then two numeric columns whose view is
    // not row-major (so they are copied first), each written into its
    // strided place of the matrix.
    StringColumn names, numeric_names;
    std::vector<StringColumn> lefts, rights;
    for (const auto& metric : features::kStringMetrics) {
        names.push_back(metric.name.data(), metric.name.size());
        lefts.push_back(in.left);
        rights.push_back(in.right);
    }
    for (const char* name : {"numeric", "numeric_similarity"}) numeric_names.push_back(name, std::strlen(name));
    const features::FeatureInputs fin{lefts, rights, names, view(in.num_left, 2, in.n, 1, 2),
                                      view(in.num_right, 2, in.n, 1, 2), numeric_names, in.n};
    features::FeaturePlan plan;
    expect(!features::plan_feature_matrix(fin, plan), "feature matrix plan");
    r.emplace_back("feature matrix", features::build_feature_matrix(fin, plan));

    // Each metric in blocks (the level in force) and pair by pair.
    for (const auto& metric : features::kStringMetrics) {
        Scores blocks(in.n), pairs(in.n);
        similarity::string_column(metric.kernel, in.ascii_left, in.ascii_right, blocks.data(), 1);
        similarity::string_column(metric.kernel.pair, in.ascii_left, in.ascii_right, pairs.data(), 1);
        expect(same(blocks, pairs), std::string(metric.name) + ": blocks and pairs differ");
        r.emplace_back(std::string(metric.name) + " in blocks", std::move(blocks));
    }

    const trees::FlatTrees flat = flat_of(in, in.cl), bad = flat_of(in, in.bad_cl);
    const trees::Ensemble forest, gbdt{trees::Ensemble::kBoosting, 0.1, -0.3};
    r.emplace_back("forest", trees::score_rows(flat, forest, in.rows.data(), in.n, 5));
    r.emplace_back("gbdt", trees::score_rows(flat, gbdt, in.rows.data(), in.n, 5));
    r.emplace_back("forest, few rows", trees::score_rows(flat, forest, in.rows.data(), 3, 5));  // per-row walk
    svm::SvmModel model{in.sv.data(), in.coef.data(), in.norms.data(), 9, 5, 0.25, 0.3, -1.5, 0.125};
    r.emplace_back("svm", svm::score_rows(model, in.rows.data(), in.n));
    // Match weights and level keys past the pairs cut inline (on the pool),
    // then with negative scores in several ranges: the first one is found.
    {
        const std::size_t m = 40000;
        Scores s(2 * m);
        for (std::size_t i = 0; i < m; ++i) {
            s[i] = static_cast<double>(i % 7) / 6.0;
            s[m + i] = static_cast<double>(i % 5);
        }
        const double th0[] = {1.0, 0.5}, th1[] = {0.0, 2.0}, w[] = {1, 2, 3, 4, 5, 6, 7, 8};
        const std::vector<fellegi::LevelCut> cuts{{th0, 2, false, w}, {th1, 2, true, w + 4}};
        const StridedView<double> v = view(s, 2, m, static_cast<std::ptrdiff_t>(m), 1);
        Scores weights(m);
        std::vector<std::int64_t> keys(m);
        expect(!fellegi::match_weights(v, cuts, 0.5, weights.data()).found &&
                   !fellegi::level_keys(v, cuts, keys.data()).found,
               "levels: a negative score where there is none");
        r.emplace_back("match weights", weights);
        r.emplace_back("level keys", Scores(keys.begin(), keys.end()));
        s[m + 39000] = -1.0;
        s[30000] = -1.0;
        s[m + 20000] = -2.0;
        s[20001] = -1.0;
        for (const fellegi::NegativeScore first : {fellegi::match_weights(v, cuts, 0.5, weights.data()),
                                                 fellegi::level_keys(v, cuts, keys.data())})
            expect(first.found && first.pair == 20000 && first.comparison == 1, "levels: the first negative score");
    }
    try {
        trees::score_rows(bad, forest, in.rows.data(), in.n, 5);
        r.emplace_back("broken layout did not fail", Scores{});
    } catch (const InternalFailure& f) {
        r.emplace_back(f.what(), Scores{});
    }
    return r;
}

void compare(const Results& got, const Results& want, const std::string& tag) {
    for (std::size_t k = 0; k < want.size(); ++k)
        expect(got[k].first == want[k].first && same(got[k].second, want[k].second), tag + got[k].first);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const Inputs in = make_inputs();
    const Results want = compute(in);  // one caller: the main thread
    expect(want.back().first.rfind("index out of bounds", 0) == 0, "broken layout: " + want.back().first);

    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) compare(compute(in), want, "thread " + std::to_string(t) + ": ");
        });
    for (auto& c : callers) c.join();
    compare(compute(in), want, "main thread again: ");

    std::printf("workers=%zu rounds=%d callers=4 rows=%zu\n", pool::worker_count(), rounds, in.n);
    if (g_failures.load() != 0) {
        std::printf("FAIL (%d)\n", g_failures.load());
        return 1;
    }
    std::printf("PASS\n");
    return 0;
}

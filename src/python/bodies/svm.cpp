// predict_svm_batch: conversion, the shape checks, the row-major copies and
// the support-vector norms, then the scoring of the rows on the worker pool.
#include <string>
#include <vector>

#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "models/svm/svm.hpp"

namespace corvane {

PyObject* body_predict_svm_batch(const Args& args) {
    auto features = to_f64_array(args, 0, 2);
    auto support_vectors = to_f64_array(args, 1, 2);
    auto dual_coef = to_f64_array(args, 2, 1);
    svm::SvmModel model;
    model.intercept = to_float(args, 3);
    model.gamma = to_float(args, 4);
    model.prob_a = to_float(args, 5);
    model.prob_b = to_float(args, 6);

    const std::size_t f = features.view.cols;
    const std::size_t s = support_vectors.view.rows;
    if (f != support_vectors.view.cols)
        throw ValueError("Feature matrix has " + std::to_string(f) + " columns but support vectors have " +
                         std::to_string(support_vectors.view.cols) + " columns");
    if (dual_coef.len() != s)
        throw ValueError("support_vectors has " + std::to_string(s) + " rows but dual_coef has " +
                         std::to_string(dual_coef.len()) + " elements");

    const RowMajor<double> rows(features.view);
    const RowMajor<double> svs(support_vectors.view);
    // The coefficients must be one run of doubles; a strided or reversed
    // view of two or more is a broken invariant, not a user error.
    if (s >= 2 && dual_coef.view.rs != static_cast<std::ptrdiff_t>(sizeof(double)))
        throw InternalFailure("called `Option::unwrap()` on a `None` value");
    std::vector<double> coef(s);
    for (std::size_t i = 0; i < s; ++i) coef[i] = dual_coef.view.at(i);
    const std::vector<double> norms = svm::support_vector_norms(svs.data(), s, f);

    model.support_vectors = svs.data();
    model.dual_coef = coef.data();
    model.norms = norms.data();
    model.s = s;
    model.f = f;

    std::vector<double> scores;
    {
        ReleasedSection released;
        scores = svm::score_rows(model, rows.data(), rows.rows());
    }
    return result_array(std::move(scores));
}

}  // namespace corvane

// predict_batch: conversion, the shape check, and the scoring on the
// calling thread with the interpreter lock released.
#include <string>
#include <vector>

#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "models/logistic/logistic.hpp"

namespace corvane {

PyObject* body_predict_batch(const Args& args) {
    auto features = to_f64_array(args, 0, 2);
    auto weights = to_f64_array(args, 1, 1);
    const double bias = to_float(args, 2);

    const std::size_t f = features.view.cols;
    if (f != weights.view.rows)
        throw ValueError("Feature matrix has " + std::to_string(f) + " columns but weights has " +
                         std::to_string(weights.view.rows) + " elements");

    std::vector<double> scores(features.view.rows);
    {
        ReleasedSection released;
        inference::logistic_scores(features.view, weights.view, bias, scores.data());
    }
    return result_array(std::move(scores));
}

}  // namespace corvane

// predict_forest_batch and predict_gbdt_batch: conversion, the layout
// checks, and the scoring of the rows on the worker pool.
#include <cstdint>
#include <string>
#include <vector>

#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "models/trees/ensemble.hpp"

namespace corvane {

namespace {

// A 1-D array argument as one run of consecutive elements: read in place
// when it lies aligned with unit stride, otherwise (an unaligned buffer)
// copied element by element.
template <class T>
class ContiguousRun {
public:
    explicit ContiguousRun(const StridedView<T>& v) : size_(v.rows) {
        if (v.unit_stride_1d()) {
            data_ = reinterpret_cast<const T*>(v.data);
        } else {
            copy_.resize(size_);
            for (std::size_t i = 0; i < size_; ++i) copy_[i] = v.at(i);
            data_ = copy_.data();
        }
    }
    ContiguousRun(const ContiguousRun&) = delete;
    ContiguousRun& operator=(const ContiguousRun&) = delete;
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    const T* data_ = nullptr;
    std::vector<T> copy_;
};

template <class T>
void require_contiguous(const ArrayView<T>& a, const char* name) {
    if (!a.c_contiguous && !a.f_contiguous)
        throw ValueError(std::string(name) + " must be contiguous: The given array is not contiguous");
}

PyObject* score_ensemble(const Args& args, bool boosting) {
    auto features = to_f64_array(args, 0, 2);
    auto offsets = to_i64_array(args, 1);
    auto children_left = to_i64_array(args, 2);
    auto children_right = to_i64_array(args, 3);
    auto tree_features = to_i64_array(args, 4);
    auto thresholds = to_f64_array(args, 5, 1);
    auto values = to_f64_array(args, 6, 1);
    trees::Ensemble ensemble;
    if (boosting) {
        ensemble.kind = trees::Ensemble::kBoosting;
        ensemble.learning_rate = to_float(args, 7);
        ensemble.init_value = to_float(args, 8);
    }

    require_contiguous(offsets, "offsets");
    require_contiguous(children_left, "children_left");
    require_contiguous(children_right, "children_right");
    require_contiguous(tree_features, "tree_features");
    require_contiguous(thresholds, "thresholds");
    require_contiguous(values, "values");
    if (offsets.len() < 2) throw ValueError("Must provide at least one tree");

    const RowMajor<double> rows(features.view);
    const ContiguousRun<std::int64_t> off(offsets.view), left(children_left.view), right(children_right.view),
        feat(tree_features.view);
    const ContiguousRun<double> thr(thresholds.view), val(values.view);
    trees::FlatTrees flat;
    flat.offsets = off.data();
    flat.n_offsets = off.size();
    flat.children_left = left.data();
    flat.n_children_left = left.size();
    flat.children_right = right.data();
    flat.n_children_right = right.size();
    flat.features = feat.data();
    flat.n_features = feat.size();
    flat.thresholds = thr.data();
    flat.n_thresholds = thr.size();
    flat.values = val.data();
    flat.n_values = val.size();

    std::vector<double> scores;
    {
        ReleasedSection released;
        scores = trees::score_rows(flat, ensemble, rows.data(), rows.rows(), rows.cols());
    }
    return result_array(std::move(scores));
}

}  // namespace

PyObject* body_predict_forest_batch(const Args& args) { return score_ensemble(args, false); }

PyObject* body_predict_gbdt_batch(const Args& args) { return score_ensemble(args, true); }

}  // namespace corvane

// The level cuts of the Fellegi-Sunter functions, converted and checked
// once for all of them.
#pragma once

#include <cstdint>
#include <vector>

#include "models/fellegi/levels.hpp"
#include "python/binding.hpp"

namespace corvane {

// A small array argument copied into a vector.
template <class T>
std::vector<T> copied(const ArrayView<T>& a) {
    std::vector<T> out(a.len());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = a.view.at(i);
    return out;
}

// The cuts of every comparison, pointing into `thresholds` and `weights`
// (which the caller keeps alive). `weights` null: no weights (levels or
// keys only). Throws ValueError for counts that do not add up and for
// thresholds out of order.
std::vector<fellegi::LevelCut> cuts_of(std::size_t n_comparisons, const std::vector<double>& thresholds,
                                       const std::vector<std::int64_t>& counts,
                                       const std::vector<std::int64_t>& distance, const std::vector<double>* weights);

}  // namespace corvane

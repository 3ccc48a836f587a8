// Scoring every row of a row-major feature matrix with a tree ensemble on
// the worker pool. Pure C++.
#pragma once

#include <cstddef>
#include <vector>

#include "models/trees/flat_trees.hpp"

namespace corvane::trees {

// Scores of rows 0..n-1 of `rows` (n x f, row-major). Equal, bit for bit,
// to score_row for every row; when rows fail, throws the failure of the
// lowest failing row.
std::vector<double> score_rows(const FlatTrees& flat, const Ensemble& ensemble, const double* rows, std::size_t n,
                               std::size_t f);

}  // namespace corvane::trees

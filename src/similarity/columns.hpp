// Column routines: one metric applied to every pair of two aligned columns,
// spread over the worker pool. The pairwise batch functions and the feature
// matrix both go through these, so a pair scores the same on either path.
// out[p * stride] receives the score of pair p.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/pool.hpp"

namespace corvane::similarity {

using StringKernel = double (*)(std::string_view, std::string_view);
using NumericKernel = double (*)(double, double);

// Col is any column of strings with size() and operator[] yielding
// something convertible to std::string_view (StringColumn, vector<string>).
template <class K, class Col>
void string_column(K kernel, const Col& left, const Col& right, double* out, std::size_t stride) {
    std::size_t n = left.size() < right.size() ? left.size() : right.size();
    parallel_fill(n, out, stride, [&](std::size_t p) {
        return kernel(std::string_view(left[p]), std::string_view(right[p]));
    });
}

template <class K>
void numeric_column(K kernel, const double* left, const double* right, std::size_t n, double* out,
                    std::size_t stride) {
    parallel_fill(n, out, stride, [&](std::size_t p) { return kernel(left[p], right[p]); });
}

}  // namespace corvane::similarity

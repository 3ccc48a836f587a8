// Metric vocabulary of the feature matrix: the names a caller may give for
// string and numeric columns, in listing order, with the column routine
// each one runs. Names match byte for byte (no case folding, no trimming).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "similarity/columns.hpp"

namespace corvane::features {

struct StringMetric {
    std::string_view name;
    similarity::StringKernel kernel;
};

struct NumericMetric {
    std::string_view name;
    similarity::NumericKernel kernel;
};

extern const std::array<StringMetric, 8> kStringMetrics;
extern const std::array<NumericMetric, 3> kNumericMetrics;

// The metric with this exact name, or nullptr.
const StringMetric* find_string_metric(std::string_view name) noexcept;
const NumericMetric* find_numeric_metric(std::string_view name) noexcept;

// ["a", "b", ...]: every name in listing order, double-quoted.
std::string string_vocabulary_listing();
std::string numeric_vocabulary_listing();

}  // namespace corvane::features

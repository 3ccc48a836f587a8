// What compare_pairs and compare_levels read alike: candidate positions as
// one contiguous int64 run, a metric name resolved to its kernel, and the
// IndexError for a position outside its table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "features/metrics.hpp"
#include "gather/gather.hpp"
#include "python/binding.hpp"
#include "similarity/kernels.hpp"

namespace corvane {

// The positions argument's own buffer, or a copy of a strided one.
struct Positions {
    ArrayView<std::int64_t> array;
    std::vector<std::int64_t> copy;
    const std::int64_t* data = nullptr;
};

inline Positions to_positions(const Args& args, std::size_t i) {
    Positions out{to_i64_array(args, i), {}, nullptr};
    const StridedView<std::int64_t>& v = out.array.view;
    if (v.unit_stride_1d()) {
        out.data = reinterpret_cast<const std::int64_t*>(v.data);
    } else {
        out.copy.resize(v.rows);
        for (std::size_t p = 0; p < v.rows; ++p) out.copy[p] = v.at(p);
        out.data = out.copy.data();
    }
    return out;
}

// Comparison k's kernel (and the per-record work it allows) by its metric's
// name; the columns are filled in by the caller.
inline gather::Comparison comparison_of(std::string_view name, std::size_t k) {
    gather::Comparison c;
    if (const features::StringMetric* m = features::find_string_metric(name)) {
        c.string_kernel = m->kernel;
        if (m->kernel.pair == &similarity::soundex_match) c.shortcut = gather::Shortcut::kSoundex;
        if (m->kernel.pair == &similarity::token_sort_ratio) c.shortcut = gather::Shortcut::kTokenSort;
    } else if (const features::NumericMetric* m = features::find_numeric_metric(name)) {
        c.numeric_kernel = m->kernel;
    } else {
        throw ValueError("Unknown metric '" + std::string(name) + "' at index " + std::to_string(k) +
                         ". Valid: " + features::string_vocabulary_listing() + " or " +
                         features::numeric_vocabulary_listing());
    }
    return c;
}

// Sets the IndexError naming the first pair whose position lies outside its
// table, and leaves by PythonErrorPending.
[[noreturn]] inline void raise_bad_position(const gather::BadPosition& bad, std::size_t left_records,
                                            std::size_t right_records) {
    const char* side = bad.right ? "right" : "left";
    const std::string text = std::string("pairs: ") + side + " position " + std::to_string(bad.value) + " at pair " +
                             std::to_string(bad.pair) + " is outside the " +
                             std::to_string(bad.right ? right_records : left_records) + " rows of " + side;
    PyErr_SetString(PyExc_IndexError, text.c_str());
    throw PythonErrorPending{};
}

}  // namespace corvane

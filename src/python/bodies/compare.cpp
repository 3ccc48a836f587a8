// compare_pairs: record columns and candidate positions in, one float64
// column of scores per comparison out. Conversion and every check that
// needs the interpreter run with the lock held; the position check and the
// scoring run on the pool without it.
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "features/metrics.hpp"
#include "gather/gather.hpp"
#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "python/bodies/pair_inputs.hpp"
#include "similarity/kernels.hpp"

namespace corvane {

namespace {

// The record columns of one side, each converted once however many
// comparisons read it (the same object given twice is the same column).
struct SideColumns {
    std::unordered_map<PyObject*, std::size_t> string_of, float_of;
    std::vector<StringColumn> strings;
    std::vector<std::vector<std::uint8_t>> masks;
    std::vector<FloatColumn> floats;
    std::size_t records = SIZE_MAX;  // SIZE_MAX until the first column is read
};


void check_records(SideColumns& side, std::size_t size, const char* name, std::size_t k) {
    if (side.records == SIZE_MAX) side.records = size;
    if (size != side.records)
        throw ValueError(std::string(name) + " column " + std::to_string(k) + " has " + std::to_string(size) +
                         " records but the columns before it have " + std::to_string(side.records));
}

gather::Side read_side(const Args& args, std::size_t i, const PyRef& item, bool numeric, std::size_t k,
                       SideColumns& side) {
    PyObject* obj = item.get();
    gather::Side out;
    if (numeric) {
        auto [it, fresh] = side.float_of.try_emplace(obj, side.floats.size());
        if (fresh) side.floats.push_back(to_float_item(args, i, obj, static_cast<long>(k)));
        const FloatColumn& column = side.floats[it->second];
        check_records(side, column.size(), args.name(i), k);
        out.numbers = column.data();
        out.records = column.size();
        return out;
    }
    auto [it, fresh] = side.string_of.try_emplace(obj, side.strings.size());
    if (fresh) {
        side.masks.emplace_back();
        side.strings.push_back(to_string_item(args, i, obj, static_cast<long>(k), side.masks.back()));
    }
    const StringColumn& column = side.strings[it->second];
    check_records(side, column.size(), args.name(i), k);
    out.strings = &column;
    out.missing = side.masks[it->second].empty() ? nullptr : side.masks[it->second].data();
    out.records = column.size();
    return out;
}

}  // namespace

PyObject* body_compare_pairs(const Args& args) {
    std::vector<PyRef> left_items = to_items(args, 0);
    std::vector<PyRef> right_items = to_items(args, 1);
    StringColumn metrics = to_string_column(args, 2);
    Positions left_positions = to_positions(args, 3);
    Positions right_positions = to_positions(args, 4);
    PyObject* missing = args[5];
    bool report_missing = false;
    double fill = std::numeric_limits<double>::quiet_NaN();
    if (PyUnicode_Check(missing)) {
        if (PyUnicode_CompareWithASCIIString(missing, "error") != 0)
            throw ValueError("missing must be a number or 'error'");
        report_missing = true;
    } else {
        fill = to_float(args, 5);
    }

    const std::size_t n_comparisons = metrics.size();
    if (left_items.size() != n_comparisons || right_items.size() != n_comparisons)
        throw ValueError("left, right and metrics must have the same length");
    if (n_comparisons == 0) throw ValueError("Must provide at least one comparison");
    const std::size_t n = left_positions.array.view.rows;
    if (right_positions.array.view.rows != n)
        throw ValueError("left_positions and right_positions must have the same length");

    std::vector<gather::Comparison> comparisons(n_comparisons);
    for (std::size_t k = 0; k < n_comparisons; ++k) comparisons[k] = comparison_of(metrics[k], k);

    // Columns in parameter order: every left column, then every right one.
    SideColumns left, right;
    left.strings.reserve(n_comparisons);
    left.masks.reserve(n_comparisons);
    left.floats.reserve(n_comparisons);
    right.strings.reserve(n_comparisons);
    right.masks.reserve(n_comparisons);
    right.floats.reserve(n_comparisons);
    for (std::size_t k = 0; k < n_comparisons; ++k)
        comparisons[k].left = read_side(args, 0, left_items[k], comparisons[k].numeric_kernel != nullptr, k, left);
    for (std::size_t k = 0; k < n_comparisons; ++k)
        comparisons[k].right =
            read_side(args, 1, right_items[k], comparisons[k].numeric_kernel != nullptr, k, right);

    const gather::Pairs pairs{left_positions.data, right_positions.data, n};
    if (n_comparisons > std::numeric_limits<std::size_t>::max() / (n ? n : 1) - 1) throw std::bad_alloc();
    ScoreBuffer scores(n_comparisons * n);
    gather::BadPosition bad;
    gather::MissingPair absent;
    {
        ReleasedSection released;
        bad = gather::check_positions(pairs, left.records, right.records);
        if (!bad.found && report_missing) absent = gather::first_missing(comparisons, pairs);
        if (!bad.found && !absent.found) gather::score_pairs(comparisons, pairs, fill, scores.data());
    }
    if (bad.found) raise_bad_position(bad, left.records, right.records);
    if (absent.found) {
        const char* side = absent.right ? "right" : "left";
        throw ValueError("comparison " + std::to_string(absent.comparison) + " has a missing value on the " +
                         side + " side, first at pair " + std::to_string(absent.pair) + " (" + side + " row " +
                         std::to_string(absent.row) + ")");
    }
    left_items.clear();
    right_items.clear();
    return result_matrix(std::move(scores), n_comparisons, n);
}

}  // namespace corvane

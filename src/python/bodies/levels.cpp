// compare_levels: record columns and candidate positions in, one uint8
// level code per comparison and pair out (the levels level_key_batch cuts
// from compare_pairs' scores). The columns are read in place as
// compare_pairs reads them; conversion and the checks that need the
// interpreter run with the lock held, the position check and the levels on
// the pool without it.
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "features/metrics.hpp"
#include "models/fellegi/pair_levels.hpp"
#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "python/bodies/pair_inputs.hpp"
#include "python/bodies/level_cuts.hpp"
#include "similarity/kernels.hpp"

namespace corvane {

namespace {

// Converted record columns, each once however many comparisons (and sides)
// read it: the same object given twice is the same column, so a table
// deduplicated against itself is summed up once.
struct Columns {
    struct Strings {
        StringColumn column;
        std::vector<std::uint8_t> missing;
    };
    std::unordered_map<PyObject*, std::size_t> string_of, float_of;
    std::vector<std::unique_ptr<Strings>> strings;
    std::vector<FloatColumn> floats;
};

gather::Side read_side(const Args& args, std::size_t i, PyObject* obj, bool numeric, std::size_t k, Columns& store,
                       std::size_t& records) {
    gather::Side out;
    std::size_t size;
    if (numeric) {
        auto [it, fresh] = store.float_of.try_emplace(obj, store.floats.size());
        if (fresh) store.floats.push_back(to_float_item(args, i, obj, static_cast<long>(k)));
        const FloatColumn& column = store.floats[it->second];
        out.numbers = column.data();
        size = column.size();
    } else {
        auto [it, fresh] = store.string_of.try_emplace(obj, store.strings.size());
        if (fresh) {
            auto s = std::make_unique<Columns::Strings>();
            s->column = to_string_item(args, i, obj, static_cast<long>(k), s->missing);
            store.strings.push_back(std::move(s));
        }
        const Columns::Strings& s = *store.strings[it->second];
        out.strings = &s.column;
        out.missing = s.missing.empty() ? nullptr : s.missing.data();
        size = s.column.size();
    }
    if (records == SIZE_MAX) records = size;
    if (size != records)
        throw ValueError(std::string(args.name(i)) + " column " + std::to_string(k) + " has " + std::to_string(size) +
                         " records but the columns before it have " + std::to_string(records));
    out.records = size;
    return out;
}


}  // namespace

PyObject* body_compare_levels(const Args& args) {
    std::vector<PyRef> left_items = to_items(args, 0);
    std::vector<PyRef> right_items = to_items(args, 1);
    StringColumn metrics = to_string_column(args, 2);
    Positions left_positions = to_positions(args, 3);
    Positions right_positions = to_positions(args, 4);
    const std::vector<double> thresholds = copied(to_f64_array(args, 5, 1));
    const std::vector<std::int64_t> counts = copied(to_i64_array(args, 6));
    const std::vector<std::int64_t> distance = copied(to_i64_array(args, 7));

    const std::size_t n_comparisons = metrics.size();
    if (left_items.size() != n_comparisons || right_items.size() != n_comparisons)
        throw ValueError("left, right and metrics must have the same length");
    if (n_comparisons == 0) throw ValueError("Must provide at least one comparison");
    if (counts.size() != n_comparisons || distance.size() != n_comparisons)
        throw ValueError("metrics has " + std::to_string(n_comparisons) + " comparisons but n_thresholds has " +
                         std::to_string(counts.size()) + " and distance " + std::to_string(distance.size()) +
                         " elements");
    const std::vector<fellegi::LevelCut> cuts = cuts_of(n_comparisons, thresholds, counts, distance, nullptr);
    for (std::size_t k = 0; k < n_comparisons; ++k)
        if (cuts[k].count > 254)
            throw ValueError("comparison " + std::to_string(k) + " has " + std::to_string(cuts[k].count) +
                             " thresholds; at most 254 fit a level code");
    const std::size_t n = left_positions.array.view.rows;
    if (right_positions.array.view.rows != n)
        throw ValueError("left_positions and right_positions must have the same length");

    std::vector<fellegi::LevelComparison> comparisons(n_comparisons);
    for (std::size_t k = 0; k < n_comparisons; ++k) {
        fellegi::LevelComparison& c = comparisons[k];
        c.cut = cuts[k];
        c.compare = comparison_of(metrics[k], k);
        if (c.compare.numeric_kernel == nullptr) c.bound = fellegi::bound_of(c.compare.string_kernel.pair);
    }

    Columns store;
    store.floats.reserve(2 * n_comparisons);  // the runs the comparisons point into stay where they are
    std::size_t left_records = SIZE_MAX, right_records = SIZE_MAX;
    for (std::size_t k = 0; k < n_comparisons; ++k)
        comparisons[k].compare.left = read_side(args, 0, left_items[k].get(),
                                                comparisons[k].compare.numeric_kernel != nullptr, k, store,
                                                left_records);
    for (std::size_t k = 0; k < n_comparisons; ++k)
        comparisons[k].compare.right = read_side(args, 1, right_items[k].get(),
                                                 comparisons[k].compare.numeric_kernel != nullptr, k, store,
                                                 right_records);

    const gather::Pairs pairs{left_positions.data, right_positions.data, n};
    if (n_comparisons > std::numeric_limits<std::size_t>::max() / (n ? n : 1) - 1) throw std::bad_alloc();
    std::vector<std::uint8_t> out(n_comparisons * n);
    gather::BadPosition bad;
    {
        ReleasedSection released;
        bad = gather::check_positions(pairs, left_records, right_records);
        if (!bad.found) fellegi::pair_levels(comparisons, pairs, out.data());
    }
    if (bad.found) raise_bad_position(bad, left_records, right_records);
    left_items.clear();
    right_items.clear();
    return result_u8_matrix(std::move(out), n_comparisons, n);
}

}  // namespace corvane

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
#include "runtime/memory.hpp"
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

// The comparisons of a call and the record columns they read, each column
// converted once. Held on the heap by a kept plan, whose comparisons point
// into it.
struct ReadColumns {
    SideColumns left, right;
    std::vector<gather::Comparison> comparisons;
};

// The items of arguments 0 and 1 (left, right) and the metrics of argument 2,
// converted in argument order.
struct ColumnArgs {
    std::vector<PyRef> left, right;
    StringColumn metrics;
};

ColumnArgs column_args(const Args& args) {
    ColumnArgs out;
    out.left = to_items(args, 0);
    out.right = to_items(args, 1);
    out.metrics = to_string_column(args, 2);
    return out;
}

void check_lengths(const ColumnArgs& given) {
    const std::size_t n_comparisons = given.metrics.size();
    if (given.left.size() != n_comparisons || given.right.size() != n_comparisons)
        throw ValueError("left, right and metrics must have the same length");
    if (n_comparisons == 0) throw ValueError("Must provide at least one comparison");
}

void read_columns(const Args& args, const ColumnArgs& given, ReadColumns& out) {
    const std::size_t n_comparisons = given.metrics.size();
    std::vector<gather::Comparison>& comparisons = out.comparisons;
    comparisons.resize(n_comparisons);
    for (std::size_t k = 0; k < n_comparisons; ++k) comparisons[k] = comparison_of(given.metrics[k], k);

    // Columns in parameter order: every left column, then every right one.
    // Reserved, so the sides' pointers into them stay put.
    for (SideColumns* side : {&out.left, &out.right}) {
        side->strings.reserve(n_comparisons);
        side->masks.reserve(n_comparisons);
        side->floats.reserve(n_comparisons);
    }
    for (std::size_t k = 0; k < n_comparisons; ++k)
        comparisons[k].left = read_side(args, 0, given.left[k], comparisons[k].numeric_kernel != nullptr, k, out.left);
    for (std::size_t k = 0; k < n_comparisons; ++k)
        comparisons[k].right =
            read_side(args, 1, given.right[k], comparisons[k].numeric_kernel != nullptr, k, out.right);
}

// The missing argument: the fill value, or report (missing='error').
double read_missing(const Args& args, std::size_t i, bool& report) {
    PyObject* missing = args[i];
    report = false;
    if (PyUnicode_Check(missing)) {
        if (PyUnicode_CompareWithASCIIString(missing, "error") != 0)
            throw ValueError("missing must be a number or 'error'");
        report = true;
        return std::numeric_limits<double>::quiet_NaN();
    }
    return to_float(args, i);
}

void check_same_length(const Positions& left, const Positions& right) {
    if (right.array.view.rows != left.array.view.rows)
        throw ValueError("left_positions and right_positions must have the same length");
}

// The pairs checked and scored on the pool by `score`; the errors of a bad
// position or (when reporting) a missing value.
template <class Score>
PyObject* score_positions(const Positions& left_positions, const Positions& right_positions,
                          const ReadColumns& columns, bool report_missing, Score&& score) {
    const std::vector<gather::Comparison>& comparisons = columns.comparisons;
    const std::size_t left_records = columns.left.records, right_records = columns.right.records;
    const std::size_t n = left_positions.array.view.rows;
    const std::size_t n_comparisons = comparisons.size();
    const gather::Pairs pairs{left_positions.data, right_positions.data, n};
    if (n_comparisons > std::numeric_limits<std::size_t>::max() / (n ? n : 1) - 1) throw std::bad_alloc();
    ScoreBuffer scores(n_comparisons * n);
    gather::BadPosition bad;
    gather::MissingPair absent;
    {
        ReleasedSection released;
        bad = gather::check_positions(pairs, left_records, right_records);
        if (!bad.found && report_missing) absent = gather::first_missing(comparisons, pairs);
        if (!bad.found && !absent.found) score(pairs, scores.data());
    }
    if (bad.found) raise_bad_position(bad, left_records, right_records);
    if (absent.found) {
        const char* side = absent.right ? "right" : "left";
        throw ValueError("comparison " + std::to_string(absent.comparison) + " has a missing value on the " +
                         side + " side, first at pair " + std::to_string(absent.pair) + " (" + side + " row " +
                         std::to_string(absent.row) + ")");
    }
    return result_matrix(std::move(scores), n_comparisons, n);
}

// A plan kept across calls: the columns as read and what scoring works out
// from them before the first pair.
constexpr const char* kPlanCapsule = "corvane.compare_plan";

struct KeptPlan {
    ReadColumns columns;
    std::unique_ptr<gather::Prepared> prepared;
};

void free_plan(PyObject* capsule) noexcept {
    delete static_cast<KeptPlan*>(PyCapsule_GetPointer(capsule, kPlanCapsule));
}

const KeptPlan& to_plan(const Args& args, std::size_t i) {
    PyObject* obj = args[i];
    if (!PyCapsule_IsValid(obj, kPlanCapsule)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a plan from compare_plan, not '%s'", args.name(i),
                     Py_TYPE(obj)->tp_name);
        throw PythonErrorPending{};
    }
    auto* kept = static_cast<const KeptPlan*>(PyCapsule_GetPointer(obj, kPlanCapsule));
    if (!kept) throw PythonErrorPending{};
    return *kept;
}

}  // namespace

PyObject* body_compare_pairs(const Args& args) {
    const ColumnArgs given = column_args(args);
    Positions left_positions = to_positions(args, 3);
    Positions right_positions = to_positions(args, 4);
    bool report_missing = false;
    const double fill = read_missing(args, 5, report_missing);
    check_lengths(given);
    check_same_length(left_positions, right_positions);
    ReadColumns columns;
    read_columns(args, given, columns);
    const std::size_t n = left_positions.array.view.rows;
    return score_positions(left_positions, right_positions, columns, report_missing,
                           [&](const gather::Pairs& pairs, double* out) {
                               gather::Prepared(columns.comparisons, n).score(pairs, fill, out);
                           });
}

PyObject* body_compare_plan(const Args& args) {
    const ColumnArgs given = column_args(args);
    const std::uint64_t pairs = to_count(args, 3);
    check_lengths(given);
    auto kept = std::make_unique<KeptPlan>();
    read_columns(args, given, kept->columns);
    {
        ReleasedSection released;
        kept->prepared = std::make_unique<gather::Prepared>(kept->columns.comparisons,
                                                            static_cast<std::size_t>(pairs));
    }
    PyObject* capsule = PyCapsule_New(kept.get(), kPlanCapsule, free_plan);
    if (!capsule) throw PythonErrorPending{};
    (void)kept.release();  // the capsule owns it now
    return capsule;
}

PyObject* body_plan_pairs(const Args& args) {
    // The capsule argument stays referenced by the call, so the plan
    // outlives the released section; it is only read.
    const KeptPlan& plan = to_plan(args, 0);
    Positions left_positions = to_positions(args, 1);
    Positions right_positions = to_positions(args, 2);
    bool report_missing = false;
    const double fill = read_missing(args, 3, report_missing);
    check_same_length(left_positions, right_positions);
    return score_positions(left_positions, right_positions, plan.columns, report_missing,
                           [&](const gather::Pairs& pairs, double* out) {
                               // What the caller freed since the last call (link: the previous
                               // batch, the index before the kept pairs are scored again) goes
                               // back before this call's scores are written.
                               memory::release_free_pages();
                               plan.prepared->score(pairs, fill, out);
                           });
}

}  // namespace corvane

// Bodies of the blocking and clustering functions: int64 key arrays in,
// checked under the lock, indexed and paired with the lock released.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "blocking/candidates.hpp"
#include "blocking/counting.hpp"
#include "blocking/keys.hpp"
#include "clustering/components.hpp"
#include "python/bodies.hpp"
#include "runtime/memory.hpp"
#include "runtime/pool.hpp"

namespace corvane {

namespace {

// An int64 array argument as one contiguous run: in place when it is one,
// else copied.
struct Int64Run {
    ArrayView<std::int64_t> array;
    std::vector<std::int64_t> copy;
    const std::int64_t* data = nullptr;
    std::size_t size = 0;
};

Int64Run to_int64_run(const Args& args, std::size_t i) {
    Int64Run run;
    run.array = to_i64_array(args, i);
    run.size = run.array.len();
    if (run.array.view.unit_stride_1d() && run.size) {
        run.data = reinterpret_cast<const std::int64_t*>(run.array.view.data);
    } else {
        run.copy = run.array.view.copy_row_major();
        run.data = run.copy.data();
    }
    return run;
}

bool to_flag(const Args& args, std::size_t i) {
    const std::uint64_t v = to_count(args, i);
    if (v > 1) throw ValueError(std::string("argument '") + args.name(i) + "': expected 0 or 1");
    return v == 1;
}

struct KeyArgs {
    Int64Run left, right, windows;
    blocking::BlockingInput input;
};

// left_keys, right_keys, windows, dedupe: one run of keys per rule on each
// side (rule r's keys are left_keys[r * n_left : (r + 1) * n_left]).
KeyArgs to_key_args(const Args& args) {
    KeyArgs k;
    k.left = to_int64_run(args, 0);
    k.right = to_int64_run(args, 1);
    k.windows = to_int64_run(args, 2);
    const bool dedupe = to_flag(args, 3);
    const std::size_t rules = k.windows.size;
    if (rules == 0) throw ValueError("windows is empty: give at least one rule");
    if (k.left.size % rules || k.right.size % rules)
        throw ValueError("left_keys and right_keys must hold one run of keys per rule (a multiple of len(windows))");
    k.input.n_left = k.left.size / rules;
    k.input.n_right = k.right.size / rules;
    k.input.dedupe = dedupe;
    if (dedupe && k.input.n_left != k.input.n_right)
        throw ValueError("deduplicating: left_keys and right_keys must have the same length");
    for (std::size_t r = 0; r < rules; ++r)
        k.input.rules.push_back({k.left.data + r * k.input.n_left, k.right.data + r * k.input.n_right, k.windows.data[r]});
    return k;
}

PyObject* pair_tuple(PyObject* a, PyObject* b) {
    PyRef first(a), second(b);
    PyRef tuple(PyTuple_New(2));
    if (!tuple) throw PythonErrorPending{};
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple.release();
}

// (left_positions, right_positions) as two int64 arrays.
PyObject* pairs_result(blocking::PairArrays&& pairs) {
    PyRef left(result_i64_array(std::move(pairs.left), pairs.size));
    PyObject* right = result_i64_array(std::move(pairs.right), pairs.size);
    return pair_tuple(left.release(), right);
}

// (pairs each rule adds, pairs of each left record) as Python objects.
PyObject* counts_result(std::vector<std::uint64_t>&& by_rule, std::vector<std::int64_t>&& per_record) {
    PyRef counts(PyList_New(static_cast<Py_ssize_t>(by_rule.size())));
    if (!counts) throw PythonErrorPending{};
    for (std::size_t r = 0; r < by_rule.size(); ++r) {
        PyObject* v = PyLong_FromUnsignedLongLong(by_rule[r]);
        if (!v) throw PythonErrorPending{};
        PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(r), v);
    }
    PyObject* records = result_i64_array(std::move(per_record));
    return pair_tuple(counts.release(), records);
}

// Arguments i and i + 1: a range of left records, start to stop.
std::pair<std::uint64_t, std::uint64_t> to_left_range(const Args& args, std::size_t i, std::uint64_t n_left) {
    const std::uint64_t start = to_count(args, i);
    const std::uint64_t stop = to_count(args, i + 1);
    if (start > stop || stop > n_left)
        throw ValueError("start and stop must satisfy 0 <= start <= stop <= the number of left records (" +
                         std::to_string(n_left) + ")");
    return {start, stop};
}

}  // namespace

PyObject* body_candidate_pairs(const Args& args) {
    KeyArgs k = to_key_args(args);
    const auto [start, stop] = to_left_range(args, 4, k.input.n_left);
    blocking::PairArrays pairs;
    {
        ReleasedSection released;
        std::string problem = blocking::check_keys(k.input);
        if (problem.empty()) {
            // The keys' encoding has freed its tables: hand them back before
            // the pairs, the largest buffers of the call, are written.
            bulk_release_kept();
            memory::release_free_pages();
            blocking::CandidateIndex index(k.input);
            pairs = blocking::build_pairs(index, start, stop);
        } else {
            throw ValueError(std::move(problem));
        }
    }
    return pairs_result(std::move(pairs));
}

PyObject* body_candidate_counts(const Args& args) {
    KeyArgs k = to_key_args(args);
    std::vector<std::int64_t> per_record;
    std::vector<std::uint64_t> by_rule;
    {
        ReleasedSection released;
        std::string problem = blocking::check_keys(k.input);
        if (!problem.empty()) throw ValueError(std::move(problem));
        blocking::CandidateIndex index(k.input);
        per_record = blocking::count_pairs(index, k.input.n_left, by_rule);
    }
    return counts_result(std::move(by_rule), std::move(per_record));
}

// ---- an index kept across calls (link builds it once, pairs it per batch) ----

namespace {

constexpr const char* kIndexCapsule = "corvane.candidate_index";

// The index, holding its own copy of the keys it reads (the caller's arrays
// may change or go once it is built), and the sizes of its input.
struct KeptIndex {
    blocking::BlockingInput input;
    std::unique_ptr<blocking::CandidateIndex> index;
};

void free_index(PyObject* capsule) noexcept {
    delete static_cast<KeptIndex*>(PyCapsule_GetPointer(capsule, kIndexCapsule));
}

const KeptIndex& to_index(const Args& args, std::size_t i) {
    PyObject* obj = args[i];
    if (!PyCapsule_IsValid(obj, kIndexCapsule)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an index from candidate_index, not '%s'",
                     args.name(i), Py_TYPE(obj)->tp_name);
        throw PythonErrorPending{};
    }
    auto* kept = static_cast<const KeptIndex*>(PyCapsule_GetPointer(obj, kIndexCapsule));
    if (!kept) throw PythonErrorPending{};
    return *kept;
}

}  // namespace

PyObject* body_candidate_index(const Args& args) {
    KeyArgs k = to_key_args(args);
    auto kept = std::make_unique<KeptIndex>();
    {
        ReleasedSection released;
        std::string problem = blocking::check_keys(k.input);
        if (!problem.empty()) throw ValueError(std::move(problem));
        kept->index = std::make_unique<blocking::CandidateIndex>(k.input, /*own_keys=*/true);
        kept->input = k.input;
        for (blocking::RuleKeys& keys : kept->input.rules) keys.left = keys.right = nullptr;  // the caller's
    }
    PyObject* capsule = PyCapsule_New(kept.get(), kIndexCapsule, free_index);
    if (!capsule) throw PythonErrorPending{};
    (void)kept.release();  // the capsule owns it now
    return capsule;
}

PyObject* body_index_pairs(const Args& args) {
    const KeptIndex& kept = to_index(args, 0);
    const auto [start, stop] = to_left_range(args, 1, kept.input.n_left);
    // The capsule argument stays referenced by the call, so the index
    // outlives the released section; the index is only read.
    blocking::PairArrays pairs;
    {
        ReleasedSection released;
        // What the previous batch freed goes back before this one's pairs
        // are written.
        memory::release_free_pages();
        pairs = blocking::build_pairs(*kept.index, start, stop);
    }
    return pairs_result(std::move(pairs));
}

PyObject* body_index_counts(const Args& args) {
    const KeptIndex& kept = to_index(args, 0);
    std::vector<std::int64_t> per_record;
    std::vector<std::uint64_t> by_rule;
    {
        ReleasedSection released;
        per_record = blocking::count_pairs(*kept.index, kept.input.n_left, by_rule);
    }
    return counts_result(std::move(by_rule), std::move(per_record));
}

// columns, strings, transform, length, ranked: one key column per side
// (one side when deduplicating), read in place (strings: any Arrow string
// layout, nulls recorded; numbers: Arrow chunks as they lie); the codes are
// made with the lock released.
PyObject* body_encode_keys(const Args& args) {
    std::vector<PyRef> items = to_items(args, 0);
    const bool strings = to_flag(args, 1);
    const std::uint64_t transform = to_count(args, 2);
    const std::uint64_t length = to_count(args, 3);
    blocking::KeyForm form;
    form.ranked = to_flag(args, 4);
    if (items.empty() || items.size() > 2) throw ValueError("columns must hold one or two key columns");
    if (transform > 2) throw ValueError("transform must be 0 (none), 1 (prefix) or 2 (soundex)");
    form.transform = static_cast<blocking::Transform>(transform);
    form.length = static_cast<std::size_t>(length);
    if (form.transform == blocking::Transform::kPrefix && length == 0)
        throw ValueError("a prefix keeps at least 1 code point");
    if (!strings && form.transform != blocking::Transform::kNone)
        throw ValueError("prefix and soundex take string keys");
    // Reserved up front: the sides point into these vectors.
    std::vector<StringColumn> string_columns;
    std::vector<std::vector<std::uint8_t>> masks(items.size());
    std::vector<NumberKeyColumn> number_columns;
    string_columns.reserve(items.size());
    number_columns.reserve(items.size());
    std::vector<blocking::KeySide> sides(items.size());
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (strings) {
            string_columns.push_back(to_string_item(args, 0, items[k].get(), static_cast<long>(k), masks[k]));
            sides[k].strings = &string_columns.back();
            sides[k].missing = &masks[k];
        } else {
            number_columns.push_back(to_number_key_item(args, 0, items[k].get(), static_cast<long>(k)));
            sides[k].numbers = number_columns.back().chunks;
        }
    }
    blocking::Codes codes;
    {
        ReleasedSection released;
        codes = blocking::encode_key(sides, form);
    }
    const std::size_t n = codes.size();
    return result_i64_array(codes.release(), n);
}

PyObject* body_combine_keys(const Args& args) {
    Int64Run keys = to_int64_run(args, 0);
    const std::uint64_t columns = to_count(args, 1);
    if (columns == 0) throw ValueError("n_columns must be at least 1");
    if (keys.size % columns) throw ValueError("keys must hold n_columns runs of equal length");
    const std::size_t n = keys.size / columns;
    std::vector<std::int64_t> out;
    {
        ReleasedSection released;
        for (std::size_t i = 0; i < keys.size; ++i)
            if (keys.data[i] < -1 || keys.data[i] > 0xFFFFFFFFll)
                throw ValueError("key " + std::to_string(i) + " is " + std::to_string(keys.data[i]) +
                                 ", outside [-1, 2**32)");
        out = blocking::combine_keys(keys.data, columns, n);
    }
    return result_i64_array(std::move(out));
}

// codes, n_left, dedupe: per rule a list of int64 code arrays (the key
// columns of encode_keys, all of one length n), combined per rule and laid
// out as candidate_pairs reads them, with the lock released.
PyObject* body_rule_keys(const Args& args) {
    std::vector<PyRef> rules = to_items(args, 0);
    const std::uint64_t n_left = to_count(args, 1);
    const bool dedupe = to_flag(args, 2);
    if (rules.empty()) throw ValueError("codes is empty: give at least one rule");
    // Each array converted as an argument of its own, so a wrong one is
    // named like any other argument.
    static const FunctionDesc kItem{"rule_keys", {"codes"}};
    std::vector<std::vector<Int64Run>> runs(rules.size());
    std::size_t n = 0;
    bool first = true;
    for (std::size_t r = 0; r < rules.size(); ++r) {
        PyRef items(PySequence_Fast(rules[r].get(), "argument 'codes': each rule must be a list of int64 arrays"));
        if (!items) throw PythonErrorPending{};
        const Py_ssize_t k = PySequence_Fast_GET_SIZE(items.get());
        if (k == 0) throw ValueError("codes: rule " + std::to_string(r) + " has no key columns");
        for (Py_ssize_t c = 0; c < k; ++c) {
            PyObject* slot = PySequence_Fast_GET_ITEM(items.get(), c);
            const Args item(kItem, &slot);
            runs[r].push_back(to_int64_run(item, 0));
            if (first) n = runs[r].back().size, first = false;
            if (runs[r].back().size != n)
                throw ValueError("codes: rule " + std::to_string(r) + " column " + std::to_string(c) + " holds " +
                                 std::to_string(runs[r].back().size) + " codes, not " + std::to_string(n));
        }
    }
    if (dedupe ? n_left != n : n_left > n)
        throw ValueError("n_left must be the number of codes when deduplicating, and at most that otherwise (" +
                         std::to_string(n) + ")");
    const std::size_t n_right = dedupe ? n : n - n_left;
    // Filled whole below: not cleared first.
    std::unique_ptr<std::int64_t[]> left, right;
    {
        ReleasedSection released;
        left = std::make_unique_for_overwrite<std::int64_t[]>(runs.size() * n_left);
        if (!dedupe) right = std::make_unique_for_overwrite<std::int64_t[]>(runs.size() * n_right);
        // The rules on the pool, each into its own part of left and right;
        // a failure is the first rule's (the lowest failing row's).
        pool::for_each_row(runs.size(), [&](pool::RowCursor& cursor) {
            cursor.run([&](std::size_t r) {
                std::vector<const std::int64_t*> columns;
                std::vector<std::uint64_t> spans;
                for (std::size_t c = 0; c < runs[r].size(); ++c) {
                    const std::int64_t* codes = runs[r][c].data;
                    columns.push_back(codes);
                    if (runs[r].size() < 2) continue;
                    // Each column of a tuple checked, and its span read, in one pass.
                    const blocking::CodeRange range = blocking::code_range(codes, n);
                    spans.push_back(static_cast<std::uint64_t>(range.hi + 1));
                    if (range.lo >= -1 && range.hi <= 0xFFFFFFFFll) continue;
                    for (std::size_t i = 0; i < n; ++i)
                        if (codes[i] < -1 || codes[i] > 0xFFFFFFFFll)
                            throw ValueError("codes: rule " + std::to_string(r) + " column " + std::to_string(c) +
                                             ": code " + std::to_string(i) + " is " + std::to_string(codes[i]) +
                                             ", outside [-1, 2**32)");
                }
                // Deduplicating, every code goes to left (n_right == n_left).
                blocking::combine_codes(columns, spans, n, left.get() + r * n_left, n_left,
                                        dedupe ? nullptr : right.get() + r * n_right);
            });
        });
    }
    PyRef hold(result_i64_array(std::move(left), runs.size() * n_left));
    // Deduplicating: one table, so right_keys is left_keys itself.
    PyRef second = dedupe ? PyRef::borrow(hold.get()) : PyRef(result_i64_array(std::move(right), runs.size() * n_right));
    return pair_tuple(hold.release(), second.release());
}

PyObject* body_count_equal_pairs(const Args& args) {
    Int64Run left = to_int64_run(args, 0);
    Int64Run right = to_int64_run(args, 1);
    const bool dedupe = to_flag(args, 2);
    std::uint64_t total = 0;
    {
        ReleasedSection released;
        const auto limit = static_cast<std::int64_t>(left.size + right.size);
        for (const Int64Run* run : {&left, &right})
            for (std::size_t i = 0; i < run->size; ++i)
                if (run->data[i] < -1 || run->data[i] >= limit)
                    throw ValueError(std::string(run == &left ? "left" : "right") + " key " + std::to_string(i) +
                                     " is " + std::to_string(run->data[i]) + ", outside [-1, " +
                                     std::to_string(limit) + ")");
        total = blocking::count_equal_pairs(left.data, left.size, right.data, right.size, dedupe);
    }
    PyObject* v = PyLong_FromUnsignedLongLong(total);
    if (!v) throw PythonErrorPending{};
    return v;
}

// keys, n_keys, rule_masks, n_left, dedupe: n_keys key columns, laid end
// to end in one array (run k is keys[k * n:(k + 1) * n]) or as a list of
// n_keys arrays of one length; each rule a bit mask of its columns.
// Counted with the lock released.
PyObject* body_count_rule_pairs(const Args& args) {
    std::vector<Int64Run> runs;
    const bool listed = PyList_Check(args[0]) || PyTuple_Check(args[0]);
    if (listed) {
        // Each array converted as an argument of its own, so a wrong one is
        // named like any other argument.
        static const FunctionDesc kItem{"count_rule_pairs", {"keys"}};
        std::vector<PyRef> items = to_items(args, 0);
        for (std::size_t k = 0; k < items.size(); ++k) {
            PyObject* slot = items[k].get();
            const Args item(kItem, &slot);
            runs.push_back(to_int64_run(item, 0));
            if (runs[k].size != runs[0].size)
                throw ValueError("keys: array " + std::to_string(k) + " holds " + std::to_string(runs[k].size) +
                                 " codes, not " + std::to_string(runs[0].size));
        }
    } else {
        runs.push_back(to_int64_run(args, 0));
    }
    const std::uint64_t n_keys = to_count(args, 1);
    Int64Run masks = to_int64_run(args, 2);
    const std::uint64_t n_left = to_count(args, 3);
    const bool dedupe = to_flag(args, 4);
    if (n_keys == 0 || n_keys > 64) throw ValueError("n_keys must be between 1 and 64");
    std::size_t n = 0;
    if (listed) {
        if (runs.size() != n_keys)
            throw ValueError("keys holds " + std::to_string(runs.size()) + " arrays, not n_keys = " +
                             std::to_string(n_keys));
        n = runs[0].size;
    } else {
        if (runs[0].size % n_keys) throw ValueError("keys must hold n_keys runs of equal length");
        n = runs[0].size / n_keys;
    }
    std::vector<const std::int64_t*> columns(n_keys);
    for (std::size_t k = 0; k < n_keys; ++k)
        columns[k] = runs.size() == 1 ? runs[0].data + k * n : runs[k].data;
    if (masks.size == 0) throw ValueError("rule_masks is empty: give at least one rule");
    if (masks.size > blocking::kMaxCountedRules)
        throw ValueError("rule_masks: at most " + std::to_string(blocking::kMaxCountedRules) + " rules are counted");
    std::vector<std::uint64_t> rule_masks(masks.size);
    for (std::size_t r = 0; r < masks.size; ++r) {
        const std::int64_t m = masks.data[r];
        if (m <= 0 || (n_keys < 64 && static_cast<std::uint64_t>(m) >> n_keys))
            throw ValueError("rule " + std::to_string(r) + ": mask " + std::to_string(m) +
                             " must name key columns in [0, n_keys) and at least one");
        rule_masks[r] = static_cast<std::uint64_t>(m);
    }
    if (dedupe ? n_left != n : n_left > n)
        throw ValueError("n_left must be the length of a run when deduplicating, and at most that otherwise (" +
                         std::to_string(n) + ")");
    if (n >> 32) throw ValueError("a blocking key over 2**32 records or more");
    std::vector<std::uint64_t> added;
    {
        ReleasedSection released;
        // Keys outside [-1, n) are refused by the counting itself.
        added = blocking::count_rule_pairs(columns, n_left, n - n_left, dedupe, rule_masks);
    }
    PyRef out(PyList_New(static_cast<Py_ssize_t>(added.size())));
    if (!out) throw PythonErrorPending{};
    for (std::size_t r = 0; r < added.size(); ++r) {
        PyObject* v = PyLong_FromUnsignedLongLong(added[r]);
        if (!v) throw PythonErrorPending{};
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(r), v);
    }
    return out.release();
}

PyObject* body_connected_components(const Args& args) {
    Int64Run a = to_int64_run(args, 0);
    Int64Run b = to_int64_run(args, 1);
    const std::uint64_t n = to_count(args, 2);
    if (a.size != b.size) throw ValueError("left_positions and right_positions must have the same length");
    std::vector<std::int64_t> ids;
    {
        ReleasedSection released;
        for (const Int64Run* run : {&a, &b})
            for (std::size_t k = 0; k < run->size; ++k)
                if (run->data[k] < 0 || static_cast<std::uint64_t>(run->data[k]) >= n)
                    throw ValueError(std::string(run == &a ? "left_positions" : "right_positions") + ": " +
                                     std::to_string(run->data[k]) + " at pair " + std::to_string(k) +
                                     " is outside [0, " + std::to_string(n) + ")");
        ids = clustering::components(n, a.data, b.data, a.size);
    }
    return result_i64_array(std::move(ids));
}

}  // namespace corvane

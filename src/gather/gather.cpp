#include "gather/gather.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "runtime/pool.hpp"
#include "similarity/kernels.hpp"
#include "similarity/string_kernels.hpp"
#include "similarity/tokens.hpp"

namespace corvane::gather {

namespace {

// Pairs scored together by one worker, every comparison in turn: small
// enough that the block's records stay in cache, large enough that the
// column routines work on long runs.
constexpr std::size_t kBlock = 512;

// A block's values on one side, resolved from their records: element p is
// the string of record positions[p], "" for a missing record (its score is
// replaced anyway). Only the views are gathered, never the bytes.
class BlockColumn {
public:
    BlockColumn(const std::string_view* views, std::size_t n) noexcept : views_(views), n_(n) {}
    std::size_t size() const noexcept { return n_; }
    std::string_view operator[](std::size_t p) const noexcept { return views_[p]; }

private:
    const std::string_view* views_;
    std::size_t n_;
};

// Positions ahead whose record is fetched early: a block's records are
// resolved in one tight loop of independent loads, so many cache misses are
// in flight at once, rather than one at a time between kernel calls.
constexpr std::size_t kAhead = 32;

template <class Offset>
void resolve_offsets(const StringRun& run, const std::uint8_t* missing, const std::int64_t* positions,
                     std::size_t m, std::string_view* out) {
    const auto* o = static_cast<const Offset*>(run.offsets);
    // The first kAhead records are fetched before the loop (and the rest
    // kAhead positions ahead), their missing flags with them.
    const auto fetch = [&](std::size_t p) {
        __builtin_prefetch(o + positions[p]);
        if (missing) __builtin_prefetch(missing + positions[p]);
    };
    for (std::size_t p = 0; p < kAhead && p < m; ++p) fetch(p);
    for (std::size_t p = 0; p < m; ++p) {
        if (p + kAhead < m) fetch(p + kAhead);
        const auto r = static_cast<std::size_t>(positions[p]);
        if (missing && missing[r]) {
            out[p] = {};
            continue;
        }
        const char* data = run.bytes + o[r];
        __builtin_prefetch(data);
        out[p] = {data, static_cast<std::size_t>(o[r + 1] - o[r])};
    }
}

void resolve(const StringColumn& column, const std::uint8_t* missing, const std::int64_t* positions, std::size_t m,
             std::string_view* out) {
    const auto& runs = column.runs();
    if (runs.size() == 1 && runs[0].layout == StringRun::Layout::kOffsets32)
        return resolve_offsets<std::int32_t>(runs[0], missing, positions, m, out);
    if (runs.size() == 1 && runs[0].layout == StringRun::Layout::kOffsets64)
        return resolve_offsets<std::int64_t>(runs[0], missing, positions, m, out);
    // Several runs (chunks), views or a dictionary: each record's entry
    // (offset, view or index) is fetched kAhead positions ahead, in its run.
    // The run of a record is looked for from the last record's run first:
    // positions in order (or close together) mostly stay in one run.
    const std::size_t n_runs = runs.size(), records = column.size();
    const auto run_of = [&](std::size_t r, std::size_t& k) {
        if (column.run_start(k) <= r && (k + 1 == n_runs ? r < records : r < column.run_start(k + 1))) return;
        std::size_t lo = 0, hi = n_runs;  // the last run starting at or before r
        while (hi - lo > 1) {
            const std::size_t mid = (lo + hi) / 2;
            (column.run_start(mid) <= r ? lo : hi) = mid;
        }
        k = lo;
    };
    std::size_t ahead_run = 0, this_run = 0;
    const auto fetch = [&](std::size_t r) {
        run_of(r, ahead_run);
        const StringRun& run = runs[ahead_run];
        const std::size_t i = r - column.run_start(ahead_run);
        const void* entry = nullptr;
        switch (run.layout) {
            case StringRun::Layout::kOffsets32: entry = static_cast<const std::int32_t*>(run.offsets) + i; break;
            case StringRun::Layout::kOffsets64: entry = static_cast<const std::int64_t*>(run.offsets) + i; break;
            case StringRun::Layout::kViews: entry = static_cast<const char*>(run.offsets) + 16 * i; break;
            case StringRun::Layout::kDictionary: entry = static_cast<const char*>(run.indices) + i * run.index_bytes;
        }
        __builtin_prefetch(entry);
        if (missing) __builtin_prefetch(missing + r);
    };
    for (std::size_t p = 0; p < kAhead && p < m; ++p) fetch(static_cast<std::size_t>(positions[p]));
    for (std::size_t p = 0; p < m; ++p) {
        if (p + kAhead < m) fetch(static_cast<std::size_t>(positions[p + kAhead]));
        const auto r = static_cast<std::size_t>(positions[p]);
        if (missing && missing[r]) {
            out[p] = {};
            continue;
        }
        run_of(r, this_run);
        out[p] = runs[this_run][r - column.run_start(this_run)];
        __builtin_prefetch(out[p].data());
    }
}

// Lowers target to value when value is smaller.
void lower_to(std::atomic<std::size_t>& target, std::size_t value) {
    std::size_t seen = target.load(std::memory_order_relaxed);
    while (value < seen && !target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

bool is_missing(const Side& side, std::int64_t row) {
    const auto r = static_cast<std::size_t>(row);
    if (side.numbers) return std::isnan(side.numbers[r]);
    return side.missing && side.missing[r];
}

// A record column derived from another, one string per record.
StringColumn soundex_codes(const StringColumn& column) {
    StringColumn out;
    out.reserve(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) {
        const std::array<char, 4> code = similarity::soundex_code(column[r]);
        out.push_back(code.data(), code.size());
    }
    return out;
}

// Tokens sorted by bytes and joined with single spaces: token sort ratio is
// the Levenshtein similarity of two such strings (equal strings give equal
// joins, hence 1.0, as the kernel's own shortcut does).
StringColumn sorted_joins(const StringColumn& column) {
    StringColumn out;
    out.reserve(column.size());
    std::string joined;
    for (std::size_t r = 0; r < column.size(); ++r) {
        similarity::tokens::Tokens t;
        similarity::tokens::sorted_tokens(column[r], t);
        joined.clear();
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (i) joined.push_back(' ');
            joined.append(t[i].p, t[i].n);
        }
        out.push_back(joined.data(), joined.size());
    }
    return out;
}

// What a block scores for one comparison: the columns and kernel after any
// per-record work, and where each side's values lie in its side's rows
// (slot -1: the side has no rows and reads its columns).
struct Plan {
    const Comparison* comparison;
    const StringColumn* left = nullptr;
    const StringColumn* right = nullptr;
    similarity::StringKernel kernel;
    int left_slot = -1, right_slot = -1;
};

// One side's compared values, record by record: every value a record
// contributes to any comparison, in one row, so that a pair reads one short
// run of memory per side instead of an offset, a missing flag and a string
// per comparison, each somewhere else. Built once per call where the pairs
// read each record more than once on average (the right-hand records of
// sorted candidate pairs come in random order, and their reads dominated).
//
// A row: the end of each string (uint16, from the row's start; the top bit
// set where the record is missing), each number (float64, unaligned), then
// the strings' bytes one after another. A string starts where the one
// before it ends, the first one after the numbers. Rows are built only when
// each fits in 32,767 bytes and all in 4 GiB; otherwise the side reads its
// columns as they are.
class Rows {
public:
    struct StringSlot {
        const StringColumn* column;
        const std::uint8_t* missing;
    };

    // Null when a row would not fit (the caller reads the columns).
    static std::unique_ptr<Rows> build(std::vector<StringSlot> strings, std::vector<const double*> numbers,
                                       std::size_t records) {
        std::unique_ptr<Rows> rows(new Rows(std::move(strings), std::move(numbers), records));
        return rows->fill() ? std::move(rows) : nullptr;
    }

    std::size_t string_slots() const noexcept { return strings_.size(); }
    const char* row(std::size_t r) const noexcept { return bytes_.get() + start_[r]; }
    const void* start_of(std::size_t r) const noexcept { return start_.get() + r; }

    // String slot s of a row: its view ("" when missing) and whether missing.
    static bool string_at(const char* row, std::size_t s, std::size_t header, std::string_view& out) noexcept {
        std::uint16_t end, begin;
        std::memcpy(&end, row + 2 * s, 2);
        if (s == 0) {
            begin = static_cast<std::uint16_t>(header);
        } else {
            std::memcpy(&begin, row + 2 * (s - 1), 2);
            begin &= 0x7fff;
        }
        if (end & 0x8000) {
            out = {};
            return true;
        }
        out = {row + begin, static_cast<std::size_t>(end - begin)};
        return false;
    }
    double number_at(const char* row, std::size_t j) const noexcept {
        double v;
        std::memcpy(&v, row + 2 * strings_.size() + 8 * j, 8);
        return v;
    }
    std::size_t header() const noexcept { return header_; }

private:
    Rows(std::vector<StringSlot> strings, std::vector<const double*> numbers, std::size_t records)
        : strings_(std::move(strings)), numbers_(std::move(numbers)), records_(records),
          header_(2 * strings_.size() + 8 * numbers_.size()) {}

    bool missing(std::size_t s, std::size_t r) const noexcept {
        return strings_[s].missing && strings_[s].missing[r];
    }

    bool fill() {
        if (header_ > kMaxRow) return false;
        start_.reset(new std::uint32_t[records_ + 1]);
        std::uint32_t* size = start_.get() + 1;
        std::atomic<bool> too_long{false};
        pool::for_each_range(records_, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t r = lo; r < hi; ++r) {
                std::size_t n = header_;
                for (std::size_t s = 0; s < strings_.size(); ++s)
                    if (!missing(s, r)) n += (*strings_[s].column)[r].size();
                if (n > kMaxRow) {
                    too_long.store(true, std::memory_order_relaxed);
                    return;
                }
                size[r] = static_cast<std::uint32_t>(n);
            }
        });
        if (too_long.load()) return false;
        std::uint64_t total = 0;
        start_[0] = 0;
        for (std::size_t r = 0; r < records_; ++r) {
            total += size[r];
            if (total > UINT32_MAX) return false;
            start_[r + 1] = static_cast<std::uint32_t>(total);
        }
        bytes_.reset(new char[total ? total : 1]);
        pool::for_each_range(records_, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t r = lo; r < hi; ++r) {
                char* row = bytes_.get() + start_[r];
                std::size_t at = header_;
                for (std::size_t s = 0; s < strings_.size(); ++s) {
                    std::uint16_t end;
                    if (missing(s, r)) {
                        end = static_cast<std::uint16_t>(at | 0x8000);
                    } else {
                        const std::string_view v = (*strings_[s].column)[r];
                        if (!v.empty()) std::memcpy(row + at, v.data(), v.size());
                        at += v.size();
                        end = static_cast<std::uint16_t>(at);
                    }
                    std::memcpy(row + 2 * s, &end, 2);
                }
                for (std::size_t j = 0; j < numbers_.size(); ++j)
                    std::memcpy(row + 2 * strings_.size() + 8 * j, numbers_[j] + r, 8);
            }
        });
        return true;
    }

    static constexpr std::size_t kMaxRow = 0x7fff;

    std::vector<StringSlot> strings_;
    std::vector<const double*> numbers_;
    std::size_t records_;
    std::size_t header_;
    std::unique_ptr<std::uint32_t[]> start_;
    std::unique_ptr<char[]> bytes_;
};

// Whether two record columns hold the same values (the same records, the
// same missing ones), so one side's rows serve the other too.
bool same_strings(const Side& a, const Side& b) {
    if (a.strings == b.strings && a.missing == b.missing) return true;
    if (!a.strings || !b.strings || a.records != b.records || (a.missing == nullptr) != (b.missing == nullptr))
        return false;
    if (a.missing && std::memcmp(a.missing, b.missing, a.records) != 0) return false;
    for (std::size_t r = 0; r < a.records; ++r) {
        if (a.missing && a.missing[r]) continue;
        const std::string_view x = (*a.strings)[r], y = (*b.strings)[r];
        if (x.size() != y.size() || (x.data() != y.data() && std::memcmp(x.data(), y.data(), x.size()) != 0))
            return false;
    }
    return true;
}

bool same_numbers(const Side& a, const Side& b) {
    return a.numbers == b.numbers ||
           (a.numbers && b.numbers && a.records == b.records &&
            std::memcmp(a.numbers, b.numbers, a.records * sizeof(double)) == 0);
}

}  // namespace

BadPosition check_positions(const Pairs& pairs, std::size_t left_records, std::size_t right_records) {
    std::atomic<std::size_t> first_left{SIZE_MAX}, first_right{SIZE_MAX};
    const auto outside = [](std::int64_t v, std::size_t size) {
        return v < 0 || static_cast<std::uint64_t>(v) >= size;
    };
    pool::for_each_range(pairs.n, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p)
            if (outside(pairs.left[p], left_records)) {
                lower_to(first_left, p);
                break;
            }
        for (std::size_t p = lo; p < hi; ++p)
            if (outside(pairs.right[p], right_records)) {
                lower_to(first_right, p);
                break;
            }
    });
    BadPosition bad;
    const std::size_t l = first_left.load(), r = first_right.load();
    if (l != SIZE_MAX || r != SIZE_MAX) {
        bad.found = true;
        bad.right = l == SIZE_MAX;
        bad.pair = bad.right ? r : l;
        bad.value = bad.right ? pairs.right[r] : pairs.left[l];
    }
    return bad;
}

MissingPair first_missing(const std::vector<Comparison>& comparisons, const Pairs& pairs) {
    MissingPair found;
    for (std::size_t k = 0; k < comparisons.size(); ++k) {
        const Comparison& c = comparisons[k];
        const bool left_may = c.left.numbers || c.left.missing, right_may = c.right.numbers || c.right.missing;
        if (!left_may && !right_may) continue;
        for (std::size_t p = 0; p < pairs.n; ++p) {
            const bool l = left_may && is_missing(c.left, pairs.left[p]);
            if (l || (right_may && is_missing(c.right, pairs.right[p]))) {
                found.found = true;
                found.comparison = k;
                found.pair = p;
                found.right = !l;
                found.row = l ? pairs.left[p] : pairs.right[p];
                return found;
            }
        }
    }
    return found;
}

namespace {

// A block's rows on one side: row of record positions[p] for each p. The
// row offsets are fetched kFar positions ahead and the rows themselves
// kNear ahead, so many misses are in flight at once; the first comparison
// of the block then finds its rows arriving, the others find them in cache.
void locate(const Rows& rows, const std::int64_t* positions, std::size_t m, const char** out) {
    constexpr std::size_t kFar = 48, kNear = 16;
    for (std::size_t p = 0; p < kFar && p < m; ++p) __builtin_prefetch(rows.start_of(positions[p]));
    for (std::size_t p = 0; p < kNear && p < m; ++p) {
        out[p] = rows.row(static_cast<std::size_t>(positions[p]));
        __builtin_prefetch(out[p]);
        __builtin_prefetch(out[p] + 64);
    }
    for (std::size_t p = 0; p < m; ++p) {
        if (p + kFar < m) __builtin_prefetch(rows.start_of(positions[p + kFar]));
        if (p + kNear < m) {
            const char* row = rows.row(static_cast<std::size_t>(positions[p + kNear]));
            __builtin_prefetch(row);
            __builtin_prefetch(row + 64);
            out[p + kNear] = row;
        }
    }
}

// A block's strings of one string slot; gone[p] is set where the record is
// missing (its view is then ""). Returns whether any was.
bool strings_of(const Rows& rows, const char* const* row, std::size_t slot, std::size_t m, std::string_view* out,
                std::uint8_t* gone) {
    const std::size_t header = rows.header();
    bool any = false;
    for (std::size_t p = 0; p < m; ++p) {
        const bool g = Rows::string_at(row[p], slot, header, out[p]);
        gone[p] |= static_cast<std::uint8_t>(g);
        any |= g;
    }
    return any;
}

// The same from a column read where it lies (a side without rows).
bool strings_of(const StringColumn& column, const std::uint8_t* missing, const std::int64_t* positions,
                std::size_t m, std::string_view* out, std::uint8_t* gone) {
    resolve(column, missing, positions, m, out);
    if (!missing) return false;
    bool any = false;
    for (std::size_t p = 0; p < m; ++p) {
        const std::uint8_t g = missing[positions[p]];
        gone[p] |= g;
        any |= g != 0;
    }
    return any;
}

// Whether two strings of the same length hold the same bytes: short
// strings (codes, postcodes) in a few loads, without a call.
inline bool same_bytes(const char* x, const char* y, std::size_t n) noexcept {
    for (; n >= 8; n -= 8, x += 8, y += 8) {
        std::uint64_t u, v;
        std::memcpy(&u, x, 8);
        std::memcpy(&v, y, 8);
        if (u != v) return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
}

// Scores m pairs of views into dst with the kernel's block routine of the
// level in force (or its per-pair kernel), as the column routines do.
void score_views(const similarity::StringKernel& kernel, const std::string_view* a, const std::string_view* b,
                 std::size_t m, double* dst) {
    if (kernel.pair == &similarity::exact_match) {
        // The exact kernel's very test, inline: 1.0 for the same bytes.
        for (std::size_t p = 0; p < m; ++p)
            dst[p] = a[p].size() == b[p].size() && same_bytes(a[p].data(), b[p].data(), a[p].size()) ? 1.0 : 0.0;
        return;
    }
    const similarity::BlockRoutine block = kernel.block_routine();
    for (std::size_t lo = 0; lo < m; lo += similarity::kBlockPairs) {
        const std::size_t count = m - lo < similarity::kBlockPairs ? m - lo : similarity::kBlockPairs;
        if (block) {
            block(a + lo, b + lo, count, dst + lo);
        } else {
            for (std::size_t p = lo; p < lo + count; ++p) dst[p] = kernel.pair(a[p], b[p]);
        }
    }
}

// Slot of a value in a side's slot list, appended when new.
template <class T>
int slot_of(std::vector<T>& slots, const T& value) {
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (slots[i] == value) return static_cast<int>(i);
    slots.push_back(value);
    return static_cast<int>(slots.size() - 1);
}

bool operator==(const Rows::StringSlot& a, const Rows::StringSlot& b) {
    return a.column == b.column && a.missing == b.missing;
}

}  // namespace

struct Prepared::State {
    std::vector<Comparison> comparisons;
    std::map<std::pair<const StringColumn*, Shortcut>, std::unique_ptr<StringColumn>> derived;
    std::vector<Plan> plans;
    std::unique_ptr<Rows> own[2];
    const Rows* rows[2] = {nullptr, nullptr};
};

Prepared::Prepared(const std::vector<Comparison>& given, std::size_t n) : state_(new State) {
    State& st = *state_;
    // A right-hand column holding the same values as its left-hand one (a
    // deduplication) is read as the left one: one derived column, one set
    // of rows.
    st.comparisons = given;
    for (Comparison& c : st.comparisons) {
        if (c.numeric_kernel ? same_numbers(c.left, c.right) : same_strings(c.left, c.right)) c.right = c.left;
    }
    if (st.comparisons.empty()) return;

    // Per-record work, once per distinct column, where the records are
    // fewer than the pairs.
    const auto derive = [&](const StringColumn* column, Shortcut s) -> const StringColumn* {
        auto& slot = st.derived[{column, s}];
        if (!slot)
            slot = std::make_unique<StringColumn>(s == Shortcut::kSoundex ? soundex_codes(*column)
                                                                          : sorted_joins(*column));
        return slot.get();
    };
    st.plans.reserve(st.comparisons.size());
    for (const Comparison& c : st.comparisons) {
        Plan plan{&c, c.left.strings, c.right.strings, c.string_kernel};
        if (c.shortcut != Shortcut::kNone && c.left.records + c.right.records < n) {
            plan.left = derive(c.left.strings, c.shortcut);
            plan.right = derive(c.right.strings, c.shortcut);
            plan.kernel = c.shortcut == Shortcut::kSoundex ? similarity::kExactKernel : similarity::kLevenshteinKernel;
        }
        st.plans.push_back(plan);
    }

    // Rows for each side whose records the pairs read more than once on
    // average; one set for both sides when they hold the same values.
    std::vector<Rows::StringSlot> string_slots[2];
    std::vector<const double*> number_slots[2];
    for (Plan& plan : st.plans) {
        const Comparison& c = *plan.comparison;
        if (c.numeric_kernel) {
            plan.left_slot = slot_of(number_slots[0], c.left.numbers);
            plan.right_slot = slot_of(number_slots[1], c.right.numbers);
        } else {
            plan.left_slot = slot_of(string_slots[0], Rows::StringSlot{plan.left, c.left.missing});
            plan.right_slot = slot_of(string_slots[1], Rows::StringSlot{plan.right, c.right.missing});
        }
    }
    const std::size_t records[2] = {st.comparisons[0].left.records, st.comparisons[0].right.records};
    if (n >= records[0]) {
        st.own[0] = Rows::build(string_slots[0], number_slots[0], records[0]);
        st.rows[0] = st.own[0].get();
    }
    if (st.rows[0] && string_slots[1] == string_slots[0] && number_slots[1] == number_slots[0]) {
        st.rows[1] = st.rows[0];
    } else if (n >= records[1]) {
        st.own[1] = Rows::build(string_slots[1], number_slots[1], records[1]);
        st.rows[1] = st.own[1].get();
    }
}

Prepared::~Prepared() = default;

const std::vector<Comparison>& Prepared::comparisons() const noexcept { return state_->comparisons; }

namespace {

// Right-hand sides of at least this many records, read where they lie, are
// read in order of position (see Prepared::score); below it their columns
// stay in cache anyway.
constexpr std::size_t kOrderedRecords = std::size_t{1} << 17;

// Pairs 0 to n - 1 in order of right position, as indices: grouped
// (stably) by ranges of 1/2,048 of the right records, in one counting pass
// and one placing pass. A range's records are read close together (a few
// hundred kilobytes of columns even for millions of records), which is all
// the order is for: within a range the pairs keep their order.
std::unique_ptr<std::uint32_t[]> by_right_position(const std::int64_t* right, std::size_t n, std::size_t records) {
    constexpr unsigned kRangeBits = 11;
    unsigned bits = 1;
    while (bits < 63 && (std::size_t{1} << bits) < records) ++bits;
    const unsigned shift = bits > kRangeBits ? bits - kRangeBits : 0;
    std::size_t count[std::size_t{1} << kRangeBits] = {};
    for (std::size_t p = 0; p < n; ++p) ++count[static_cast<std::uint64_t>(right[p]) >> shift];
    std::size_t at = 0;
    for (std::size_t& c : count) {
        const std::size_t here = c;
        c = at;
        at += here;
    }
    std::unique_ptr<std::uint32_t[]> order(new std::uint32_t[n]);
    for (std::size_t p = 0; p < n; ++p)
        order[count[static_cast<std::uint64_t>(right[p]) >> shift]++] = static_cast<std::uint32_t>(p);
    return order;
}

// Whether the pairs' left positions lie within `span` records of each other.
bool left_within(const std::int64_t* left, std::size_t n, std::int64_t span) {
    std::int64_t lo = left[0], hi = left[0];
    for (std::size_t p = 1; p < n; ++p) {
        lo = std::min(lo, left[p]);
        hi = std::max(hi, left[p]);
    }
    return hi - lo <= span;
}

}  // namespace

double mean_cells(const StringColumn& left, const std::uint8_t* left_missing, const StringColumn& right,
                  const std::uint8_t* right_missing, const Pairs& pairs) noexcept {
    const std::size_t samples = pairs.n < 64 ? pairs.n : 64;
    double cells = 0.0;
    for (std::size_t s = 0; s < samples; ++s) {
        const std::size_t p = s * pairs.n / samples;
        const auto l = static_cast<std::size_t>(pairs.left[p]), r = static_cast<std::size_t>(pairs.right[p]);
        if ((left_missing && left_missing[l]) || (right_missing && right_missing[r])) continue;
        cells += double(left[l].size()) * double(right[r].size());
    }
    return samples == 0 ? 0.0 : cells / double(samples);
}

void Prepared::score(const Pairs& pairs, double fill, double* out) const {
    const std::size_t n = pairs.n;
    if (n == 0) return;
    const State& st = *state_;
    const std::vector<Plan>& plans = st.plans;
    const Rows* const* rows = st.rows;

    // A large right-hand side read where it lies (no rows) and left
    // positions close together (link's batches: a run of left records)
    // are scored in order of right position: the right-hand columns are
    // then read front to back instead of at random, and the few left-hand
    // records stay in cache whatever their order. The scores go back to
    // their pairs' places.
    std::unique_ptr<std::uint32_t[]> order;
    const std::size_t right_records = st.comparisons[0].right.records;
    if (!rows[1] && right_records >= kOrderedRecords && n >= 4 * kBlock && n <= UINT32_MAX &&
        (rows[0] || left_within(pairs.left, n, static_cast<std::int64_t>(kOrderedRecords))))
        order = by_right_position(pairs.right, n, right_records);

    // Fewer pairs per row when the compared strings are long, so that the
    // calling thread still gets to run signal handlers every so often.
    double cells = 0.0;
    for (const Plan& plan : plans) {
        const Comparison& c = *plan.comparison;
        if (!c.numeric_kernel && plan.left && plan.right)
            cells += mean_cells(*plan.left, c.left.missing, *plan.right, c.right.missing, pairs);
    }
    const std::size_t per_row = similarity::pairs_per_row(cells, kBlock);
    const std::size_t blocks = (n + per_row - 1) / per_row;
    const std::size_t n_plans = plans.size();
    pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
        std::unique_ptr<std::string_view[]> views(new std::string_view[2 * kBlock]);
        std::string_view* const left_views = views.get();
        std::string_view* const right_views = views.get() + kBlock;
        std::unique_ptr<const char*[]> row_of(new const char*[2 * kBlock]);
        const char** const left_rows = row_of.get();
        const char** const right_rows = row_of.get() + kBlock;
        std::uint8_t gone[kBlock];
        // In order of right position: the block's positions, and its scores
        // (comparison k's at k * kBlock) before they go to their places.
        std::unique_ptr<std::int64_t[]> ordered(order ? new std::int64_t[2 * kBlock] : nullptr);
        std::unique_ptr<double[]> held(order ? new double[n_plans * kBlock] : nullptr);
        cursor.run([&](std::size_t b) {
            const std::size_t lo = b * per_row, m = (n - lo < per_row ? n - lo : per_row);
            const std::int64_t* lp = pairs.left + lo;
            const std::int64_t* rp = pairs.right + lo;
            double* base = out + lo;
            std::size_t stride = n;  // from comparison k's scores to k + 1's
            if (order) {
                const std::uint32_t* o = order.get() + lo;
                std::int64_t* l = ordered.get();
                std::int64_t* r = ordered.get() + kBlock;
                for (std::size_t p = 0; p < m; ++p) {
                    l[p] = pairs.left[o[p]];
                    r[p] = pairs.right[o[p]];
                }
                lp = l, rp = r, base = held.get(), stride = kBlock;
            }
            if (rows[0]) locate(*rows[0], lp, m, left_rows);
            if (rows[1]) locate(*rows[1], rp, m, right_rows);
            for (std::size_t k = 0; k < n_plans; ++k) {
                const Plan& plan = plans[k];
                const Comparison& c = *plan.comparison;
                double* dst = base + k * stride;
                if (c.numeric_kernel) {
                    const auto ls = static_cast<std::size_t>(plan.left_slot);
                    const auto rs = static_cast<std::size_t>(plan.right_slot);
                    const double* lv = c.left.numbers;
                    const double* rv = c.right.numbers;
                    for (std::size_t p = 0; p < m; ++p) {
                        if (!rows[1] && p + kAhead < m) __builtin_prefetch(rv + rp[p + kAhead]);
                        const double x = rows[0] ? rows[0]->number_at(left_rows[p], ls) : lv[lp[p]];
                        const double y = rows[1] ? rows[1]->number_at(right_rows[p], rs) : rv[rp[p]];
                        dst[p] = std::isnan(x) || std::isnan(y) ? fill : c.numeric_kernel(x, y);
                    }
                    continue;
                }
                std::memset(gone, 0, m);
                const bool left_gone =
                    rows[0] ? strings_of(*rows[0], left_rows, static_cast<std::size_t>(plan.left_slot), m, left_views,
                                         gone)
                            : strings_of(*plan.left, c.left.missing, lp, m, left_views, gone);
                const bool right_gone =
                    rows[1] ? strings_of(*rows[1], right_rows, static_cast<std::size_t>(plan.right_slot), m,
                                         right_views, gone)
                            : strings_of(*plan.right, c.right.missing, rp, m, right_views, gone);
                score_views(plan.kernel, left_views, right_views, m, dst);
                if (left_gone || right_gone)
                    for (std::size_t p = 0; p < m; ++p)
                        if (gone[p]) dst[p] = fill;
            }
            if (order) {
                const std::uint32_t* o = order.get() + lo;
                for (std::size_t k = 0; k < n_plans; ++k) {
                    double* to = out + k * n;
                    const double* from = base + k * kBlock;
                    for (std::size_t p = 0; p < m; ++p) to[o[p]] = from[p];
                }
            }
        });
    });
}

void score_pairs(const std::vector<Comparison>& comparisons, const Pairs& pairs, double fill, double* out) {
    if (pairs.n == 0) return;
    Prepared(comparisons, pairs.n).score(pairs, fill, out);
}

}  // namespace corvane::gather

#include "gather/gather.hpp"

#include <array>
#include <atomic>
#include <cmath>
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
    for (std::size_t p = 0; p < m; ++p) {
        const auto r = static_cast<std::size_t>(positions[p]);
        out[p] = missing && missing[r] ? std::string_view() : column[r];
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
// per-record work.
struct Plan {
    const Comparison* comparison;
    const StringColumn* left = nullptr;
    const StringColumn* right = nullptr;
    similarity::StringKernel kernel;
};

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

void score_pairs(const std::vector<Comparison>& comparisons, const Pairs& pairs, double fill, double* out) {
    const std::size_t n = pairs.n;
    if (n == 0) return;

    // Per-record work, once per distinct column, where the records are
    // fewer than the pairs.
    std::map<std::pair<const StringColumn*, Shortcut>, std::unique_ptr<StringColumn>> derived;
    const auto derive = [&](const StringColumn* column, Shortcut s) -> const StringColumn* {
        auto& slot = derived[{column, s}];
        if (!slot)
            slot = std::make_unique<StringColumn>(s == Shortcut::kSoundex ? soundex_codes(*column)
                                                                          : sorted_joins(*column));
        return slot.get();
    };
    std::vector<Plan> plans;
    plans.reserve(comparisons.size());
    for (const Comparison& c : comparisons) {
        Plan plan{&c, c.left.strings, c.right.strings, c.string_kernel};
        if (c.shortcut != Shortcut::kNone && c.left.records + c.right.records < n) {
            plan.left = derive(c.left.strings, c.shortcut);
            plan.right = derive(c.right.strings, c.shortcut);
            plan.kernel = c.shortcut == Shortcut::kSoundex ? similarity::kExactKernel : similarity::kLevenshteinKernel;
        }
        plans.push_back(plan);
    }

    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
        std::unique_ptr<std::string_view[]> views(new std::string_view[2 * kBlock]);
        std::string_view* const left_views = views.get();
        std::string_view* const right_views = views.get() + kBlock;
        cursor.run([&](std::size_t b) {
            const std::size_t lo = b * kBlock, m = (n - lo < kBlock ? n - lo : kBlock);
            const std::int64_t* lp = pairs.left + lo;
            const std::int64_t* rp = pairs.right + lo;
            for (std::size_t k = 0; k < plans.size(); ++k) {
                const Plan& plan = plans[k];
                const Comparison& c = *plan.comparison;
                double* dst = out + k * n + lo;
                if (c.numeric_kernel) {
                    const double* lv = c.left.numbers;
                    const double* rv = c.right.numbers;
                    for (std::size_t p = 0; p < m; ++p) {
                        if (p + kAhead < m) __builtin_prefetch(rv + rp[p + kAhead]);
                        const double x = lv[lp[p]], y = rv[rp[p]];
                        dst[p] = std::isnan(x) || std::isnan(y) ? fill : c.numeric_kernel(x, y);
                    }
                    continue;
                }
                resolve(*plan.left, c.left.missing, lp, m, left_views);
                resolve(*plan.right, c.right.missing, rp, m, right_views);
                // Runs inline: this thread is already one of the pool's.
                similarity::string_column(plan.kernel, BlockColumn(left_views, m), BlockColumn(right_views, m), dst,
                                          1);
                if (c.left.missing || c.right.missing)
                    for (std::size_t p = 0; p < m; ++p)
                        if ((c.left.missing && c.left.missing[lp[p]]) || (c.right.missing && c.right.missing[rp[p]]))
                            dst[p] = fill;
            }
        });
    });
}

}  // namespace corvane::gather

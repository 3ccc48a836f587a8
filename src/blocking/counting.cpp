#include "blocking/counting.hpp"

#include <algorithm>
#include <bit>
#include <map>
#include <numeric>

#include "runtime/pool.hpp"

namespace corvane::blocking {

namespace {

// The live groups of a column set: groups of records with equal tuples
// that hold a pair (two records, or a left and a right one), each group's
// records ascending, laid end to end; `start` delimits the groups.
struct Group {
    std::vector<std::uint32_t> record;
    std::vector<std::uint32_t> start{0};
    std::uint64_t pairs = 0;  // pairs agreeing on every column of the set
};

// Adds the group of records [from, to) of `records` (ascending) to g when
// it holds a pair.
inline void add_group(Group& g, const std::uint32_t* records, std::size_t size, std::size_t n_left, bool dedupe) {
    if (size < 2) return;
    if (dedupe) {
        g.pairs += std::uint64_t{size} * (size - 1) / 2;
    } else {
        std::size_t left = 0;
        while (left < size && records[left] < n_left) ++left;
        if (left == 0 || left == size) return;
        g.pairs += std::uint64_t{left} * (size - left);
    }
    g.record.insert(g.record.end(), records, records + size);
    g.start.push_back(static_cast<std::uint32_t>(g.record.size()));
}

// One column alone: its records grouped by code (a counting sort; codes are
// below n).
Group first_group(const std::int64_t* column, std::size_t n, std::size_t n_left, bool dedupe) {
    std::vector<std::uint32_t> at(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (column[i] >= 0) ++at[static_cast<std::size_t>(column[i]) + 1];
    for (std::size_t c = 0; c < n; ++c) at[c + 1] += at[c];
    std::vector<std::uint32_t> sorted(at[n]);
    {
        std::vector<std::uint32_t> next(at.begin(), at.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            if (column[i] >= 0) sorted[next[static_cast<std::size_t>(column[i])]++] = static_cast<std::uint32_t>(i);
    }
    Group g;
    g.record.reserve(sorted.size());
    for (std::size_t c = 0; c < n; ++c) add_group(g, sorted.data() + at[c], at[c + 1] - at[c], n_left, dedupe);
    g.record.shrink_to_fit();
    return g;
}

// The parent's groups split by one more column: within each group the
// records sorted by (code, record), runs of one code becoming groups.
Group child_group(const Group& parent, const std::int64_t* column, std::size_t n_left, bool dedupe) {
    Group g;
    const std::size_t groups = parent.start.size() - 1;
    const std::uint32_t* rec = parent.record.data();
    const std::size_t total = parent.record.size();
    g.record.reserve(total);
    std::vector<std::uint64_t> buf;
    std::vector<std::uint32_t> run;
    constexpr std::size_t ahead = 32;
    for (std::size_t p = 0; p < groups; ++p) {
        const std::size_t a = parent.start[p], b = parent.start[p + 1];
        buf.clear();
        for (std::size_t k = a; k < b; ++k) {
            if (k + ahead < total) __builtin_prefetch(column + rec[k + ahead]);
            const std::int64_t v = column[rec[k]];
            if (v >= 0) buf.push_back(static_cast<std::uint64_t>(v) << 32 | rec[k]);
        }
        if (buf.size() < 2) continue;
        if (buf.size() <= 16) {
            for (std::size_t i = 1; i < buf.size(); ++i)
                for (std::size_t j = i; j > 0 && buf[j - 1] > buf[j]; --j) std::swap(buf[j - 1], buf[j]);
        } else {
            std::sort(buf.begin(), buf.end());
        }
        for (std::size_t i = 0; i < buf.size();) {
            std::size_t j = i + 1;
            while (j < buf.size() && (buf[j] >> 32) == (buf[i] >> 32)) ++j;
            if (j - i >= 2) {
                run.clear();
                for (std::size_t k = i; k < j; ++k) run.push_back(static_cast<std::uint32_t>(buf[k]));
                add_group(g, run.data(), run.size(), n_left, dedupe);
            }
            i = j;
        }
    }
    g.record.shrink_to_fit();
    return g;
}

inline std::uint64_t top_bit(std::uint64_t m) { return std::uint64_t{1} << (63 - std::countl_zero(m)); }

}  // namespace

std::vector<std::uint64_t> count_rule_pairs(const std::int64_t* keys, std::size_t n_keys, std::size_t n_left,
                                            std::size_t n_right, bool dedupe,
                                            const std::vector<std::uint64_t>& rule_masks) {
    const std::size_t n = dedupe ? n_left : n_left + n_right;
    const std::size_t rules = rule_masks.size();
    std::uint64_t used = 0;
    for (const std::uint64_t m : rule_masks) used |= m;

    // Every used column alone, in parallel; then the columns renumbered by
    // their live records, fewest first.
    std::vector<std::size_t> columns;
    for (std::size_t k = 0; k < n_keys; ++k)
        if (used >> k & 1) columns.push_back(k);
    std::vector<Group> first(columns.size());
    pool::for_each_row(columns.size(), [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t c) { first[c] = first_group(keys + columns[c] * n, n, n_left, dedupe); });
    });
    std::vector<std::size_t> order(columns.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return first[a].record.size() < first[b].record.size(); });
    std::vector<std::uint64_t> bit_of(n_keys, 0);  // original column -> its bit in the new order
    for (std::size_t b = 0; b < order.size(); ++b) bit_of[columns[order[b]]] = std::uint64_t{1} << b;
    auto renumbered = [&](std::uint64_t m) {
        std::uint64_t out = 0;
        for (std::size_t k = 0; k < n_keys; ++k)
            if (m >> k & 1) out |= bit_of[k];
        return out;
    };
    std::vector<std::uint64_t> masks(rules);
    for (std::size_t r = 0; r < rules; ++r) masks[r] = renumbered(rule_masks[r]);

    // The column sets of every subset of rules, and the parents they are
    // counted from (a set less its last column), by size.
    std::map<std::uint64_t, std::uint64_t> agree;  // column set -> pairs agreeing on it
    for (std::uint64_t subset = 1; subset < (std::uint64_t{1} << rules); ++subset) {
        std::uint64_t m = 0;
        for (std::size_t r = 0; r < rules; ++r)
            if (subset >> r & 1) m |= masks[r];
        for (; m && !agree.count(m); m &= ~top_bit(m)) agree.emplace(m, 0);
    }
    std::vector<std::vector<std::uint64_t>> by_size(order.size() + 1);
    for (const auto& [m, pairs] : agree) by_size[static_cast<std::size_t>(std::popcount(m))].push_back(m);

    std::map<std::uint64_t, Group> previous, current;
    for (std::size_t b = 0; b < order.size(); ++b) previous.emplace(std::uint64_t{1} << b, std::move(first[order[b]]));
    first.clear();
    for (const auto& [m, g] : previous) agree[m] = g.pairs;
    for (std::size_t size = 2; size < by_size.size(); ++size) {
        const std::vector<std::uint64_t>& sets = by_size[size];
        if (sets.empty()) break;
        std::vector<Group> made(sets.size());
        pool::for_each_row(sets.size(), [&](pool::RowCursor& cursor) {
            cursor.run([&](std::size_t s) {
                const std::uint64_t last = top_bit(sets[s]);
                const Group& parent = previous.at(sets[s] & ~last);
                const std::size_t column = columns[order[static_cast<std::size_t>(std::countr_zero(last))]];
                made[s] = child_group(parent, keys + column * n, n_left, dedupe);
            });
        });
        current.clear();
        for (std::size_t s = 0; s < sets.size(); ++s) {
            agree[sets[s]] = made[s].pairs;
            current.emplace(sets[s], std::move(made[s]));
        }
        previous.swap(current);
    }

    // Inclusion-exclusion, in arithmetic modulo 2**64: every partial sum
    // may wrap, the result (a count of pairs) does not.
    std::vector<std::uint64_t> added(rules, 0);
    for (std::size_t r = 0; r < rules; ++r) {
        for (std::uint64_t earlier = 0; earlier < (std::uint64_t{1} << r); ++earlier) {
            std::uint64_t m = masks[r];
            for (std::size_t e = 0; e < r; ++e)
                if (earlier >> e & 1) m |= masks[e];
            const std::uint64_t n_agree = agree.at(m);
            if (std::popcount(earlier) % 2)
                added[r] -= n_agree;
            else
                added[r] += n_agree;
        }
    }
    return added;
}

}  // namespace corvane::blocking

#include "blocking/counting.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <map>
#include <memory>
#include <numeric>
#include <string>

#include <emmintrin.h>

#include "runtime/errors.hpp"
#include "runtime/pool.hpp"

namespace corvane::blocking {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// One key column alone: the pairs agreeing on it, and its live groups
// (codes shared by a pair), numbered 0, 1, 2, ... in code order.
struct Column {
    const std::int64_t* codes = nullptr;
    std::uint64_t pairs = 0;
    std::size_t live = 0;              // records in live groups
    std::vector<std::uint32_t> group;  // [code + 1]: the code's live group, or kNone ([0]: missing)
    std::vector<std::uint32_t> start;  // live group g: [start[g], start[g + 1]) in group order
    std::vector<std::uint32_t> left;   // two tables: left records of each live group
    std::size_t groups() const { return start.size() - 1; }
};

// Throws for the first code outside [-1, n) of column `index`.
void check_codes(const std::int64_t* codes, std::size_t index, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (codes[i] < -1 || codes[i] >= static_cast<std::int64_t>(n))
            throw ValueError("key " + std::to_string(index * n + i) + " is " + std::to_string(codes[i]) +
                             ", outside [-1, " + std::to_string(n) + ")");
}

// A histogram of the codes (one pass over the records), then each code's
// live group (one pass over the codes), written over the histogram.
// Codes outside [-1, n) are refused (`index`: the column's place, for the
// message).
Column count_column(const std::int64_t* codes, std::size_t index, std::size_t n, std::size_t n_left, bool dedupe) {
    Column out;
    out.codes = codes;
    out.start.push_back(0);
    std::int64_t top = -1, bottom = -1;
    for (std::size_t i = 0; i < n; ++i) {
        top = std::max(top, codes[i]);
        bottom = std::min(bottom, codes[i]);
    }
    if (bottom < -1 || top >= static_cast<std::int64_t>(n)) check_codes(codes, index, n);
    // Indexed by code + 1, so that a missing code needs no test.
    const std::size_t span = static_cast<std::size_t>(top + 1) + 1;
    // One table: a count per code. Two: the left and the right count of a
    // code side by side.
    const std::size_t per = dedupe ? 1 : 2;
    // Few codes: four histograms taken in turn, so that runs of one code do
    // not wait on each other's increments, summed afterwards.
    const std::size_t copies = span <= 4096 ? 4 : 1;
    std::vector<std::uint32_t> hist(span * per * copies, 0);
    {
        std::uint32_t* h = hist.data();
        const std::size_t stride = span * per;
        auto add = [&](std::size_t from, std::size_t to, std::size_t side) {
            std::size_t i = from;
            if (copies == 4)
                for (; i + 4 <= to; i += 4)
                    for (std::size_t k = 0; k < 4; ++k)
                        ++h[k * stride + static_cast<std::size_t>(codes[i + k] + 1) * per + side];
            for (; i < to; ++i) ++h[static_cast<std::size_t>(codes[i] + 1) * per + side];
        };
        if (dedupe) {
            add(0, n, 0);
        } else {
            add(0, n_left, 0);
            add(n_left, n, 1);
        }
        for (std::size_t k = 1; k < copies; ++k)
            for (std::size_t c = 0; c < stride; ++c) h[c] += h[k * stride + c];
    }
    std::uint32_t next = 0;
    std::uint32_t* group = hist.data();  // group[c] is written once hist[c * per ...] is read
    for (std::size_t c = 1; c < span; ++c) {
        const std::uint64_t l = hist[c * per], r = dedupe ? 0 : hist[c * per + 1];
        const bool live = dedupe ? l >= 2 : l && r;
        if (!live) {
            group[c] = kNone;
            continue;
        }
        out.pairs += dedupe ? l * (l - 1) / 2 : l * r;
        out.live += l + r;
        out.start.push_back(static_cast<std::uint32_t>(out.live));
        if (!dedupe) out.left.push_back(static_cast<std::uint32_t>(l));
        group[c] = next++;
    }
    group[0] = kNone;
    hist.resize(span);
    hist.shrink_to_fit();
    out.group = std::move(hist);
    return out;
}

// The column sets to count, as a tree: each set of two columns or more
// hangs from its parent, the set less its last column (columns numbered
// by the pairs agreeing on each alone, fewest first), and the sets under
// one first column (a root) are counted together, one root group at a
// time.
struct Node {
    std::uint64_t set = 0;
    std::uint32_t slot = 0;                  // column within the root's rows
    std::vector<std::uint32_t> children;     // nodes
    std::vector<std::uint32_t> descendants;  // nodes below, all levels
    std::uint32_t slots = 0;                 // the set's columns within the root's rows, as bits
    std::uint32_t by_pairs = 0;              // largest group whose pairs are compared one by one (0: none)
};

// A root: its live records, each a row of its group and its codes in the
// other columns of the sets under it, in buckets of consecutive groups
// (bucket b: groups [b << shift, (b + 1) << shift), rows from the start of
// its first group), each record's row in record order within its bucket.
struct Root {
    std::size_t column = 0;        // index into the counted columns
    std::uint32_t node = 0;
    std::vector<std::size_t> slots;  // counted columns of the row, in order
    std::unique_ptr<std::uint32_t[]> rows;  // group, then the codes of the slots
    unsigned shift = 0;
    std::size_t buckets = 0;
};

// Per thread: per depth of the tree (a set has at most 64 columns), the
// codes of the group being split, its (code, row) words or its runs; and
// a table over a column's codes, its entries valid where stamped with the
// current split.
struct Scratch {
    struct Level {
        std::vector<std::uint32_t> codes;
        std::vector<std::uint64_t> words;
        std::vector<std::uint32_t> rows;
        std::vector<std::uint32_t> bounds;
    };
    std::vector<Level> level = std::vector<Level>(65);
    struct Entry {
        std::uint32_t stamp, count, left, at;
    };
    std::vector<Entry> table;
    std::uint32_t now = 0;
    std::vector<std::uint32_t> seen;
    // Per node: pairs of its groups compared one by one, by the columns of
    // the root's rows they agree on (bits).
    std::vector<std::vector<std::uint64_t>> agreeing;

    std::size_t codes;  // the table's size, allocated on first use

    Scratch(std::size_t codes, std::size_t nodes) : agreeing(nodes), codes(codes) {}
    std::uint32_t next_stamp() {
        if (table.empty()) table.assign(codes, Entry{0, 0, 0, 0});
        if (++now == 0) {
            for (Entry& e : table) e.stamp = 0;
            now = 1;
        }
        return now;
    }
};

// Roots of at most this many row columns may compare pairs one by one
// (a tally per node over the subsets of the columns).
constexpr std::size_t kMostPairedColumns = 12;
// A group is compared pair by pair up to this many records per set below.
constexpr std::size_t kPairsPerSet = 4;

// Groups up to this size are split by sorting (code, row) words; larger
// ones by counting in the table.
constexpr std::size_t kSortedSplit = 8;

// The columns of the root's rows that a row of codes (kNone past the
// row's width) holds a code in, as bits.
inline std::uint32_t present(const std::uint32_t* row, std::size_t blocks) {
    const __m128i none = _mm_set1_epi32(-1);
    std::uint32_t bits = 0;
    for (std::size_t q = 0; q < blocks; ++q) {
        const __m128i eq = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * q)), none);
        bits |= static_cast<std::uint32_t>(~_mm_movemask_ps(_mm_castsi128_ps(eq)) & 0xF) << (4 * q);
    }
    return bits;
}

// Every pair of one group (for two tables, left x right), tallied by the
// columns of the root's rows it agrees on (a missing code agrees with
// nothing). Rows are `stride` codes apart, a multiple of four, so that a
// pair compares four columns at once.
void compare_pairs(const std::uint32_t* base, std::size_t width, std::size_t stride, const std::uint32_t* rows,
                   std::size_t count, std::uint32_t left, bool dedupe, std::vector<std::uint64_t>& tally) {
    if (tally.empty()) tally.assign(std::size_t{4} << width, 0);
    const std::size_t blocks = stride / 4;
    std::size_t split_at = 0;  // two tables: rows [0, split_at) are left records
    if (!dedupe)
        while (split_at < count && rows[split_at] < left) ++split_at;
    std::uint64_t* t = tally.data();
    for (std::size_t i = 0; i < (dedupe ? count : split_at); ++i) {
        const std::uint32_t* a = base + std::size_t{rows[i]} * stride;
        const std::uint32_t valid = present(a, blocks);
        for (std::size_t j = dedupe ? i + 1 : split_at; j < count; ++j) {
            const std::uint32_t* b = base + std::size_t{rows[j]} * stride;
            std::uint32_t same = 0;
            for (std::size_t q = 0; q < blocks; ++q) {
                const __m128i eq = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * q)),
                                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * q)));
                same |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(eq))) << (4 * q);
            }
            // Four tallies taken in turn, so that pairs of one pattern do not
            // wait on each other's increments.
            ++t[(j & 3) << width | (same & valid)];
        }
    }
}

// Splits one group of a node's set (rows of the root group at `base`,
// ascending; the root group's rows below `left` are left records) by each
// child's column, adding each child's pairs and descending into its live
// groups.
void split(const std::vector<Node>& nodes, std::uint32_t node, const std::uint32_t* base, std::size_t width,
           std::size_t stride, const std::uint32_t* rows, std::size_t count, std::uint32_t left, bool dedupe,
           std::size_t depth, Scratch& scratch, std::uint64_t* pairs) {
    Scratch::Level& at = scratch.level[depth];
    const Node& self = nodes[node];
    if (count <= self.by_pairs) {
        compare_pairs(base, width, stride, rows, count, left, dedupe, scratch.agreeing[node]);
        return;
    }
    for (const std::uint32_t child : nodes[node].children) {
        const Node& c = nodes[child];
        const bool deeper = !c.children.empty();
        at.codes.resize(count);
        for (std::size_t k = 0; k < count; ++k) at.codes[k] = base[std::size_t{rows[k]} * stride + c.slot];
        const std::uint32_t* codes = at.codes.data();
        if (count <= kSortedSplit) {
            std::vector<std::uint64_t>& w = at.words;
            w.clear();
            for (std::size_t k = 0; k < count; ++k)
                if (codes[k] != kNone) w.push_back(std::uint64_t{codes[k]} << 32 | rows[k]);
            if (w.size() < 2) continue;
            for (std::size_t i = 1; i < w.size(); ++i) {
                const std::uint64_t v = w[i];
                std::size_t j = i;
                for (; j > 0 && w[j - 1] > v; --j) w[j] = w[j - 1];
                w[j] = v;
            }
            for (std::size_t i = 0; i < w.size();) {
                std::size_t j = i + 1;
                while (j < w.size() && (w[j] >> 32) == (w[i] >> 32)) ++j;
                const std::size_t size = j - i;
                if (size >= 2) {
                    bool live = true;
                    if (dedupe) {
                        pairs[child] += std::uint64_t{size} * (size - 1) / 2;
                    } else {
                        // Rows ascend within a run and the left records come first.
                        std::size_t l = 0;
                        while (l < size && static_cast<std::uint32_t>(w[i + l]) < left) ++l;
                        pairs[child] += std::uint64_t{l} * (size - l);
                        live = l && l < size;
                    }
                    if (deeper && live) {
                        // Deeper levels use their own scratch, so the run stays put.
                        at.rows.clear();
                        for (std::size_t k = i; k < j; ++k) at.rows.push_back(static_cast<std::uint32_t>(w[k]));
                        split(nodes, child, base, width, stride, at.rows.data(), at.rows.size(), left, dedupe,
                              depth + 1, scratch, pairs);
                    }
                }
                i = j;
            }
            continue;
        }
        // Counted per code in the table: each record adds the pairs it makes
        // with the records of its code before it.
        const std::uint32_t now = scratch.next_stamp();
        Scratch::Entry* table = scratch.table.data();
        scratch.seen.clear();
        std::uint64_t added = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t v = codes[k];
            if (v == kNone) continue;
            Scratch::Entry& e = table[v];
            if (e.stamp != now) {
                e = Scratch::Entry{now, 0, 0, 0};
                if (deeper) scratch.seen.push_back(v);
            }
            if (dedupe) {
                added += e.count;
            } else if (rows[k] < left) {
                ++e.left;
            } else {
                added += e.left;
            }
            ++e.count;
        }
        pairs[child] += added;
        if (!deeper || !added) continue;
        // The live codes' runs of rows, ascending, then each split further.
        at.bounds.clear();
        std::uint32_t end = 0;
        for (const std::uint32_t v : scratch.seen) {
            Scratch::Entry& e = table[v];
            const bool live = dedupe ? e.count >= 2 : e.left && e.left < e.count;
            e.at = live ? end : kNone;
            if (!live) continue;
            at.bounds.push_back(end);
            end += e.count;
        }
        at.bounds.push_back(end);
        at.rows.resize(end);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t v = codes[k];
            if (v != kNone && table[v].at != kNone) at.rows[table[v].at++] = rows[k];
        }
        for (std::size_t t = 0; t + 1 < at.bounds.size(); ++t)
            split(nodes, child, base, width, stride, at.rows.data() + at.bounds[t], at.bounds[t + 1] - at.bounds[t],
                  left, dedupe, depth + 1, scratch, pairs);
    }
}

inline std::uint64_t top_bit(std::uint64_t m) { return std::uint64_t{1} << (63 - std::countl_zero(m)); }

}  // namespace

std::vector<std::uint64_t> count_rule_pairs(const std::vector<const std::int64_t*>& keys, std::size_t n_left,
                                            std::size_t n_right, bool dedupe,
                                            const std::vector<std::uint64_t>& rule_masks) {
    const std::size_t n = dedupe ? n_left : n_left + n_right;
    const std::size_t n_keys = keys.size();
    const std::size_t rules = rule_masks.size();
    std::uint64_t used = 0;
    for (const std::uint64_t m : rule_masks) used |= m;

    // The column sets of every subset of rules (in the caller's column
    // numbering for now).
    std::vector<std::size_t> columns;
    for (std::size_t k = 0; k < n_keys; ++k)
        if (used >> k & 1) columns.push_back(k);
    std::vector<std::uint64_t> unions;
    for (std::uint64_t subset = 1; subset < (std::uint64_t{1} << rules); ++subset) {
        std::uint64_t m = 0;
        for (std::size_t r = 0; r < rules; ++r)
            if (subset >> r & 1) m |= rule_masks[r];
        unions.push_back(m);
    }
    std::sort(unions.begin(), unions.end());
    unions.erase(std::unique(unions.begin(), unions.end()), unions.end());

    // Columns no rule uses are only checked.
    for (std::size_t k = 0; k < n_keys; ++k) {
        if (used >> k & 1) continue;
        bool inside = true;
        for (std::size_t i = 0; i < n; ++i) inside &= keys[k][i] >= -1 && keys[k][i] < static_cast<std::int64_t>(n);
        if (!inside) check_codes(keys[k], k, n);
    }
    std::vector<Column> alone(columns.size());
    pool::for_each_row(columns.size(), [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t c) {
            alone[c] = count_column(keys[columns[c]], columns[c], n, n_left, dedupe);
        });
    });
    std::vector<std::size_t> order(columns.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return alone[a].pairs < alone[b].pairs; });
    std::vector<std::uint64_t> bit_of(n_keys, 0);  // caller's column -> its bit in the new order
    std::vector<std::uint64_t> order_bit(columns.size());  // counted column -> the same
    for (std::size_t b = 0; b < order.size(); ++b) {
        bit_of[columns[order[b]]] = std::uint64_t{1} << b;
        order_bit[order[b]] = std::uint64_t{1} << b;
    }
    auto renumbered = [&](std::uint64_t m) {
        std::uint64_t out = 0;
        for (std::size_t k = 0; k < n_keys; ++k)
            if (m >> k & 1) out |= bit_of[k];
        return out;
    };
    std::vector<std::uint64_t> masks(rules);
    for (std::size_t r = 0; r < rules; ++r) masks[r] = renumbered(rule_masks[r]);

    // The tree of sets: every union and every prefix of one.
    std::map<std::uint64_t, std::uint32_t> node_of;
    std::vector<Node> nodes;
    std::vector<Root> roots;
    auto add = [&](auto&& self, std::uint64_t m) -> std::uint32_t {
        const auto found = node_of.find(m);
        if (found != node_of.end()) return found->second;
        const std::uint64_t last = top_bit(m);
        std::uint32_t parent = kNone;
        if (m != last) parent = self(self, m & ~last);
        const auto id = static_cast<std::uint32_t>(nodes.size());
        nodes.emplace_back();
        nodes.back().set = m;
        node_of.emplace(m, id);
        if (parent != kNone) {
            nodes[parent].children.push_back(id);
        } else {
            roots.push_back(Root{order[static_cast<std::size_t>(std::countr_zero(m))], id, {}, {}});
        }
        return id;
    };
    for (const std::uint64_t m : unions) add(add, renumbered(m));
    // Each root's row columns: the other columns of the sets under it.
    std::vector<std::size_t> root_of(nodes.size(), 0);
    for (std::size_t r = 0; r < roots.size(); ++r) {
        std::vector<std::uint32_t> stack{roots[r].node};
        std::uint64_t below = 0;
        while (!stack.empty()) {
            const std::uint32_t v = stack.back();
            stack.pop_back();
            root_of[v] = r;
            below |= nodes[v].set;
            for (const std::uint32_t c : nodes[v].children) stack.push_back(c);
        }
        below &= ~nodes[roots[r].node].set;
        for (std::uint64_t m = below; m; m &= m - 1) {
            const auto b = static_cast<std::size_t>(std::countr_zero(m));
            roots[r].slots.push_back(order[b]);
        }
    }
    for (std::size_t v = nodes.size(); v-- > 0;) {
        for (const std::uint32_t c : nodes[v].children) {
            nodes[v].descendants.push_back(c);
            nodes[v].descendants.insert(nodes[v].descendants.end(), nodes[c].descendants.begin(),
                                        nodes[c].descendants.end());
        }
    }
    for (Node& v : nodes) {
        const std::vector<std::size_t>& slots = roots[root_of[&v - nodes.data()]].slots;
        if (slots.size() <= kMostPairedColumns)
            for (std::size_t q = 0; q < slots.size(); ++q)
                if (v.set & order_bit[slots[q]]) v.slots |= std::uint32_t{1} << q;
        // A group's pairs compared one by one cost about size / 2 row
        // comparisons per record; splitting it, a pass per set below.
        if (slots.size() <= kMostPairedColumns && !v.children.empty())
            v.by_pairs = static_cast<std::uint32_t>(kPairsPerSet * v.descendants.size() + 1);
        if (std::popcount(v.set) < 2) continue;
        const std::size_t column = order[static_cast<std::size_t>(63 - std::countl_zero(v.set))];
        v.slot = static_cast<std::uint32_t>(std::find(slots.begin(), slots.end(), column) - slots.begin());
    }

    // Each root's rows, in parallel: one pass over the records, each live
    // one appended to its bucket (few enough buckets that their ends stay
    // in cache, small enough that one bucket's rows do).
    constexpr std::size_t kBucketWords = 32768;
    pool::for_each_row(roots.size(), [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t r) {
            Root& root = roots[r];
            const std::size_t width = root.slots.size();
            if (width == 0) return;
            const Column& col = alone[root.column];
            const std::size_t groups = col.groups(), stride = width + 1;
            std::size_t want = (col.live * stride + kBucketWords - 1) / kBucketWords;
            want = std::min<std::size_t>(std::max<std::size_t>(want, 1), 512);
            while ((groups + (std::size_t{1} << root.shift) - 1) >> root.shift > want) ++root.shift;
            root.buckets = (groups + (std::size_t{1} << root.shift) - 1) >> root.shift;
            std::vector<std::uint32_t> next(root.buckets);
            for (std::size_t b = 0; b < root.buckets; ++b) next[b] = col.start[b << root.shift];
            root.rows.reset(new std::uint32_t[col.live * stride]);
            std::vector<const std::int64_t*> codes(width);
            for (std::size_t q = 0; q < width; ++q) codes[q] = alone[root.slots[q]].codes;
            const std::uint32_t* root_group = col.group.data();
            const std::int64_t* root_codes = col.codes;
            std::uint32_t* rows = root.rows.get();
            const unsigned shift = root.shift;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t g = root_group[root_codes[i] + 1];
                if (g == kNone) continue;
                std::uint32_t* row = rows + std::size_t{next[g >> shift]++} * stride;
                row[0] = g;
                // A missing code (-1) becomes kNone.
                for (std::size_t q = 0; q < width; ++q) row[q + 1] = static_cast<std::uint32_t>(codes[q][i]);
            }
        });
    });

    // The buckets sorted by group and split down the tree, in parallel;
    // each adds its pairs per set once done.
    struct Block {
        std::size_t root, bucket;
    };
    std::vector<Block> blocks;
    for (std::size_t r = 0; r < roots.size(); ++r)
        for (std::size_t b = 0; b < roots[r].buckets; ++b) blocks.push_back(Block{r, b});
    std::size_t most_codes = 0;  // the table of a split is indexed by a slot's codes
    for (const Root& root : roots)
        for (const std::size_t c : root.slots) most_codes = std::max(most_codes, alone[c].group.size());
    std::vector<std::atomic<std::uint64_t>> agree_of(nodes.size());
    for (auto& a : agree_of) a.store(0, std::memory_order_relaxed);
    pool::for_each_row(blocks.size(), [&](pool::RowCursor& cursor) {
        Scratch scratch(most_codes, nodes.size());
        std::vector<std::uint64_t> pairs(nodes.size(), 0);
        std::vector<std::uint32_t> all, sorted, next;
        cursor.run([&](std::size_t b) {
            const Block& block = blocks[b];
            const Root& root = roots[block.root];
            const Column& col = alone[root.column];
            const std::size_t width = root.slots.size(), stride = width + 1;
            const std::size_t padded = (width + 3) / 4 * 4;  // whole blocks of four codes
            const std::size_t lo = block.bucket << root.shift, hi = std::min(col.groups(), (block.bucket + 1) << root.shift);
            const std::size_t first = col.start[lo], size = col.start[hi] - first;
            // The bucket's rows in group order (record order within a group).
            sorted.assign(size * padded, kNone);
            next.resize(hi - lo);
            for (std::size_t g = lo; g < hi; ++g) next[g - lo] = col.start[g] - static_cast<std::uint32_t>(first);
            const std::uint32_t* from = root.rows.get() + first * stride;
            for (std::size_t k = 0; k < size; ++k, from += stride) {
                std::uint32_t* to = sorted.data() + std::size_t{next[from[0] - lo]++} * padded;
                for (std::size_t q = 0; q < width; ++q) to[q] = from[q + 1];
            }
            for (std::size_t g = lo; g < hi; ++g) {
                const std::size_t count = col.start[g + 1] - col.start[g];
                all.resize(count);
                std::iota(all.begin(), all.end(), std::uint32_t{0});
                split(nodes, root.node, sorted.data() + (col.start[g] - first) * padded, width, padded, all.data(),
                      count, dedupe ? 0 : col.left[g], dedupe, 0, scratch, pairs.data());
            }
        });
        for (std::size_t v = 0; v < nodes.size(); ++v)
            if (pairs[v]) agree_of[v].fetch_add(pairs[v], std::memory_order_relaxed);
        // The pairs compared one by one: those agreeing on a set below a
        // node are the tallies of the supersets of its columns.
        for (std::size_t v = 0; v < nodes.size(); ++v) {
            std::vector<std::uint64_t>& t = scratch.agreeing[v];
            if (t.empty()) continue;
            const std::size_t patterns = t.size() / 4;
            for (std::size_t k = 1; k < 4; ++k)
                for (std::size_t m = 0; m < patterns; ++m) t[m] += t[k * patterns + m];
            t.resize(patterns);
            for (std::size_t bit = 1; bit < t.size(); bit <<= 1)
                for (std::size_t m = 0; m < t.size(); ++m)
                    if (!(m & bit)) t[m] += t[m | bit];
            for (const std::uint32_t d : nodes[v].descendants)
                if (t[nodes[d].slots]) agree_of[d].fetch_add(t[nodes[d].slots], std::memory_order_relaxed);
        }
    });
    std::map<std::uint64_t, std::uint64_t> agree;  // column set -> pairs agreeing on it
    for (std::size_t v = 0; v < nodes.size(); ++v)
        agree[nodes[v].set] = std::popcount(nodes[v].set) == 1
                                  ? alone[order[static_cast<std::size_t>(std::countr_zero(nodes[v].set))]].pairs
                                  : agree_of[v].load(std::memory_order_relaxed);

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

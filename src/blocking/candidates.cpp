#include "blocking/candidates.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <type_traits>
#include <stdexcept>

#include "runtime/errors.hpp"
#include "runtime/pool.hpp"

namespace corvane::blocking {

std::string check_keys(const BlockingInput& in) {
    const auto limit = static_cast<std::int64_t>(in.n_left + in.n_right);
    for (std::size_t r = 0; r < in.rules.size(); ++r) {
        const RuleKeys& k = in.rules[r];
        if (k.window != 0 && (k.window < 3 || k.window % 2 == 0))
            return "rule " + std::to_string(r) + ": window " + std::to_string(k.window) + " is not an odd integer >= 3";
        for (int side = 0; side < 2; ++side) {
            const std::int64_t* keys = side ? k.right : k.left;
            const std::size_t n = side ? in.n_right : in.n_left;
            for (std::size_t i = 0; i < n; ++i)
                if (keys[i] < -1 || keys[i] >= limit)
                    return "rule " + std::to_string(r) + ": " + (side ? "right" : "left") + " key " +
                           std::to_string(i) + " is " + std::to_string(keys[i]) + ", outside [-1, " +
                           std::to_string(limit) + ")";
        }
    }
    return {};
}

namespace {

std::size_t code_count(const std::int64_t* keys, std::size_t n, std::size_t acc) {
    for (std::size_t i = 0; i < n; ++i)
        if (keys[i] >= 0 && static_cast<std::size_t>(keys[i]) >= acc) acc = static_cast<std::size_t>(keys[i]) + 1;
    return acc;
}

}  // namespace

template <class T>
void CandidateIndex::build_rule(const BlockingInput& in, std::size_t r) {
    Rule& rule = rules_[r];
    rule.keys = in.rules[r];
    const std::int64_t* L = rule.keys.left;
    const std::int64_t* R = in.dedupe ? L : rule.keys.right;
    const std::size_t nl = in.n_left, nr = in.dedupe ? in.n_left : in.n_right;
    std::size_t codes = code_count(L, nl, 0);
    if (!in.dedupe) codes = code_count(R, nr, codes);
    // Items are written with room for what the earlier rules test: item k
    // at packed[k * stride], the rest filled by pack_rule.
    const std::size_t stride = rule.stride = r + 1;
    auto items = [&](std::size_t n) {
        rule.count = n;
        if constexpr (sizeof(T) == sizeof(std::int32_t)) {
            rule.narrow_items.resize(n * stride);
            return rule.narrow_items.data();
        } else {
            rule.items.resize(n * stride);
            return rule.items.data();
        }
    };
    if (rule.keys.window == 0) {
        // Right records by code, ascending.
        T* starts = rule.starts.assign<T>(codes + 1, 0);
        for (std::size_t j = 0; j < nr; ++j)
            if (R[j] >= 0) ++starts[static_cast<std::size_t>(R[j]) + 1];
        for (std::size_t c = 0; c < codes; ++c) starts[c + 1] += starts[c];
        T* packed = items(static_cast<std::size_t>(starts[codes]));
        std::vector<T> next(starts, starts + codes);
        T* slot = in.dedupe ? rule.slot.assign<T>(nr, -1) : nullptr;
        for (std::size_t j = 0; j < nr; ++j) {
            if (R[j] < 0) continue;
            const T at = next[static_cast<std::size_t>(R[j])]++;
            packed[static_cast<std::size_t>(at) * stride] = static_cast<T>(j);
            if (slot) slot[j] = at;
        }
    } else {
        // Merged order: by rank, left before right, by position. Items
        // hold 2 * position + side (1: right).
        rule.half = rule.keys.window / 2;
        std::vector<T> next_l(codes, 0), next_r(codes, 0);  // counts first, then the next free places
        for (std::size_t i = 0; i < nl; ++i)
            if (L[i] >= 0) ++next_l[static_cast<std::size_t>(L[i])];
        if (!in.dedupe)
            for (std::size_t j = 0; j < nr; ++j)
                if (R[j] >= 0) ++next_r[static_cast<std::size_t>(R[j])];
        T at = 0;
        for (std::size_t c = 0; c < codes; ++c) {
            const T left = next_l[c], right = next_r[c];
            next_l[c] = at;
            next_r[c] = static_cast<T>(at + left);
            at = static_cast<T>(at + left + right);
        }
        T* packed = items(static_cast<std::size_t>(at));
        T* place_l = rule.place_l.assign<T>(nl, -1);
        for (std::size_t i = 0; i < nl; ++i) {
            if (L[i] < 0) continue;
            const T p = next_l[static_cast<std::size_t>(L[i])]++;
            packed[static_cast<std::size_t>(p) * stride] = static_cast<T>(2 * i);
            place_l[i] = p;
        }
        if (!in.dedupe) {
            T* place_r = rule.place_r.assign<T>(nr, -1);
            for (std::size_t j = 0; j < nr; ++j) {
                if (R[j] < 0) continue;
                const T p = next_r[static_cast<std::size_t>(R[j])]++;
                packed[static_cast<std::size_t>(p) * stride] = static_cast<T>(2 * j + 1);
                place_r[j] = p;
            }
        }
    }
}

template <class T>
void CandidateIndex::pack_rule(std::size_t r, T* packed) {
    const Rule& rule = rules_[r];
    const std::size_t stride = rule.stride;
    for (std::size_t k = 0; k < rule.count; ++k) {
        T* at = packed + k * stride;
        const auto item = static_cast<std::int64_t>(at[0]);
        std::size_t j;
        bool right;
        if (rule.keys.window == 0) {
            j = static_cast<std::size_t>(item), right = !in_.dedupe;
        } else {
            j = static_cast<std::size_t>(item >> 1), right = (item & 1) != 0;
        }
        for (std::size_t e = 0; e < r; ++e) at[1 + e] = static_cast<T>(test_value(rules_[e], j, right));
    }
}

CandidateIndex::CandidateIndex(const BlockingInput& in, bool own_keys) : in_(in) {
    // In 32 bits when every position, code and place fits (items of a
    // neighbourhood hold twice a position), from the start: no structure
    // is ever held in both widths. CORVANE_INDEX_BITS=64 keeps any index in
    // 64 bits, the layout of inputs past 2**30 records (for the tests).
    const char* bits = std::getenv("CORVANE_INDEX_BITS");
    narrow_ = 2 * (in.n_left + in.n_right) < (std::size_t{1} << 31) && !(bits && std::strcmp(bits, "64") == 0);
    const bool narrow = narrow_;
    rules_.resize(in.rules.size());
    // Each rule's index on its own, the rules in parallel.
    pool::for_each_row(in.rules.size(), [&](pool::RowCursor& cursor) { cursor.run([&](std::size_t r) {
        if (narrow)
            build_rule<std::int32_t>(in, r);
        else
            build_rule<std::int64_t>(in, r);
        Rule& rule = rules_[r];
        if (own_keys) {
            // Neighbourhoods test places, not keys: their keys are not kept.
            if (rule.keys.window == 0) {
                rule.left.copy(rule.keys.left, in.n_left, narrow);
                if (!in.dedupe) rule.right.copy(rule.keys.right, in.n_right, narrow);
            }
            rule.keys.left = rule.keys.right = nullptr;
        } else {
            rule.left.point(rule.keys.left);
            rule.right.point(rule.keys.right);
        }
    }); });
    for (RuleKeys& keys : in_.rules) keys.left = keys.right = nullptr;
    // Each rule's items carry, for their record, what the earlier rules
    // test (its code, or its place in a merged order), so checking whether
    // an earlier rule already holds reads the item, not a record's keys
    // elsewhere in memory. Rule r reads what the earlier rules built above
    // and writes only its own items.
    pool::for_each_row(rules_.size(), [&](pool::RowCursor& cursor) { cursor.run([&](std::size_t r) {
        if (narrow)
            pack_rule(r, rules_[r].narrow_items.data());
        else
            pack_rule(r, rules_[r].items.data());
    }); });
    sorted_output_ = rules_.size() == 1 && rules_[0].keys.window == 0;
}

std::int64_t CandidateIndex::test_value(const Rule& rule, std::size_t j, bool right) const noexcept {
    if (rule.keys.window == 0) return (right ? rule.right : rule.left)[j];
    return (right ? rule.place_r : rule.place_l)[j];
}

void CandidateIndex::prefetch(std::size_t i) const noexcept {
    const std::size_t far = i + kAhead, near = i + kAhead / 2;
    for (const Rule& rule : rules_) {
        const void* items = narrow_ ? static_cast<const void*>(rule.narrow_items.data())
                                    : static_cast<const void*>(rule.items.data());
        const std::size_t item_bytes = (narrow_ ? sizeof(std::int32_t) : sizeof(std::int64_t)) * rule.stride;
        std::int64_t at = -1;
        if (rule.keys.window == 0) {
            if (far < in_.n_left) {
                const std::int64_t c = rule.left[far];
                if (c >= 0 && static_cast<std::size_t>(c) + 1 < rule.starts.size())
                    __builtin_prefetch(rule.starts.address(static_cast<std::size_t>(c) + 1));
            }
            if (near < in_.n_left) {
                const std::int64_t c = rule.left[near];
                if (c >= 0 && static_cast<std::size_t>(c) + 1 < rule.starts.size())
                    at = in_.dedupe ? rule.slot[near] + 1 : rule.starts[static_cast<std::size_t>(c)];
            }
        } else if (near < in_.n_left && rule.place_l[near] >= 0) {
            at = std::max<std::int64_t>(0, rule.place_l[near] - rule.half);
        }
        if (at >= 0 && static_cast<std::size_t>(at) < rule.count)
            __builtin_prefetch(static_cast<const char*>(items) + static_cast<std::size_t>(at) * item_bytes);
    }
}

template <class F, class Room>
void CandidateIndex::each(std::size_t i, F&& f, Room&& room) const {
    const bool dedupe = in_.dedupe;
    // What each rule tests for record i: its code, or its place.
    constexpr std::size_t kMaxInline = 16;
    std::int64_t own_buf[kMaxInline];
    std::vector<std::int64_t> own_heap;
    std::int64_t* own = own_buf;
    if (rules_.size() > kMaxInline) {
        own_heap.resize(rules_.size());
        own = own_heap.data();
    }
    for (std::size_t r = 0; r < rules_.size(); ++r) own[r] = test_value(rules_[r], i, false);
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const Rule& rule = rules_[r];
        if (own[r] < 0) continue;
        const std::size_t stride = rule.stride;
        auto run = [&](const auto* items) {
        // Whether an earlier rule holds for the pair (i, item at k).
        // Without branches that depend on the pair (whether an earlier
        // rule holds is as good as random): a missing code of record i
        // never holds, a missing code of the other record is -1, which no
        // code nor place of record i equals or comes near as -1 < 0 <= mine.
        auto earlier = [&](const auto* at) {
            bool held = false;
            for (std::size_t e = 0; e < r; ++e) {
                const std::int64_t mine = own[e], theirs = at[1 + e];
                const std::int64_t gap = mine > theirs ? mine - theirs : theirs - mine;
                held |= (mine >= 0) & (theirs >= 0) & (gap <= rules_[e].half);
            }
            return held;
        };
        if (rule.keys.window == 0) {
            const auto cu = static_cast<std::size_t>(own[r]);
            if (cu + 1 >= rule.starts.size()) return;
            const std::int64_t from = dedupe ? rule.slot[i] + 1 : rule.starts[cu];
            const std::int64_t to = rule.starts[cu + 1];
            room(static_cast<std::size_t>(to - from));
            for (std::int64_t k = from; k < to; ++k) {
                const auto* at = items + static_cast<std::size_t>(k) * stride;
                f(r, static_cast<std::size_t>(at[0]), !earlier(at));
            }
        } else {
            const std::int64_t p = own[r];
            const auto size = static_cast<std::int64_t>(rule.count);
            const std::int64_t lo = std::max<std::int64_t>(0, p - rule.half);
            const std::int64_t hi = std::min<std::int64_t>(size - 1, p + rule.half);
            room(static_cast<std::size_t>(hi - lo));
            for (std::int64_t q = lo; q <= hi; ++q) {
                if (q == p) continue;
                const auto* at = items + static_cast<std::size_t>(q) * stride;
                const auto j = static_cast<std::size_t>(at[0] >> 1);
                if (dedupe ? j > i : (at[0] & 1) != 0) f(r, j, !earlier(at));
            }
        }
        };
        if (narrow_)
            run(rule.narrow_items.data());
        else
            run(rule.items.data());
    }
}

std::uint64_t CandidateIndex::count(std::size_t i, std::uint64_t* by_rule) const {
    std::uint64_t n = 0;
    each(
        i,
        [&](std::size_t r, std::size_t, bool keep) {
            by_rule[r] += keep;
            n += keep;
        },
        [](std::size_t) {});
    return n;
}

template <class T>
std::size_t CandidateIndex::fill(std::size_t i, PairBuffer<T>& buffer) const {
    const std::size_t first = buffer.size;
    T* out = buffer.data() + first;
    // Written in any case, kept by moving on (each rule makes room for all
    // its candidates, kept or not, before they come).
    each(
        i,
        [&](std::size_t, std::size_t j, bool keep) {
            *out = static_cast<T>(j);
            out += keep;
        },
        [&](std::size_t candidates) {
            buffer.size = static_cast<std::size_t>(out - buffer.data());
            out = buffer.room(candidates);
        });
    buffer.size = static_cast<std::size_t>(out - buffer.data());
    if (!sorted_output_) std::sort(buffer.data() + first, out);
    return buffer.size - first;
}

std::vector<std::int64_t> count_pairs(const CandidateIndex& index, std::size_t n_left,
                                      std::vector<std::uint64_t>& by_rule) {
    std::vector<std::int64_t> counts(n_left);
    std::vector<std::atomic<std::uint64_t>> totals(index.rules());
    // Rows, not fixed ranges: a record's pairs vary from none to thousands,
    // and the pool hands the rest of a busy range to an idle thread.
    pool::for_each_row(n_left, [&](pool::RowCursor& cursor) {
        std::vector<std::uint64_t> local(index.rules(), 0);
        cursor.run([&](std::size_t i) {
            index.prefetch(i);
            counts[i] = static_cast<std::int64_t>(index.count(i, local.data()));
        });
        for (std::size_t r = 0; r < local.size(); ++r) totals[r].fetch_add(local[r], std::memory_order_relaxed);
    });
    by_rule.assign(index.rules(), 0);
    for (std::size_t r = 0; r < by_rule.size(); ++r) by_rule[r] = totals[r].load();
    return counts;
}

template <class T>
void PairBuffer<T>::grow(std::size_t need) {
    constexpr std::size_t kFirst = std::size_t{64} << 10;
    std::size_t want = bytes_ ? 2 * bytes_ : kFirst;
    while (want < need) want *= 2;
    void* p = data_ ? mremap(data_, bytes_, want, MREMAP_MAYMOVE)
                    : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    bytes_ = want;
}

template <class T>
void PairBuffer<T>::release() noexcept {
    if (data_) munmap(data_, bytes_);
    data_ = nullptr, size = 0, bytes_ = 0;
}

template class PairBuffer<std::uint32_t>;
template class PairBuffer<std::int64_t>;

namespace {

// Blocks of the pair pass: a few per worker, so that a block of busy
// records does not leave the others idle.
constexpr std::size_t kBlocksPerWorker = 16;

// T: the type of a right position and of a record's count in the blocks'
// buffers (32 bits when the index is narrow).
template <class T>
PairArrays build_pairs_as(const CandidateIndex& index, std::size_t start, std::size_t stop) {
    const std::size_t n = stop - start;
    const std::size_t blocks = std::max<std::size_t>(1, std::min(n, kBlocksPerWorker * pool::worker_count()));
    const std::size_t per = n ? (n + blocks - 1) / blocks : 0;
    std::vector<PairBuffer<T>> buffers(blocks);
    std::unique_ptr<T[]> counts(new T[n ? n : 1]);
    // One pass: every block's pairs into its buffer.
    pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t b) {
            PairBuffer<T>& buffer = buffers[b];
            const std::size_t lo = std::min(n, b * per), hi = std::min(n, lo + per);
            for (std::size_t k = lo; k < hi; ++k) {
                index.prefetch(start + k);
                counts[k] = static_cast<T>(index.fill(start + k, buffer));
            }
        });
    });
    std::vector<std::size_t> at(blocks + 1, 0);
    for (std::size_t b = 0; b < blocks; ++b) at[b + 1] = at[b] + buffers[b].size;
    PairArrays out;
    out.size = at[blocks];
    out.left.reset(new std::int64_t[out.size ? out.size : 1]);
    out.right.reset(new std::int64_t[out.size ? out.size : 1]);
    // Each block to its place, its buffer freed once copied.
    pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t b) {
            PairBuffer<T>& buffer = buffers[b];
            std::int64_t* left = out.left.get() + at[b];
            std::int64_t* right = out.right.get() + at[b];
            for (std::size_t k = 0; k < buffer.size; ++k) right[k] = static_cast<std::int64_t>(buffer.data()[k]);
            const std::size_t lo = std::min(n, b * per), hi = std::min(n, lo + per);
            for (std::size_t k = lo; k < hi; ++k) {
                std::fill(left, left + counts[k], static_cast<std::int64_t>(start + k));
                left += counts[k];
            }
            buffer = PairBuffer<T>();
        });
    });
    return out;
}

}  // namespace

PairArrays build_pairs(const CandidateIndex& index, std::size_t start, std::size_t stop) {
    return index.narrow() ? build_pairs_as<std::uint32_t>(index, start, stop)
                          : build_pairs_as<std::int64_t>(index, start, stop);
}

std::vector<std::int64_t> combine_keys(const std::int64_t* keys, std::size_t n_columns, std::size_t n) {
    if (n_columns == 0) return std::vector<std::int64_t>(n, 0);
    std::vector<std::int64_t> out(keys, keys + n);
    // Column by column: (code so far, next code) -> a dense code, through an
    // open-addressing table keyed by the two codes packed in 64 bits (codes
    // are below 2**32), grown as codes come so that a table of few stays in
    // cache, each record's slot prefetched a few records ahead. One column
    // alone is renumbered the same way.
    struct Slot {
        std::uint64_t key;
        std::int64_t code;  // -1: empty
    };
    auto packed = [](std::int64_t a, std::int64_t b) {
        return (static_cast<std::uint64_t>(a) << 32) | static_cast<std::uint64_t>(b);
    };
    // Fibonacci hashing: the top bits of the product depend on every key bit.
    auto spot = [](std::uint64_t key, int bits) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    };
    std::vector<Slot> slots;
    for (std::size_t c = 1; c < std::max<std::size_t>(n_columns, 2); ++c) {
        const std::int64_t* next = c < n_columns ? keys + c * n : nullptr;
        int bits = 10;
        slots.assign(std::size_t{1} << bits, Slot{0, -1});
        std::int64_t fresh = 0;
        constexpr std::size_t ahead = 16;
        for (std::size_t i = 0; i < n; ++i) {
            if (i + ahead < n) {
                const std::int64_t a = out[i + ahead], b = next ? next[i + ahead] : 0;
                if (a >= 0 && b >= 0) __builtin_prefetch(&slots[spot(packed(a, b), bits)]);
            }
            const std::int64_t a = out[i];
            const std::int64_t b = next ? next[i] : 0;
            if (a < 0 || b < 0) {
                out[i] = -1;
                continue;
            }
            const std::uint64_t key = packed(a, b);
            const std::size_t mask = slots.size() - 1;
            std::size_t h = spot(key, bits);
            while (slots[h].code >= 0 && slots[h].key != key) h = (h + 1) & mask;
            if (slots[h].code < 0) {
                slots[h] = {key, fresh++};
                if (2 * static_cast<std::size_t>(fresh) > slots.size()) {
                    std::vector<Slot> old(2 * slots.size(), Slot{0, -1});
                    old.swap(slots);
                    ++bits;
                    for (const Slot& s : old) {
                        if (s.code < 0) continue;
                        std::size_t q = spot(s.key, bits);
                        while (slots[q].code >= 0) q = (q + 1) & (slots.size() - 1);
                        slots[q] = s;
                    }
                    out[i] = fresh - 1;
                    continue;
                }
            }
            out[i] = slots[h].code;
        }
    }
    return out;
}

std::uint64_t count_equal_pairs(const std::int64_t* left, std::size_t n_left, const std::int64_t* right,
                                std::size_t n_right, bool dedupe) {
    std::size_t codes = code_count(left, n_left, 0);
    if (!dedupe) codes = code_count(right, n_right, codes);
    std::vector<std::uint64_t> per_left(codes, 0), per_right(dedupe ? 0 : codes, 0);
    for (std::size_t i = 0; i < n_left; ++i)
        if (left[i] >= 0) ++per_left[static_cast<std::size_t>(left[i])];
    std::uint64_t total = 0;
    if (dedupe) {
        for (std::uint64_t k : per_left) total += k * (k - (k > 0)) / 2;
        return total;
    }
    for (std::size_t j = 0; j < n_right; ++j)
        if (right[j] >= 0) ++per_right[static_cast<std::size_t>(right[j])];
    for (std::size_t c = 0; c < codes; ++c) total += per_left[c] * per_right[c];
    return total;
}

}  // namespace corvane::blocking

#include "blocking/candidates.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <sys/mman.h>
#include <type_traits>
#include <stdexcept>

#include "runtime/errors.hpp"
#include "runtime/string_column.hpp"
#include "runtime/pool.hpp"

namespace corvane::blocking {

std::string check_keys(BlockingInput& in) {
    const auto limit = static_cast<std::int64_t>(in.n_left + in.n_right);
    for (std::size_t r = 0; r < in.rules.size(); ++r) {
        RuleKeys& k = in.rules[r];
        if (k.window != 0 && (k.window < 3 || k.window % 2 == 0))
            return "rule " + std::to_string(r) + ": window " + std::to_string(k.window) + " is not an odd integer >= 3";
        for (int side = 0; side < 2; ++side) {
            const std::int64_t* keys = side ? k.right : k.left;
            const std::size_t n = side ? in.n_right : in.n_left;
            if (side && keys == k.left && n == in.n_left) {  // one table: the same keys
                k.right_codes = k.left_codes;
                continue;
            }
            // The largest key and whether any is below -1, in one pass
            // without branches (four chains, so that each step need not
            // wait for the one before); the first key out of bounds looked
            // for only when there is one.
            std::int64_t top[4] = {-1, -1, -1, -1}, low[4] = {-1, -1, -1, -1};
            std::size_t i = 0;
            for (; i + 4 <= n; i += 4)
                for (int u = 0; u < 4; ++u) {
                    top[u] = std::max(top[u], keys[i + u]);
                    low[u] = std::min(low[u], keys[i + u]);
                }
            for (; i < n; ++i) top[0] = std::max(top[0], keys[i]), low[0] = std::min(low[0], keys[i]);
            const std::int64_t hi = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
            const std::int64_t lo = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
            if (lo < -1 || hi >= limit) {
                i = 0;
                while (keys[i] >= -1 && keys[i] < limit) ++i;
                return "rule " + std::to_string(r) + ": " + (side ? "right" : "left") + " key " + std::to_string(i) +
                       " is " + std::to_string(keys[i]) + ", outside [-1, " + std::to_string(limit) + ")";
            }
            (side ? k.right_codes : k.left_codes) = hi + 1;
        }
    }
    return {};
}

namespace {

// One past the largest code of keys (0 when every key is missing).
std::size_t code_count(const std::int64_t* keys, std::size_t n, std::size_t acc = 0) {
    std::int64_t top = -1;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, keys[i]);
    return std::max(acc, static_cast<std::size_t>(top + 1));
}

}  // namespace

// One rule of the index, every entry in T (std::int32_t when narrow).
template <class T>
struct RuleIndex {
    std::int64_t half = -1;  // window / 2; -1: an equality rule
    std::size_t count = 0;   // items
    std::vector<T> items;    // equality: positions grouped by code, ascending in each group;
                             // neighbourhood: the merged order (2 * position + side)
    std::vector<T> range;    // equality, deduplicating: per record, its candidates' items [from, to)
    std::vector<T> starts;   // equality, two tables: code c's items are [starts[c], starts[c + 1]), c < codes,
    std::size_t codes = 0;   // and one spare entry
    const std::int64_t* wide_keys = nullptr;  // the caller's left keys, or
    std::vector<T> keys;                      // the index's copy
    std::vector<T> place;    // neighbourhood: per left record, its place in the order (-1: missing)
};

// A rule's run of candidates for one record: an equality rule's items, or
// a neighbourhood's candidates sorted in the scratch.
struct CandidateRun {
    const void* data;
    std::size_t size;
    std::size_t rule;
    bool near;
};

// Per thread: where a record's runs of candidates are merged.
template <class P>
struct CandidateIndex::Scratch {
    std::vector<CandidateRun> runs;
    std::vector<P> merged[2];  // the union so far, alternately
    std::vector<P> near;       // the neighbourhoods' candidates, sorted, laid end to end
    std::vector<P> out;        // counting: the union of a record's runs
    std::vector<std::size_t> spans;  // a block of records: per rule, per record, [from, to) of its items
};

CandidateIndex::~CandidateIndex() = default;

template <class T>
void CandidateIndex::build(const BlockingInput& in, bool own_keys) {
    const std::size_t R = in.rules.size();
    const std::size_t nl = in.n_left, nr = in.dedupe ? in.n_left : in.n_right;
    std::vector<RuleIndex<T>>& rules = [&]() -> std::vector<RuleIndex<T>>& {
        if constexpr (sizeof(T) == sizeof(std::int32_t)) return thin_; else return wide_;
    }();
    rules.resize(R);
    // Each rule's index on its own, the rules in parallel.
    pool::for_each_row(R, [&](pool::RowCursor& cursor) { cursor.run([&](std::size_t r) {
        RuleIndex<T>& rule = rules[r];
        const RuleKeys& keys = in.rules[r];
        const std::int64_t* L = keys.left;
        const std::int64_t* Rk = in.dedupe ? L : keys.right;
        const std::size_t left_codes = keys.left_codes >= 0 ? static_cast<std::size_t>(keys.left_codes) : code_count(L, nl);
        const std::size_t right_codes = in.dedupe ? left_codes
                                        : keys.right_codes >= 0 ? static_cast<std::size_t>(keys.right_codes)
                                                                : code_count(Rk, nr);
        if (keys.window != 0) {
            // Merged order: by rank, left before right, by position.
            rule.half = keys.window / 2;
            const std::size_t codes = std::max(left_codes, right_codes);
            std::vector<T> next_l(codes, 0), next_r(in.dedupe ? 0 : codes, 0);  // counts, then the next free places
            for (std::size_t i = 0; i < nl; ++i)
                if (L[i] >= 0) ++next_l[static_cast<std::size_t>(L[i])];
            if (!in.dedupe)
                for (std::size_t j = 0; j < nr; ++j)
                    if (Rk[j] >= 0) ++next_r[static_cast<std::size_t>(Rk[j])];
            T at = 0;
            for (std::size_t c = 0; c < codes; ++c) {
                const T left = next_l[c], right = in.dedupe ? 0 : next_r[c];
                next_l[c] = at;
                if (!in.dedupe) next_r[c] = static_cast<T>(at + left);
                at = static_cast<T>(at + left + right);
            }
            rule.count = static_cast<std::size_t>(at);
            rule.items.resize(rule.count);
            rule.place.resize(nl);
            for (std::size_t i = 0; i < nl; ++i) {
                if (L[i] < 0) {
                    rule.place[i] = -1;
                    continue;
                }
                const T p = next_l[static_cast<std::size_t>(L[i])]++;
                rule.place[i] = p;
                rule.items[static_cast<std::size_t>(p)] = static_cast<T>(2 * i);
            }
            if (!in.dedupe)
                for (std::size_t j = 0; j < nr; ++j)
                    if (Rk[j] >= 0) rule.items[static_cast<std::size_t>(next_r[static_cast<std::size_t>(Rk[j])]++)] =
                                        static_cast<T>(2 * j + 1);
            return;
        }
        if (in.dedupe) {
            // Codes held by two records or more, each with [next free item
            // + 1, end of its items); the others (-1) pair with nothing and
            // have no items. The records go in backwards, so each group is
            // ascending and a record's candidates are the items after its own.
            const std::size_t codes = left_codes;
            std::vector<T> group(2 * codes, 0);
            for (std::size_t i = 0; i < nl; ++i)
                if (L[i] >= 0) ++group[2 * static_cast<std::size_t>(L[i]) + 1];
            T at = 0;
            for (std::size_t c = 0; c < codes; ++c) {
                const T size = group[2 * c + 1];
                if (size < 2) {
                    group[2 * c] = -1;
                    continue;
                }
                at = static_cast<T>(at + size);
                group[2 * c] = group[2 * c + 1] = at;
            }
            rule.count = static_cast<std::size_t>(at);
            rule.items.resize(rule.count);
            rule.range.resize(2 * nl);
            T* items = rule.items.data();
            T* range = rule.range.data();
            for (std::size_t i = nl; i-- > 0;) {
                range[2 * i] = range[2 * i + 1] = 0;
                if (L[i] < 0) continue;
                T* g = group.data() + 2 * static_cast<std::size_t>(L[i]);
                if (g[0] < 0) continue;
                const T k = --g[0];
                range[2 * i] = static_cast<T>(k + 1);
                range[2 * i + 1] = g[1];
                items[static_cast<std::size_t>(k)] = static_cast<T>(i);
            }
            return;
        }
        // Two tables: only codes on both sides pair, those below both
        // sides' ends. The right records of a code are ascending from
        // starts[code] to starts[code + 1]; the records go in backwards. A
        // left record finds its code's items by its key. One spare entry:
        // a record whose code is not there reads [starts[0], starts[1])
        // before it is told apart, in a table of no codes too.
        const std::size_t codes = rule.codes = std::min(left_codes, right_codes);
        rule.starts.assign(codes + 2, 0);
        T* starts = rule.starts.data();
        for (std::size_t j = 0; j < nr; ++j)
            if (static_cast<std::uint64_t>(Rk[j]) < codes) ++starts[static_cast<std::size_t>(Rk[j])];
        T at = 0;
        for (std::size_t c = 0; c < codes; ++c) starts[c] = at = static_cast<T>(at + starts[c]);
        starts[codes] = starts[codes + 1] = at;
        rule.count = static_cast<std::size_t>(at);
        rule.items.resize(rule.count);
        T* items = rule.items.data();
        for (std::size_t j = nr; j-- > 0;)
            if (static_cast<std::uint64_t>(Rk[j]) < codes)
                items[static_cast<std::size_t>(--starts[static_cast<std::size_t>(Rk[j])])] = static_cast<T>(j);
        if (own_keys) {
            rule.keys.resize(nl);
            for (std::size_t i = 0; i < nl; ++i) rule.keys[i] = static_cast<T>(L[i]);
        } else {
            rule.wide_keys = L;
        }
    }); });
}

CandidateIndex::CandidateIndex(const BlockingInput& in, bool own_keys) : in_(in), n_rules_(in.rules.size()) {
    // In 32 bits when every position, code and place fits (items of a
    // neighbourhood hold twice a position), from the start: no structure
    // is ever held in both widths. CORVANE_INDEX_BITS=64 keeps any index in
    // 64 bits, the layout of inputs past 2**30 records (for the tests).
    const char* bits = std::getenv("CORVANE_INDEX_BITS");
    narrow_ = 2 * (in.n_left + in.n_right) < (std::size_t{1} << 31) && !(bits && std::strcmp(bits, "64") == 0);
    if (narrow_)
        build<std::int32_t>(in, own_keys);
    else
        build<std::int64_t>(in, own_keys);
    if (narrow_)
        make_lookups<std::int32_t>();
    else
        make_lookups<std::int64_t>();
    for (RuleKeys& keys : in_.rules) keys.left = keys.right = nullptr;
}

// What a pass over the records reads of one rule, flat.
template <class T>
struct CandidateIndex::Lookup {
    enum Kind { kRange, kWideKeys, kKeys, kNear } kind;
    const T* items;
    const T* table;  // kRange: per record [from, to); kWideKeys, kKeys: code starts; kNear: places
    const void* keys;
    std::uint64_t codes;
    std::int64_t half, count;
    std::size_t rule;
};

template <class T>
void CandidateIndex::make_lookups() {
    auto& rules = [&]() -> std::vector<RuleIndex<T>>& {
        if constexpr (sizeof(T) == sizeof(std::int32_t)) return thin_; else return wide_;
    }();
    auto& lookups = [&]() -> std::vector<Lookup<T>>& {
        if constexpr (sizeof(T) == sizeof(std::int32_t)) return thin_lookups_; else return wide_lookups_;
    }();
    for (std::size_t r = 0; r < rules.size(); ++r) {
        const RuleIndex<T>& rule = rules[r];
        Lookup<T> l{};
        l.items = rule.items.data(), l.rule = r, l.half = rule.half, l.count = static_cast<std::int64_t>(rule.count);
        if (rule.half >= 0) {
            l.kind = Lookup<T>::kNear, l.table = rule.place.data();
        } else if (in_.dedupe) {
            l.kind = Lookup<T>::kRange, l.table = rule.range.data();
        } else {
            l.kind = rule.wide_keys ? Lookup<T>::kWideKeys : Lookup<T>::kKeys;
            l.table = rule.starts.data(), l.codes = rule.codes;
            l.keys = rule.wide_keys ? static_cast<const void*>(rule.wide_keys) : static_cast<const void*>(rule.keys.data());
        }
        lookups.push_back(l);
    }
}

namespace {

// The union of two ascending runs without repeats, into out (room for
// na + nb); returns its size, and in `common` how many values of b a holds.
// Without branches that depend on the values (which run has the next one
// is as good as random).
template <class P, class Q>
std::size_t merge_union(const P* a, std::size_t na, const Q* b, std::size_t nb, P* out, std::size_t& common) {
    std::size_t i = 0, j = 0, k = 0, same = 0;
    while (i < na && j < nb) {
        const P x = a[i], y = static_cast<P>(b[j]);
        out[k++] = x < y ? x : y;
        i += x <= y;
        j += y <= x;
        same += x == y;
    }
    for (; i < na; ++i) out[k++] = a[i];
    for (; j < nb; ++j) out[k++] = static_cast<P>(b[j]);
    common = same;
    return k;
}

template <class T>
void insertion_sort(T* first, T* last) {
    for (T* p = first + 1; p < last; ++p) {
        const T v = *p;
        T* q = p;
        for (; q > first && q[-1] > v; --q) *q = q[-1];
        *q = v;
    }
}

// A neighbourhood's candidates of left record i, sorted, into
// scratch.near from `near` on (grown as needed); returns how many.
template <class T, class P, class L>
[[gnu::noinline]] std::size_t near_run(const L& l, std::size_t i, bool dedupe, std::vector<P>& scratch, std::size_t near) {
    const std::int64_t p = l.table[i];
    if (p < 0) return 0;
    const std::int64_t lo = std::max<std::int64_t>(0, p - l.half);
    const std::int64_t hi = std::min<std::int64_t>(l.count, p + l.half + 1);
    if (scratch.size() < near + static_cast<std::size_t>(hi - lo)) scratch.resize(2 * (near + static_cast<std::size_t>(hi - lo)));
    P* out = scratch.data() + near;
    std::size_t n = 0;
    for (std::int64_t q = lo; q < hi; ++q) {
        const T item = l.items[q];
        const auto j = static_cast<std::size_t>(item >> 1);
        // Deduplicating: the later records; linking: the right ones.
        out[n] = static_cast<P>(j);
        n += dedupe ? j > i : (item & 1) != 0;
    }
    if (n <= 32)
        insertion_sort(out, out + n);
    else
        std::sort(out, out + n);
    return n;
}

}  // namespace

// The union of the m runs walk found (total values), ascending, each
// once, merged in rule order into the room room(total) gives. by_rule[r]
// (when given) gets the candidates rule r adds to the rules before it.
// Returns how many.
template <class T, class P, class Room>
std::size_t CandidateIndex::unite(Scratch<P>& scratch, std::size_t m, std::size_t total, Room&& room,
                                  std::uint64_t* by_rule) const {
    CandidateRun* runs = scratch.runs.data();
    for (std::size_t k = 0; k < m; ++k)
        if (runs[k].near) runs[k].data = scratch.near.data() + reinterpret_cast<std::uintptr_t>(runs[k].data);
    P* out = room(total);
    // f(values) of a run, typed.
    auto with = [&](const CandidateRun& run, auto&& f) {
        if (run.near)
            f(static_cast<const P*>(run.data));
        else
            f(static_cast<const T*>(run.data));
    };
    if (by_rule) by_rule[runs[0].rule] += runs[0].size;
    if (m == 1) {
        with(runs[0], [&](const auto* v) {
            for (std::size_t k = 0; k < runs[0].size; ++k) out[k] = static_cast<P>(v[k]);
        });
        return runs[0].size;
    }
    // Run by run, the union so far and the next run into the other scratch
    // buffer, the last merge into the room.
    for (auto& buffer : scratch.merged)
        if (buffer.size() < total) buffer.resize(2 * total);
    const P* so_far = nullptr;
    with(runs[0], [&](const auto* v) {
        if constexpr (std::is_same_v<std::remove_cv_t<std::remove_pointer_t<decltype(v)>>, P>) {
            so_far = v;
        } else {
            P* to = scratch.merged[0].data();
            for (std::size_t k = 0; k < runs[0].size; ++k) to[k] = static_cast<P>(v[k]);
            so_far = to;
        }
    });
    std::size_t size = runs[0].size;
    for (std::size_t k = 1; k < m; ++k) {
        P* to = k + 1 == m ? out : scratch.merged[k & 1].data();
        std::size_t common = 0;
        with(runs[k], [&](const auto* v) { size = merge_union(so_far, size, v, runs[k].size, to, common); });
        if (by_rule) by_rule[runs[k].rule] += runs[k].size - common;
        so_far = to;
    }
    return size;
}

template <class P>
void CandidateIndex::prepare(Scratch<P>& scratch) const {
    scratch.runs.resize(n_rules_);
}

// The candidates of left records [lo, hi), record by record: each
// record's runs (an equality rule's items, ascending; a neighbourhood's
// candidates, sorted) merged by unite into room(k), then done(k, pairs)
// for record lo + k.
template <class T, class P, class Room, class Done>
void CandidateIndex::walk(const std::vector<Lookup<T>>& lookups, std::size_t lo, std::size_t hi, Scratch<P>& scratch,
                          Room&& room, Done&& done, std::uint64_t* by_rule) const {
    const std::size_t n = hi - lo, R = lookups.size();
    if (scratch.spans.size() < 2 * R * n) scratch.spans.resize(2 * R * n);
    // Rule by rule, each record's span of items, in loops without branches
    // on the data: the empty span [0, 0) where there are none.
    for (std::size_t r = 0; r < R; ++r) {
        const Lookup<T>& l = lookups[r];
        std::size_t* span = scratch.spans.data() + 2 * r * n;
        switch (l.kind) {
            case Lookup<T>::kRange:
                for (std::size_t k = 0; k < n; ++k) {
                    span[2 * k] = static_cast<std::size_t>(l.table[2 * (lo + k)]);
                    span[2 * k + 1] = static_cast<std::size_t>(l.table[2 * (lo + k) + 1]);
                }
                break;
            case Lookup<T>::kWideKeys:
            case Lookup<T>::kKeys:
                for (std::size_t k = 0; k < n; ++k) {
                    const auto c = l.kind == Lookup<T>::kWideKeys
                                       ? static_cast<std::uint64_t>(static_cast<const std::int64_t*>(l.keys)[lo + k])
                                       : static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<const T*>(l.keys)[lo + k]));
                    const bool known = c < l.codes;
                    const std::size_t at = known ? static_cast<std::size_t>(c) : 0;
                    const auto from = static_cast<std::size_t>(l.table[at]), to = static_cast<std::size_t>(l.table[at + 1]);
                    span[2 * k] = from;
                    span[2 * k + 1] = known ? to : from;
                }
                break;
            default:
                break;
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = lo + k;
        CandidateRun* runs = scratch.runs.data();
        std::size_t m = 0, total = 0, near = 0;
        for (std::size_t r = 0; r < R; ++r) {
            const Lookup<T>& l = lookups[r];
            if (l.kind == Lookup<T>::kNear) {
                const std::size_t c = near_run<T>(l, i, in_.dedupe, scratch.near, near);
                if (c == 0) continue;
                runs[m++] = CandidateRun{reinterpret_cast<const void*>(near), c, r, true};
                near += c, total += c;
                continue;
            }
            const std::size_t* span = scratch.spans.data() + 2 * (r * n + k);
            if (span[0] >= span[1]) continue;
            runs[m++] = CandidateRun{l.items + span[0], span[1] - span[0], r, false};
            total += span[1] - span[0];
        }
        done(k, m ? unite<T>(scratch, m, total, room, by_rule) : 0);
    }
}

template <class P>
void CandidateIndex::fill_block(std::size_t lo, std::size_t hi, PairBuffer<P>& buffer, P* counts,
                                Scratch<P>& scratch) const {
    auto room = [&](std::size_t c) { return buffer.room(c); };
    auto done = [&](std::size_t k, std::size_t pairs) {
        buffer.size += pairs;
        counts[k] = static_cast<P>(pairs);
    };
    if constexpr (sizeof(P) == sizeof(std::int32_t))
        walk(thin_lookups_, lo, hi, scratch, room, done, nullptr);
    else
        walk(wide_lookups_, lo, hi, scratch, room, done, nullptr);
}

void CandidateIndex::count_block(std::size_t lo, std::size_t hi, std::int64_t* counts, std::uint64_t* by_rule,
                                 Scratch<std::int64_t>& scratch) const {
    auto room = [&](std::size_t c) {
        if (scratch.out.size() < c) scratch.out.resize(2 * c);
        return scratch.out.data();
    };
    auto done = [&](std::size_t k, std::size_t pairs) { counts[k] = static_cast<std::int64_t>(pairs); };
    if (narrow_)
        walk(thin_lookups_, lo, hi, scratch, room, done, by_rule);
    else
        walk(wide_lookups_, lo, hi, scratch, room, done, by_rule);
}



std::vector<std::int64_t> count_pairs(const CandidateIndex& index, std::size_t n_left,
                                      std::vector<std::uint64_t>& by_rule) {
    std::vector<std::int64_t> counts(n_left);
    std::vector<std::atomic<std::uint64_t>> totals(index.rules());
    // Blocks of records as rows, not fixed ranges: a record's pairs vary from
    // none to thousands, and the pool hands the rest of a busy range to an
    // idle thread.
    constexpr std::size_t kBlock = 256;
    pool::for_each_row((n_left + kBlock - 1) / kBlock, [&](pool::RowCursor& cursor) {
        std::vector<std::uint64_t> local(index.rules(), 0);
        CandidateIndex::Scratch<std::int64_t> scratch;
        index.prepare(scratch);
        cursor.run([&](std::size_t b) {
            const std::size_t lo = b * kBlock;
            index.count_block(lo, std::min(n_left, lo + kBlock), counts.data() + lo, local.data(), scratch);
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
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    std::size_t want = bytes_ ? 2 * bytes_ : kFirst;
    while (want < need) want *= 2;
    void* p;
    if (want < kHuge) {
        p = data_ ? mremap(data_, bytes_, want, MREMAP_MAYMOVE)
                  : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
    } else {
        // A fresh mapping (the kernel places one this large on a huge-page
        // boundary) in huge pages, the pages written so far moved to its
        // start rather than copied: a large buffer takes few page faults.
        p = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        madvise(p, want, MADV_HUGEPAGE);  // a hint: failure changes nothing
        if (data_ && mremap(data_, bytes_, bytes_, MREMAP_MAYMOVE | MREMAP_FIXED, p) == MAP_FAILED) {
            munmap(p, want);
            throw std::bad_alloc();
        }
    }
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

// T: the type of a right position and of a record's count in the pass's
// buffers (32 bits when the index is narrow).
template <class T>
PairArrays build_pairs_as(const CandidateIndex& index, std::size_t start, std::size_t stop) {
    const std::size_t n = stop - start;
    // One pass: each run of records a thread takes (one run per thread,
    // unless the pool splits a busy run for an idle thread) writes its pairs
    // to a buffer of its own, then the runs are copied to their places.
    struct Run {
        std::size_t lo = 0, hi = 0;  // records [lo, hi) of the range
        PairBuffer<T> buffer;
    };
    std::vector<Run> runs;
    std::mutex runs_lock;
    std::unique_ptr<T[]> counts(new T[n ? n : 1]);
    // Records in blocks of kBlock, each rule's spans of a block looked up
    // in one loop.
    constexpr std::size_t kBlock = 256;
    pool::for_each_row((n + kBlock - 1) / kBlock, [&](pool::RowCursor& cursor) {
        Run run;
        run.lo = cursor.position() * kBlock;
        CandidateIndex::Scratch<T> scratch;
        index.prepare(scratch);
        cursor.run([&](std::size_t b) {
            const std::size_t k = b * kBlock;
            index.fill_block(start + k, start + std::min(n, k + kBlock), run.buffer, counts.get() + k, scratch);
        });
        run.hi = std::min(n, cursor.position() * kBlock);
        if (run.hi == run.lo) return;
        std::lock_guard<std::mutex> hold(runs_lock);
        runs.push_back(std::move(run));
    });
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.lo < b.lo; });
    std::vector<std::size_t> at(runs.size() + 1, 0);
    for (std::size_t b = 0; b < runs.size(); ++b) at[b + 1] = at[b] + runs[b].buffer.size;
    PairArrays out;
    out.size = at[runs.size()];
    out.left.grow(out.size ? out.size : 1, 0);
    out.right.grow(out.size ? out.size : 1, 0);
    // Each run to its place in parts, its buffer freed once copied.
    constexpr std::size_t kPart = std::size_t{1} << 14;  // records
    std::vector<std::size_t> parts(runs.size() + 1, 0);  // runs[b] is parts [parts[b], parts[b + 1])
    for (std::size_t b = 0; b < runs.size(); ++b) parts[b + 1] = parts[b] + (runs[b].hi - runs[b].lo + kPart - 1) / kPart;
    std::vector<std::size_t> part_at(parts.back() + 1, out.size);  // pairs before each part, then all
    for (std::size_t b = 0, q = 0; b < runs.size(); ++b) {
        std::size_t pairs = at[b];
        for (std::size_t k = runs[b].lo; k < runs[b].hi; k += kPart, ++q) {
            part_at[q] = pairs;
            const std::size_t end = std::min(runs[b].hi, k + kPart);
            for (std::size_t m = k; m < end; ++m) pairs += static_cast<std::size_t>(counts[m]);
        }
    }
    std::vector<std::atomic<std::size_t>> left_parts(runs.size());
    for (std::size_t b = 0; b < runs.size(); ++b) left_parts[b].store(parts[b + 1] - parts[b]);
    pool::for_each_row(parts.back(), [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t q) {
            const std::size_t b = static_cast<std::size_t>(
                std::upper_bound(parts.begin(), parts.end(), q) - parts.begin() - 1);
            Run& run = runs[b];
            const std::size_t lo = run.lo + (q - parts[b]) * kPart, hi = std::min(run.hi, lo + kPart);
            const std::size_t first = part_at[q];
            const T* from = run.buffer.data() + (first - at[b]);
            std::int64_t* left = out.left.get() + first;
            std::int64_t* right = out.right.get() + first;
            // A record's few left positions as four stores whatever their
            // number while four more fit in the part: what spills past a
            // record is written over by the records after it.
            const std::size_t part_size = part_at[q + 1] - first;
            std::size_t total = 0;
            for (std::size_t k = lo; k < hi; ++k) {
                const auto c = static_cast<std::size_t>(counts[k]);
                const auto v = static_cast<std::int64_t>(start + k);
                if (c <= 4 && total + 4 <= part_size) {
                    left[total] = v, left[total + 1] = v, left[total + 2] = v, left[total + 3] = v;
                } else {
                    for (std::size_t m = 0; m < c; ++m) left[total + m] = v;
                }
                total += c;
            }
            for (std::size_t k = 0; k < total; ++k) right[k] = static_cast<std::int64_t>(from[k]);
            if (left_parts[b].fetch_sub(1) == 1) run.buffer = PairBuffer<T>();
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

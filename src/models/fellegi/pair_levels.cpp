#include "models/fellegi/pair_levels.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include <emmintrin.h>

#include "runtime/pool.hpp"
#include "similarity/columns.hpp"
#include "similarity/kernels.hpp"
#include "similarity/utf8.hpp"

namespace corvane::fellegi {

namespace {

// Pairs of one block: a worker decides what the bound can among them, then
// fetches and scores the rest, before taking the next block.
constexpr std::size_t kBlock = 512;
// Pairs scored at once by the column routines for the other metrics.
constexpr std::size_t kChunk = std::size_t{1} << 17;
// Records are summed up once each (rather than per pair) when they number
// at most this many times the pairs.
constexpr std::size_t kSummaryShare = 4;
// Positions ahead whose summary is fetched early.
constexpr std::size_t kAhead = 16;

// A string's character counts in 30 buckets, four bits each (saturating
// at 15), and its length in characters (saturating at 255, where no bound
// is taken): 16 bytes, so the summaries of a column of short strings take
// about the room of its strings and stay in cache as well.
constexpr std::size_t kBuckets = 30;
constexpr std::uint8_t kLongest = 255;
struct alignas(16) Summary {
    std::uint8_t counts[kBuckets / 2];  // bucket 2k in the low four bits of byte k, 2k + 1 in the high ones
    std::uint8_t length;
};
static_assert(sizeof(Summary) == 16);

// Digits apart (dates, ids and postcodes are all digits), letters without
// case in 20 buckets, everything else among the letters: any function of
// the character keeps the bounds sound.
constexpr unsigned bucket(std::uint32_t c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return 10 + (c - 'a') % 20;
    if (c >= 'A' && c <= 'Z') return 10 + (c - 'A') % 20;
    return 10 + c % 20;
}

struct BucketTable {
    std::uint8_t of[128];
    constexpr BucketTable() : of() {
        for (std::uint32_t c = 0; c < 128; ++c) of[c] = static_cast<std::uint8_t>(bucket(c));
    }
};
constexpr BucketTable kAscii;

void summarise(std::string_view s, Summary& out) noexcept {
    std::uint8_t counts[kBuckets] = {};
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    const auto add = [&](unsigned b) { counts[b] = static_cast<std::uint8_t>(counts[b] + (counts[b] != 15)); };
    std::size_t length = 0;
    if (utf8::is_ascii(s)) {
        for (std::size_t i = 0; i < n; ++i) add(kAscii.of[p[i]]);
        length = n;
    } else {
        // The characters utf8::decode gives, as the kernels see them.
        std::size_t i = 0;
        while (i < n) {
            if (utf8::is_continuation(p[i])) {
                ++i;
                continue;
            }
            const std::uint32_t c = utf8::next(p, n, i);
            add(c < 128 ? kAscii.of[c] : bucket(c));
            ++length;
        }
    }
    for (std::size_t k = 0; k < kBuckets / 2; ++k)
        out.counts[k] = static_cast<std::uint8_t>(counts[2 * k] | (counts[2 * k + 1] << 4));
    out.length = static_cast<std::uint8_t>(length < kLongest ? length : kLongest);
}

// Characters of a missing from b and of b missing from a, counted by bucket.
inline void missing_counts(const Summary& a, const Summary& b, std::uint64_t& a_not_b, std::uint64_t& b_not_a) {
    const __m128i low = _mm_set_epi8(0, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15);  // not the length
    const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(&a));
    const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(&b));
    const __m128i xl = _mm_and_si128(x, low), yl = _mm_and_si128(y, low);
    const __m128i xh = _mm_and_si128(_mm_srli_epi16(x, 4), low), yh = _mm_and_si128(_mm_srli_epi16(y, 4), low);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ab = _mm_add_epi64(_mm_sad_epu8(_mm_subs_epu8(xl, yl), zero), _mm_sad_epu8(_mm_subs_epu8(xh, yh), zero));
    const __m128i ba = _mm_add_epi64(_mm_sad_epu8(_mm_subs_epu8(yl, xl), zero), _mm_sad_epu8(_mm_subs_epu8(yh, xh), zero));
    a_not_b = static_cast<std::uint64_t>(_mm_cvtsi128_si64(ab)) +
              static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(ab, ab)));
    b_not_a = static_cast<std::uint64_t>(_mm_cvtsi128_si64(ba)) +
              static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(ba, ba)));
}

// The kernel's similarity of an edit distance d between strings whose
// longer one has `longest` characters: 1 - d / longest in binary64.
inline double edit_similarity(std::uint64_t d, std::uint64_t longest) {
    return 1.0 - static_cast<double>(d) / static_cast<double>(longest);
}

// What the summaries decide for one comparison, prepared once so a pair
// costs a few integer operations (and, for Jaro-Winkler, one division).
class Decider {
public:
    Decider(Bound bound, const LevelCut& cut) : bound_(bound), cut_(cut) {
        if (bound == Bound::kExact) zero_level_ = level_of(0.0, cut);
        if (bound == Bound::kEditDistance) {
            // The largest distance still above "else" for each longer length
            // (-1: none), found with the kernel's own similarity: the
            // similarity falls as the distance grows, in binary64 too, so a
            // lower bound past it puts the pair at "else".
            for (std::uint64_t longest = 1; longest < kLongest; ++longest) {
                int last = -1;
                for (std::uint64_t d = 0; d <= longest; ++d)
                    if (level_of(edit_similarity(d, longest), cut) < cut.count) last = static_cast<int>(d);
                farthest_[longest] = static_cast<std::int16_t>(last);
            }
        }
        if (cut.count) lowest_ = cut.thresholds[cut.count - 1];
    }

    // True when the summaries decide the pair's level, then written to level:
    // an edit distance or Jaro-Winkler surely below the lowest threshold (the
    // "else" level), or an exact match that surely fails (the level of 0.0).
    bool operator()(const Summary& a, const Summary& b, unsigned& level) const {
        std::uint64_t a_not_b, b_not_a;
        missing_counts(a, b, a_not_b, b_not_a);
        if (bound_ == Bound::kExact) {
            if (a.length == b.length && a_not_b == 0 && b_not_a == 0) return false;
            level = zero_level_;
            return true;
        }
        level = static_cast<unsigned>(cut_.count);
        if (cut_.count == 0) return true;  // one level for every score
        if (a.length == kLongest || b.length == kLongest) return false;
        const std::uint64_t la = a.length, lb = b.length;
        if (bound_ == Bound::kEditDistance) {
            const std::uint64_t longest = std::max(la, lb);
            if (longest == 0) return false;
            const std::uint64_t lower = std::max({la > lb ? la - lb : lb - la, a_not_b, b_not_a});
            return static_cast<std::int64_t>(lower) > farthest_[longest];
        }
        if (la == 0 || lb == 0) return false;  // the kernel answers these at once
        // Jaro with m matched characters and t transpositions is (m / la +
        // m / lb + (m - t / 2) / m) / 3, at most (M / la + M / lb + 1) / 3
        // for the matched characters' bound M; the kernel's roundings add
        // far less than the margin.
        const std::uint64_t matched = std::min(la - std::min(a_not_b, la), lb - std::min(b_not_a, lb));
        double s = 0.0;
        if (matched > 0)
            s = static_cast<double>(matched * (la + lb) + la * lb) / static_cast<double>(3 * la * lb);
        // The prefix bonus (at most 4 characters of 0.1) applies above 0.7.
        if (s + kMargin <= 0.7) return s + kMargin < lowest_;
        return s + (1.0 - s) * 0.41 + 1e-9 < lowest_;
    }

private:
    static constexpr double kMargin = 1e-12;
    Bound bound_;
    LevelCut cut_;
    unsigned zero_level_ = 0;
    double lowest_ = 0.0;
    std::int16_t farthest_[kLongest] = {};
};

// The summaries of a column's records, computed once on the pool.
std::unique_ptr<Summary[]> summaries_of(const StringColumn& column) {
    std::unique_ptr<Summary[]> out(new Summary[column.size()]);
    Summary* dst = out.get();
    pool::for_each_range(column.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t r = lo; r < hi; ++r) summarise(column[r], dst[r]);
    });
    return out;
}

// Fetches the offsets of record r ahead of its reading.
inline void prefetch_record(const StringColumn& column, std::size_t r) noexcept {
    const auto& runs = column.runs();
    if (runs.size() != 1) return;
    const StringRun& run = runs[0];
    if (run.layout == StringRun::Layout::kOffsets32)
        __builtin_prefetch(static_cast<const std::int32_t*>(run.offsets) + r);
    else if (run.layout == StringRun::Layout::kOffsets64)
        __builtin_prefetch(static_cast<const std::int64_t*>(run.offsets) + r);
}

// A block's surviving pairs as a column of strings for the column routines.
class ViewColumn {
public:
    ViewColumn(const std::string_view* views, std::size_t n) noexcept : views_(views), n_(n) {}
    std::size_t size() const noexcept { return n_; }
    std::string_view operator[](std::size_t p) const noexcept { return views_[p]; }

private:
    const std::string_view* views_;
    std::size_t n_;
};

// A bounded comparison with the summaries of its records, where they were
// computed ahead (null: each pair's strings are summed up as it comes).
struct Bounded {
    std::size_t k;
    const LevelComparison* level;
    bool summed = false;
    const Summary* left = nullptr;
    const Summary* right = nullptr;
};

// One comparison at a time, as the bounded ones go (see pair_levels).
void other_levels(const LevelComparison& c, const gather::Pairs& pairs, std::uint8_t* out) {
    if (pairs.n == 0) return;
    const std::vector<gather::Comparison> plain{c.compare};
    const std::size_t chunk = std::min(kChunk, pairs.n);
    std::unique_ptr<double[]> scores(new double[chunk]);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t lo = 0; lo < pairs.n; lo += chunk) {
        const std::size_t m = std::min(chunk, pairs.n - lo);
        gather::score_pairs(plain, gather::Pairs{pairs.left + lo, pairs.right + lo, m}, nan, scores.get());
        const double* row = scores.get();
        std::uint8_t* dst = out + lo;
        for (std::size_t p = 0; p < m; ++p) dst[p] = static_cast<std::uint8_t>(level_of(row[p], c.cut));
    }
}

}  // namespace

Bound bound_of(similarity::PairKernel kernel) noexcept {
    if (kernel == &similarity::levenshtein_similarity || kernel == &similarity::damerau_levenshtein_similarity)
        return Bound::kEditDistance;
    if (kernel == &similarity::jaro_winkler_similarity) return Bound::kJaroWinkler;
    if (kernel == &similarity::exact_match) return Bound::kExact;
    return Bound::kNone;
}

std::vector<LevelStats> pair_levels(const std::vector<LevelComparison>& comparisons, const gather::Pairs& pairs,
                                    std::uint8_t* out) {
    const std::size_t n = pairs.n;
    std::vector<LevelStats> stats(comparisons.size());
    std::vector<std::size_t> others;
    std::vector<Bounded> bounded;
    // Summaries of each column, made before the first comparison that reads
    // it and dropped after the last.
    std::map<const StringColumn*, std::unique_ptr<Summary[]>> summaries;
    std::map<const StringColumn*, std::size_t> uses;
    const auto summary_of = [&](const StringColumn* column) -> const Summary* {
        auto& slot = summaries[column];
        if (!slot) slot = summaries_of(*column);
        return slot.get();
    };
    const auto done_with = [&](const StringColumn* column) {
        if (--uses[column] == 0) summaries.erase(column);
    };
    for (std::size_t k = 0; k < comparisons.size(); ++k) {
        const LevelComparison& c = comparisons[k];
        // The bounds of the edit distances and Jaro-Winkler are upper bounds
        // of similarities: a cut that counts distances is left to the kernel.
        if (c.bound == Bound::kNone || c.compare.numeric_kernel != nullptr ||
            (c.cut.distance && c.bound != Bound::kExact)) {
            others.push_back(k);
            continue;
        }
        Bounded b{k, &c, c.compare.left.records + c.compare.right.records <= kSummaryShare * n};
        if (b.summed) {
            ++uses[c.compare.left.strings];
            ++uses[c.compare.right.strings];
        }
        bounded.push_back(b);
    }
    for (std::size_t k : others) {
        other_levels(comparisons[k], pairs, out + k * n);
        stats[k].scored = n;
    }
    if (bounded.empty() || n == 0) return stats;

    // One comparison at a time over all the pairs: its columns (and their
    // summaries) stay in cache, where interleaving every comparison per
    // block would make them compete for it.
    for (Bounded& b : bounded) {
        // Fewer pairs per row when the strings are long: the calling thread
        // runs signal handlers between rows.
        const gather::Side& sides_left = b.level->compare.left;
        const gather::Side& sides_right = b.level->compare.right;
        const std::size_t per_row = similarity::pairs_per_row(
            gather::mean_cells(*sides_left.strings, sides_left.missing, *sides_right.strings, sides_right.missing,
                               pairs),
            kBlock);
        const std::size_t blocks = (n + per_row - 1) / per_row;
        if (b.summed) {
            b.left = summary_of(b.level->compare.left.strings);
            b.right = summary_of(b.level->compare.right.strings);
        }
        const Decider decider(b.level->bound, b.level->cut);
        std::atomic<std::size_t> decided{0}, scored{0};
        pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
            std::unique_ptr<std::string_view[]> views(new std::string_view[2 * kBlock]);
            std::unique_ptr<std::size_t[]> where(new std::size_t[kBlock]);
            std::unique_ptr<double[]> scores(new double[kBlock]);
            std::string_view* const left_views = views.get();
            std::string_view* const right_views = views.get() + kBlock;
            const LevelComparison& c = *b.level;
            const gather::Side& left = c.compare.left;
            const gather::Side& right = c.compare.right;
            const auto missing_level = static_cast<std::uint8_t>(c.cut.count + 1);
            cursor.run([&](std::size_t block) {
                const std::size_t lo = block * per_row, m = std::min(per_row, n - lo);
                const std::int64_t* lp = pairs.left + lo;
                const std::int64_t* rp = pairs.right + lo;
                std::uint8_t* dst = out + b.k * n + lo;
                std::size_t survivors = 0, block_decided = 0;
                Summary own_left, own_right;
                for (std::size_t p = 0; p < m; ++p) {
                    if (b.left && p + kAhead < m) {
                        __builtin_prefetch(b.left + lp[p + kAhead]);
                        __builtin_prefetch(b.right + rp[p + kAhead]);
                    }
                    const auto lr = static_cast<std::size_t>(lp[p]), rr = static_cast<std::size_t>(rp[p]);
                    if ((left.missing && left.missing[lr]) || (right.missing && right.missing[rr])) {
                        dst[p] = missing_level;
                        continue;
                    }
                    const Summary* sa = b.left ? b.left + lr : nullptr;
                    const Summary* sb = b.right ? b.right + rr : nullptr;
                    if (!sa) {
                        summarise((*left.strings)[lr], own_left);
                        summarise((*right.strings)[rr], own_right);
                        sa = &own_left;
                        sb = &own_right;
                    }
                    unsigned level;
                    if (decider(*sa, *sb, level)) {
                        dst[p] = static_cast<std::uint8_t>(level);
                        ++block_decided;
                        continue;
                    }
                    where[survivors++] = p;
                }
                // The survivors' strings, their records fetched ahead (many
                // loads in flight rather than one at a time).
                for (std::size_t q = 0; q < survivors; ++q) {
                    if (q + kAhead < survivors) {
                        prefetch_record(*left.strings, static_cast<std::size_t>(lp[where[q + kAhead]]));
                        prefetch_record(*right.strings, static_cast<std::size_t>(rp[where[q + kAhead]]));
                    }
                    left_views[q] = (*left.strings)[static_cast<std::size_t>(lp[where[q]])];
                    right_views[q] = (*right.strings)[static_cast<std::size_t>(rp[where[q]])];
                    __builtin_prefetch(left_views[q].data());
                    __builtin_prefetch(right_views[q].data());
                }
                if (survivors) {
                    // Runs inline: this thread is already one of the pool's.
                    similarity::string_column(c.compare.string_kernel, ViewColumn(left_views, survivors),
                                              ViewColumn(right_views, survivors), scores.get(), 1);
                    for (std::size_t q = 0; q < survivors; ++q)
                        dst[where[q]] = static_cast<std::uint8_t>(level_of(scores[q], c.cut));
                }
                decided.fetch_add(block_decided, std::memory_order_relaxed);
                scored.fetch_add(survivors, std::memory_order_relaxed);
            });
        });
        stats[b.k].decided = decided.load();
        stats[b.k].scored = scored.load();
        if (b.summed) {
            done_with(b.level->compare.left.strings);
            done_with(b.level->compare.right.strings);
        }
    }
    return stats;
}

}  // namespace corvane::fellegi

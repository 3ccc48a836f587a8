#include "models/fellegi/levels.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <emmintrin.h>

#include "runtime/pool.hpp"

namespace corvane::fellegi {

namespace {

// Pairs per block: the block's accumulators stay in L1 while each
// comparison's row streams through.
constexpr std::size_t kBlock = 1024;
// Fewer pairs than this take well under a millisecond on one thread: they
// run on the calling thread rather than wait for workers to wake.
constexpr std::size_t kInline = 1 << 15;

// Runs chunk over [0, n): on the pool, or inline when n is small.
template <class Chunk>
void over_pairs(std::size_t n, Chunk chunk) {
    if (n < kInline) {
        if (n) chunk(0, n);
        return;
    }
    pool::for_each_range(n, chunk);
}

inline double score_at(const StridedView<double>& scores, std::size_t c, std::size_t i) { return scores.at(c, i); }

// Calls step(c, lo, hi, row) for each comparison c over pairs [lo, hi), row
// pointing at comparison c's scores of those pairs (copied into `buffer`
// when the pairs are not consecutive doubles).
template <class Step>
void by_comparison(const StridedView<double>& scores, std::size_t n_cuts, std::size_t lo, std::size_t hi,
                   double* buffer, Step step) {
    constexpr auto kDouble = static_cast<std::ptrdiff_t>(sizeof(double));
    const bool unit = scores.cs == kDouble && scores.rs % kDouble == 0 && scores.aligned();
    for (std::size_t c = 0; c < n_cuts; ++c) {
        const double* row;
        if (unit) {
            row = reinterpret_cast<const double*>(scores.data + static_cast<std::ptrdiff_t>(c) * scores.rs) + lo;
        } else {
            for (std::size_t i = lo; i < hi; ++i) buffer[i - lo] = score_at(scores, c, i);
            row = buffer;
        }
        step(c, hi - lo, row);
    }
}

// The routines below note a negative score (see NegativeScore) by keeping
// the lowest score of each lane, starting from +0.0: MINPD returns its
// second operand when either is NaN or both are zeros, so with the running
// minimum second a NaN or a -0.0 leaves it as it was, and it ends below 0
// exactly when some score is. One instruction per two scores.
inline bool below_zero(__m128d lowest) { return _mm_movemask_pd(_mm_cmplt_pd(lowest, _mm_setzero_pd())) != 0; }

// Levels of `len` scores into `out`. Branch-free: a distance is negated
// along with its thresholds (exact, and value <= t is then -value >= -t), so
// both kinds count the thresholds the score falls below; NaN compares false
// with everything and is given the missing level by a select.
// Levels are 64-bit, as wide as the scores, so two scores go through each
// SSE2 step (every x86-64 processor has SSE2): a comparison's mask is -1 or
// 0 in the score's own lane, and subtracting the masks counts thresholds.
// Comparisons are exact, so lanes and the scalar tail agree bit for bit.
template <std::size_t K>
bool cut_fixed(const double* row, std::size_t len, const LevelCut& cut, std::int64_t* out) {
    const double sign = cut.distance ? -1.0 : 1.0;
    double t[K > 0 ? K : 1];
    __m128d tv[K > 0 ? K : 1];
    for (std::size_t k = 0; k < K; ++k) {
        t[k] = sign * cut.thresholds[k];
        tv[k] = _mm_set1_pd(t[k]);
    }
    constexpr auto missing = static_cast<std::int64_t>(K + 1);
    const __m128d sv = _mm_set1_pd(sign);
    const __m128i mv = _mm_set1_epi64x(missing);
    __m128d lowest = _mm_setzero_pd();  // see below_zero
    std::size_t i = 0;
    for (; i + 2 <= len; i += 2) {
        const __m128d raw = _mm_loadu_pd(row + i);
        lowest = _mm_min_pd(raw, lowest);
        const __m128d s = _mm_mul_pd(sv, raw);
        __m128i level = _mm_setzero_si128();
        for (std::size_t k = 0; k < K; ++k) level = _mm_sub_epi64(level, _mm_castpd_si128(_mm_cmplt_pd(s, tv[k])));
        const __m128i nan = _mm_castpd_si128(_mm_cmpunord_pd(s, s));
        level = _mm_or_si128(_mm_andnot_si128(nan, level), _mm_and_si128(nan, mv));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), level);
    }
    bool any = below_zero(lowest);
    for (; i < len; ++i) {
        any |= row[i] < 0.0;
        const double s = sign * row[i];
        std::int64_t level = 0;
        for (std::size_t k = 0; k < K; ++k) level += s < t[k] ? 1 : 0;
        out[i] = s != s ? missing : level;
    }
    return any;
}

// acc[i] += the weight of row[i]'s level, choosing the weight in registers:
// start from the "else" weight and, from the farthest threshold to the
// closest, take level k's weight wherever the score reaches threshold k
// (the thresholds are ordered, so the closest level reached wins); then the
// missing weight where the score is NaN. The weight added is the table's
// own value, so each sum is the same addition as acc[i] += w[level].
template <std::size_t K>
bool add_fixed(const double* row, std::size_t len, const LevelCut& cut, double* acc) {
    const double sign = cut.distance ? -1.0 : 1.0;
    double t[K > 0 ? K : 1];
    __m128d tv[K > 0 ? K : 1];
    __m128d wv[K > 0 ? K : 1];
    for (std::size_t k = 0; k < K; ++k) {
        t[k] = sign * cut.thresholds[k];
        tv[k] = _mm_set1_pd(t[k]);
        wv[k] = _mm_set1_pd(cut.weights[k]);
    }
    const double* w = cut.weights;
    const __m128d sv = _mm_set1_pd(sign);
    const __m128d otherwise = _mm_set1_pd(w[K]);
    const __m128d missing = _mm_set1_pd(w[K + 1]);
    __m128d lowest = _mm_setzero_pd();  // see below_zero
    std::size_t i = 0;
    for (; i + 2 <= len; i += 2) {
        const __m128d raw = _mm_loadu_pd(row + i);
        lowest = _mm_min_pd(raw, lowest);
        const __m128d s = _mm_mul_pd(sv, raw);
        __m128d v = otherwise;
        for (std::size_t k = K; k-- > 0;) {
            const __m128d reached = _mm_cmpge_pd(s, tv[k]);
            v = _mm_or_pd(_mm_and_pd(reached, wv[k]), _mm_andnot_pd(reached, v));
        }
        const __m128d nan = _mm_cmpunord_pd(s, s);
        v = _mm_or_pd(_mm_and_pd(nan, missing), _mm_andnot_pd(nan, v));
        _mm_storeu_pd(acc + i, _mm_add_pd(_mm_loadu_pd(acc + i), v));
    }
    bool any = below_zero(lowest);
    for (; i < len; ++i) {
        any |= row[i] < 0.0;
        const double s = sign * row[i];
        std::size_t level = 0;
        for (std::size_t k = 0; k < K; ++k) level += s < t[k] ? 1 : 0;
        acc[i] += w[s != s ? K + 1 : level];
    }
    return any;
}

// Calls fixed(std::integral_constant<std::size_t, K>{}) for the threshold
// counts that have an unrolled routine (K <= 4); false for the rest.
template <class Fixed>
bool with_fixed_count(std::size_t count, Fixed&& fixed) {
    switch (count) {
        case 0: fixed(std::integral_constant<std::size_t, 0>{}); return true;
        case 1: fixed(std::integral_constant<std::size_t, 1>{}); return true;
        case 2: fixed(std::integral_constant<std::size_t, 2>{}); return true;
        case 3: fixed(std::integral_constant<std::size_t, 3>{}); return true;
        case 4: fixed(std::integral_constant<std::size_t, 4>{}); return true;
        default: return false;
    }
}

// Both return whether any of the row's scores is negative (see
// NegativeScore); the levels and weights are written either way.
bool add_weights(const double* row, std::size_t len, const LevelCut& cut, double* acc, std::int64_t* levels) {
    bool any = false;
    if (with_fixed_count(cut.count, [&](auto k) { any = add_fixed<decltype(k)::value>(row, len, cut, acc); }))
        return any;
    for (std::size_t i = 0; i < len; ++i) {
        any |= row[i] < 0.0;
        levels[i] = level_of(row[i], cut);
    }
    for (std::size_t i = 0; i < len; ++i) acc[i] += cut.weights[levels[i]];
    return any;
}

bool cut_levels(const double* row, std::size_t len, const LevelCut& cut, std::int64_t* out) {
    bool any = false;
    if (with_fixed_count(cut.count, [&](auto k) { any = cut_fixed<decltype(k)::value>(row, len, cut, out); }))
        return any;
    for (std::size_t i = 0; i < len; ++i) {
        any |= row[i] < 0.0;
        out[i] = level_of(row[i], cut);
    }
    return any;
}

// Keeps the first negative score, in pair order then comparison order, of
// whichever ranges find one: a pair's position as pair * comparisons +
// comparison, the lowest wins.
class FirstNegative {
public:
    FirstNegative(std::size_t n_pairs, std::size_t n_cuts) : n_cuts_(n_cuts), none_(n_pairs * n_cuts), at_(none_) {}

    // Called for a block [lo, hi) where some score is negative.
    void find(const StridedView<double>& scores, std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i)
            for (std::size_t c = 0; c < n_cuts_; ++c)
                if (score_at(scores, c, i) < 0.0) {
                    const std::size_t here = i * n_cuts_ + c;
                    std::size_t seen = at_.load(std::memory_order_relaxed);
                    while (here < seen && !at_.compare_exchange_weak(seen, here, std::memory_order_relaxed)) {
                    }
                    return;
                }
    }

    NegativeScore result() const {
        const std::size_t at = at_.load();
        if (at == none_) return {};
        return {true, at / n_cuts_, at % n_cuts_};
    }

private:
    std::size_t n_cuts_, none_;
    std::atomic<std::size_t> at_;
};

}  // namespace

NegativeScore match_weights(const StridedView<double>& scores, const std::vector<LevelCut>& cuts,
                            double prior_weight, double* out) {
    const std::size_t n = scores.cols;
    FirstNegative negative(n, cuts.size());
    over_pairs(n, [&](std::size_t lo, std::size_t hi) {
        double buffer[kBlock];
        std::int64_t levels[kBlock];
        for (std::size_t start = lo; start < hi; start += kBlock) {
            const std::size_t stop = hi - start < kBlock ? hi : start + kBlock;
            double* acc = out + start;
            for (std::size_t i = 0; i < stop - start; ++i) acc[i] = prior_weight;
            bool any = false;
            by_comparison(scores, cuts.size(), start, stop, buffer,
                          [&](std::size_t c, std::size_t len, const double* row) {
                              any |= add_weights(row, len, cuts[c], acc, levels);
                          });
            if (any) {  // the rest of this range cannot hold an earlier one
                negative.find(scores, start, stop);
                return;
            }
        }
    });
    return negative.result();
}

NegativeScore level_keys(const StridedView<double>& scores, const std::vector<LevelCut>& cuts, std::int64_t* out) {
    const std::size_t n = scores.cols;
    FirstNegative negative(n, cuts.size());
    over_pairs(n, [&](std::size_t lo, std::size_t hi) {
        double buffer[kBlock];
        std::int64_t levels[kBlock];
        for (std::size_t start = lo; start < hi; start += kBlock) {
            const std::size_t stop = hi - start < kBlock ? hi : start + kBlock;
            std::int64_t* key = out + start;
            std::memset(key, 0, (stop - start) * sizeof(std::int64_t));
            bool any = false;
            by_comparison(scores, cuts.size(), start, stop, buffer,
                          [&](std::size_t c, std::size_t len, const double* row) {
                              const LevelCut& cut = cuts[c];
                              const auto radix = static_cast<std::int64_t>(cut.count + 2);
                              any |= cut_levels(row, len, cut, levels);
                              for (std::size_t i = 0; i < len; ++i) key[i] = key[i] * radix + levels[i];
                          });
            if (any) {
                negative.find(scores, start, stop);
                return;
            }
        }
    });
    return negative.result();
}

namespace {

// log2(u_exact / frequency) of recent frequencies, by their bits: direct
// mapped. A key of 0 (the frequency +0.0) never holds a valid frequency, so
// an empty slot never matches.
class LogCache {
public:
    explicit LogCache(double u_exact) : u_(u_exact) {}
    double at(double frequency) {
        std::uint64_t bits;
        std::memcpy(&bits, &frequency, sizeof bits);
        const std::size_t slot = static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> (64 - kBits));
        if (keys_[slot] != bits) {
            keys_[slot] = bits;
            values_[slot] = std::log2(u_ / frequency);
        }
        return values_[slot];
    }

private:
    static constexpr unsigned kBits = 8;
    double u_;
    std::uint64_t keys_[std::size_t{1} << kBits] = {};
    double values_[std::size_t{1} << kBits] = {};
};

}  // namespace

std::size_t frequency_weights(const StridedView<double>& weights, const StridedView<double>& frequency,
                              const StridedView<double>& score, double exact_threshold, double u_exact, double* out) {
    const std::size_t n = weights.rows;
    std::atomic<std::size_t> first_bad{n};
    over_pairs(n, [&](std::size_t lo, std::size_t hi) {
        LogCache cache(u_exact);
        for (std::size_t i = lo; i < hi; ++i) {
            const double w = weights.at(i);
            const double f = frequency.at(i);
            if (!(score.at(i) >= exact_threshold) || f != f) {
                out[i] = w;
                continue;
            }
            if (!(f > 0.0 && f <= 1.0)) {
                std::size_t seen = first_bad.load(std::memory_order_relaxed);
                while (i < seen && !first_bad.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
                }
                return;
            }
            out[i] = w + cache.at(f);
        }
    });
    return first_bad.load();
}

}  // namespace corvane::fellegi

// Token set and count metrics: Jaccard over distinct tokens, cosine over
// token counts. Short token lists are compared all against all; longer ones
// are sorted by bytes and merged. Neither needs hashing, and a handful of
// tokens needs no allocation.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <string_view>

#include "similarity/kernels.hpp"
#include "similarity/tokens.hpp"

namespace corvane::similarity {

namespace tokens {

// Quotients of small whole numbers, as one division gives them (division
// is correctly rounded, so a table holds the very same values): a score
// then costs a load instead of a division's latency.
const std::array<double, kRatios * kRatios> kRatio = [] {
    std::array<double, kRatios * kRatios> r{};
    for (std::size_t den = 1; den < kRatios; ++den)
        for (std::size_t num = 0; num < kRatios; ++num)
            r[den * kRatios + num] = static_cast<double>(num) / static_cast<double>(den);
    return r;
}();

// Square roots of the small whole numbers, as std::sqrt gives them (it is
// correctly rounded, so a table holds the very same values).
const std::array<double, kRoots> kRoot = [] {
    std::array<double, kRoots> r{};
    for (std::size_t k = 0; k < kRoots; ++k) r[k] = std::sqrt(static_cast<double>(k));
    return r;
}();

// The scores of small sums, computed by cosine_of itself.
const std::array<double, kCosineSmall * kCosineSmall * kCosineSmall> kCosine = [] {
    std::array<double, kCosineSmall * kCosineSmall * kCosineSmall> r{};
    for (std::uint64_t dot = 0; dot < kCosineSmall; ++dot)
        for (std::uint64_t na = 0; na < kCosineSmall; ++na)
            for (std::uint64_t nb = 0; nb < kCosineSmall; ++nb)
                r[(dot * kCosineSmall + na) * kCosineSmall + nb] = cosine_of(dot, na, nb);
    return r;
}();

}  // namespace tokens

using tokens::Tokens;
using tokens::run_length;

namespace {

// Lists this short are compared all against all (no sorting): a handful of
// cheap key comparisons beats the unpredictable branches of a sort.
constexpr std::size_t kSmallList = 12;

// Occurrences of t[i] among t[i + 1 ..].
inline std::size_t later_copies(const Tokens& t, std::size_t i) {
    std::size_t c = 0;
    for (std::size_t k = i + 1; k < t.size(); ++k) c += t[k] == t[i];
    return c;
}

inline bool seen_before(const Tokens& t, std::size_t i) {
    for (std::size_t k = 0; k < i; ++k)
        if (t[k] == t[i]) return true;
    return false;
}

inline std::size_t occurrences(const Tokens& t, const tokens::Token& x) {
    std::size_t c = 0;
    for (const auto& y : t) c += y == x;
    return c;
}

}  // namespace

double jaccard_similarity(std::string_view a, std::string_view b) {
    if (a == b) return 1.0;  // equal token sets, or both without tokens
    // Two different strings of at most one token each share none (one may
    // be empty: 0 of 1).
    if (tokens::without_space(a) && tokens::without_space(b)) return 0.0;
    Tokens ta, tb;
    tokens::whitespace_tokens(a, ta);
    tokens::whitespace_tokens(b, tb);
    if (ta.empty() && tb.empty()) return 1.0;
    // Distinct tokens of each side and distinct tokens common to both.
    std::size_t inter = 0, da = 0, db = 0;
    if (ta.size() <= kSmallList && tb.size() <= kSmallList) {
        for (std::size_t i = 0; i < ta.size(); ++i) {
            if (seen_before(ta, i)) continue;
            ++da;
            inter += occurrences(tb, ta[i]) != 0;
        }
        for (std::size_t j = 0; j < tb.size(); ++j) db += !seen_before(tb, j);
    } else {
        // Merge of the two sorted lists.
        tokens::sort_tokens(ta);
        tokens::sort_tokens(tb);
        std::size_t i = 0, j = 0;
        while (i < ta.size() && j < tb.size()) {
            const int c = tokens::compare(ta[i], tb[j]);
            if (c <= 0) {
                ++da;
                if (c == 0) ++inter;
                i += run_length(ta, i);
            }
            if (c >= 0) {
                ++db;
                j += run_length(tb, j);
            }
        }
        for (; i < ta.size(); i += run_length(ta, i)) ++da;
        for (; j < tb.size(); j += run_length(tb, j)) ++db;
    }
    return tokens::jaccard_score(inter, da + db - inter);
}

namespace {

// Sum of the squared counts of a short list's distinct tokens.
inline std::uint64_t squared_counts(const Tokens& t) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (seen_before(t, i)) continue;
        const std::uint64_t c = 1 + later_copies(t, i);
        sum += c * c;
    }
    return sum;
}

}  // namespace

double cosine_similarity(std::string_view a, std::string_view b) {
    // Counts are whole numbers, so every sum is exact (below 2^53) whether
    // taken in integers or in doubles, in any order.
    std::uint64_t na = 0, nb = 0, dot = 0;
    // At most one token each: equal strings have the same counts, all 1
    // (dot = na = nb = 1 scores 1.0, as both empty does); different ones
    // share no token, or one is empty (0.0 either way).
    if (tokens::without_space(a) && tokens::without_space(b)) return a == b ? 1.0 : 0.0;
    Tokens ta, tb;
    tokens::whitespace_tokens(a, ta);
    if (a == b && ta.size() <= kSmallList) {
        // The same counts on both sides: dot = na = nb.
        if (ta.empty()) return 1.0;
        na = nb = dot = squared_counts(ta);
    } else {
        tokens::whitespace_tokens(b, tb);
        if (ta.empty() && tb.empty()) return 1.0;
        if (ta.empty() || tb.empty()) return 0.0;
        if (ta.size() <= kSmallList && tb.size() <= kSmallList) {
            for (std::size_t i = 0; i < ta.size(); ++i) {
                if (seen_before(ta, i)) continue;
                const std::uint64_t ca = 1 + later_copies(ta, i);
                na += ca * ca;
                dot += ca * occurrences(tb, ta[i]);
            }
            nb = squared_counts(tb);
        } else {
            // Merge of the two sorted lists, one run of equal tokens at a time.
            tokens::sort_tokens(ta);
            tokens::sort_tokens(tb);
            std::size_t i = 0, j = 0;
            while (i < ta.size() || j < tb.size()) {
                int c;
                if (i == ta.size()) {
                    c = 1;
                } else if (j == tb.size()) {
                    c = -1;
                } else {
                    c = tokens::compare(ta[i], tb[j]);
                }
                std::uint64_t ca = 0, cb = 0;
                if (c <= 0) {
                    ca = run_length(ta, i);
                    na += ca * ca;
                    i += ca;
                }
                if (c >= 0) {
                    cb = run_length(tb, j);
                    nb += cb * cb;
                    j += cb;
                }
                if (c == 0) dot += ca * cb;
            }
        }
    }
    return tokens::cosine_score(dot, na, nb);
}

}  // namespace corvane::similarity

// Token set and count metrics: Jaccard over distinct tokens, cosine over
// token counts. Short token lists are compared all against all; longer ones
// are sorted by bytes and merged. Neither needs hashing, and a handful of
// tokens needs no allocation.
#include <cmath>
#include <cstddef>
#include <string_view>

#include "similarity/kernels.hpp"
#include "similarity/tokens.hpp"

namespace corvane::similarity {

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
    const std::size_t uni = da + db - inter;
    if (uni == 0) return 1.0;
    return static_cast<double>(inter) / static_cast<double>(uni);
}

double cosine_similarity(std::string_view a, std::string_view b) {
    Tokens ta, tb;
    tokens::whitespace_tokens(a, ta);
    tokens::whitespace_tokens(b, tb);
    if (ta.empty() && tb.empty()) return 1.0;
    if (ta.empty() || tb.empty()) return 0.0;
    // Counts are whole numbers, so every sum is exact (below 2^53) and the
    // order of accumulation does not matter.
    double na = 0.0, nb = 0.0, dot = 0.0;
    if (ta.size() <= kSmallList && tb.size() <= kSmallList) {
        for (std::size_t i = 0; i < ta.size(); ++i) {
            if (seen_before(ta, i)) continue;
            const double ca = static_cast<double>(1 + later_copies(ta, i));
            na += ca * ca;
            const std::size_t in_b = occurrences(tb, ta[i]);
            if (in_b) dot += ca * static_cast<double>(in_b);
        }
        for (std::size_t j = 0; j < tb.size(); ++j) {
            if (seen_before(tb, j)) continue;
            const double cb = static_cast<double>(1 + later_copies(tb, j));
            nb += cb * cb;
        }
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
            double ca = 0.0, cb = 0.0;
            if (c <= 0) {
                std::size_t r = run_length(ta, i);
                ca = static_cast<double>(r);
                na += ca * ca;
                i += r;
            }
            if (c >= 0) {
                std::size_t r = run_length(tb, j);
                cb = static_cast<double>(r);
                nb += cb * cb;
                j += r;
            }
            if (c == 0) dot += ca * cb;
        }
    }
    const double den = std::sqrt(nb) * std::sqrt(na);
    if (den == 0.0) return 0.0;
    return dot / den;
}

}  // namespace corvane::similarity

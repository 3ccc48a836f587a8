// Token set and count metrics: Jaccard over distinct tokens, cosine over
// token counts. Each side's tokens are sorted by bytes once; the set and
// count operations are then merges of two sorted lists, which needs no
// hashing and no allocation for a handful of tokens.
#include <cmath>
#include <cstddef>
#include <string_view>

#include "similarity/kernels.hpp"
#include "similarity/tokens.hpp"

namespace corvane::similarity {

using tokens::Tokens;
using tokens::run_length;
using tokens::sorted_tokens;

double jaccard_similarity(std::string_view a, std::string_view b) {
    Tokens ta, tb;
    sorted_tokens(a, ta);
    sorted_tokens(b, tb);
    if (ta.empty() && tb.empty()) return 1.0;
    // Merge the two sorted lists, counting distinct tokens of each and the
    // distinct tokens common to both.
    std::size_t i = 0, j = 0, inter = 0, da = 0, db = 0;
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
    const std::size_t uni = da + db - inter;
    if (uni == 0) return 1.0;
    return static_cast<double>(inter) / static_cast<double>(uni);
}

double cosine_similarity(std::string_view a, std::string_view b) {
    Tokens ta, tb;
    sorted_tokens(a, ta);
    sorted_tokens(b, tb);
    if (ta.empty() && tb.empty()) return 1.0;
    if (ta.empty() || tb.empty()) return 0.0;
    // Counts are whole numbers, so every sum is exact (below 2^53) and the
    // order of accumulation does not matter.
    double na = 0.0, nb = 0.0, dot = 0.0;
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
    const double den = std::sqrt(nb) * std::sqrt(na);
    if (den == 0.0) return 0.0;
    return dot / den;
}

}  // namespace corvane::similarity

// Jaro and Jaro-Winkler similarity over Unicode characters.
//
// Matching follows the classic greedy rule: each character a[i], in order,
// claims the earliest unclaimed equal character of b inside the window
// [i - R, i + R] (R = max(|a|, |b|) / 2 - 1, at least 0). When both strings
// fit in one 64-bit word the same choice is made bit-parallel: the set of
// positions of b holding a[i] (a pattern mask), minus the claimed ones,
// restricted to the window; its lowest bit is exactly the position the
// left-to-right scan would find. Longer strings do the same one 64-bit
// block of b at a time.
//
// Strings whose characters all lie below 256 (ASCII, Latin-1) are handled
// one byte per character; others are decoded once into code-point buffers
// (on the stack when short).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "similarity/char_positions.hpp"
#include "similarity/kernels.hpp"
#include "similarity/utf8.hpp"

namespace corvane::similarity {
namespace {

struct MatchCounts {
    std::size_t m = 0;  // matched characters
    std::size_t t = 0;  // matched pairs whose characters differ, in order
};

inline std::size_t search_range(std::size_t la, std::size_t lb) {
    std::size_t mx = la > lb ? la : lb;
    return mx / 2 >= 1 ? mx / 2 - 1 : 0;
}

// Positions of each character of b (|b| <= 64) as bit masks, looked up for
// the characters of a. Only the table entries of characters that occur in a
// or b are ever read, so only those are cleared (cheaper than clearing the
// whole table for short strings).
struct BytePatterns {
    std::uint64_t mask[256];
    BytePatterns(const unsigned char* a, std::size_t la, const unsigned char* b, std::size_t lb) {
        for (std::size_t i = 0; i < la; ++i) mask[a[i]] = 0;
        for (std::size_t j = 0; j < lb; ++j) mask[b[j]] = 0;
        for (std::size_t j = 0; j < lb; ++j) mask[b[j]] |= std::uint64_t{1} << j;
    }
    std::uint64_t get(unsigned char c) const { return mask[c]; }
};

// The same for code points: a direct table below 256, and above it a small
// open-addressing table sized for b's characters above 255 (at most half
// full, so probing always ends at the key or at an empty slot).
struct CodePointPatterns {
    std::uint64_t low[256];
    struct Slot {
        std::uint32_t key;
        std::uint64_t mask;  // 0 marks an empty slot
    };
    Slot high[128];
    std::size_t high_mask = 0;  // slot count - 1; 0 when b has no such character

    std::size_t probe(std::uint32_t c) const {
        std::size_t i = c & high_mask;
        std::uint64_t perturb = c;
        while (high[i].mask != 0 && high[i].key != c) {
            i = (i * 5 + perturb + 1) & high_mask;
            perturb >>= 5;
        }
        return i;
    }

    CodePointPatterns(const std::uint32_t* a, std::size_t la, const std::uint32_t* b, std::size_t lb) {
        std::size_t n_high = 0;
        for (std::size_t i = 0; i < la; ++i)
            if (a[i] < 256) low[a[i]] = 0;
        for (std::size_t j = 0; j < lb; ++j) {
            if (b[j] < 256)
                low[b[j]] = 0;
            else
                ++n_high;
        }
        if (n_high) {
            std::size_t slots = 8;
            while (slots < 2 * n_high) slots *= 2;
            std::memset(high, 0, slots * sizeof(Slot));
            high_mask = slots - 1;
        }
        for (std::size_t j = 0; j < lb; ++j) {
            const std::uint32_t c = b[j];
            const std::uint64_t bit = std::uint64_t{1} << j;
            if (c < 256) {
                low[c] |= bit;
            } else {
                Slot& s = high[probe(c)];
                s.key = c;
                s.mask |= bit;
            }
        }
    }
    std::uint64_t get(std::uint32_t c) const {
        if (c < 256) return low[c];
        if (high_mask == 0) return 0;
        return high[probe(c)].mask;
    }
};

#if defined(__SSE2__)
// Positions of a byte in b (|b| <= 16 * NB) by vector compares against b
// held in registers: no table to set up. Bytes past |b| are zero padding.
template <int NB>
struct VectorPatterns {
    __m128i v[NB];
    explicit VectorPatterns(const unsigned char* b, std::size_t lb) {
        alignas(16) unsigned char pad[16 * NB] = {};
        std::memcpy(pad, b, lb);
        for (int k = 0; k < NB; ++k) v[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(pad + 16 * k));
    }
    std::uint64_t get(unsigned char c) const {
        const __m128i x = _mm_set1_epi8(static_cast<char>(c));
        std::uint64_t m = 0;
        for (int k = 0; k < NB; ++k)
            m |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v[k], x))))
                 << (16 * k);
        return m;
    }
};
#endif

// Branch-free matching: window holds bits [i - R, i + R] of b's positions;
// it grows by one bit per step while i < R and slides by one after.
template <class C, class Patterns>
MatchCounts match_word(const C* a, std::size_t la, const C* b, std::size_t lb, const Patterns& pm) {
    const std::size_t r = search_range(la, lb);  // at most 31 here
    std::uint64_t window = (std::uint64_t{1} << (r + 1)) - 1;
    // Positions past the end of b start out claimed, so a pattern source
    // that reports them (the vector compare reads padding) never matches
    // there; the transposition walk stops after m bits and never sees them.
    std::uint64_t b_flag = lb >= 64 ? 0 : ~((std::uint64_t{1} << lb) - 1);
    // The matched characters of a, in order (written unconditionally, kept
    // by advancing m only on a match).
    C matched[64];
    std::size_t m = 0;
    for (std::size_t i = 0; i < la; ++i) {
        const C c = a[i];
        const std::uint64_t cand = pm.get(c) & window & ~b_flag;
        b_flag |= cand & (~cand + 1);
        matched[m] = c;
        m += cand != 0;
        window = (window << 1) | static_cast<std::uint64_t>(i < r);
    }
    MatchCounts out;
    out.m = m;
    for (std::size_t k = 0; k < m; ++k) {
        const unsigned jb = static_cast<unsigned>(__builtin_ctzll(b_flag));
        out.t += matched[k] != b[jb];
        b_flag &= b_flag - 1;
    }
    return out;
}

// Strings longer than 64 characters with at most this many distinct
// characters in b get a dense row of b's positions per character (memory:
// rows times |b| / 64 words); beyond, positions are looked up sparsely.
constexpr std::size_t kDenseRows = 256;

// t of the matched characters of a (in order) against the claimed
// positions of b (in order): the pairs whose characters differ.
template <class C>
MatchCounts count_transpositions(const C* matched, std::size_t m, const C* b, const std::uint64_t* b_flag,
                                 std::size_t nw) {
    MatchCounts out;
    out.m = m;
    std::size_t k = 0;
    for (std::size_t w = 0; w < nw && k < m; ++w) {
        for (std::uint64_t f = b_flag[w]; f; f &= f - 1) {
            const std::size_t j = w * 64 + static_cast<std::size_t>(__builtin_ctzll(f));
            out.t += matched[k++] != b[j];
        }
    }
    return out;
}

// The same greedy matching for strings longer than 64 characters, a word
// of b's positions at a time: for each a[i] the words covering its window
// are searched in order and the first unclaimed candidate bit is taken,
// which is the position the left-to-right scan finds. pm holds nw words per
// distinct character of b; row_of(c) is the row of c, or a negative value
// when b does not hold c. b_flag (nw words) starts all zero.
template <class C, class RowOf>
MatchCounts match_rows(const C* a, std::size_t la, const C* b, std::size_t lb, const std::uint64_t* pm,
                       std::uint64_t* b_flag, RowOf row_of) {
    const std::size_t nw = (lb + 63) / 64;
    std::unique_ptr<C[]> matched(new C[la]);
    const std::size_t r = search_range(la, lb);
    std::size_t m = 0;
    for (std::size_t i = 0; i < la; ++i) {
        const std::size_t lo = i > r ? i - r : 0;
        const std::size_t hi = std::min(lb, i + r + 1);
        if (lo >= hi) break;  // lo only grows from here on
        const std::ptrdiff_t row = row_of(a[i]);
        if (row < 0) continue;
        const std::uint64_t* p = pm + static_cast<std::size_t>(row) * nw;
        const std::size_t w0 = lo / 64, w1 = (hi - 1) / 64;
        for (std::size_t w = w0; w <= w1; ++w) {
            std::uint64_t cand = p[w] & ~b_flag[w];
            if (w == w0) cand &= ~std::uint64_t{0} << (lo % 64);
            if (w == w1) cand &= ~std::uint64_t{0} >> (63 - (hi - 1) % 64);
            if (cand) {
                b_flag[w] |= cand & (~cand + 1);
                matched[m++] = a[i];
                break;
            }
        }
    }
    return count_transpositions(matched.get(), m, b, b_flag, nw);
}

// Byte characters: at most 256 rows.
MatchCounts match_blocks(const unsigned char* a, std::size_t la, const unsigned char* b, std::size_t lb) {
    const std::size_t nw = (lb + 63) / 64;
    std::int32_t index[256];
    std::fill(index, index + 256, -1);
    std::size_t rows = 0;
    for (std::size_t j = 0; j < lb; ++j)
        if (index[b[j]] < 0) index[b[j]] = static_cast<std::int32_t>(rows++);
    // rows * nw pattern words, then nw claimed-position words.
    std::unique_ptr<std::uint64_t[]> words(new std::uint64_t[(rows + 1) * nw]());
    std::uint64_t* pm = words.get();
    for (std::size_t j = 0; j < lb; ++j)
        pm[static_cast<std::size_t>(index[b[j]]) * nw + j / 64] |= std::uint64_t{1} << (j % 64);
    return match_rows(a, la, b, lb, pm, pm + rows * nw,
                      [&](unsigned char c) -> std::ptrdiff_t { return index[c]; });
}

// Code points: a dense row per distinct character of b when there are few,
// as for bytes. Many distinct ones would make that table quadratic in |b|,
// so then each character keeps only the words it occurs in (the words in
// between hold no candidate for it anyway).
MatchCounts match_blocks(const std::uint32_t* a, std::size_t la, const std::uint32_t* b, std::size_t lb) {
    const std::size_t nw = (lb + 63) / 64;
    CharPositions positions(b, lb, 0);
    const std::size_t rows = positions.distinct() <= kDenseRows ? positions.distinct() : 0;
    std::unique_ptr<std::uint64_t[]> words(new std::uint64_t[(rows + 1) * nw]());
    std::uint64_t* b_flag = words.get() + rows * nw;
    if (rows > 0) {
        std::uint64_t* pm = words.get();
        positions.spread(pm, nw);
        return match_rows(a, la, b, lb, pm, b_flag, [&](std::uint32_t c) -> std::ptrdiff_t {
            const std::size_t id = positions.id_of(c);
            return id == CharPositions::kAbsent ? -1 : static_cast<std::ptrdiff_t>(id);
        });
    }

    positions.list_positions();
    std::unique_ptr<std::uint32_t[]> matched(new std::uint32_t[la]);
    const std::size_t r = search_range(la, lb);
    std::size_t m = 0;
    for (std::size_t i = 0; i < la; ++i) {
        const std::size_t lo = i > r ? i - r : 0;
        const std::size_t hi = std::min(lb, i + r + 1);
        if (lo >= hi) break;  // lo only grows from here on
        const std::span<const CharPositions::Entry> list = positions.find(a[i]);
        const std::size_t w0 = lo / 64, w1 = (hi - 1) / 64;
        auto e = std::partition_point(list.begin(), list.end(),
                                      [w0](const CharPositions::Entry& x) { return x.word < w0; });
        for (; e != list.end() && e->word <= w1; ++e) {
            const std::size_t w = e->word;
            std::uint64_t cand = e->bits & ~b_flag[w];
            if (w == w0) cand &= ~std::uint64_t{0} << (lo % 64);
            if (w == w1) cand &= ~std::uint64_t{0} >> (63 - (hi - 1) % 64);
            if (cand) {
                b_flag[w] |= cand & (~cand + 1);
                matched[m++] = a[i];
                break;
            }
        }
    }
    return count_transpositions(matched.get(), m, b, b_flag, nw);
}

inline double jaro_from_counts(MatchCounts mc, std::size_t la, std::size_t lb) {
    if (mc.m == 0) return 0.0;
    const double m = static_cast<double>(mc.m);
    const double q1 = m / static_cast<double>(la);
    const double q2 = m / static_cast<double>(lb);
    const double s = q1 + q2;
    const double q3 = static_cast<double>(mc.m - mc.t / 2) / m;
    return (s + q3) / 3.0;
}

template <class C>
double jaro_chars(const C* a, std::size_t la, const C* b, std::size_t lb) {
    if (la == 0) return lb == 0 ? 1.0 : 0.0;
    if (lb == 0) return 0.0;
    MatchCounts mc;
    if (la <= 64 && lb <= 64) {
        if constexpr (sizeof(C) == 1) {
#if defined(__SSE2__)
            if (lb <= 16)
                mc = match_word(a, la, b, lb, VectorPatterns<1>(b, lb));
            else if (lb <= 32)
                mc = match_word(a, la, b, lb, VectorPatterns<2>(b, lb));
            else
                mc = match_word(a, la, b, lb, VectorPatterns<4>(b, lb));
#else
            mc = match_word(a, la, b, lb, BytePatterns(a, la, b, lb));
#endif
        } else {
            mc = match_word(a, la, b, lb, CodePointPatterns(a, la, b, lb));
        }
    } else {
        mc = match_blocks(a, la, b, lb);
    }
    return jaro_from_counts(mc, la, lb);
}

template <class C>
double jaro_winkler_chars(const C* a, std::size_t la, const C* b, std::size_t lb) {
    const double s = jaro_chars(a, la, b, lb);
    if (!(s > 0.7)) return s;
    std::size_t lim = std::min<std::size_t>(4, std::min(la, lb));
    std::size_t l = 0;
    while (l < lim && a[l] == b[l]) ++l;
    const double k = 0.1 * static_cast<double>(l);
    const double gap = 1.0 - s;
    const double bonus = gap * k;
    return s + bonus;
}

// Code points of a string: on the stack up to 128 characters.
class CodePoints {
public:
    explicit CodePoints(std::string_view s) {
        std::uint32_t* dst = local_;
        if (s.size() > 128) {
            std::size_t n = utf8::count_chars(s);
            if (n > 128) {
                heap_.reset(new std::uint32_t[n]);
                dst = heap_.get();
            }
        }
        ptr_ = dst;
        len_ = utf8::decode(s, dst);
    }
    const std::uint32_t* data() const { return ptr_; }
    std::size_t size() const { return len_; }

private:
    std::uint32_t local_[128];
    std::unique_ptr<std::uint32_t[]> heap_;
    const std::uint32_t* ptr_;
    std::size_t len_;
};

// A string whose characters are all below 256, as one byte per character:
// the input itself when it is ASCII, else its Latin-1 form in a local
// buffer. ok() is false when a character above 255 occurs (or the string
// is too long for the buffer).
class Narrow {
public:
    explicit Narrow(std::string_view s) {
        if (utf8::is_ascii(s)) {
            ptr_ = reinterpret_cast<const unsigned char*>(s.data());
            len_ = s.size();
            ok_ = true;
            return;
        }
        if (s.size() > sizeof local_) return;
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        std::size_t n = s.size(), k = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = p[i];
            if (c < 0x80) {
                local_[k++] = c;
            } else if ((c == 0xC2 || c == 0xC3) && i + 1 < n && utf8::is_continuation(p[i + 1])) {
                local_[k++] = static_cast<unsigned char>(((c & 0x1F) << 6) | (p[i + 1] & 0x3F));
                ++i;
            } else {
                return;  // a character above 255 (or malformed input): not narrow
            }
        }
        ptr_ = local_;
        len_ = k;
        ok_ = true;
    }
    bool ok() const { return ok_; }
    const unsigned char* data() const { return ptr_; }
    std::size_t size() const { return len_; }

private:
    unsigned char local_[256];
    const unsigned char* ptr_ = nullptr;
    std::size_t len_ = 0;
    bool ok_ = false;
};

// Runs f on the two strings as byte characters when both fit in Latin-1,
// else as decoded code points.
template <class F>
double dispatch(std::string_view a, std::string_view b, F&& f) {
    {
        Narrow na(a);
        if (na.ok()) {
            Narrow nb(b);
            if (nb.ok()) return f(na.data(), na.size(), nb.data(), nb.size());
        }
    }
    CodePoints ca(a), cb(b);
    return f(ca.data(), ca.size(), cb.data(), cb.size());
}

}  // namespace

// Identical strings score 1.0 through the general formula (m = |a| = |b|,
// t = 0, and a bonus of (1 - 1.0) * k = 0); answering that directly skips
// the matching for the many exact duplicates of real record pairs.
double jaro_similarity(std::string_view a, std::string_view b) {
    if (a == b) return 1.0;
    return dispatch(a, b, [](const auto* x, std::size_t lx, const auto* y, std::size_t ly) {
        return jaro_chars(x, lx, y, ly);
    });
}

double jaro_winkler_similarity(std::string_view a, std::string_view b) {
    if (a == b) return 1.0;
    return dispatch(a, b, [](const auto* x, std::size_t lx, const auto* y, std::size_t ly) {
        return jaro_winkler_chars(x, lx, y, ly);
    });
}

}  // namespace corvane::similarity

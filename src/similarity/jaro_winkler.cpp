// Jaro and Jaro-Winkler similarity over Unicode characters.
//
// Matching follows the classic greedy rule: each character a[i], in order,
// claims the earliest unclaimed equal character of b inside the window
// [i - R, i + R] (R = max(|a|, |b|) / 2 - 1, at least 0). When both strings
// fit in one 64-bit word the same choice is made bit-parallel: the set of
// positions of b holding a[i] (a pattern mask), minus the claimed ones,
// restricted to the window; its lowest bit is exactly the position the
// left-to-right scan would find. Longer strings use the scan itself.
//
// ASCII strings are read as bytes; other strings are decoded once into
// code-point buffers (on the stack when short).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

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

// Bits lo..hi-1 set (0 <= lo <= hi <= 64).
inline std::uint64_t bit_range(std::size_t lo, std::size_t hi) {
    std::uint64_t below_hi = hi >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
    std::uint64_t below_lo = (std::uint64_t{1} << lo) - 1;  // lo < 64 whenever used
    return below_hi & ~below_lo;
}

// Positions of each character in b (|b| <= 64), for byte strings below 128.
struct AsciiPatterns {
    std::uint64_t mask[128];
    AsciiPatterns(const unsigned char* b, std::size_t lb) {
        std::memset(mask, 0, sizeof mask);
        for (std::size_t j = 0; j < lb; ++j) mask[b[j]] |= std::uint64_t{1} << j;
    }
    std::uint64_t get(unsigned char c) const { return mask[c]; }
};

// Positions of each character in b (|b| <= 64), for code points: a direct
// table below 256 and a small open-addressing table above (at most 64
// distinct keys in 128 slots, so probing always ends).
struct CodePointPatterns {
    std::uint64_t low[256];
    struct Slot {
        std::uint32_t key;
        std::uint64_t mask;
    };
    Slot high[128];
    bool any_high = false;

    static std::size_t probe(const Slot* slots, std::uint32_t c) {
        std::size_t i = c & 127;
        if (slots[i].mask == 0 || slots[i].key == c) return i;
        std::uint64_t perturb = c;
        for (;;) {
            i = (i * 5 + perturb + 1) & 127;
            if (slots[i].mask == 0 || slots[i].key == c) return i;
            perturb >>= 5;
        }
    }

    CodePointPatterns(const std::uint32_t* b, std::size_t lb) {
        std::memset(low, 0, sizeof low);
        for (std::size_t j = 0; j < lb; ++j) {
            std::uint32_t c = b[j];
            std::uint64_t bit = std::uint64_t{1} << j;
            if (c < 256) {
                low[c] |= bit;
            } else {
                if (!any_high) {
                    std::memset(high, 0, sizeof high);
                    any_high = true;
                }
                Slot& s = high[probe(high, c)];
                s.key = c;
                s.mask |= bit;
            }
        }
    }
    std::uint64_t get(std::uint32_t c) const {
        if (c < 256) return low[c];
        if (!any_high) return 0;
        return high[probe(high, c)].mask;  // an empty slot has mask 0
    }
};

template <class C, class Patterns>
MatchCounts match_word(const C* a, std::size_t la, const C* b, std::size_t lb, const Patterns& pm) {
    const std::size_t r = search_range(la, lb);
    std::uint64_t a_flag = 0, b_flag = 0;
    for (std::size_t i = 0; i < la; ++i) {
        std::size_t lo = i > r ? i - r : 0;
        std::size_t hi = std::min(lb, i + r + 1);
        if (lo >= hi) break;  // lo only grows from here on
        std::uint64_t cand = pm.get(a[i]) & ~b_flag & bit_range(lo, hi);
        if (cand) {
            b_flag |= cand & (~cand + 1);
            a_flag |= std::uint64_t{1} << i;
        }
    }
    MatchCounts out;
    while (a_flag) {
        std::size_t i = static_cast<std::size_t>(__builtin_ctzll(a_flag));
        std::size_t j = static_cast<std::size_t>(__builtin_ctzll(b_flag));
        out.t += a[i] != b[j];
        ++out.m;
        a_flag &= a_flag - 1;
        b_flag &= b_flag - 1;
    }
    return out;
}

// The plain scan with one byte of flag per character (stack up to 512
// characters in all, heap beyond).
template <class C>
MatchCounts match_scan(const C* a, std::size_t la, const C* b, std::size_t lb) {
    unsigned char stack_flags[512];
    std::unique_ptr<unsigned char[]> heap_flags;
    unsigned char* a_flag = stack_flags;
    if (la + lb > sizeof stack_flags) {
        heap_flags.reset(new unsigned char[la + lb]);
        a_flag = heap_flags.get();
    }
    std::memset(a_flag, 0, la + lb);
    unsigned char* b_flag = a_flag + la;

    const std::size_t r = search_range(la, lb);
    MatchCounts out;
    for (std::size_t i = 0; i < la; ++i) {
        std::size_t lo = i > r ? i - r : 0;
        std::size_t hi = std::min(lb, i + r + 1);
        if (lo >= hi) break;
        const C c = a[i];
        for (std::size_t j = lo; j < hi; ++j) {
            if (!b_flag[j] && b[j] == c) {
                a_flag[i] = 1;
                b_flag[j] = 1;
                ++out.m;
                break;
            }
        }
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < la && out.m; ++i) {
        if (!a_flag[i]) continue;
        while (!b_flag[j]) ++j;
        out.t += a[i] != b[j];
        ++j;
    }
    return out;
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
            mc = match_word(a, la, b, lb, AsciiPatterns(b, lb));
        } else {
            mc = match_word(a, la, b, lb, CodePointPatterns(b, lb));
        }
    } else {
        mc = match_scan(a, la, b, lb);
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

template <class F>
double dispatch(std::string_view a, std::string_view b, F&& f) {
    if (utf8::is_ascii(a) && utf8::is_ascii(b)) {
        return f(reinterpret_cast<const unsigned char*>(a.data()), a.size(),
                 reinterpret_cast<const unsigned char*>(b.data()), b.size());
    }
    CodePoints ca(a), cb(b);
    return f(ca.data(), ca.size(), cb.data(), cb.size());
}

}  // namespace

double jaro_similarity(std::string_view a, std::string_view b) {
    return dispatch(a, b, [](const auto* x, std::size_t lx, const auto* y, std::size_t ly) {
        return jaro_chars(x, lx, y, ly);
    });
}

double jaro_winkler_similarity(std::string_view a, std::string_view b) {
    return dispatch(a, b, [](const auto* x, std::size_t lx, const auto* y, std::size_t ly) {
        return jaro_winkler_chars(x, lx, y, ly);
    });
}

}  // namespace corvane::similarity

// Whitespace tokenizer and sorted token lists shared by the token metrics.
//
// Tokens are maximal runs of non-white-space characters, kept as views into
// the input. White space is exactly the 25 code points of Unicode's
// White_Space property. Pure C++.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane::similarity::tokens {

// A vector with inline room for N elements that moves to the heap beyond.
template <class T, std::size_t N>
class SmallVec {
public:
    SmallVec() = default;
    SmallVec(const SmallVec&) = delete;
    SmallVec& operator=(const SmallVec&) = delete;

    void push_back(const T& v) {
        if (size_ == cap_) grow();
        data_[size_++] = v;
    }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    void grow() {
        std::size_t cap = cap_ * 2;
        std::unique_ptr<T[]> next(new T[cap]);
        std::copy(data_, data_ + size_, next.get());
        heap_ = std::move(next);
        data_ = heap_.get();
        cap_ = cap;
    }

    T local_[N];
    std::unique_ptr<T[]> heap_;
    T* data_ = local_;
    std::size_t size_ = 0;
    std::size_t cap_ = N;
};

// One token: a view into the input plus its first 8 bytes as a big-endian
// number (zero-padded past the token's end). Comparing keys as integers
// orders tokens like comparing their first 8 bytes, so most comparisons
// never touch the bytes themselves. Trivially constructible, so inline
// storage of a SmallVec costs nothing to set up.
struct Token {
    const char* p;
    std::size_t n;  // byte length, at least 1
    std::uint64_t key;

    std::string_view view() const { return {p, n}; }
};

// Byte-wise lexicographic order (unsigned bytes; on a common prefix the
// shorter token first). Equal keys mean the first min(n, 8) bytes agree and
// the longer token holds zero bytes where the shorter one's key is padded,
// so when either token has at most 8 bytes it is a prefix of the other.
inline int compare(const Token& x, const Token& y) {
    if (x.key != y.key) return x.key < y.key ? -1 : 1;
    const std::size_t m = std::min(x.n, y.n);
    if (m > 8) {
        const int c = std::memcmp(x.p + 8, y.p + 8, m - 8);
        if (c != 0) return c;
    }
    return x.n < y.n ? -1 : x.n > y.n ? 1 : 0;
}

inline bool operator==(const Token& x, const Token& y) {
    return x.n == y.n && x.key == y.key && (x.n <= 8 || std::memcmp(x.p + 8, y.p + 8, x.n - 8) == 0);
}

inline std::uint64_t load_be8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    return w;
}

// The key of the token [p, p + n) inside the string [begin, end). Reads
// only inside the string: a token near the end of a string of 8 bytes or
// more takes the string's last 8 bytes and shifts its own to the top.
inline std::uint64_t prefix_key(const char* p, std::size_t n, const char* begin, const char* end) {
    std::uint64_t w = 0;
    const auto avail = static_cast<std::size_t>(end - p);
    if (avail >= 8) {
        w = load_be8(p);
    } else if (end - begin >= 8) {
        w = load_be8(end - 8) << (8 * (8 - avail));
    } else {
        for (std::size_t k = 0; k < avail; ++k)
            w |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[k])) << (56 - 8 * k);
    }
    if (n < 8) w &= ~(~std::uint64_t{0} >> (8 * n));
    return w;
}

using Tokens = SmallVec<Token, 16>;

// Byte length of the white-space character starting at p[i] (a byte that
// may begin one: ASCII white space, 0xC2 or 0xE1 to 0xE3), or 0 if the
// character there is not white space.
// U+0085, U+00A0 | U+1680 | U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
// | U+3000.
inline std::size_t space_length(const unsigned char* p, std::size_t n, std::size_t i) {
    const unsigned char c = p[i];
    if (c < 0x80) return 1;
    if (c == 0xC2) return i + 1 < n && (p[i + 1] == 0x85 || p[i + 1] == 0xA0) ? 2 : 0;
    if (i + 2 >= n) return 0;
    const unsigned char c1 = p[i + 1], c2 = p[i + 2];
    switch (c) {
        case 0xE1:
            return c1 == 0x9A && c2 == 0x80 ? 3 : 0;
        case 0xE2:
            if (c1 == 0x80) return c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
            return c1 == 0x81 && c2 == 0x9F ? 3 : 0;
        case 0xE3:
            return c1 == 0x80 && c2 == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

// Bit k set when byte k of the 16 at p may begin a white-space character:
// U+0009..U+000D, U+0020, or a lead byte 0xC2, 0xE1, 0xE2, 0xE3.
#if defined(__SSE2__)
inline unsigned candidate_mask(__m128i v) {
    const __m128i ctrl = _mm_sub_epi8(v, _mm_set1_epi8(0x09));
    const __m128i is_ctrl = _mm_cmpeq_epi8(_mm_min_epu8(ctrl, _mm_set1_epi8(4)), ctrl);
    const __m128i is_space = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x20));
    const __m128i is_c2 = _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xC2)));
    const __m128i e = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xE1)));
    const __m128i is_e = _mm_cmpeq_epi8(_mm_min_epu8(e, _mm_set1_epi8(2)), e);
    const __m128i any = _mm_or_si128(_mm_or_si128(is_ctrl, is_space), _mm_or_si128(is_c2, is_e));
    return static_cast<unsigned>(_mm_movemask_epi8(any));
}
inline unsigned candidate_mask(const unsigned char* p) {
    return candidate_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
#else
inline unsigned candidate_mask(const unsigned char* p) {
    unsigned m = 0;
    for (unsigned k = 0; k < 16; ++k) {
        const unsigned char c = p[k];
        const bool cand = (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xC2 || (c >= 0xE1 && c <= 0xE3);
        m |= static_cast<unsigned>(cand) << k;
    }
    return m;
}
#endif

// candidate_mask of the n < 16 bytes at p followed by zeros. The bytes
// are gathered by a few overlapping loads into two registers (a copy of
// variable length, or two stores read back as one vector, would cost more
// than the classification).
inline unsigned short_candidate_mask(const unsigned char* p, std::size_t n) {
#if defined(__SSE2__)
    static_assert(std::endian::native == std::endian::little);
    std::uint64_t lo = 0, hi = 0;
    if (n > 8) {
        std::memcpy(&lo, p, 8);
        std::memcpy(&hi, p + n - 8, 8);
        hi >>= 8 * (16 - n);
    } else if (n >= 4) {
        std::uint32_t x, y;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, p + n - 4, 4);
        lo = x | static_cast<std::uint64_t>(y) << (8 * (n - 4));
    } else if (n > 0) {
        lo = p[0] | static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2)) |
             static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1));
    }
    return candidate_mask(_mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)));
#else
    unsigned char head[16] = {};
    std::memcpy(head, p, n);
    return candidate_mask(head);
#endif
}

// True when no byte of s may begin a white-space character: s is then
// empty or a single token, itself. Classified 16 bytes at a time, as the
// tokenizer does, so a string with white space costs one more pass over its
// first bytes at most.
inline bool without_space(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (n < 16) return short_candidate_mask(p, n) == 0;
    std::size_t base = 0;
    for (; base + 16 <= n; base += 16)
        if (candidate_mask(p + base) != 0) return false;
    return base == n || candidate_mask(p + n - 16) == 0;
}

// Appends the tokens of s in order of appearance. Only the bytes that may
// begin a white-space character are visited (16 bytes are classified at a
// time); this is sound because those bytes and ASCII bytes never occur
// inside another character's encoding, and the continuation bytes of a
// white-space character are never candidates themselves.
inline void whitespace_tokens(std::string_view s, Tokens& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const char* end = s.data() + s.size();
    const std::size_t n = s.size();
    std::size_t start = 0;  // first byte of the current token, if any
    auto emit = [&](std::size_t lo, std::size_t hi) {
        if (hi > lo) out.push_back(Token{s.data() + lo, hi - lo, prefix_key(s.data() + lo, hi - lo, s.data(), end)});
    };
    for (std::size_t base = 0; base < n; base += 16) {
        unsigned mask;
        if (n - base >= 16) {
            mask = candidate_mask(p + base);
        } else if (n >= 16) {
            // The last 16 bytes of the string, of which the first ones were
            // classified already.
            mask = candidate_mask(p + n - 16) >> (16 - (n - base));
        } else {
            mask = short_candidate_mask(p, n);
        }
        while (mask) {
            const std::size_t i = base + static_cast<std::size_t>(__builtin_ctz(mask));
            mask &= mask - 1;
            if (i < start) continue;  // inside a white-space character already consumed
            const std::size_t w = space_length(p, n, i);
            if (w == 0) continue;
            emit(start, i);
            start = i + w;
        }
    }
    emit(start, n);
}

// Ascending byte-wise order: insertion sort for short lists, std::sort
// beyond (equal tokens are byte-identical, so stability does not matter).
inline void sort_tokens(Tokens& t) {
    Token* first = t.begin();
    std::size_t n = t.size();
    if (n <= 20) {
        for (std::size_t i = 1; i < n; ++i) {
            Token v = first[i];
            std::size_t j = i;
            for (; j > 0 && compare(v, first[j - 1]) < 0; --j) first[j] = first[j - 1];
            first[j] = v;
        }
    } else {
        std::sort(first, t.end(), [](const Token& x, const Token& y) { return compare(x, y) < 0; });
    }
}

inline void sorted_tokens(std::string_view s, Tokens& out) {
    whitespace_tokens(s, out);
    sort_tokens(out);
}

// The tokens of s sorted and joined with single spaces: s itself when it
// is in that form already, its single token, or a copy written to dst,
// which has room for s.size() + 8 bytes.
std::string_view sorted_join(std::string_view s, char* dst);

// Length of the run of equal tokens starting at i of a sorted list.
inline std::size_t run_length(const Tokens& t, std::size_t i) {
    std::size_t j = i + 1;
    while (j < t.size() && t[j] == t[i]) ++j;
    return j - i;
}

// Scores from counts, as every token kernel forms them. Tables hold the
// values of small counts, computed once by the same operations (division
// and std::sqrt are correctly rounded), so a score costs a load.
constexpr std::size_t kRatios = 16;
extern const std::array<double, kRatios * kRatios> kRatio;  // [den * kRatios + num] = num / den
constexpr std::size_t kRoots = 256;
extern const std::array<double, kRoots> kRoot;  // sqrt(k)
constexpr std::uint64_t kCosineSmall = 8;
extern const std::array<double, kCosineSmall * kCosineSmall * kCosineSmall> kCosine;  // [dot][na][nb]

// |A & B| / |A | B| over distinct tokens; 1.0 when neither side has any.
inline double jaccard_score(std::size_t inter, std::size_t uni) {
    if (uni == 0) return 1.0;
    if (inter < kRatios && uni < kRatios) return kRatio[uni * kRatios + inter];
    return static_cast<double>(inter) / static_cast<double>(uni);
}

inline double root(std::uint64_t x) {
    return x < kRoots ? kRoot[static_cast<std::size_t>(x)] : std::sqrt(static_cast<double>(x));
}

// dot / (sqrt(nb) * sqrt(na)), the roots taken apart (they decide the last
// bit); 0.0 when the denominator is (never, once both sides have tokens).
inline double cosine_of(std::uint64_t dot, std::uint64_t na, std::uint64_t nb) {
    const double den = root(nb) * root(na);
    if (den == 0.0) return 0.0;
    return static_cast<double>(dot) / den;
}

inline double cosine_score(std::uint64_t dot, std::uint64_t na, std::uint64_t nb) {
    if (dot < kCosineSmall && na < kCosineSmall && nb < kCosineSmall)
        return kCosine[(dot * kCosineSmall + na) * kCosineSmall + nb];
    return cosine_of(dot, na, nb);
}

}  // namespace corvane::similarity::tokens

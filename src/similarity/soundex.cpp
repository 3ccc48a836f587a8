// Soundex over the ASCII letters of a string, read byte by byte. Bytes that
// are not ASCII letters (digits, punctuation, spaces, every byte of a
// multi-byte character) are skipped and do not separate equal digits; the
// vowels and H, W, Y do separate them.
//
// The code is built as one 32-bit word (byte k = code position k) with no
// branch that depends on the letters: every byte is classified by a table
// as skipped (0), separator (7) or digit (1..6), and a digit is appended
// when it differs from the class of the letter before it.
//
// With SSSE3 (the AVX2 level and above) the first 16 bytes are classified
// at once: a shuffle looks up each letter's class, a four-step scan carries
// the class of the last letter forward over skipped bytes, and the
// positions that append a digit come out of one mask. Most names and
// addresses have their four code positions filled within 16 bytes; a code
// that is not goes on byte by byte from byte 16, in the state the vector
// part left. Both ways give the same code for every string.
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "similarity/kernels.hpp"
#include "similarity/simd_level.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CORVANE_SOUNDEX_VECTOR 1
#else
#define CORVANE_SOUNDEX_VECTOR 0
#endif

namespace corvane::similarity {
namespace {

using u8 = unsigned char;

constexpr unsigned kSeparator = 7;

// Per byte: 0 = not an ASCII letter, kSeparator = A, E, H, I, O, U, W, Y,
// 1..6 = the letter's digit.
constexpr std::array<u8, 256> make_classes() {
    std::array<u8, 256> t{};
    const char* digits = "01230120022455012623010202";  // A..Z
    for (int k = 0; k < 26; ++k) {
        const u8 d = digits[k] == '0' ? kSeparator : static_cast<u8>(digits[k] - '0');
        t[static_cast<std::size_t>('A' + k)] = d;
        t[static_cast<std::size_t>('a' + k)] = d;
    }
    return t;
}
constexpr std::array<u8, 256> kClass = make_classes();

constexpr std::uint32_t kNoLetter = 0x30303030;  // "0000"

// '0' in code positions count..3 (count 1..4).
constexpr std::uint32_t kPad[5] = {0x30303030, 0x30303000, 0x30300000, 0x30000000, 0};

// Appends digits from byte i on to a code with `count` positions filled
// (1..4), prev the class of the last letter read.
std::uint32_t continue_code(const u8* p, std::size_t i, std::size_t n, std::uint32_t code, unsigned count,
                            unsigned prev) noexcept {
    for (; i < n && count < 4; ++i) {
        const unsigned t = kClass[p[i]];
        const unsigned emit = (t - 1u < 6u) & (t != prev);
        code |= (emit * ('0' + t)) << (8 * count);
        count += emit;
        prev = t != 0 ? t : prev;
    }
    return code | kPad[count];
}

// The code of p[i..n), byte by byte.
std::uint32_t code_from(const u8* p, std::size_t i, std::size_t n) noexcept {
    while (i < n && kClass[p[i]] == 0) ++i;
    if (i == n) return kNoLetter;
    return continue_code(p, i + 1, n, static_cast<std::uint32_t>(p[i] & ~0x20u), 1, kClass[p[i]]);
}

#if CORVANE_SOUNDEX_VECTOR

// The code of p[0..n) from the classification of its first 16 bytes:
// `letters` and `emit` (bit k: byte k is a letter / appends a digit),
// classes[0..15] each byte's class and classes[16] zero, lasts[15] the
// class of the last letter in those bytes.
inline std::uint32_t code_from_masks(const u8* p, std::size_t n, unsigned letters, unsigned emit, const u8* classes,
                                     const u8* lasts) noexcept {
    if (letters == 0) return n > 16 ? code_from(p, 16, n) : kNoLetter;
    const unsigned first = static_cast<unsigned>(__builtin_ctz(letters));
    unsigned digits = emit & ~((2u << first) - 1u);
    // Up to three appended digits (position 16 reads a 0: no digit).
    const unsigned k1 = static_cast<unsigned>(__builtin_ctz(digits | 0x10000u));
    digits &= digits - 1;
    const unsigned k2 = static_cast<unsigned>(__builtin_ctz(digits | 0x10000u));
    digits &= digits - 1;
    const unsigned k3 = static_cast<unsigned>(__builtin_ctz(digits | 0x10000u));
    const std::uint32_t d1 = classes[k1], d2 = classes[k2], d3 = classes[k3];
    const unsigned count = 1 + (d1 != 0) + (d2 != 0) + (d3 != 0);
    std::uint32_t code = static_cast<std::uint32_t>(p[first] & ~0x20u) | (d1 + '0') << 8 | (d2 + '0') << 16 |
                         (d3 + '0') << 24;
    if (count == 4 || n <= 16) return code;
    // Fewer than three digits in 16 bytes of a longer string: on from byte
    // 16. Unfilled positions hold '0', so they are cleared first.
    code &= ~kPad[count];
    return continue_code(p, 16, n, code, count, lasts[15]);
}

std::uint64_t load8(const u8* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

std::uint32_t load4(const u8* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The first min(n, 16) bytes at p, zero past the string; never reads
// outside it. From 8 bytes on, two loads (the second ending at the string's
// end, or at byte 16) without a branch.
[[gnu::target("ssse3"), gnu::always_inline]] inline __m128i load_head(const u8* p, std::size_t n) noexcept {
    std::uint64_t lo = 0, hi = 0;
    if (n >= 8) {
        const std::size_t m = n < 16 ? n : 16;
        const unsigned drop = static_cast<unsigned>(4 * (16 - m));  // half the bits before byte 8 of the second load
        lo = load8(p);
        hi = (load8(p + m - 8) >> drop) >> drop;
    } else if (n >= 4) {
        lo = load4(p) | static_cast<std::uint64_t>(load4(p + n - 4)) << (8 * (n - 4));
    } else if (n > 0) {
        lo = p[0] | static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2)) |
             static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1));
    }
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// The code of p[0..n), v its first 16 bytes as load_head gives them.
[[gnu::target("ssse3"), gnu::always_inline]] inline std::uint32_t code_vector(const u8* p, std::size_t n,
                                                                              __m128i v) noexcept {
    // Letter index 0..25 (either case), anything else out of range.
    const __m128i idx = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i letter = _mm_cmpeq_epi8(_mm_min_epu8(idx, _mm_set1_epi8(25)), idx);
    const __m128i lo_tab = _mm_setr_epi8(7, 1, 2, 3, 7, 1, 2, 7, 7, 2, 2, 4, 5, 5, 7, 1);  // A..P
    const __m128i hi_tab = _mm_setr_epi8(2, 6, 2, 3, 7, 1, 7, 2, 7, 2, 0, 0, 0, 0, 0, 0);  // Q..Z
    const __m128i upper_half = _mm_cmpeq_epi8(_mm_and_si128(idx, _mm_set1_epi8(0x10)), _mm_set1_epi8(0x10));
    const __m128i cls_any = _mm_or_si128(_mm_andnot_si128(upper_half, _mm_shuffle_epi8(lo_tab, idx)),
                                         _mm_and_si128(upper_half, _mm_shuffle_epi8(hi_tab, idx)));
    const __m128i cls = _mm_and_si128(cls_any, letter);
    // Class of the last letter at or before each byte (0 before the first).
    const __m128i zero = _mm_setzero_si128();
    __m128i last = cls;
    last = _mm_or_si128(last, _mm_and_si128(_mm_slli_si128(last, 1), _mm_cmpeq_epi8(last, zero)));
    last = _mm_or_si128(last, _mm_and_si128(_mm_slli_si128(last, 2), _mm_cmpeq_epi8(last, zero)));
    last = _mm_or_si128(last, _mm_and_si128(_mm_slli_si128(last, 4), _mm_cmpeq_epi8(last, zero)));
    last = _mm_or_si128(last, _mm_and_si128(_mm_slli_si128(last, 8), _mm_cmpeq_epi8(last, zero)));
    const __m128i prev = _mm_slli_si128(last, 1);
    const __m128i d = _mm_sub_epi8(cls, _mm_set1_epi8(1));  // 0..5 for a digit
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(5)), d);
    const __m128i emit = _mm_andnot_si128(_mm_cmpeq_epi8(cls, prev), digit);

    const unsigned letters = static_cast<unsigned>(_mm_movemask_epi8(letter));
    alignas(16) u8 classes[32];
    alignas(16) u8 lasts[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(classes), cls);
    _mm_store_si128(reinterpret_cast<__m128i*>(classes + 16), zero);
    _mm_store_si128(reinterpret_cast<__m128i*>(lasts), last);
    return code_from_masks(p, n, letters, static_cast<unsigned>(_mm_movemask_epi8(emit)), classes, lasts);
}

// Equal strings match at once: up to 16 bytes they are compared in the
// registers their codes are built from.
[[gnu::target("ssse3")]] double match_vector(std::string_view a, std::string_view b) noexcept {
    const auto* pa = reinterpret_cast<const u8*>(a.data());
    const auto* pb = reinterpret_cast<const u8*>(b.data());
    const __m128i va = load_head(pa, a.size());
    const __m128i vb = load_head(pb, b.size());
    if (a.size() == b.size()) {
        if (a.size() <= 16 ? _mm_movemask_epi8(_mm_cmpeq_epi8(va, vb)) == 0xFFFF : a == b) return 1.0;
    }
    return code_vector(pa, a.size(), va) == code_vector(pb, b.size(), vb) ? 1.0 : 0.0;
}

// Both codes of a pair at once, one string per 128-bit half of an AVX2
// register. The classification and the scan work within each half (byte
// shifts never cross the halves), in fewer steps than code_vector's but to
// the same classes, last-letter classes and digit positions, so each half
// gives the code code_vector gives its string.
[[gnu::target("avx2,bmi,bmi2,popcnt"), gnu::always_inline]] inline bool codes_match_avx2(const u8* pa, std::size_t na,
                                                                                       __m128i va, const u8* pb,
                                                                                       std::size_t nb,
                                                                                       __m128i vb) noexcept {
    const __m256i v = _mm256_set_m128i(vb, va);
    // Letter index 0..25 (either case). Two lookups, one for A..P and one
    // for Q..Z: a saturating add sets bit 7 (a zero from the shuffle) on
    // every byte outside the table's letters, the second table rotated by
    // the 6 its index is offset by. Only letters get a nonzero class.
    const __m256i idx = _mm256_sub_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
    const __m256i lo_tab = _mm256_broadcastsi128_si256(_mm_setr_epi8(7, 1, 2, 3, 7, 1, 2, 7, 7, 2, 2, 4, 5, 5, 7, 1));
    const __m256i hi_tab = _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 0, 0, 0, 0, 0, 2, 6, 2, 3, 7, 1, 7, 2, 7, 2));
    const __m256i cls = _mm256_or_si256(
        _mm256_shuffle_epi8(lo_tab, _mm256_adds_epu8(idx, _mm256_set1_epi8(0x70))),
        _mm256_shuffle_epi8(hi_tab, _mm256_adds_epu8(_mm256_sub_epi8(idx, _mm256_set1_epi8(16)),
                                                     _mm256_set1_epi8(0x76))));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i skipped = _mm256_cmpeq_epi8(cls, zero);
    // The class of the last letter at or before each byte (0 before the
    // first), as a running maximum of (position + 1) * 8 + class over the
    // letters: the latest letter has the largest.
    const __m256i position = _mm256_setr_epi8(8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120, -128, 8, 16,
                                              24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120, -128);
    __m256i last = _mm256_andnot_si256(skipped, _mm256_or_si256(cls, position));
    last = _mm256_max_epu8(last, _mm256_slli_si256(last, 1));
    last = _mm256_max_epu8(last, _mm256_slli_si256(last, 2));
    last = _mm256_max_epu8(last, _mm256_slli_si256(last, 4));
    last = _mm256_max_epu8(last, _mm256_slli_si256(last, 8));
    last = _mm256_and_si256(last, _mm256_set1_epi8(7));
    const __m256i prev = _mm256_slli_si256(last, 1);
    const __m256i digit = _mm256_shuffle_epi8(
        _mm256_broadcastsi128_si256(_mm_setr_epi8(0, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0)), cls);
    const __m256i emit = _mm256_andnot_si256(_mm256_cmpeq_epi8(cls, prev), digit);
    const auto letters = ~static_cast<unsigned>(_mm256_movemask_epi8(skipped));
    const auto emits = static_cast<unsigned>(_mm256_movemask_epi8(emit));
    // classes[0..31]: a's classes, then zeros; classes[32..63]: b's, zeros.
    alignas(32) u8 classes[64];
    alignas(32) u8 lasts[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(classes), _mm256_permute2x128_si256(cls, zero, 0x20));
    _mm256_store_si256(reinterpret_cast<__m256i*>(classes + 32), _mm256_permute2x128_si256(cls, zero, 0x31));
    _mm256_store_si256(reinterpret_cast<__m256i*>(lasts), last);
    return code_from_masks(pa, na, letters & 0xFFFF, emits & 0xFFFF, classes, lasts) ==
           code_from_masks(pb, nb, letters >> 16, emits >> 16, classes + 32, lasts + 16);
}

[[gnu::target("ssse3")]] std::uint32_t code_word_vector(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const u8*>(s.data());
    return code_vector(p, s.size(), load_head(p, s.size()));
}

#endif

bool use_vector() noexcept {
#if CORVANE_SOUNDEX_VECTOR
    static const bool vector = simd_level() != SimdLevel::scalar;
    return vector;
#else
    return false;
#endif
}

std::uint32_t code_word(std::string_view s) noexcept {
#if CORVANE_SOUNDEX_VECTOR
    if (use_vector()) return code_word_vector(s);
#endif
    return code_from(reinterpret_cast<const u8*>(s.data()), 0, s.size());
}

}  // namespace

std::array<char, 4> soundex_code(std::string_view s) noexcept {
    const std::uint32_t w = code_word(s);
    std::array<char, 4> code;
    for (int k = 0; k < 4; ++k) code[static_cast<std::size_t>(k)] = static_cast<char>(w >> (8 * k));
    return code;
}

// Equal strings have equal codes.
double soundex_match(std::string_view a, std::string_view b) noexcept {
#if CORVANE_SOUNDEX_VECTOR
    if (use_vector()) return match_vector(a, b);
#endif
    if (a == b) return 1.0;
    return code_word(a) == code_word(b) ? 1.0 : 0.0;
}

#if CORVANE_SOUNDEX_VECTOR
namespace avx2 {

// Soundex in blocks at the avx2 level and up: equal strings match at once
// (up to 16 bytes compared in registers), the others have both codes
// built in one register.
[[gnu::target("avx2,bmi,bmi2,popcnt")]] void soundex(const std::string_view* left, const std::string_view* right,
                                                     std::size_t count, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto* pa = reinterpret_cast<const u8*>(left[i].data());
        const auto* pb = reinterpret_cast<const u8*>(right[i].data());
        const std::size_t na = left[i].size(), nb = right[i].size();
        const __m128i va = load_head(pa, na);
        const __m128i vb = load_head(pb, nb);
        if (na == nb && (na <= 16 ? _mm_movemask_epi8(_mm_cmpeq_epi8(va, vb)) == 0xFFFF : left[i] == right[i])) {
            out[i] = 1.0;
            continue;
        }
        out[i] = codes_match_avx2(pa, na, va, pb, nb, vb) ? 1.0 : 0.0;
    }
}

}  // namespace avx2
#endif

}  // namespace corvane::similarity

// Jaccard, cosine and token sort ratio in blocks, compiled for AVX2 (the
// avx2 level; processors with AVX-512 run the same routines). Every pair
// scores what the per-pair kernel gives it, bit for bit; the pairs off the
// register path below are handed to the per-pair kernel.
//
// Register path: both strings of at most 32 bytes, no byte that may begin a
// multi-byte white-space character (0xC2, 0xE1 to 0xE3; only checked when
// a byte has its top bit set), no zero byte, at most four tokens, each under
// 16 bytes. Names and addresses are almost always there.
//   - A string is read into two 16-byte registers without a branch on its
//     length from 8 bytes on, never outside its bytes; identical pairs are
//     told apart in the registers.
//   - One compare pass gives its white-space mask; token starts and ends
//     are the mask's edges (bit n set in both marks the end).
//   - Each token becomes a 16-byte key by one byte shuffle whose control
//     comes from a table indexed by the token's offset and length (no
//     zero bytes, so the zero padding makes keys equal exactly when the
//     tokens are, and order them byte-wise).
//   - Four keys per side sit in two AVX2 registers (high and low halves);
//     rotations of one against the other give every pair's equality.
//
// The counts need no hashing and no sorting: over token lists a and b,
//   sum over distinct tokens of count_a^2 = ka + 2 * #{i < j : a_i == a_j},
//   sum over common tokens of count_a * count_b = #{(i, j) : a_i == b_j},
// and a token is distinct at its first occurrence. Counts are whole
// numbers, so the scores come out of the same final arithmetic (and the
// same tables, tokens.hpp) as the per-pair kernels.
//
// Token sort ratio places each token of a keyed string at the sum of the
// lengths (plus one) of the tokens before it in byte order, builds the
// joined string in two registers, writes it into the block's buffer (other
// strings are joined by tokens::sorted_join), and scores the joined strings
// with the Levenshtein block routine of the level in force.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

#include <immintrin.h>

#include "similarity/kernels.hpp"
#include "similarity/string_kernels.hpp"
#include "similarity/tokens.hpp"

#if CORVANE_HAVE_LANES

#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")

namespace corvane::similarity::avx2 {
namespace {

using u8 = unsigned char;

constexpr unsigned kShortBytes = 32;
constexpr unsigned kKeyBytes = 16;

// Shuffle controls that move a token into a key: entry (off, len), for a
// token of len < 16 bytes at byte off of a 16-byte window, takes token byte t
// (t < len) to lane 15 - t and zeroes the other lanes. Offsets 16 to 19
// (byte off - 16) serve the one-byte "tokens" read past a string's last
// token. A key read as a
// 128-bit integer then holds the token's bytes from the most significant
// down: its high 64 bits are bytes 0 to 7 big-endian, its low 64 bits
// bytes 8 to 14. Keys of tokens of at most 15 bytes without a zero byte
// are equal exactly when the tokens are, and order as the tokens do byte
// by byte (zero padding sorts a prefix first).
constexpr unsigned kOffsets = kKeyBytes + 4;
constexpr unsigned kLengths = kKeyBytes;
struct KeyControls {
    alignas(16) u8 ctrl[kOffsets * kLengths][16];
};
constexpr KeyControls make_key_controls() {
    KeyControls k{};
    for (unsigned off = 0; off < kOffsets; ++off)
        for (unsigned len = 0; len < kLengths; ++len)
            for (unsigned lane = 0; lane < 16; ++lane) {
                const unsigned t = 15 - lane;
                k.ctrl[off * kLengths + len][lane] = t < len ? static_cast<u8>((off + t) & 0x0F) : 0x80;
            }
    return k;
}
constexpr KeyControls kKeyControls = make_key_controls();

// All ones when c holds, else zero; opaque to the optimizer, so that the
// selections made with it stay selections rather than branches (the
// lengths of neighbouring strings are unrelated: a branch on them is
// mispredicted about as often as not).
inline std::uint64_t mask_if(bool c) {
    std::uint64_t m = -static_cast<std::uint64_t>(c);
    asm("" : "+r"(m));
    return m;
}

// m ? x : y for m all ones or zero.
inline std::uint64_t pick(std::uint64_t m, std::uint64_t x, std::uint64_t y) { return (x & m) | (y & ~m); }

inline std::uint64_t load8(const u8* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline std::uint32_t load4(const u8* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// Read in place of the last 16 bytes of a string of at most 16: bytes that
// are neither white space nor zero nor above 0x7F.
alignas(16) const u8 kFill[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// A string of at most 32 bytes in registers: lo holds bytes 0 to 15 (zero
// past the end), hi bytes n - 16 to n - 1 when n > 16 (kFill otherwise).
struct Loaded {
    __m128i lo, hi;
    const u8* p;
    unsigned n;
};

// Never reads outside the string. From 8 bytes on without a branch: two
// 8-byte loads give bytes 0 to 15 (the second one overlapping the first
// and shifted into place, in two halves: 64 bits when n = 8), and bytes
// n - 16 on are read from the string or, below 17 bytes, from kFill.
inline Loaded load(const u8* p, unsigned n) {
    Loaded r{_mm_setzero_si128(), _mm_load_si128(reinterpret_cast<const __m128i*>(kFill)), p, n};
    if (__builtin_expect(n < 8, 0)) {
        std::uint64_t lo = 0;
        if (n >= 4) {
            lo = load4(p) | static_cast<std::uint64_t>(load4(p + n - 4)) << (8 * (n - 4));
        } else if (n > 0) {
            lo = p[0] | static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2)) |
                 static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1));
        }
        r.lo = _mm_cvtsi64_si128(static_cast<long long>(lo));
        return r;
    }
    const unsigned m = n < 16 ? n : 16;
    const unsigned drop = 4 * (16 - m);
    const std::uint64_t lo = load8(p);
    const std::uint64_t hi = (load8(p + m - 8) >> drop) >> drop;
    r.lo = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    const auto tail = pick(mask_if(n > 16), reinterpret_cast<std::uintptr_t>(p) + n - 16,
                           reinterpret_cast<std::uintptr_t>(kFill));
    r.hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail));
    return r;
}

inline bool same_bytes(const Loaded& a, const Loaded& b) {
    const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(a.lo, b.lo), _mm_cmpeq_epi8(a.hi, b.hi));
    return a.n == b.n && _mm_movemask_epi8(eq) == 0xFFFF;
}

// Bit k set when byte k may begin a multi-byte white-space character.
inline unsigned wide_space_leads(__m256i v) {
    const __m256i is_c2 = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xC2)));
    const __m256i e = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0xE1)));
    const __m256i is_e = _mm256_cmpeq_epi8(_mm256_min_epu8(e, _mm256_set1_epi8(2)), e);
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(is_c2, is_e)));
}

// A string on the short path: its white space and token edges.
struct Cut {
    std::uint32_t white;         // bit k: byte k is white space
    std::uint32_t zero;          // bit k: byte k is zero (tokens with zero bytes are not keyed)
    std::uint64_t starts, ends;  // bit k: a token starts / ends (last byte) at k; plus bit n in both
    unsigned count;              // tokens
    unsigned bytes;              // bytes of the tokens
};

// Bits 0 to 15 of a mask of [hi | lo] are bytes 0 to 15; bits 16 to 31
// bytes n - 16 on when n > 16 (and zero otherwise, from kFill).
inline std::uint32_t string_bits(std::uint32_t m, unsigned n) {
    return (m & 0xFFFF) | (m >> 16) << ((n - 16) & 31);
}

// The white space of s, or false when s is not on the short path: a byte
// that may begin a multi-byte white-space character.
inline bool classify(const Loaded& s, Cut& c) {
    const __m256i v = _mm256_set_m128i(s.hi, s.lo);
    if (__builtin_expect(_mm256_movemask_epi8(v) != 0, 0) && wide_space_leads(v) != 0) return false;
    const __m256i ctrl = _mm256_sub_epi8(v, _mm256_set1_epi8(0x09));
    const __m256i space = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(ctrl, _mm256_set1_epi8(4)), ctrl),
                                          _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x20)));
    const auto z = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
    c.white = string_bits(static_cast<std::uint32_t>(_mm256_movemask_epi8(space)), s.n);
    c.zero = string_bits(z, s.n) & _bzhi_u32(~0u, s.n);
    return true;
}

// The token edges of a classified string.
inline void edges(const Loaded& s, Cut& c) {
    const std::uint32_t word = ~c.white & _bzhi_u32(~0u, s.n);
    const std::uint64_t end = std::uint64_t{1} << s.n;
    const std::uint32_t starts = word & ~(word << 1);
    c.starts = starts | end;
    c.ends = (word & ~(word >> 1)) | end;
    c.count = static_cast<unsigned>(_mm_popcnt_u32(starts));
    c.bytes = static_cast<unsigned>(_mm_popcnt_u32(word));
}

// Up to four tokens of a short string, their keys split into two vectors
// (lane i: token i): hi64 and lo64 of each key. Lanes from `count` on
// hold keys of no token.
struct Four {
    __m256i k0, k1;
    unsigned count;    // tokens of the string
    unsigned valid;    // bit i: lane i holds a token
    unsigned longest;  // the lengths of the first four tokens or'ed: 16 or more when one is
};

// Keys of the first four tokens of s, into key[0..3]; returns the lengths
// of those tokens or'ed (16 or more when one of them is that long).
inline unsigned raw_keys(const Loaded& s, const Cut& c, __m128i* key, unsigned* length = nullptr) {
    // A token's 16-byte window is read from the string when it is longer
    // than 16 bytes, else from its register, stored in `head`.
    alignas(16) u8 head[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(head), s.lo);
    const std::uint64_t big = mask_if(s.n > 16);
    const auto* src = reinterpret_cast<const u8*>(
        pick(big, reinterpret_cast<std::uintptr_t>(s.p), reinterpret_cast<std::uintptr_t>(head)));
    const unsigned last_window = static_cast<unsigned>(pick(big, s.n - 16, 0));
    // The edges end with bit n; bits n to n + 3 set in both make every
    // lane past the last token read a one-byte "token" at n to n + 3
    // (inside the window, and never bit 64 of an emptied mask, which
    // would index past the control table).
    const std::uint64_t past = std::uint64_t{0xF} << s.n;
    std::uint64_t starts = c.starts | past, ends = c.ends | past;
    unsigned lengths = 0;
    const auto round = [&](unsigned r) {
        const auto a = static_cast<unsigned>(_tzcnt_u64(starts));
        const auto len = static_cast<unsigned>(_tzcnt_u64(ends)) + 1 - a;
        starts = _blsr_u64(starts);
        ends = _blsr_u64(ends);
        lengths |= len;
        if (length != nullptr) length[r] = len;
        const unsigned base = a < last_window ? a : last_window;
        const unsigned slot = (a - base) * kLengths + (len & (kLengths - 1));
        const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + base));
        key[r] = _mm_shuffle_epi8(window, _mm_load_si128(reinterpret_cast<const __m128i*>(kKeyControls.ctrl[slot])));
    };
    round(0);
    round(1);
    round(2);
    // Names and addresses seldom hold four tokens: the fourth lane is
    // keyed only when there is a fourth token, and is zero otherwise (a
    // one-byte "token" past the end, as far as the lengths go).
    if (__builtin_expect(c.count > 3, 0)) {
        round(3);
    } else {
        key[3] = _mm_setzero_si128();
        if (length != nullptr) length[3] = 1;
        lengths |= 1;
    }
    return lengths;
}

// Marks for the lanes without a token, by token count (8 entries, so any
// count masked to 3 bits indexes in range): lane i from `count` on holds
// side + i in its lowest byte. A key's lowest byte holds token byte 15,
// which a keyed token never has, so a marked lane agrees with no token and
// with no other marked lane of either side (side 1 for one string of a
// pair, 5 for the other): comparisons need no mask of the lanes in use.
struct LaneMarks {
    alignas(32) std::uint64_t lane[8][4];
};
constexpr LaneMarks make_lane_marks(unsigned side) {
    LaneMarks m{};
    for (unsigned count = 0; count < 8; ++count)
        for (unsigned i = 0; i < 4; ++i) m.lane[count][i] = i >= count ? side + i : 0;
    return m;
}
constexpr LaneMarks kMarksA = make_lane_marks(1), kMarksB = make_lane_marks(5);

inline void keys(const Loaded& s, const Cut& c, Four& f, const LaneMarks& marks) {
    __m128i key[4];
    f.longest = raw_keys(s, c, key);
    f.count = c.count;
    f.valid = _bzhi_u32(0xF, c.count);
    f.k0 = _mm256_set_m128i(_mm_unpackhi_epi64(key[2], key[3]), _mm_unpackhi_epi64(key[0], key[1]));
    f.k1 = _mm256_or_si256(
        _mm256_set_m128i(_mm_unpacklo_epi64(key[2], key[3]), _mm_unpacklo_epi64(key[0], key[1])),
        _mm256_load_si256(reinterpret_cast<const __m256i*>(marks.lane[c.count & 7])));
}

// Lane i of x against lane (i + R) % 4 of y: bit i set when the keys agree.
template <int R>
inline unsigned agree(const Four& x, const Four& y) {
    constexpr int rot = R == 0 ? 0xE4 : R == 1 ? 0x39 : R == 2 ? 0x4E : 0x93;
    const __m256i e0 = _mm256_cmpeq_epi64(x.k0, R == 0 ? y.k0 : _mm256_permute4x64_epi64(y.k0, rot));
    const __m256i e1 = _mm256_cmpeq_epi64(x.k1, R == 0 ? y.k1 : _mm256_permute4x64_epi64(y.k1, rot));
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_and_si256(e0, e1))));
}

// Equal tokens within one list (marked lanes agree with none): r1 (lane i against lane
// i + 1) covers the pairs of neighbouring lanes and lanes 0 and 3, r2
// (lane i against lane i + 2) the other two pairs, twice.
struct SelfAgree {
    unsigned r1, r2;
};

inline SelfAgree self_agree(const Four& t) {
    return {agree<1>(t, t), agree<2>(t, t)};
}

// #{(i, j) : i != j, t_i == t_j}.
inline unsigned ordered_repeats(const SelfAgree& s) {
    return static_cast<unsigned>(2 * _mm_popcnt_u32(s.r1) + _mm_popcnt_u32(s.r2));
}

// Lanes whose token occurs at a lower lane: 3 against 0 (r1), 2 and 3
// against 0 and 1 (r2), and i against i - 1 (r1 of lane i - 1).
inline unsigned repeated(const SelfAgree& s) { return (s.r1 & 0x8) | (s.r2 & 0xC) | ((s.r1 << 1) & 0xE); }

// Both sides of a pair on the short path.
struct ShortPair {
    Loaded a, b;
    Cut ca, cb;
};

inline bool short_sizes(std::string_view a, std::string_view b) {
    return (a.size() <= kShortBytes) & (b.size() <= kShortBytes);
}

inline void load_pair(std::string_view a, std::string_view b, ShortPair& s) {
    s.a = load(reinterpret_cast<const u8*>(a.data()), static_cast<unsigned>(a.size()));
    s.b = load(reinterpret_cast<const u8*>(b.data()), static_cast<unsigned>(b.size()));
}

// Keys of a classified string; false when they do not hold its tokens in
// full: more than four tokens, one of 16 bytes or more, or a zero byte.
inline bool keyed(const Loaded& s, Cut& c, Four& t, const LaneMarks& marks) {
    edges(s, c);
    keys(s, c, t, marks);
    return (t.count <= 4) & (t.longest < kKeyBytes) & (c.zero == 0);
}

// Shuffle controls that place a key's token at byte o of a 32-byte
// joined string: entry o's first 16 bytes give bytes 0 to 15 of the
// string, its last 16 bytes give bytes 16 to 31 (token byte t, key lane
// 15 - t, lands at byte o + t; other bytes zero). Offsets past the string
// place nothing; there are 64 of them, so that any offset masked to 6 bits
// indexes in range.
constexpr unsigned kPlaces = 2 * kShortBytes;
struct PlaceControls {
    alignas(32) u8 ctrl[kPlaces][32];
};
constexpr PlaceControls make_place_controls() {
    PlaceControls p{};
    for (unsigned o = 0; o < kPlaces; ++o)
        for (unsigned j = 0; j < 32; ++j) {
            const int t = static_cast<int>(j) - static_cast<int>(o);
            p.ctrl[o][j] = t >= 0 && t < 16 ? static_cast<u8>(15 - t) : 0x80;
        }
    return p;
}
constexpr PlaceControls kPlaceControls = make_place_controls();

// Token sort ratio's joined form of a short string whose first four
// tokens are keyed (count <= 4, each under 16 bytes, no zero byte), built
// in two registers and written at dst (room for 32 bytes); returns its
// length. Each token's place comes from the tokens before it in byte
// order: token j goes before token i when its key is smaller, or equal and
// in a lower lane. Lanes without a token hold the largest key (so they
// come last) and place nothing. The tokens are or'ed into place; the zero
// bytes left between them are the joining spaces.
inline unsigned join_keys(const __m128i* key, const unsigned* length, unsigned count, unsigned bytes, char* dst) {
    const __m256i none = _mm256_cmpgt_epi64(_mm256_setr_epi64x(1, 2, 3, 4), _mm256_set1_epi64x(count));
    const __m256i flip = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL));
    // Keys as signed numbers that order as the unsigned ones do.
    const __m256i h = _mm256_xor_si256(
        _mm256_or_si256(_mm256_set_m128i(_mm_unpackhi_epi64(key[2], key[3]), _mm_unpackhi_epi64(key[0], key[1])), none),
        flip);
    const __m256i l = _mm256_xor_si256(
        _mm256_or_si256(_mm256_set_m128i(_mm_unpacklo_epi64(key[2], key[3]), _mm_unpacklo_epi64(key[0], key[1])), none),
        flip);
    const __m256i room = _mm256_andnot_si256(
        none, _mm256_setr_epi64x(length[0] + 1, length[1] + 1, length[2] + 1, length[3] + 1));
    __m256i at = _mm256_setzero_si256();
    const auto before = [&](auto rot, __m256i lower_lane) {
        const __m256i hr = _mm256_permute4x64_epi64(h, rot.value), lr = _mm256_permute4x64_epi64(l, rot.value);
        const __m256i less = _mm256_or_si256(
            _mm256_cmpgt_epi64(h, hr),
            _mm256_and_si256(_mm256_cmpeq_epi64(hr, h),
                             _mm256_or_si256(_mm256_cmpgt_epi64(l, lr),
                                             _mm256_and_si256(_mm256_cmpeq_epi64(lr, l), lower_lane))));
        at = _mm256_add_epi64(at, _mm256_and_si256(less, _mm256_permute4x64_epi64(room, rot.value)));
    };
    // Lane i against lane (i + r) % 4, which is the lower one when i + r >= 4.
    before(std::integral_constant<int, 0x39>{}, _mm256_setr_epi64x(0, 0, 0, -1));
    before(std::integral_constant<int, 0x4E>{}, _mm256_setr_epi64x(0, 0, -1, -1));
    before(std::integral_constant<int, 0x93>{}, _mm256_setr_epi64x(0, -1, -1, -1));
    // Lanes without a token go past the string.
    at = _mm256_or_si256(at, _mm256_and_si256(none, _mm256_set1_epi64x(kShortBytes)));
    const __m128i at01 = _mm256_castsi256_si128(at), at23 = _mm256_extracti128_si256(at, 1);
    const unsigned place[4] = {static_cast<unsigned>(_mm_cvtsi128_si64(at01)),
                               static_cast<unsigned>(_mm_extract_epi64(at01, 1)),
                               static_cast<unsigned>(_mm_cvtsi128_si64(at23)),
                               static_cast<unsigned>(_mm_extract_epi64(at23, 1))};
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
    const auto put = [&](unsigned r) {
        const u8* ctrl = kPlaceControls.ctrl[place[r] & (kPlaces - 1)];
        lo = _mm_or_si128(lo, _mm_shuffle_epi8(key[r], _mm_load_si128(reinterpret_cast<const __m128i*>(ctrl))));
        hi = _mm_or_si128(hi, _mm_shuffle_epi8(key[r], _mm_load_si128(reinterpret_cast<const __m128i*>(ctrl + 16))));
    };
    put(0);
    put(1);
    put(2);
    if (__builtin_expect(count > 3, 0)) put(3);  // else an empty lane (raw_keys)
    // The tokens' bytes and one space between each two.
    const unsigned n = count == 0 ? 0 : bytes + count - 1;
    // Spaces where nothing was placed, inside the joined length.
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i length_lo = _mm_set1_epi8(static_cast<char>(n));
    const __m128i length_hi = _mm_set1_epi8(static_cast<char>(n - 16));
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i gap_lo = _mm_and_si128(_mm_cmpeq_epi8(lo, _mm_setzero_si128()), _mm_cmpgt_epi8(length_lo, index));
    const __m128i gap_hi = _mm_and_si128(_mm_cmpeq_epi8(hi, _mm_setzero_si128()), _mm_cmpgt_epi8(length_hi, index));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(lo, space, gap_lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_blendv_epi8(hi, space, gap_hi));
    return n;
}

// Room for one short string's joined form.
constexpr std::size_t kJoinRoom = 80;

}  // namespace

void jaccard(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        ShortPair s;
        if (!short_sizes(left[i], right[i])) {
            out[i] = jaccard_similarity(left[i], right[i]);
            continue;
        }
        load_pair(left[i], right[i], s);
        if (same_bytes(s.a, s.b)) {
            out[i] = 1.0;  // equal token sets, or both without tokens
            continue;
        }
        if (!(classify(s.a, s.ca) & classify(s.b, s.cb))) {
            out[i] = jaccard_similarity(left[i], right[i]);
            continue;
        }
        if ((s.ca.white | s.cb.white) == 0) {
            out[i] = 0.0;  // different single tokens, or one side empty
            continue;
        }
        Four ta, tb;
        if (!(keyed(s.a, s.ca, ta, kMarksA) & keyed(s.b, s.cb, tb, kMarksB))) {
            out[i] = jaccard_similarity(left[i], right[i]);
            continue;
        }
        // Distinct tokens of each side (at their first lane), and those of
        // a also in b.
        const unsigned first_a = ta.valid & ~repeated(self_agree(ta));
        const unsigned first_b = tb.valid & ~repeated(self_agree(tb));
        const unsigned in_b = agree<0>(ta, tb) | agree<1>(ta, tb) | agree<2>(ta, tb) | agree<3>(ta, tb);
        const unsigned da = static_cast<unsigned>(_mm_popcnt_u32(first_a));
        const unsigned db = static_cast<unsigned>(_mm_popcnt_u32(first_b));
        const unsigned inter = static_cast<unsigned>(_mm_popcnt_u32(first_a & in_b));
        out[i] = tokens::jaccard_score(inter, da + db - inter);
    }
}

void cosine(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        ShortPair s;
        if (!short_sizes(left[i], right[i])) {
            out[i] = cosine_similarity(left[i], right[i]);
            continue;
        }
        load_pair(left[i], right[i], s);
        Four ta, tb;
        if (same_bytes(s.a, s.b)) {
            // The same counts on both sides: dot = na = nb.
            if (!classify(s.a, s.ca)) {
                out[i] = cosine_similarity(left[i], right[i]);
            } else if (s.ca.white == 0) {
                out[i] = 1.0;  // one token or none
            } else if (!keyed(s.a, s.ca, ta, kMarksA)) {
                out[i] = cosine_similarity(left[i], right[i]);
            } else {
                const std::uint64_t na = ta.count + ordered_repeats(self_agree(ta));
                out[i] = ta.count == 0 ? 1.0 : tokens::cosine_score(na, na, na);
            }
            continue;
        }
        if (!(classify(s.a, s.ca) & classify(s.b, s.cb))) {
            out[i] = cosine_similarity(left[i], right[i]);
            continue;
        }
        if ((s.ca.white | s.cb.white) == 0) {
            out[i] = 0.0;  // different single tokens, or one side empty
            continue;
        }
        if (!(keyed(s.a, s.ca, ta, kMarksA) & keyed(s.b, s.cb, tb, kMarksB))) {
            out[i] = cosine_similarity(left[i], right[i]);
            continue;
        }
        const unsigned dot = static_cast<unsigned>(_mm_popcnt_u32(agree<0>(ta, tb) | agree<1>(ta, tb) << 4 |
                                                                 agree<2>(ta, tb) << 8 | agree<3>(ta, tb) << 12));
        const std::uint64_t na = ta.count + ordered_repeats(self_agree(ta));
        const std::uint64_t nb = tb.count + ordered_repeats(self_agree(tb));
        // Both without tokens: 1.0; one side without: 0.0.
        out[i] = ta.count == 0 || tb.count == 0 ? (ta.count == tb.count ? 1.0 : 0.0)
                                                : tokens::cosine_score(dot, na, nb);
    }
}

void token_sort_ratio(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i)
        bytes += (left[i].size() > kShortBytes ? left[i].size() + 8 : kJoinRoom) +
                 (right[i].size() > kShortBytes ? right[i].size() + 8 : kJoinRoom);
    std::unique_ptr<char[]> buffer(new char[bytes]);
    char* dst = buffer.get();
    std::string_view jl[kBlockPairs], jr[kBlockPairs];
    std::size_t slot[kBlockPairs];
    std::size_t m = 0;
    // One side joined: from its keys on the short path, else as the
    // per-pair kernel joins it.
    const auto joined = [&](const Loaded& s, Cut& c, bool classified, std::string_view text) -> std::string_view {
        if (classified && c.white == 0) return text;  // one token or none: itself
        if (classified) {
            edges(s, c);
            __m128i key[4];
            unsigned length[4];
            const unsigned lengths = raw_keys(s, c, key, length);
            if ((c.count <= 4) & (lengths < kKeyBytes) & (c.zero == 0)) {
                const std::string_view v(dst, join_keys(key, length, c.count, c.bytes, dst));
                dst += kJoinRoom;
                return v;
            }
        }
        const std::string_view v = tokens::sorted_join(text, dst);
        dst += text.size() > kShortBytes ? text.size() + 8 : kJoinRoom;
        return v;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view a = left[i], b = right[i];
        if (!short_sizes(a, b)) {
            if (a == b) {
                out[i] = 1.0;
                continue;
            }
            jl[m] = tokens::sorted_join(a, dst);
            dst += a.size() > kShortBytes ? a.size() + 8 : kJoinRoom;
            jr[m] = tokens::sorted_join(b, dst);
            dst += b.size() > kShortBytes ? b.size() + 8 : kJoinRoom;
            slot[m++] = i;
            continue;
        }
        ShortPair s;
        load_pair(a, b, s);
        if (same_bytes(s.a, s.b)) {
            out[i] = 1.0;  // equal joined strings: distance 0, or both empty
            continue;
        }
        const bool ka = classify(s.a, s.ca), kb = classify(s.b, s.cb);
        if (ka & kb & ((s.ca.white | s.cb.white) == 0)) {
            // One token or none on each side: the strings are their joined forms.
            jl[m] = a;
            jr[m] = b;
            slot[m++] = i;
            continue;
        }
        jl[m] = joined(s.a, s.ca, ka, a);
        jr[m] = joined(s.b, s.cb, kb, b);
        slot[m++] = i;
    }
    double scores[kBlockPairs];
    const BlockRoutine levenshtein = kLevenshteinKernel.block_routine();
    if (levenshtein != nullptr) {
        levenshtein(jl, jr, m, scores);
    } else {
        for (std::size_t k = 0; k < m; ++k) scores[k] = levenshtein_similarity(jl[k], jr[k]);
    }
    for (std::size_t k = 0; k < m; ++k) out[slot[k]] = scores[k];
}

}  // namespace corvane::similarity::avx2

#pragma GCC pop_options

#endif

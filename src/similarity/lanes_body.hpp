// The block routines, written once over GCC vector types and compiled once
// per instruction set: the including file (lanes_avx2.cpp,
// lanes_avx512.cpp) sets the target, defines CORVANE_LANES_NS (the
// namespace of its routines) and CORVANE_LANE_REGISTER (register width in
// bytes), and includes every header this body needs before it, so that no
// inline function of a shared header is ever compiled for a wider set than
// plain x86-64. Everything here but the routines themselves has internal
// linkage for the same reason.
//
// Two registers' worth of lanes run side by side (vectors of twice the
// register width, split by the compiler into two independent instruction
// streams), so one stream's latency hides behind the other's work.
//
// Levenshtein: Myers' bit-parallel algorithm (Hyyro's formulation), as the
// per-pair kernel runs it, one lane per pair. Lane path: both strings
// ASCII, 1 to 64 bytes, and after the common affixes are stripped a pattern
// (the shorter string) of at least 2 characters. The lane's width follows
// the pattern's length: 8, 16, 32 or 64 bits for patterns of up to as many
// characters, so a register holds 32, 16, 8 or 4 pairs (AVX2; twice as many
// with AVX-512). Bits above the pattern's length compute rows that do not
// exist; carries and shifts only move upwards, so they never reach the
// pattern's rows, and they are masked off at the end.
//
// A lane's pattern mask of a text character is one byte compare of the
// character against the pattern held in a register (patterns of up to 32
// characters), or comes from a table written only at the pattern's
// characters and cleared again after (longer ones). The masks are laid out
// step-major before the steps, so each step loads whole registers of masks
// and never gathers lane by lane.
//
// Pairs of strings of up to 32 bytes are staged from registers: the
// shorter string compared byte for byte with the front and with the back
// of the longer gives both common affixes at once, and a pair left with no
// pattern character (n insertions) or one (n edits, one fewer when the
// text holds it) is scored there, without a branch on which; the others
// go on to the lanes. Loading a string reads none of the bytes after it
// (masked loads), as everywhere here.
//
// Block routines are handed strings read in place from record columns,
// scattered in memory: each pair's first bytes are fetched a few pairs
// before the pair is read.
//
// Lanes of a group end together: the pairs of one width are sorted by text
// length (counting sort, stable) and a shorter text is right-aligned, its
// lane idling through the first steps with no carry into the top row and a
// zero pattern mask, which leaves the initial state (all +1 vertical
// deltas) unchanged. After the last step each lane's vertical deltas are
// those of the text's last column, so the distance is n plus the count of
// +1 deltas minus the count of -1 deltas over the pattern's rows. The
// distance is unique, so each lane gives the per-pair kernel's distance,
// and the similarity is formed by the same expression.

namespace corvane::similarity::CORVANE_LANES_NS {

namespace {

constexpr std::size_t kMaxLaneChars = 64;

using u8 = unsigned char;

// Lane vectors of two registers, by lane width.
typedef std::uint8_t Lanes8 __attribute__((vector_size(2 * CORVANE_LANE_REGISTER)));
typedef std::uint16_t Lanes16 __attribute__((vector_size(2 * CORVANE_LANE_REGISTER)));
typedef std::uint32_t Lanes32 __attribute__((vector_size(2 * CORVANE_LANE_REGISTER)));
typedef std::uint64_t Lanes64 __attribute__((vector_size(2 * CORVANE_LANE_REGISTER)));

template <class T>
struct LaneVector;
template <>
struct LaneVector<std::uint8_t> {
    using type = Lanes8;
};
template <>
struct LaneVector<std::uint16_t> {
    using type = Lanes16;
};
template <>
struct LaneVector<std::uint32_t> {
    using type = Lanes32;
};
template <>
struct LaneVector<std::uint64_t> {
    using type = Lanes64;
};

// One pair on the lane path: pattern (the shorter string, m >= 1) and text.
struct LanePair {
    const u8* pat;
    const u8* text;
    std::uint32_t m;
    std::uint32_t n;
    std::uint32_t longest;  // the longer string's length before its common affixes were stripped
    std::uint32_t slot;     // index of the pair in the block
};

inline std::uint64_t load8(const u8* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Drops the common prefix and suffix of a[0..m) and b[0..n); neither edit
// distance depends on them. Compares 8 bytes at a time (the last 8 of a
// stretch overlapping those before), never reading outside the strings.
inline void strip_affixes(const u8*& a, std::uint32_t& m, const u8*& b, std::uint32_t& n) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    const std::uint32_t shorter = m < n ? m : n;
    std::uint32_t p = 0;
    if (shorter >= 8) {
        for (;;) {
            if (p + 8 > shorter) p = shorter - 8;
            const std::uint64_t x = load8(a + p) ^ load8(b + p);
            if (x != 0) {
                p += static_cast<std::uint32_t>(__builtin_ctzll(x)) >> 3;
                break;
            }
            if (p + 8 == shorter) {
                p = shorter;
                break;
            }
            p += 8;
        }
    } else {
        while (p < shorter && a[p] == b[p]) ++p;
    }
    a += p;
    b += p;
    m -= p;
    n -= p;
    const std::uint32_t rest = shorter - p;
    std::uint32_t s = 0;
    if (rest >= 8) {
        for (;;) {
            if (s + 8 > rest) s = rest - 8;
            const std::uint64_t x = load8(a + m - s - 8) ^ load8(b + n - s - 8);
            if (x != 0) {
                s += static_cast<std::uint32_t>(__builtin_clzll(x)) >> 3;
                break;
            }
            if (s + 8 == rest) {
                s = rest;
                break;
            }
            s += 8;
        }
    } else {
        while (s < rest && a[m - 1 - s] == b[n - 1 - s]) ++s;
    }
    m -= s;
    n -= s;
}

const u8* bytes_of(std::string_view s) { return reinterpret_cast<const u8*>(s.data()); }

// Pairs whose strings are both 1 to kShortChars bytes long are staged from
// registers: each string at the front of one, zero past its end.
constexpr std::uint32_t kShortChars = 32;

// Bytes [0, n) of p (1 <= n <= 32), zero above; reads nothing outside them.
#if CORVANE_LANE_REGISTER == 64
inline __m256i load_short(const u8* p, std::uint32_t n) { return _mm256_maskz_loadu_epi8(_bzhi_u32(~0u, n), p); }
#else
inline __m256i load_short(const u8* p, std::uint32_t n) {
    // The whole 4-byte words under a mask (words masked off are not read),
    // the 1 to 3 bytes after them from the 4 bytes ending the string, or
    // from single bytes when it is shorter than 4.
    static constexpr u8 kNothing[4] = {};
    const __m256i word = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i whole = _mm256_set1_epi32(static_cast<int>(n >> 2));
    const __m256i body = _mm256_maskload_epi32(reinterpret_cast<const int*>(p), _mm256_cmpgt_epi32(whole, word));
    std::uint32_t end;
    std::memcpy(&end, n >= 4 ? p + n - 4 : kNothing, 4);
    const auto tail = static_cast<std::uint32_t>(static_cast<std::uint64_t>(end) >> (8 * (4 - (n & 3))));
    const std::uint32_t k = n < 4 ? n : 1;  // the length below 4 bytes (from 4 on, unused)
    const std::uint32_t bytes = p[0] | static_cast<std::uint32_t>(p[k >> 1]) << (8 * (k >> 1)) |
                                static_cast<std::uint32_t>(p[k - 1]) << (8 * (k - 1));
    const std::uint32_t rest = n >= 4 ? tail : bytes;
    return _mm256_or_si256(body, _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(rest)),
                                                  _mm256_cmpeq_epi32(whole, word)));
}
#endif

// Lane widths, narrowest first: a pattern of m characters takes the first
// whose bits hold it.
constexpr std::size_t kWidths = 4;
constexpr std::uint32_t kWidthBits[kWidths] = {8, 16, 32, 64};

std::uint32_t width_of(std::uint32_t m) { return m <= 8 ? 0 : m <= 16 ? 1 : m <= 32 ? 2 : 3; }

// Bytes [0, m) of p (2 <= m <= 32) in a register, the rest 0x80 (which no
// ASCII string holds); every load inside [p, p + m). Two loads cover the
// bytes (the second ending at p + m, overlapping the first), one shuffle
// puts them in place.
inline __m256i pattern_register(const u8* p, std::uint32_t m) {
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i high = _mm_set1_epi8(static_cast<char>(0x80));
    if (m > 16) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + m - 16));
        // Byte x of the upper half is p[16 + x], at hi[x + 32 - m], for x < m - 16.
        const __m128i keep = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(m - 16)), iota);
        const __m128i ctl = _mm_or_si128(_mm_add_epi8(iota, _mm_set1_epi8(static_cast<char>(32 - m))),
                                         _mm_andnot_si128(keep, high));
        const __m128i upper = _mm_or_si128(_mm_shuffle_epi8(hi, ctl), _mm_andnot_si128(keep, high));
        return _mm256_set_m128i(upper, lo);
    }
    // Two loads of h bytes (8, 4 or 2: the first and last h of the pattern)
    // side by side; byte i >= h of the pattern is at i + 2h - m.
    __m128i two;
    std::uint32_t h;
    if (m >= 8) {
        h = 8;
        two = _mm_set_epi64x(static_cast<long long>(load8(p + m - 8)), static_cast<long long>(load8(p)));
    } else if (m >= 4) {
        h = 4;
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + m - 4, 4);
        two = _mm_set_epi32(0, 0, static_cast<int>(hi), static_cast<int>(lo));
    } else {  // 2 or 3 bytes: loads of one byte each
        h = 2;
        two = _mm_setr_epi8(static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[m - 2]),
                            static_cast<char>(p[m - 1]), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    }
    const __m128i m_bytes = _mm_set1_epi8(static_cast<char>(m));
    const __m128i from_second = _mm_cmpgt_epi8(iota, _mm_set1_epi8(static_cast<char>(h - 1)));
    const __m128i pad = _mm_cmpgt_epi8(m_bytes, iota);  // all ones at i < m
    const __m128i ctl = _mm_or_si128(
        _mm_blendv_epi8(iota, _mm_add_epi8(iota, _mm_set1_epi8(static_cast<char>(2 * h - m))), from_second),
        _mm_andnot_si128(pad, high));
    const __m128i lower = _mm_or_si128(_mm_shuffle_epi8(two, ctl), _mm_andnot_si128(pad, high));
    return _mm256_set_m128i(high, lower);
}

// One text character in every lane: x the lanes' pattern masks of it,
// carry 1 in lanes whose text has begun (they take the top row's +1), 0 in
// lanes still idling. Shifts by one are written as additions, which every
// lane width has.
template <class V>
[[gnu::always_inline]] inline void myers_step(const V& x, const V& carry, V& vp, V& vn) {
    const V d0 = (((x & vp) + vp) ^ vp) | x | vn;
    V hp = vn | ~(d0 | vp);
    const V hn = (d0 & vp) + (d0 & vp);
    hp = (hp + hp) | carry;
    vp = hn | ~(d0 | hp);
    vn = hp & d0;
}

// Distances of the pairs of one group (at most 2 * register / sizeof(T)
// of them, pm all zero on entry and on return), all with patterns of at
// most 8 * sizeof(T) characters and texts of at most `steps` characters.
template <class T>
void levenshtein_group(const LanePair* pairs, std::size_t used, std::size_t steps, std::uint64_t* pm,
                       std::uint64_t* dist_out) {
    using V = typename LaneVector<T>::type;
    constexpr std::size_t kLanes = sizeof(V) / sizeof(T);
    static_assert(kMaxLaneChars < 128, "a countdown keeps its sign in 8-bit lanes");
    alignas(64) T x[kMaxLaneChars][kLanes];  // step-major: x[j][lane], 0 while the lane idles
    alignas(64) T start[kLanes];             // the lane's first step (steps: never)
    std::memset(x, 0, steps * sizeof x[0]);
    for (std::size_t k = 0; k < kLanes; ++k) start[k] = static_cast<T>(steps);
    for (std::size_t k = 0; k < used; ++k) {
        const LanePair& q = pairs[k];
        const std::size_t first = steps - q.n;
        start[k] = static_cast<T>(first);
        if constexpr (sizeof(T) <= 4) {
            // The mask of a text character: one byte compare against the
            // pattern, padded with a byte no ASCII text holds.
            const __m256i pattern = pattern_register(q.pat, q.m);
            for (std::uint32_t j = 0; j < q.n; ++j) {
                const __m256i c = _mm256_set1_epi8(static_cast<char>(q.text[j]));
                x[first + j][k] = static_cast<T>(
                    static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(pattern, c))));
            }
        } else {
            for (std::uint32_t i = 0; i < q.m; ++i) pm[q.pat[i]] |= std::uint64_t{1} << i;
            for (std::uint32_t j = 0; j < q.n; ++j) x[first + j][k] = pm[q.text[j]];
            for (std::uint32_t i = 0; i < q.m; ++i) pm[q.pat[i]] = 0;
        }
    }

    // Lane k takes the top row's +1 from step start[k] on: countdown holds
    // start - j - 1 at step j, whose sign bit is that carry.
    V vp = ~V{}, vn = V{}, countdown;
    std::memcpy(&countdown, start, sizeof countdown);
    countdown -= 1;
    for (std::size_t j = 0; j < steps; ++j) {
        V xj;
        std::memcpy(&xj, x[j], sizeof xj);
        myers_step(xj, countdown >> (8 * sizeof(T) - 1), vp, vn);
        countdown -= 1;
    }
    alignas(64) T up[kLanes], down[kLanes];
    std::memcpy(up, &vp, sizeof up);
    std::memcpy(down, &vn, sizeof down);
    for (std::size_t k = 0; k < used; ++k) {
        const std::uint32_t m = pairs[k].m;
        const std::uint64_t rows = m == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << m) - 1;
        const auto plus = static_cast<std::uint64_t>(__builtin_popcountll(up[k] & rows));
        const auto minus = static_cast<std::uint64_t>(__builtin_popcountll(down[k] & rows));
        dist_out[k] = pairs[k].n + plus - minus;
    }
}

}  // namespace

void levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    LanePair packed[kBlockPairs];
    std::size_t n_packed = 0;
    constexpr std::size_t kAhead = 16;  // pairs whose strings are fetched ahead
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
            __builtin_prefetch(left[i + kAhead].data());
            __builtin_prefetch(right[i + kAhead].data());
        }
        const bool swap = left[i].size() > right[i].size();
        const std::string_view a = swap ? right[i] : left[i];
        const std::string_view b = swap ? left[i] : right[i];
        if (a.size() - 1 < kShortChars && b.size() <= kShortChars) {
            // Both short: a against b's front and against b's back. The
            // score is written for every pair and the pair listed for the
            // lanes, which count it only with two pattern characters or
            // more (and then overwrite the score).
            const auto m = static_cast<std::uint32_t>(a.size());
            const auto n = static_cast<std::uint32_t>(b.size());
            const u8* pa = bytes_of(a);
            const u8* pb = bytes_of(b);
            const __m256i va = load_short(pa, m);
            const __m256i vb = load_short(pb, n);
            const __m256i vt = load_short(pb + (n - m), m);
            if (!_mm256_testz_si256(_mm256_or_si256(va, vb), _mm256_set1_epi8(static_cast<char>(0x80)))) {
                out[i] = levenshtein_similarity(left[i], right[i]);
                continue;
            }
            const auto front = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(va, vb)));
            const auto back = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(va, vt)));
            std::uint32_t p = static_cast<std::uint32_t>(__builtin_ctzll(~std::uint64_t{front}));
            p = p < m ? p : m;
            // Bit m - 1 of back (a's last byte) moved to bit 63; 1 below the rest.
            const std::uint64_t unequal_back = (~std::uint64_t{back} << (64 - m)) | 1;
            std::uint32_t s = static_cast<std::uint32_t>(__builtin_clzll(unequal_back));
            s = s < m - p ? s : m - p;
            const std::uint32_t mr = m - p - s;
            const std::uint32_t nr = n - p - s;
            // With one pattern character left, whether b[p, n - s) holds it.
            const u8 c = pa[p - (p == m)];
            const auto hits = static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(vb, _mm256_set1_epi8(static_cast<char>(c)))));
            const std::uint64_t window = static_cast<std::uint64_t>(_bzhi_u32(hits, n - s)) >> p;
            const std::uint32_t distance = nr - static_cast<std::uint32_t>((mr == 1) & (window != 0));
            out[i] = 1.0 - static_cast<double>(distance) / static_cast<double>(n);
            packed[n_packed] = LanePair{pa + p, pb + p, mr, nr, n, static_cast<std::uint32_t>(i)};
            n_packed += mr >= 2;
            continue;
        }
        if (a.empty() || b.size() > kMaxLaneChars || !utf8::is_ascii(a) || !utf8::is_ascii(b)) {
            out[i] = levenshtein_similarity(left[i], right[i]);
            continue;
        }
        const u8* pa = bytes_of(a);
        const u8* pb = bytes_of(b);
        std::uint32_t m = static_cast<std::uint32_t>(a.size());
        std::uint32_t n = static_cast<std::uint32_t>(b.size());
        const std::uint32_t longest = n;
        strip_affixes(pa, m, pb, n);
        if (m == 0) {  // one string is the other with characters added: n insertions
            out[i] = 1.0 - static_cast<double>(n) / static_cast<double>(longest);
            continue;
        }
        if (m == 1) {  // one character against n: n - 1 edits when the text holds it, else n
            std::uint32_t held = 0;
            for (std::uint32_t j = 0; j < n; ++j) held |= pb[j] == pa[0];
            out[i] = 1.0 - static_cast<double>(n - held) / static_cast<double>(longest);
            continue;
        }
        packed[n_packed++] = LanePair{pa, pb, m, n, longest, static_cast<std::uint32_t>(i)};
    }
    // Sorted by lane width, then by text length (counting sort, stable).
    constexpr std::size_t kKeys = kWidths * (kMaxLaneChars + 1);
    std::uint32_t begin[kKeys + 1] = {};
    for (std::size_t i = 0; i < n_packed; ++i) ++begin[width_of(packed[i].m) * (kMaxLaneChars + 1) + packed[i].n + 1];
    for (std::size_t k = 1; k <= kKeys; ++k) begin[k] += begin[k - 1];
    std::uint32_t width_end[kWidths];
    for (std::size_t w = 0; w < kWidths; ++w) width_end[w] = begin[(w + 1) * (kMaxLaneChars + 1)];
    LanePair sorted[kBlockPairs];
    for (std::size_t i = 0; i < n_packed; ++i)
        sorted[begin[width_of(packed[i].m) * (kMaxLaneChars + 1) + packed[i].n]++] = packed[i];

    alignas(64) std::uint64_t pm[256] = {};
    std::size_t g = 0;
    for (std::size_t w = 0; w < kWidths; ++w) {
        const std::size_t lanes = 2 * CORVANE_LANE_REGISTER * 8 / kWidthBits[w];
        while (g < width_end[w]) {
            const std::size_t used = width_end[w] - g < lanes ? width_end[w] - g : lanes;
            const std::size_t steps = sorted[g + used - 1].n;  // the longest text of the group
            std::uint64_t dist[2 * CORVANE_LANE_REGISTER];
            switch (w) {
                case 0: levenshtein_group<std::uint8_t>(sorted + g, used, steps, pm, dist); break;
                case 1: levenshtein_group<std::uint16_t>(sorted + g, used, steps, pm, dist); break;
                case 2: levenshtein_group<std::uint32_t>(sorted + g, used, steps, pm, dist); break;
                default: levenshtein_group<std::uint64_t>(sorted + g, used, steps, pm, dist); break;
            }
            for (std::size_t k = 0; k < used; ++k) {
                const LanePair& q = sorted[g + k];
                // 1 - d / L, L the longer length (the text's), as the per-pair kernel forms it.
                out[q.slot] = 1.0 - static_cast<double>(dist[k]) / static_cast<double>(q.longest);
            }
            g += used;
        }
    }
}

}  // namespace corvane::similarity::CORVANE_LANES_NS

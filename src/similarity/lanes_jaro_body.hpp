// Jaro-Winkler block routine, several pairs per 64-bit word of match
// state. Included by lanes_avx2.cpp after lanes_body.hpp, under the same
// target and with the same rules (internal linkage for everything but the
// routine; every shared header included before the target is set).
//
// The per-pair kernel (jaro_winkler.cpp) lets each character a[i] of the
// left string, in order, claim the lowest unclaimed position of the right
// string b holding the same character inside the window [i - R, i + R].
// Here a word of 64 bits is cut into segments of W bits (W = 16, 32 or
// 64), one pair per segment; a pair fits a segment when both strings are
// ASCII and at most W - 1 bytes long, which keeps the top bit of every
// segment free. Four words (a group: 16, 8 or 4 pairs) step together, one
// per 64-bit lane of a register. Per step i:
//   - the right strings sit in two 256-bit registers, W bytes per pair;
//     one byte-compare against each pair's a[i] (broadcast over its W
//     bytes) and a movemask give every pair's set of positions holding a[i],
//     with no table to build;
//   - cand = eq & window & avail, where avail holds the unclaimed positions
//     below |b| (so padding bytes, and the free top bit, never match);
//   - the lowest set bit of every segment at once: with the top bits free,
//     (~cand & ~H) + L is -cand within each segment and never carries
//     into the next (H: the top bit of each segment, L: the lowest), so
//     cand & ((~cand & ~H) + L) keeps exactly each segment's lowest bit;
//   - claimed bits leave avail, and whether pair k matched at step i is
//     shifted into an accumulator that ends holding the matched positions
//     of every left string.
// A left string past its end reads 0x80, which no ASCII byte equals.
// The window of each segment grows by one low bit per step while i < R
// and slides after, exactly as the per-pair kernel's; bits shifted out of
// a segment's top are dropped at the next segment's bottom.
//
// Transpositions are then counted per pair: the matched characters of a
// and of b, each gathered in order by byte shuffles in registers (rows of
// 64 bytes: 8 bytes at a time through memory), compared at once; t is the
// number that differ.
// The scores are formed four at a time with the per-pair kernel's
// operations on every lane in its order (its two branches taken by
// blending), so every pair scores the same bit for bit. For strings of at
// most 31 characters the three quotients m / |a|, m / |b| and
// (m - t / 2) / m are quotients of two integers below 32, read from a
// table of all such quotients (each computed by the same division), which
// leaves one division per four pairs.
//
// The front is one pass over the block. A pair whose strings both hold 1
// to 31 bytes is read with one 32-byte load per string (see
// load_string), checked for ASCII (the OR of both) and for identity (one
// compare: 1.0, and the pair is dropped without a branch, since about half
// of real candidate pairs are identical), and written straight into the
// group of its length class: the segment width its longer string needs
// and a band of left lengths, since a group runs as many steps as its
// longest left string. A group that fills is matched at once, while its
// rows are in cache; at the end of the block the pairs left in a class
// move up into the next band of the same width (more steps, never fewer
// than they need), so only the last band of each width runs part full.
// Pairs with a string of 32 to 63 bytes go to 64-bit segments, read in
// place; the rest (empty, longer than 63 bytes, non-ASCII) go to the
// per-pair kernel.

namespace corvane::similarity::CORVANE_LANES_NS {

namespace {

constexpr std::uint32_t kJaroMaxChars = 63;
// Strings of 1 to kRowChars bytes are read into 32-byte registers and go to
// segments of 16 or 32 bits.
constexpr std::uint32_t kRowChars = 31;

inline std::uint32_t load4(const u8* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// Copies n (<= 64) bytes, every load and store inside [src, src + n) and
// [dst, dst + n): chunks of 16, 8 or 4 with the last overlapping.
inline void copy_short(u8* dst, const u8* src, std::uint32_t n) {
    if (n >= 16) {
        for (std::uint32_t k = 0; k + 16 < n; k += 16)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n - 16),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16)));
    } else if (n >= 8) {
        const std::uint64_t x = load8(src), y = load8(src + n - 8);
        std::memcpy(dst, &x, 8);
        std::memcpy(dst + n - 8, &y, 8);
    } else if (n >= 4) {
        const std::uint32_t x = load4(src), y = load4(src + n - 4);
        std::memcpy(dst, &x, 4);
        std::memcpy(dst + n - 4, &y, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// Bytes [0, n) of p (1 <= n <= 32) in a register, the rest zero; every
// load inside [p, p + n).
inline __m256i load_padded(const u8* p, std::uint32_t n) {
    if (n >= 16) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
        // Byte x of the upper half is p[16 + x], at hi[x + 32 - n], for x < n - 16.
        const __m128i x = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i keep = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(n - 16)), x);
        const __m128i ctl = _mm_or_si128(_mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(32 - n))),
                                         _mm_andnot_si128(keep, _mm_set1_epi8(static_cast<char>(0x80))));
        return _mm256_set_m128i(_mm_shuffle_epi8(hi, ctl), lo);
    }
    std::uint64_t lo, hi = 0;
    if (n >= 8) {
        lo = load8(p);
        // p[8 + x] is at byte x + 16 - n of the last 8.
        hi = (load8(p + n - 8) >> (8 * (15 - n))) >> 8;
    } else if (n >= 4) {
        lo = load4(p) | static_cast<std::uint64_t>(load4(p + n - 4)) << (8 * (n - 4));
    } else {
        lo = p[0] | static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2)) |
             static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1));
    }
    return _mm256_set_m128i(_mm_setzero_si128(), _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)));
}

// The per-pair kernel's search range: max(|a|, |b|) / 2 - 1, at least 0.
inline std::uint32_t jaro_range(std::uint32_t la, std::uint32_t lb) {
    const std::uint32_t mx = la > lb ? la : lb;
    return mx / 2 >= 1 ? mx / 2 - 1 : 0;
}

// kSelect[mask]: the positions of mask's set bits, ascending, one per byte
// (a byte-shuffle control that gathers the selected bytes of 8 to the front).
constexpr struct SelectTable {
    std::uint64_t v[256];
    constexpr SelectTable() : v() {
        for (unsigned mk = 0; mk < 256; ++mk) {
            unsigned n = 0;
            for (unsigned j = 0; j < 8; ++j)
                if (mk >> j & 1) v[mk] |= static_cast<std::uint64_t>(j) << (8 * n++);
        }
    }
} kSelect;

// Writes the bytes of row[0, W) whose bits are set in mask, in order, to
// dst (W + 8 bytes; those past the selected ones are left undefined).
template <unsigned W>
inline void gather_bytes(const u8* row, std::uint64_t mask, u8* dst) {
    unsigned off = 0;
    for (unsigned c = 0; c < W; c += 8) {
        const unsigned mk = static_cast<unsigned>(mask >> c) & 0xFF;
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + c));
        const __m128i ctl = _mm_cvtsi64_si128(static_cast<long long>(kSelect.v[mk]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + off), _mm_shuffle_epi8(v, ctl));
        off += static_cast<unsigned>(__builtin_popcount(mk));
    }
}

// The shuffle control that gathers the bytes of a 16-byte row selected by
// mask (16 bits) to its front: the controls of the two halves, the upper
// one shifted in behind the lower one's count, in registers.
inline __m128i select16(unsigned mask) {
    const auto n_lo = static_cast<char>(__builtin_popcount(mask & 0xFF));
    const __m128i x = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i lo = _mm_cvtsi64_si128(static_cast<long long>(kSelect.v[mask & 0xFF]));
    const __m128i hi = _mm_cvtsi64_si128(static_cast<long long>(kSelect.v[(mask >> 8) & 0xFF] + 0x0808080808080808u));
    // Byte x: lo[x] below n_lo, else hi[x - n_lo].
    return _mm_blendv_epi8(_mm_shuffle_epi8(hi, _mm_sub_epi8(x, _mm_set1_epi8(n_lo))), lo,
                           _mm_cmpgt_epi8(_mm_set1_epi8(n_lo), x));
}

// The bytes of a 32-byte row selected by mask, in order: the first 16 in
// r0, the next in r1 (bytes past the selected ones undefined). Each half
// is gathered by one shuffle, then the upper half's bytes are shifted in
// behind the lower half's count, all in registers.
inline void select32(const u8* row, std::uint32_t mask, __m128i& r0, __m128i& r1) {
    const __m128i lo = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)), select16(mask & 0xFFFF));
    const __m128i hi = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16)), select16(mask >> 16));
    const auto n = static_cast<char>(__builtin_popcount(mask & 0xFFFF));
    const __m128i x = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    // Byte x of r0: lo[x] below n, else hi[x - n]; of r1: hi[x + 16 - n],
    // an index below 16 wherever a selected byte lands.
    const __m128i below = _mm_cmpgt_epi8(_mm_set1_epi8(n), x);
    r0 = _mm_blendv_epi8(_mm_shuffle_epi8(hi, _mm_sub_epi8(x, _mm_set1_epi8(n))), lo, below);
    r1 = _mm_shuffle_epi8(hi, _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(16 - n))));
}

template <unsigned W>
constexpr std::uint64_t every_segment(std::uint64_t x) {
    std::uint64_t r = 0;
    for (unsigned k = 0; k < 64; k += W) r |= x << k;
    return r;
}

// Bytes [0, n) of p (1 <= n <= 32) in a register, the rest zero. Within
// one page a single 32-byte load cannot fault, so it is used whenever the
// 32 bytes from p share p's page (bytes past the string are cleared before
// any use); near a page's end, load_padded reads only the string's bytes.
// The sanitizers would report the bytes read past the string, so they do
// not watch this function.
__attribute__((no_sanitize_address, no_sanitize_thread)) inline __m256i load_string(const u8* p, std::uint32_t n) {
    if ((reinterpret_cast<std::uintptr_t>(p) & 4095) > 4096 - 32) return load_padded(p, n);
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                          22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i keep = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(n)), iota);
    return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), keep);
}

// kQuotient.v[x][y] = x / y for x, y below 32 (y > 0), each the same
// correctly rounded division the per-pair kernel performs; v[x][0] = 0.
constexpr struct QuotientTable {
    double v[kRowChars + 1][kRowChars + 1];
    constexpr QuotientTable() : v() {
        for (unsigned x = 0; x <= kRowChars; ++x)
            for (unsigned y = 1; y <= kRowChars; ++y) v[x][y] = static_cast<double>(x) / static_cast<double>(y);
    }
} kQuotient;

// Words of match state stepped together, one per 64-bit lane of a
// register.
constexpr unsigned kJaroWords = 4;
// Bytes of a group's rows (one row of W bytes per pair, 64 per word), with
// slack for 32-byte stores and loads that start at the last row.
constexpr unsigned kGroupRows = 64 * kJaroWords;
constexpr unsigned kGroupSlack = 64;
constexpr unsigned kGroupMaxPairs = kJaroWords * 64 / 16;

// A group of pairs on the lanes: rows of W bytes per pair, the left
// string's padded with 0x80, the right's with zero. The rows of lanes at
// and above `used` are left unwritten (their avail stays empty, so nothing
// read from them ever counts).
struct JaroRows {
    const u8* a;
    const u8* b;
    const u8* la;
    const u8* lb;
    const u8* prefix;           // common prefix length, at most 4
    const std::uint16_t* slot;  // index of the pair in the block
};

// The scores of `used` lanes from their quotients, four at a time: the
// per-pair kernel's operations on each lane in its order (Jaro 0.0
// without matches; the prefix bonus only above 0.7), the branches taken
// by blending. Arrays hold a multiple of 4 entries.
inline void jaro_scores(const double* q1, const double* q2, const double* q3, const double* pre,
                        const std::uint16_t* slot, std::size_t used, double* out) {
    for (std::size_t k = 0; k < used; k += 4) {
        const __m256d a = _mm256_load_pd(q1 + k);
        const __m256d s0 = _mm256_add_pd(a, _mm256_load_pd(q2 + k));
        const __m256d jaro = _mm256_div_pd(_mm256_add_pd(s0, _mm256_load_pd(q3 + k)), _mm256_set1_pd(3.0));
        const __m256d kk = _mm256_mul_pd(_mm256_set1_pd(0.1), _mm256_load_pd(pre + k));
        const __m256d gap = _mm256_sub_pd(_mm256_set1_pd(1.0), jaro);
        const __m256d boosted = _mm256_add_pd(jaro, _mm256_mul_pd(gap, kk));
        __m256d score = _mm256_blendv_pd(jaro, boosted, _mm256_cmp_pd(jaro, _mm256_set1_pd(0.7), _CMP_GT_OQ));
        // m = 0 exactly when m / |a| is 0.
        score = _mm256_blendv_pd(score, _mm256_setzero_pd(), _mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_EQ_OQ));
        alignas(32) double got[4];
        _mm256_store_pd(got, score);
        const std::size_t end = used - k < 4 ? used - k : 4;
        for (std::size_t j = 0; j < end; ++j) out[slot[k + j]] = got[j];
    }
}

// Matches `used` (1 to kJaroWords * 64 / W) pairs and writes their scores
// to out[slot].
template <unsigned W>
void jaro_group(const JaroRows& g, std::size_t used, double* out) {
    constexpr unsigned NW = kJaroWords;
    constexpr std::uint64_t L = every_segment<W>(1);
    constexpr std::uint64_t H = every_segment<W>(std::uint64_t{1} << (W - 1));
    constexpr std::uint64_t seg_mask = W == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (W % 64)) - 1;
    constexpr unsigned per_word = 64 / W;

    alignas(32) std::uint64_t avail[NW] = {}, window[NW] = {};
    alignas(32) std::uint64_t to_grow[NW] = {};  // per segment: the steps its window still grows by
    std::uint32_t steps = 0;
    for (std::size_t k = 0; k < used; ++k) {
        const std::uint32_t la = g.la[k], lb = g.lb[k];
        if (la > steps) steps = la;
        const std::uint32_t r = jaro_range(la, lb);
        const unsigned w = static_cast<unsigned>(k / per_word), sh = static_cast<unsigned>(W * (k % per_word));
        avail[w] |= ((std::uint64_t{1} << lb) - 1) << sh;
        window[w] |= ((std::uint64_t{1} << (r + 1)) - 1) << sh;
        to_grow[w] |= static_cast<std::uint64_t>(r) << sh;
    }
    alignas(32) std::uint64_t avail0[NW], acc[NW];
    __m256i rb[2 * NW];
    for (unsigned w = 0; w < NW; ++w) {
        avail0[w] = avail[w];
        rb[2 * w] = _mm256_load_si256(reinterpret_cast<const __m256i*>(g.b + 64 * w));
        rb[2 * w + 1] = _mm256_load_si256(reinterpret_cast<const __m256i*>(g.b + 64 * w + 32));
    }
    // The four words sit in one register, one per 64-bit lane, and step
    // together: every operation below is the scalar one on each lane.
    const __m256i zero = _mm256_setzero_si256();
    const __m256i vL = _mm256_set1_epi64x(static_cast<long long>(L));
    const __m256i vH = _mm256_set1_epi64x(static_cast<long long>(H));
    const __m256i not_h = _mm256_set1_epi64x(static_cast<long long>(~H));
    const __m256i not_l = _mm256_set1_epi64x(static_cast<long long>(~L));
    const __m256i h_minus_l = _mm256_set1_epi64x(static_cast<long long>(H - L));
    __m256i v_avail = _mm256_load_si256(reinterpret_cast<const __m256i*>(avail));
    __m256i v_window = _mm256_load_si256(reinterpret_cast<const __m256i*>(window));
    __m256i v_grow = _mm256_load_si256(reinterpret_cast<const __m256i*>(to_grow));
    __m256i v_acc = zero;
    for (std::uint32_t i = 0; i < steps; ++i) {
        // eq: half h of word w (32 bits) from register 2w + h's compare.
        int e[2 * NW];
        for (unsigned r = 0; r < 2 * NW; ++r) {
            const u8* row = g.a + 64 * (r / 2);
            __m256i x;
            if constexpr (W == 16) {
                // Byte 0 of each 128-bit half: a[i] of the pair whose row starts there.
                x = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * (r % 2) + i)),
                                        zero);
            } else if constexpr (W == 32) {
                x = _mm256_set1_epi8(static_cast<char>(row[32 * (r % 2) + i]));
            } else {
                x = _mm256_set1_epi8(static_cast<char>(row[i]));
            }
            e[r] = _mm256_movemask_epi8(_mm256_cmpeq_epi8(rb[r], x));
        }
        static_assert(NW == 4, "one word per 64-bit lane");
        const __m256i eq = _mm256_setr_epi32(e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7]);
        const __m256i cand = _mm256_and_si256(_mm256_and_si256(eq, v_window), v_avail);
        // cand & ((~cand & ~H) + L)
        const __m256i low = _mm256_and_si256(cand, _mm256_add_epi64(_mm256_andnot_si256(cand, not_h), vL));
        v_avail = _mm256_xor_si256(v_avail, low);
        v_acc = _mm256_or_si256(_mm256_srli_epi64(v_acc, 1), _mm256_and_si256(_mm256_add_epi64(low, h_minus_l), vH));
        const __m256i grow = _mm256_srli_epi64(_mm256_and_si256(_mm256_add_epi64(v_grow, h_minus_l), vH), W - 1);
        v_grow = _mm256_sub_epi64(v_grow, grow);
        v_window = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi64(v_window, 1), not_l), grow);
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(avail), v_avail);
    _mm256_store_si256(reinterpret_cast<__m256i*>(acc), v_acc);
    // The matched characters of each string in order, then compared: t
    // counts the differing ones among the first m. Rows of 16 and 32 are
    // gathered in registers, rows of 64 8 bytes at a time through memory.
    constexpr std::size_t kLanes = kJaroWords * 64 / W < 4 ? 4 : kJaroWords * 64 / W;
    alignas(32) u8 ma[W + 8], mb[W + 8];
    alignas(32) double q1[kLanes], q2[kLanes], q3[kLanes], pre[kLanes];
    for (std::size_t k = 0; k < used; ++k) {
        const unsigned w = static_cast<unsigned>(k / per_word), sh = static_cast<unsigned>(W * (k % per_word));
        // Step i's bit of segment k ended at sh + W - steps + i.
        const std::uint64_t fa = (acc[w] >> (sh + W - steps)) & ((std::uint64_t{1} << steps) - 1);
        const std::uint64_t fb = ((avail0[w] ^ avail[w]) >> sh) & seg_mask;
        const unsigned m = static_cast<unsigned>(__builtin_popcountll(fb));
        std::uint64_t differ = 0;
        if constexpr (W == 16) {
            const __m128i x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(g.a + W * k)),
                                               select16(static_cast<unsigned>(fa)));
            const __m128i y = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(g.b + W * k)),
                                               select16(static_cast<unsigned>(fb)));
            differ = static_cast<std::uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
        } else if constexpr (W == 32) {
            __m128i x0, x1, y0, y1;
            select32(g.a + W * k, static_cast<std::uint32_t>(fa), x0, x1);
            select32(g.b + W * k, static_cast<std::uint32_t>(fb), y0, y1);
            differ = static_cast<std::uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(x0, y0))) |
                     static_cast<std::uint64_t>(static_cast<std::uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(x1, y1))))
                         << 16;
        } else {
            gather_bytes<W>(g.a + W * k, fa, ma);
            gather_bytes<W>(g.b + W * k, fb, mb);
            for (unsigned c = 0; c < W; c += 16) {
                const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(ma + c));
                const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(mb + c));
                differ |= static_cast<std::uint64_t>(
                              static_cast<std::uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))))
                          << c;
            }
        }
        const unsigned t = static_cast<unsigned>(__builtin_popcountll(differ & ((std::uint64_t{1} << m) - 1)));
        const unsigned la = g.la[k], lb = g.lb[k];
        if constexpr (W < 64) {
            q1[k] = kQuotient.v[m][la];
            q2[k] = kQuotient.v[m][lb];
            q3[k] = kQuotient.v[m - t / 2][m];
        } else {
            const double md = static_cast<double>(m);
            q1[k] = md / static_cast<double>(la);
            q2[k] = md / static_cast<double>(lb);
            q3[k] = m == 0 ? 0.0 : static_cast<double>(m - t / 2) / md;
        }
        pre[k] = static_cast<double>(g.prefix[k]);
    }
    for (std::size_t k = used; k < (used + 3) / 4 * 4; ++k) q1[k] = q2[k] = q3[k] = pre[k] = 1.0;
    jaro_scores(q1, q2, q3, pre, g.slot, used, out);
}

// The length classes of the pairs read into registers: segments of 16
// bits for pairs whose longer string has at most 15 bytes, else of 32;
// within each width, bands of the left string's length.
constexpr unsigned kJaroClasses = 9;
// kClassOf[wide * 32 + |a|]: the class of a pair (wide: the longer string
// has 16 bytes or more).
constexpr struct ClassTable {
    std::uint8_t v[64];
    constexpr ClassTable() : v() {
        constexpr unsigned top16[] = {5, 8, 11, 13, 15}, top32[] = {15, 18, 22, 31};
        for (unsigned la = 0; la < 32; ++la) {
            unsigned c = 0;
            while (c < 4 && la > top16[c]) ++c;
            v[la] = static_cast<std::uint8_t>(c);
            c = 0;
            while (c < 3 && la > top32[c]) ++c;
            v[32 + la] = static_cast<std::uint8_t>(5 + c);
        }
    }
} kClassOf;
constexpr unsigned kNarrowClasses = 5;  // classes 0-4: 16-bit segments; 5-8: 32-bit

// One class's group being filled.
static_assert(kBlockPairs <= 65536, "a pair's index in its block is kept in 16 bits");
struct JaroClassGroup {
    alignas(32) u8 a[kGroupRows + kGroupSlack];
    alignas(32) u8 b[kGroupRows + kGroupSlack];
    u8 la[kGroupMaxPairs], lb[kGroupMaxPairs], prefix[kGroupMaxPairs];
    std::uint16_t slot[kGroupMaxPairs];
    std::uint32_t n;      // pairs held
    std::uint32_t cap;    // pairs per group
    std::uint32_t width;  // W

    JaroRows rows() const { return {a, b, la, lb, prefix, slot}; }
    void run(double* out) {
        if (width == 16)
            jaro_group<16>(rows(), n, out);
        else
            jaro_group<32>(rows(), n, out);
        n = 0;
    }
};

// A pair with a string of 32 to 63 bytes, read in place.
struct JaroLongPair {
    const u8* a;
    const u8* b;
    std::uint32_t la;
    std::uint32_t lb;
    std::uint32_t slot;
    std::uint32_t prefix;
};

// Matches the long pairs, kJaroWords at a time, on 64-bit segments.
void jaro_long_pairs(const JaroLongPair* pairs, std::size_t n, double* out) {
    constexpr std::size_t P = kJaroWords;
    alignas(32) u8 a[64 * P + kGroupSlack], b[64 * P + kGroupSlack];
    u8 la[P], lb[P], prefix[P];
    std::uint16_t slot[P];
    for (std::size_t g = 0; g < n; g += P) {
        const std::size_t used = n - g < P ? n - g : P;
        std::memset(a, 0x80, sizeof a);
        std::memset(b, 0, sizeof b);
        for (std::size_t k = 0; k < used; ++k) {
            const JaroLongPair& q = pairs[g + k];
            copy_short(a + 64 * k, q.a, q.la);
            copy_short(b + 64 * k, q.b, q.lb);
            la[k] = static_cast<u8>(q.la);
            lb[k] = static_cast<u8>(q.lb);
            prefix[k] = static_cast<u8>(q.prefix);
            slot[k] = static_cast<std::uint16_t>(q.slot);
        }
        jaro_group<64>(JaroRows{a, b, la, lb, prefix, slot}, used, out);
    }
}

}  // namespace

void jaro_winkler(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    JaroClassGroup groups[kJaroClasses];
    for (unsigned c = 0; c < kJaroClasses; ++c) {
        JaroClassGroup& g = groups[c];
        g.n = 0;
        g.width = c < kNarrowClasses ? 16 : 32;
        g.cap = kJaroWords * 64 / g.width;
    }
    JaroLongPair longs[kBlockPairs];
    std::size_t n_long = 0;
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                          22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    // Strings read in place from record columns are scattered: each pair's
    // first bytes are fetched a few pairs ahead, the first pairs' before
    // the loop.
    constexpr std::size_t kAhead = 16;
    const auto fetch = [&](std::size_t p) {
        __builtin_prefetch(left[p].data());
        __builtin_prefetch(right[p].data());
    };
    for (std::size_t p = 0; p < kAhead && p < count; ++p) fetch(p);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) fetch(i + kAhead);
        const std::string_view a = left[i];
        const std::string_view b = right[i];
        if (a.size() - 1 < kRowChars && b.size() - 1 < kRowChars) {
            const auto la = static_cast<std::uint32_t>(a.size()), lb = static_cast<std::uint32_t>(b.size());
            const __m256i va = load_string(bytes_of(a), la);
            const __m256i vb = load_string(bytes_of(b), lb);
            if (_mm256_movemask_epi8(_mm256_or_si256(va, vb)) != 0) {
                out[i] = jaro_winkler_similarity(a, b);
                continue;
            }
            // Identical strings score 1.0; the pair is written but not kept.
            const auto same = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(va, vb)));
            const bool identical = la == lb && same == ~std::uint32_t{0};
            out[i] = 1.0;
            const std::uint32_t shorter = la < lb ? la : lb;
            const std::uint32_t lim = shorter < 4 ? shorter : 4;  // the Winkler prefix's reach
            const std::uint32_t wide = (la > lb ? la : lb) >= 16;
            JaroClassGroup& g = groups[kClassOf.v[wide * 32 + la]];
            const std::uint32_t k = g.n;
            const __m256i pad = _mm256_and_si256(_mm256_cmpgt_epi8(iota, _mm256_set1_epi8(static_cast<char>(la - 1))),
                                                 _mm256_set1_epi8(static_cast<char>(0x80)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g.a + g.width * k), _mm256_or_si256(va, pad));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g.b + g.width * k), vb);
            g.la[k] = static_cast<u8>(la);
            g.lb[k] = static_cast<u8>(lb);
            g.prefix[k] = static_cast<u8>(__builtin_ctz(~same | (1u << lim)));
            g.slot[k] = static_cast<std::uint16_t>(i);
            g.n = k + !identical;
            if (g.n == g.cap) g.run(out);
            continue;
        }
        const auto la = static_cast<std::uint32_t>(a.size() < 64 ? a.size() : 64);
        const auto lb = static_cast<std::uint32_t>(b.size() < 64 ? b.size() : 64);
        if (la == 0 || lb == 0 || la > kJaroMaxChars || lb > kJaroMaxChars) {
            out[i] = jaro_winkler_similarity(a, b);
            continue;
        }
        if (a == b) {
            out[i] = 1.0;
            continue;
        }
        if (!utf8::is_ascii(a) || !utf8::is_ascii(b)) {
            out[i] = jaro_winkler_similarity(a, b);
            continue;
        }
        JaroLongPair q{bytes_of(a), bytes_of(b), la, lb, static_cast<std::uint32_t>(i), 0};
        const std::uint32_t lim = la < lb ? (la < 4 ? la : 4) : (lb < 4 ? lb : 4);
        while (q.prefix < lim && q.a[q.prefix] == q.b[q.prefix]) ++q.prefix;
        longs[n_long++] = q;
    }
    // The pairs left in each class move up into the next band of the same
    // width, which runs at least as many steps as they need.
    for (unsigned c = 0; c < kJaroClasses; ++c) {
        JaroClassGroup& g = groups[c];
        const bool last_band = c + 1 == kNarrowClasses || c + 1 == kJaroClasses;
        if (g.n == 0) continue;
        if (last_band) {
            g.run(out);
            continue;
        }
        JaroClassGroup& up = groups[c + 1];
        for (std::uint32_t k = 0; k < g.n; ++k) {
            const std::uint32_t j = up.n;
            std::memcpy(up.a + up.width * j, g.a + g.width * k, g.width);
            std::memcpy(up.b + up.width * j, g.b + g.width * k, g.width);
            up.la[j] = g.la[k];
            up.lb[j] = g.lb[k];
            up.prefix[j] = g.prefix[k];
            up.slot[j] = g.slot[k];
            if (++up.n == up.cap) up.run(out);
        }
        g.n = 0;
    }
    jaro_long_pairs(longs, n_long, out);
}

}  // namespace corvane::similarity::CORVANE_LANES_NS

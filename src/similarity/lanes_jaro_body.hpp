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
// segment free. Per step i:
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
// and of b, each gathered in order by a byte shuffle (8 bytes at a time
// beyond 16-byte rows), compared at once; t is the number that differ.
// The scores are formed four at a time with the per-pair kernel's
// operations on every lane in its order (its two branches taken by
// blending), so every pair scores the same bit for bit.
//
// The front reads each string of up to 32 bytes once into a staged row,
// with loads that never leave the string; one compare of the two rows
// tells identical pairs (1.0, dropped without a branch, since about half
// of real candidate pairs are) and the OR of them non-ASCII ones. Pairs
// are then sorted by segment width and left length, so the pairs of one
// word end at about the same step. Pairs off the lane path (empty, longer
// than 63 bytes, non-ASCII) go to the per-pair kernel.

namespace corvane::similarity::CORVANE_LANES_NS {

namespace {

constexpr std::uint32_t kJaroMaxChars = 63;

struct JaroPair {
    const u8* a;
    const u8* b;
    std::uint32_t la;
    std::uint32_t lb;
    std::uint32_t slot;    // index of the pair in the block
    std::uint32_t prefix;  // common prefix length, at most 4
};

// Pairs whose strings both fit 32 bytes are read once, into a staged row
// each: a's bytes padded with 0x80, b's with zero. Their JaroPair points
// at the rows.
constexpr std::uint32_t kStagedChars = 32;

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
// mask (15 bits) to its front.
inline __m128i select16(unsigned mask) {
    const unsigned lo = mask & 0xFF, n_lo = static_cast<unsigned>(__builtin_popcount(lo));
    const unsigned __int128 hi = kSelect.v[mask >> 8] + 0x0808080808080808u;
    const unsigned __int128 ctl = kSelect.v[lo] | hi << (8 * n_lo);
    return _mm_set_epi64x(static_cast<long long>(static_cast<std::uint64_t>(ctl >> 64)),
                          static_cast<long long>(static_cast<std::uint64_t>(ctl)));
}

template <unsigned W>
constexpr std::uint64_t every_segment(std::uint64_t x) {
    std::uint64_t r = 0;
    for (unsigned k = 0; k < 64; k += W) r |= x << k;
    return r;
}

// Words of match state stepped side by side: each word's chain of
// dependent operations (about five per step) hides behind the others'.
constexpr unsigned kJaroWords = 2;

// Matches up to kJaroWords * 64 / W pairs (lanes at and above `used` idle)
// and writes their scores to out[pair.slot].
template <unsigned W>
void jaro_group(const JaroPair* pairs, std::size_t used, double* out) {
    constexpr unsigned NW = kJaroWords;
    constexpr std::uint64_t L = every_segment<W>(1);
    constexpr std::uint64_t H = every_segment<W>(std::uint64_t{1} << (W - 1));
    constexpr std::uint64_t seg_mask = W == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (W % 64)) - 1;
    constexpr unsigned per_word = 64 / W;

    // Right strings: W bytes per pair, 64 per word (the bytes past each
    // string are never claimable). Left strings: a row of W bytes per
    // pair, padded with 0x80; rows of 16 are read 32 bytes at a time,
    // hence the slack.
    alignas(32) u8 bbuf[64 * NW];
    alignas(32) u8 abuf[64 * NW + 32];
    std::memset(bbuf, 0, sizeof bbuf);
    std::memset(abuf, 0x80, sizeof abuf);
    std::uint64_t avail[NW] = {}, window[NW] = {};
    std::uint64_t to_grow[NW] = {};  // per segment: the steps its window still grows by
    std::uint32_t steps = 0;
    for (std::size_t k = 0; k < used; ++k) {
        const JaroPair& q = pairs[k];
        if (q.la > steps) steps = q.la;
        if constexpr (W == 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(abuf + W * k), _mm_load_si128(reinterpret_cast<const __m128i*>(q.a)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(bbuf + W * k), _mm_load_si128(reinterpret_cast<const __m128i*>(q.b)));
        } else if constexpr (W == 32) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(abuf + W * k),
                               _mm256_load_si256(reinterpret_cast<const __m256i*>(q.a)));
            _mm256_store_si256(reinterpret_cast<__m256i*>(bbuf + W * k),
                               _mm256_load_si256(reinterpret_cast<const __m256i*>(q.b)));
        } else {
            copy_short(abuf + W * k, q.a, q.la);
            copy_short(bbuf + W * k, q.b, q.lb);
        }
        const std::uint32_t r = jaro_range(q.la, q.lb);
        const unsigned w = static_cast<unsigned>(k / per_word), sh = static_cast<unsigned>(W * (k % per_word));
        avail[w] |= ((std::uint64_t{1} << q.lb) - 1) << sh;
        window[w] |= ((std::uint64_t{1} << (r + 1)) - 1) << sh;
        to_grow[w] |= static_cast<std::uint64_t>(r) << sh;
    }
    std::uint64_t avail0[NW], acc[NW] = {};
    __m256i rb[2 * NW];
    for (unsigned w = 0; w < NW; ++w) {
        avail0[w] = avail[w];
        rb[2 * w] = _mm256_load_si256(reinterpret_cast<const __m256i*>(bbuf + 64 * w));
        rb[2 * w + 1] = _mm256_load_si256(reinterpret_cast<const __m256i*>(bbuf + 64 * w + 32));
    }
    const __m256i zero = _mm256_setzero_si256();
    for (std::uint32_t i = 0; i < steps; ++i) {
        for (unsigned w = 0; w < NW; ++w) {
            const u8* row = abuf + 64 * w;
            __m256i x0, x1;
            if constexpr (W == 16) {
                // Byte 0 of each 128-bit half: a[i] of the pair whose row starts there.
                x0 = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i)), zero);
                x1 = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 + i)), zero);
            } else if constexpr (W == 32) {
                x0 = _mm256_set1_epi8(static_cast<char>(row[i]));
                x1 = _mm256_set1_epi8(static_cast<char>(row[32 + i]));
            } else {
                x0 = x1 = _mm256_set1_epi8(static_cast<char>(row[i]));
            }
            const std::uint64_t eq =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(rb[2 * w], x0))) |
                static_cast<std::uint64_t>(
                    static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(rb[2 * w + 1], x1))))
                    << 32;
            const std::uint64_t cand = eq & window[w] & avail[w];
            const std::uint64_t low = cand & ((~cand & ~H) + L);
            avail[w] ^= low;
            acc[w] = (acc[w] >> 1) | ((low + (H - L)) & H);
            const std::uint64_t grow = ((to_grow[w] + (H - L)) & H) >> (W - 1);
            to_grow[w] -= grow;
            window[w] = ((window[w] << 1) & ~L) | grow;
        }
    }
    // The matched characters of each string in order, then compared: t
    // counts the differing ones among the first m. Rows of 16 are gathered
    // by one byte shuffle, wider ones 8 bytes at a time through memory.
    alignas(32) u8 ma[W + 8], mb[W + 8];
    alignas(32) double mm[kJaroWords * 4], half[kJaroWords * 4], na[kJaroWords * 4], nb[kJaroWords * 4],
        pre[kJaroWords * 4];
    for (std::size_t k = 0; k < used; ++k) {
        const JaroPair& q = pairs[k];
        const unsigned w = static_cast<unsigned>(k / per_word), sh = static_cast<unsigned>(W * (k % per_word));
        // Step i's bit of segment k ended at sh + W - steps + i.
        const std::uint64_t fa = (acc[w] >> (sh + W - steps)) & ((std::uint64_t{1} << steps) - 1);
        const std::uint64_t fb = ((avail0[w] ^ avail[w]) >> sh) & seg_mask;
        const unsigned m = static_cast<unsigned>(__builtin_popcountll(fb));
        std::uint64_t differ = 0;
        if constexpr (W == 16) {
            const __m128i x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(abuf + W * k)),
                                               select16(static_cast<unsigned>(fa)));
            const __m128i y = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bbuf + W * k)),
                                               select16(static_cast<unsigned>(fb)));
            differ = static_cast<std::uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
        } else {
            gather_bytes<W>(abuf + W * k, fa, ma);
            gather_bytes<W>(bbuf + W * k, fb, mb);
            for (unsigned c = 0; c < W; c += 16) {
                const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(ma + c));
                const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(mb + c));
                differ |= static_cast<std::uint64_t>(
                              static_cast<std::uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))))
                          << c;
            }
        }
        const unsigned t = static_cast<unsigned>(__builtin_popcountll(differ & ((std::uint64_t{1} << m) - 1)));
        mm[k] = static_cast<double>(m);
        half[k] = static_cast<double>(m - t / 2);
        na[k] = static_cast<double>(q.la);
        nb[k] = static_cast<double>(q.lb);
        pre[k] = static_cast<double>(q.prefix);
    }
    // The scores, four at a time: the per-pair kernel's operations on each
    // lane in its order (Jaro 0.0 without matches; the prefix bonus only
    // above 0.7), the branches taken by blending.
    for (std::size_t k = used; k < (used + 3) / 4 * 4; ++k) mm[k] = half[k] = na[k] = nb[k] = pre[k] = 1.0;
    for (std::size_t k = 0; k < used; k += 4) {
        const __m256d m = _mm256_load_pd(mm + k);
        const __m256d q1 = _mm256_div_pd(m, _mm256_load_pd(na + k));
        const __m256d q2 = _mm256_div_pd(m, _mm256_load_pd(nb + k));
        const __m256d s0 = _mm256_add_pd(q1, q2);
        const __m256d q3 = _mm256_div_pd(_mm256_load_pd(half + k), m);
        const __m256d jaro = _mm256_div_pd(_mm256_add_pd(s0, q3), _mm256_set1_pd(3.0));
        const __m256d kk = _mm256_mul_pd(_mm256_set1_pd(0.1), _mm256_load_pd(pre + k));
        const __m256d gap = _mm256_sub_pd(_mm256_set1_pd(1.0), jaro);
        const __m256d boosted = _mm256_add_pd(jaro, _mm256_mul_pd(gap, kk));
        __m256d score = _mm256_blendv_pd(jaro, boosted, _mm256_cmp_pd(jaro, _mm256_set1_pd(0.7), _CMP_GT_OQ));
        score = _mm256_blendv_pd(score, _mm256_setzero_pd(), _mm256_cmp_pd(m, _mm256_setzero_pd(), _CMP_EQ_OQ));
        alignas(32) double got[4];
        _mm256_store_pd(got, score);
        const std::size_t end = used - k < 4 ? used - k : 4;
        for (std::size_t j = 0; j < end; ++j) out[pairs[k + j].slot] = got[j];
    }
}

template <unsigned W>
void jaro_groups(const JaroPair* pairs, std::size_t n, double* out) {
    constexpr std::size_t P = kJaroWords * 64 / W;
    for (std::size_t g = 0; g < n; g += P) jaro_group<W>(pairs + g, n - g < P ? n - g : P, out);
}

}  // namespace

void jaro_winkler(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    // Sort key: segment class (0: W = 16, 1: 32, 2: 64) * 64 + |a|.
    constexpr std::size_t kKeys = 3 * 64;
    JaroPair packed[kBlockPairs];
    std::uint16_t key[kBlockPairs];
    std::uint32_t start[kKeys + 1] = {};
    alignas(32) u8 staged[kBlockPairs][2 * kStagedChars];
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                          22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    std::size_t n_packed = 0;
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
        const auto la = static_cast<std::uint32_t>(a.size() < 64 ? a.size() : 64);
        const auto lb = static_cast<std::uint32_t>(b.size() < 64 ? b.size() : 64);
        JaroPair q{bytes_of(a), bytes_of(b), la, lb, static_cast<std::uint32_t>(i), 0};
        if (la == 0 || lb == 0 || la > kJaroMaxChars || lb > kJaroMaxChars) {
            out[i] = jaro_winkler_similarity(a, b);
            continue;
        }
        const std::uint32_t shorter = la < lb ? la : lb;
        const std::uint32_t lim = shorter < 4 ? shorter : 4;  // the Winkler prefix's reach
        if (la <= kStagedChars && lb <= kStagedChars) {
            const __m256i va = load_padded(q.a, la);
            const __m256i vb = load_padded(q.b, lb);
            if (_mm256_movemask_epi8(_mm256_or_si256(va, vb)) != 0) {
                out[i] = jaro_winkler_similarity(a, b);
                continue;
            }
            // Identical strings score 1.0 and are not kept.
            const auto same = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(va, vb)));
            const bool identical = la == lb && same == ~std::uint32_t{0};
            out[i] = 1.0;
            const std::uint32_t common = static_cast<std::uint32_t>(__builtin_ctz(~same | (1u << lim)));
            q.prefix = common < lim ? common : lim;
            u8* row = staged[n_packed];
            const __m256i pad = _mm256_and_si256(_mm256_cmpgt_epi8(iota, _mm256_set1_epi8(static_cast<char>(la - 1))),
                                                 _mm256_set1_epi8(static_cast<char>(0x80)));
            _mm256_store_si256(reinterpret_cast<__m256i*>(row), _mm256_or_si256(va, pad));
            _mm256_store_si256(reinterpret_cast<__m256i*>(row + kStagedChars), vb);
            q.a = row;
            q.b = row + kStagedChars;
            const std::uint32_t mx = la > lb ? la : lb;
            key[n_packed] = static_cast<std::uint16_t>((mx < 16 ? 0 : 64) + la);
            start[key[n_packed] + 1] += !identical;
            packed[n_packed] = q;
            n_packed += !identical;
            continue;
        } else {
            if (a == b) {
                out[i] = 1.0;
                continue;
            }
            if (!utf8::is_ascii(a) || !utf8::is_ascii(b)) {
                out[i] = jaro_winkler_similarity(a, b);
                continue;
            }
            while (q.prefix < lim && q.a[q.prefix] == q.b[q.prefix]) ++q.prefix;
        }
        const std::uint32_t mx = la > lb ? la : lb;
        const std::uint32_t cls = mx < 16 ? 0 : mx < 32 ? 1 : 2;
        key[n_packed] = static_cast<std::uint16_t>(cls * 64 + la);
        ++start[key[n_packed] + 1];
        packed[n_packed++] = q;
    }
    for (std::size_t k = 1; k <= kKeys; ++k) start[k] += start[k - 1];
    const std::uint32_t n16 = start[64], n32 = start[128] - start[64];
    JaroPair sorted[kBlockPairs];
    for (std::size_t i = 0; i < n_packed; ++i) sorted[start[key[i]]++] = packed[i];
    jaro_groups<16>(sorted, n16, out);
    jaro_groups<32>(sorted + n16, n32, out);
    jaro_groups<64>(sorted + n16 + n32, n_packed - n16 - n32, out);
}

}  // namespace corvane::similarity::CORVANE_LANES_NS

// The block routines, written once over GCC vector types and compiled once
// per instruction set: the including file (lanes_avx2.cpp,
// lanes_avx512.cpp) sets the target, defines CORVANE_LANES_NS (the
// namespace of its routines) and CORVANE_LANE_REGISTER (register width in
// bytes), and includes every header this body needs before it, so that no
// inline function of a shared header is ever compiled for a wider set than
// plain x86-64. Everything here but the routines themselves has internal
// linkage for the same reason.
//
// Lanes are 64-bit words. Two registers' worth run side by side (vectors
// of twice the register width, split by the compiler into two
// independent instruction streams), so one stream's latency hides behind
// the other's work.
//
// Packing: the pairs of a block that take the lane path are sorted by the
// number of steps they need (counting sort, stable), so the lanes of one
// group finish at about the same step; a lane past its own end keeps
// running on a zero character but no longer counts.
//
// Levenshtein: Myers' bit-parallel algorithm (Hyyro's formulation), as the
// per-pair kernel runs it for patterns of up to 64 characters; each lane
// has its own 256-entry table of pattern masks, written only at the
// entries its own two strings use. Lane path: both strings ASCII, 1 to 64
// bytes. The distance is unique, so each lane gives the per-pair kernel's
// distance, and the similarity is formed by the same expression.

namespace corvane::similarity::CORVANE_LANES_NS {

namespace {

constexpr std::size_t kLanes = 2 * CORVANE_LANE_REGISTER / 8;
constexpr std::size_t kMaxLaneChars = 64;

constexpr std::size_t kRegLanes = CORVANE_LANE_REGISTER / 8;

typedef std::uint64_t Words __attribute__((vector_size(CORVANE_LANE_REGISTER)));

using u8 = unsigned char;

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

// Sorts items[0..count) by key (0..kMaxLaneChars), stably, into sorted.
void sort_by_steps(const LanePair* items, std::size_t count, LanePair* sorted) {
    std::uint32_t start[kMaxLaneChars + 2] = {};
    for (std::size_t i = 0; i < count; ++i) ++start[items[i].n + 1];
    for (std::size_t k = 1; k < kMaxLaneChars + 2; ++k) start[k] += start[k - 1];
    for (std::size_t i = 0; i < count; ++i) sorted[start[items[i].n]++] = items[i];
}

// One text character in every lane: x the lanes' pattern masks of it,
// last the lanes' top pattern bit (0 in a lane that has ended), sh its
// position.
[[gnu::always_inline]] inline void myers_step(Words x, Words last, Words sh, Words& vp, Words& vn, Words& dist) {
    const Words d0 = (((x & vp) + vp) ^ vp) | x | vn;
    Words hp = vn | ~(d0 | vp);
    Words hn = d0 & vp;
    dist = dist + ((hp & last) >> sh) - ((hn & last) >> sh);
    hp = (hp << 1) | 1;
    hn = hn << 1;
    vp = hn | ~(d0 | hp);
    vn = hp & d0;
}

// Distances of up to kLanes pairs; lanes at and above `used` are idle.
void levenshtein_group(const LanePair* pairs, std::size_t used, std::uint64_t* dist_out) {
    alignas(64) std::uint64_t pm[kLanes][256];
    alignas(64) u8 text[kMaxLaneChars][kLanes];               // step-major: text[j][lane]
    alignas(64) std::uint64_t last_live[kMaxLaneChars][kLanes];  // the lane's last pattern bit, 0 once it has ended
    alignas(64) std::uint64_t m_init[kLanes];
    alignas(64) std::uint64_t shift[kLanes];
    std::size_t steps = 0;
    for (std::size_t k = 0; k < kLanes; ++k) {
        pm[k][0] = 0;  // the padding character of a finished lane
        m_init[k] = 0;
        shift[k] = 0;
        if (k >= used) continue;
        const LanePair& q = pairs[k];
        for (std::uint32_t j = 0; j < q.n; ++j) pm[k][q.text[j]] = 0;
        for (std::uint32_t i = 0; i < q.m; ++i) pm[k][q.pat[i]] = 0;
        for (std::uint32_t i = 0; i < q.m; ++i) pm[k][q.pat[i]] |= std::uint64_t{1} << i;
        m_init[k] = q.m;
        shift[k] = q.m - 1;
        if (q.n > steps) steps = q.n;
    }
    for (std::size_t k = 0; k < kLanes; ++k) {
        const std::size_t n = k < used ? pairs[k].n : 0;
        const std::uint64_t last = std::uint64_t{1} << shift[k];
        for (std::size_t j = 0; j < n; ++j) {
            text[j][k] = pairs[k].text[j];
            last_live[j][k] = last;
        }
        for (std::size_t j = n; j < steps; ++j) {
            text[j][k] = 0;
            last_live[j][k] = 0;
        }
    }

    // Two registers of lanes, each its own dependency chain.
    Words vp0 = ~Words{}, vp1 = ~Words{};
    Words vn0 = Words{}, vn1 = Words{};
    Words dist0, dist1, sh0, sh1;
    std::memcpy(&dist0, m_init, sizeof dist0);
    std::memcpy(&dist1, m_init + kRegLanes, sizeof dist1);
    std::memcpy(&sh0, shift, sizeof sh0);
    std::memcpy(&sh1, shift + kRegLanes, sizeof sh1);
    for (std::size_t j = 0; j < steps; ++j) {
        Words x0, x1, last0, last1;
        for (std::size_t k = 0; k < kRegLanes; ++k) {
            x0[k] = pm[k][text[j][k]];
            x1[k] = pm[kRegLanes + k][text[j][kRegLanes + k]];
        }
        std::memcpy(&last0, last_live[j], sizeof last0);
        std::memcpy(&last1, last_live[j] + kRegLanes, sizeof last1);
        myers_step(x0, last0, sh0, vp0, vn0, dist0);
        myers_step(x1, last1, sh1, vp1, vn1, dist1);
    }
    std::memcpy(dist_out, &dist0, sizeof dist0);
    std::memcpy(dist_out + kRegLanes, &dist1, sizeof dist1);
}

}  // namespace

void levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count, double* out) {
    LanePair packed[kBlockPairs];
    std::size_t n_packed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::string_view a = left[i];
        std::string_view b = right[i];
        if (a.size() > b.size()) {
            const std::string_view t = a;
            a = b;
            b = t;
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
    LanePair sorted[kBlockPairs];
    sort_by_steps(packed, n_packed, sorted);
    for (std::size_t g = 0; g < n_packed; g += kLanes) {
        const std::size_t used = n_packed - g < kLanes ? n_packed - g : kLanes;
        alignas(64) std::uint64_t dist[kLanes];
        levenshtein_group(sorted + g, used, dist);
        for (std::size_t k = 0; k < used; ++k) {
            const LanePair& q = sorted[g + k];
            // 1 - d / L, L the longer length (the text's), as the per-pair kernel forms it.
            out[q.slot] = 1.0 - static_cast<double>(dist[k]) / static_cast<double>(q.longest);
        }
    }
}

}  // namespace corvane::similarity::CORVANE_LANES_NS

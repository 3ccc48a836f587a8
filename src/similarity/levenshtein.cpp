// Levenshtein and Damerau-Levenshtein distances and similarities over UTF-8
// strings, counted in characters (code points).
//
// Levenshtein runs the bit-parallel algorithm of Myers in Hyyro's
// formulation: the shorter string is the pattern, one bit per pattern
// character, one 64-bit word for patterns of up to 64 characters and the
// block-based variant (words chained by horizontal carries) beyond. The
// distance is unique, so this gives exactly the value of the textbook
// row-by-row dynamic programme.
//
// Damerau-Levenshtein (unrestricted: the characters between a transposed
// pair may themselves be edited) runs Zhao's linear-space row algorithm
// with a last-row map from character to the last row of `a` holding it.
// For ASCII strings it first asks whether any transposition can lower the
// distance; when none can, the distance is Levenshtein's, computed
// bit-parallel (see crossed_adjacent_pair). Decoded strings skip that
// test: on unrelated records it rarely passes and costs more than it saves.
//
// Both distances first strip the longest common prefix and suffix of whole
// characters; neither distance depends on them.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "similarity/char_positions.hpp"
#include "similarity/kernels.hpp"
#include "similarity/string_kernels.hpp"
#include "similarity/utf8.hpp"

namespace corvane::similarity {

namespace {

using u8 = unsigned char;

const u8* bytes(std::string_view s) noexcept { return reinterpret_cast<const u8*>(s.data()); }

// Fixed storage for short inputs, one heap block for long ones. Contents
// start uninitialised.
template <class T, std::size_t N>
class SmallBuffer {
public:
    explicit SmallBuffer(std::size_t n) {
        if (n > N) {
            heap_.reset(new T[n]);
            data_ = heap_.get();
        }
    }
    SmallBuffer(const SmallBuffer&) = delete;
    SmallBuffer& operator=(const SmallBuffer&) = delete;
    T* data() noexcept { return data_; }

private:
    T local_[N];
    std::unique_ptr<T[]> heap_;
    T* data_ = local_;
};

// ---------------------------------------------------------------------------
// Common prefix and suffix.

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

static_assert(std::endian::native == std::endian::little);

// Number of equal leading bytes of p and q, both n bytes long: eight bytes
// at a time, the last eight (or four) overlapping those before, so short
// strings take no loop over single bytes; never reads outside the n bytes.
inline std::size_t common_prefix(const u8* p, const u8* q, std::size_t n) noexcept {
    if (n >= 8) {
        for (std::size_t i = 0;; i += 8) {
            if (i + 8 > n) i = n - 8;
            const std::uint64_t x = load8(p + i) ^ load8(q + i);
            if (x != 0) return i + (static_cast<std::size_t>(std::countr_zero(x)) >> 3);
            if (i + 8 == n) return n;
        }
    }
    if (n >= 4) {
        std::uint32_t x = load4(p) ^ load4(q);
        if (x != 0) return static_cast<std::size_t>(std::countr_zero(x)) >> 3;
        x = load4(p + n - 4) ^ load4(q + n - 4);
        return x != 0 ? n - 4 + (static_cast<std::size_t>(std::countr_zero(x)) >> 3) : n;
    }
    std::size_t i = 0;
    while (i < n && p[i] == q[i]) ++i;
    return i;
}

// Number of equal trailing bytes of the n bytes ending at p and at q.
inline std::size_t common_suffix(const u8* p_end, const u8* q_end, std::size_t n) noexcept {
    if (n >= 8) {
        for (std::size_t s = 0;; s += 8) {
            if (s + 8 > n) s = n - 8;
            const std::uint64_t x = load8(p_end - s - 8) ^ load8(q_end - s - 8);
            if (x != 0) return s + (static_cast<std::size_t>(std::countl_zero(x)) >> 3);
            if (s + 8 == n) return n;
        }
    }
    if (n >= 4) {
        std::uint32_t x = load4(p_end - 4) ^ load4(q_end - 4);
        if (x != 0) return static_cast<std::size_t>(std::countl_zero(x)) >> 3;
        x = load4(p_end - n) ^ load4(q_end - n);
        return x != 0 ? n - 4 + (static_cast<std::size_t>(std::countl_zero(x)) >> 3) : n;
    }
    std::size_t s = 0;
    while (s < n && p_end[-1 - static_cast<std::ptrdiff_t>(s)] == q_end[-1 - static_cast<std::ptrdiff_t>(s)]) ++s;
    return s;
}

// Removes the longest common prefix and suffix of two ASCII strings (one
// byte per character).
inline void strip_common_affix(std::string_view& a, std::string_view& b) noexcept {
    const u8* pa = bytes(a);
    const u8* pb = bytes(b);
    const std::size_t na = a.size(), nb = b.size();
    const std::size_t p = common_prefix(pa, pb, std::min(na, nb));
    const std::size_t s = common_suffix(pa + na, pb + nb, std::min(na, nb) - p);
    a = a.substr(p, na - p - s);
    b = b.substr(p, nb - p - s);
}

// ---------------------------------------------------------------------------
// Lookup tables indexed by characters below 256 live on the stack and are
// never cleared as a whole: before use, a call writes the entry of every
// character of both strings, so every entry it reads has been written.

// Pattern mask of one character at or above 256 (key 0 marks a free slot;
// such characters are never 0).
struct WideMask {
    std::uint32_t key;
    std::uint64_t mask;
};

std::size_t wide_slot(const WideMask* table, std::size_t mask, std::uint32_t key) noexcept {
    std::size_t i = key & mask;
    std::uint64_t perturb = key;
    while (table[i].key != 0 && table[i].key != key) {
        i = (i * 5 + perturb + 1) & mask;
        perturb >>= 5;
    }
    return i;
}

// ---------------------------------------------------------------------------
// Bit-parallel Levenshtein.

// Patterns of more than 64 characters with at most this many distinct
// characters from 256 up get a dense row per character (memory: rows times
// pattern words); beyond, those characters are looked up sparsely.
constexpr std::size_t kDenseWideRows = 256;

// One word: the pattern has m characters, 1 <= m <= 64; next_mask() yields
// the pattern mask of each of the n text characters in turn.
template <class NextMask>
std::uint64_t myers_word(std::size_t m, std::size_t n, NextMask next_mask) {
    std::uint64_t vp = ~std::uint64_t{0};
    std::uint64_t vn = 0;
    std::uint64_t dist = m;
    const std::uint64_t last = std::uint64_t{1} << (m - 1);
    for (std::size_t j = 0; j < n; ++j) {
        std::uint64_t x = next_mask();
        std::uint64_t d0 = (((x & vp) + vp) ^ vp) | x | vn;
        std::uint64_t hp = vn | ~(d0 | vp);
        std::uint64_t hn = d0 & vp;
        dist += (hp & last) != 0;
        dist -= (hn & last) != 0;
        hp = (hp << 1) | 1;
        hn = hn << 1;
        vp = hn | ~(d0 | hp);
        vn = hp & d0;
    }
    return dist;
}

// Several words: next_row() yields, for each text character, a pointer to
// the `words` mask words of that character. Each word passes its bottom
// horizontal deltas down to the next word as carries.
template <class NextRow>
std::uint64_t myers_blocks(std::size_t m, std::size_t n, NextRow next_row) {
    const std::size_t words = (m + 63) / 64;
    std::vector<std::uint64_t> vp(words, ~std::uint64_t{0});
    std::vector<std::uint64_t> vn(words, 0);
    std::uint64_t dist = m;
    const std::uint64_t last = std::uint64_t{1} << ((m - 1) % 64);
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint64_t* pm = next_row();
        std::uint64_t hp_carry = 1;
        std::uint64_t hn_carry = 0;
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t x = pm[w] | hn_carry;
            std::uint64_t v_p = vp[w];
            std::uint64_t v_n = vn[w];
            std::uint64_t d0 = (((x & v_p) + v_p) ^ v_p) | x | v_n;
            std::uint64_t hp = v_n | ~(d0 | v_p);
            std::uint64_t hn = d0 & v_p;
            std::uint64_t hp_out, hn_out;
            if (w + 1 < words) {
                hp_out = hp >> 63;
                hn_out = hn >> 63;
            } else {
                hp_out = (hp & last) != 0;
                hn_out = (hn & last) != 0;
                dist += hp_out;
                dist -= hn_out;
            }
            hp = (hp << 1) | hp_carry;
            hn = (hn << 1) | hn_carry;
            vp[w] = hn | ~(d0 | hp);
            vn[w] = hp & d0;
            hp_carry = hp_out;
            hn_carry = hn_out;
        }
    }
    return dist;
}

// Pattern of 1..64 characters against a text of n characters; C is the
// code unit (bytes of ASCII strings, or decoded code points).
template <class C>
std::uint64_t lev_word(const C* pat, std::size_t m, const C* text, std::size_t n) {
    std::uint64_t pm[256];
    std::size_t wide_count = 0;
    for (std::size_t j = 0; j < n; ++j)
        if (text[j] < 256) pm[text[j]] = 0;
    for (std::size_t i = 0; i < m; ++i) {
        if (pat[i] < 256)
            pm[pat[i]] = 0;
        else
            ++wide_count;
    }
    if (wide_count == 0) {
        for (std::size_t i = 0; i < m; ++i) pm[pat[i]] |= std::uint64_t{1} << i;
        const C* t = text;
        return myers_word(m, n, [&]() -> std::uint64_t {
            const C c = *t++;
            return c < 256 ? pm[c] : 0;
        });
    }

    WideMask wide[128];  // at most 64 keys, kept at most half full
    std::size_t cap = 8;
    while (cap < 2 * wide_count) cap *= 2;
    const std::size_t mask = cap - 1;
    for (std::size_t s = 0; s < cap; ++s) wide[s] = WideMask{0, 0};
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        const C c = pat[i];
        if (c < 256) {
            pm[c] |= bit;
        } else {
            WideMask& w = wide[wide_slot(wide, mask, c)];
            w.key = c;
            w.mask |= bit;
        }
    }
    const C* t = text;
    return myers_word(m, n, [&]() -> std::uint64_t {
        const C c = *t++;
        return c < 256 ? pm[c] : wide[wide_slot(wide, mask, c)].mask;
    });
}

// Pattern of more than 64 characters against a text of n characters. Long
// inputs only, so plain heap tables are fine here.
template <class C>
std::uint64_t lev_blocks(const C* pat, std::size_t m, const C* text, std::size_t n) {
    const std::size_t words = (m + 63) / 64;
    if constexpr (sizeof(C) == 1) {
        // Row c: the pattern mask of character c, `words` words.
        std::vector<std::uint64_t> table(256 * words, 0);
        for (std::size_t k = 0; k < m; ++k) table[pat[k] * words + k / 64] |= std::uint64_t{1} << (k % 64);
        const std::uint64_t* base = table.data();
        const C* t = text;
        return myers_blocks(m, n, [&]() -> const std::uint64_t* { return base + *t++ * words; });
    } else {
        // Characters below 256 have a row each. Wider ones get rows
        // 256, 257, ... in order of first appearance when there are few of
        // them; many distinct ones would make that table quadratic in m, so
        // then their positions stay sparse and are spread into one shared
        // row when the text reaches them. The last row is all zero.
        CharPositions wide(pat, m, 256);
        const bool dense = wide.distinct() <= kDenseWideRows;
        const std::size_t rows = 256 + (dense ? wide.distinct() : 0) + 1;
        std::vector<std::uint64_t> table(rows * words, 0);
        for (std::size_t k = 0; k < m; ++k)
            if (pat[k] < 256) table[pat[k] * words + k / 64] |= std::uint64_t{1} << (k % 64);
        std::uint64_t* base = table.data();
        std::uint64_t* spare = base + (rows - 1) * words;
        const C* t = text;
        if (dense) {
            wide.spread(base + 256 * words, words);
            return myers_blocks(m, n, [&]() -> const std::uint64_t* {
                const C c = *t++;
                if (c < 256) return base + c * words;
                const std::size_t id = wide.id_of(c);
                return id == CharPositions::kAbsent ? spare : base + (256 + id) * words;
            });
        }
        wide.list_positions();
        // The spare row holds the masks of the last wide text character
        // (all zero for one absent from the pattern); it is rebuilt only
        // when that character changes.
        std::span<const CharPositions::Entry> shown;
        std::uint32_t shown_char = 0;  // below 256: not a character the row serves
        return myers_blocks(m, n, [&]() -> const std::uint64_t* {
            const C c = *t++;
            if (c < 256) return base + c * words;
            if (c != shown_char) {
                for (const auto& e : shown) spare[e.word] = 0;
                shown = wide.find(c);
                for (const auto& e : shown) spare[e.word] = e.bits;
                shown_char = c;
            }
            return spare;
        });
    }
}

// Levenshtein distance of two code-unit sequences with no common prefix
// or suffix.
template <class C>
std::uint64_t lev_core(const C* a, std::size_t m, const C* b, std::size_t n) {
    if (m > n) {
        std::swap(a, b);
        std::swap(m, n);
    }
    if (m == 0) return n;
    if (m <= 64) return lev_word(a, m, b, n);
    return lev_blocks(a, m, b, n);
}

// Removes the common prefix and suffix of two decoded strings.
void strip_common_affix(const std::uint32_t*& a, std::size_t& m, const std::uint32_t*& b, std::size_t& n) noexcept {
    std::size_t p = 0;
    const std::size_t shorter = std::min(m, n);
    while (p < shorter && a[p] == b[p]) ++p;
    a += p;
    b += p;
    m -= p;
    n -= p;
    while (m > 0 && n > 0 && a[m - 1] == b[n - 1]) {
        --m;
        --n;
    }
}

// Two strings decoded into code points (on the stack when short).
struct Decoded {
    SmallBuffer<std::uint32_t, 256> abuf, bbuf;
    const std::uint32_t* a;
    const std::uint32_t* b;
    std::size_t m, n;
    Decoded(std::string_view sa, std::string_view sb)
        : abuf(sa.size()), bbuf(sb.size()), a(abuf.data()), b(bbuf.data()),
          m(utf8::decode(sa, abuf.data())), n(utf8::decode(sb, bbuf.data())) {}
};

std::uint64_t levenshtein_ascii(std::string_view a, std::string_view b) {
    strip_common_affix(a, b);
    return lev_core(bytes(a), a.size(), bytes(b), b.size());
}

std::uint64_t levenshtein_utf8(Decoded& d) {
    strip_common_affix(d.a, d.m, d.b, d.n);
    return lev_core(d.a, d.m, d.b, d.n);
}

// ---------------------------------------------------------------------------
// Damerau-Levenshtein (Zhao's linear-space algorithm).

// Last-row map for ASCII text: a direct table (stored as row + 1).
class AsciiLastRow {
public:
    explicit AsciiLastRow(std::int64_t* table) noexcept : t_(table) {}
    std::int64_t get(std::uint32_t c) const noexcept { return t_[c] - 1; }
    void set(std::uint32_t c, std::int64_t row) noexcept { t_[c] = row + 1; }

private:
    std::int64_t* t_;
};

// Last-row map for any code point: the direct table below 256 and a small
// open-addressing map (slot value -1 = free) for the rest, built on the
// first wide character stored and grown to keep it under two thirds full.
class LastRowMap {
public:
    explicit LastRowMap(std::int64_t* table) noexcept : t_(table) {}
    LastRowMap(const LastRowMap&) = delete;
    LastRowMap& operator=(const LastRowMap&) = delete;

    std::int64_t get(std::uint32_t c) const noexcept {
        if (c < 256) return t_[c] - 1;
        if (slots_ == nullptr) return -1;
        const Slot& s = slots_[probe(slots_, mask_, c)];
        return s.value;  // a free slot reads -1
    }

    void set(std::uint32_t c, std::int64_t row) {
        if (c < 256) {
            t_[c] = row + 1;
            return;
        }
        if (slots_ == nullptr) {
            for (Slot& s : local_) s = Slot{0, -1};
            slots_ = local_;
            mask_ = kLocal - 1;
        }
        std::size_t i = probe(slots_, mask_, c);
        if (slots_[i].value == -1) {
            if (3 * (filled_ + 1) >= 2 * (mask_ + 1)) {
                grow();
                i = probe(slots_, mask_, c);
            }
            slots_[i].key = c;
            ++filled_;
        }
        slots_[i].value = row;
    }

private:
    struct Slot {
        std::uint32_t key;
        std::int64_t value;
    };
    static constexpr std::size_t kLocal = 8;

    static std::size_t probe(const Slot* slots, std::size_t mask, std::uint32_t c) noexcept {
        std::size_t i = c & mask;
        std::uint64_t perturb = c;
        while (slots[i].value != -1 && slots[i].key != c) {
            i = (i * 5 + perturb + 1) & mask;
            perturb >>= 5;
        }
        return i;
    }

    void grow() {
        std::size_t cap = mask_ + 1;
        while (cap <= 2 * filled_ + 2) cap *= 2;
        std::unique_ptr<Slot[]> fresh(new Slot[cap]);
        for (std::size_t k = 0; k < cap; ++k) fresh[k] = Slot{0, -1};
        for (std::size_t k = 0; k <= mask_; ++k) {
            if (slots_[k].value != -1) fresh[probe(fresh.get(), cap - 1, slots_[k].key)] = slots_[k];
        }
        heap_ = std::move(fresh);
        slots_ = heap_.get();
        mask_ = cap - 1;
    }

    std::int64_t* t_;
    Slot local_[kLocal];
    std::unique_ptr<Slot[]> heap_;
    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t filled_ = 0;
};

// Zhao's algorithm over a (m >= 1 characters, the rows) and b (n >= 1
// characters, the columns). Rows hold column x - 1 at index x; index 0 is
// a sentinel that keeps the value maxv.
//
// The last-row map holds, for each character, the last row (< i) of a that
// holds it, so its value for c2 is i - 1 exactly when c2 is a's previous
// character. The inner loop tests that instead of reading the map, and reads
// the map only right after a match in the previous column.
template <class C, class Map>
std::uint64_t zhao(const C* a, std::size_t m, const C* b, std::size_t n, Map& last_row) {
    const std::int64_t maxv = static_cast<std::int64_t>(std::max(m, n)) + 1;
    const std::size_t width = n + 2;
    SmallBuffer<std::int64_t, 3 * 130> store(3 * width);
    std::int64_t* cur = store.data();
    std::int64_t* prev = cur + width;
    std::int64_t* trans = prev + width;
    for (std::size_t x = 0; x < width; ++x) {
        trans[x] = maxv;
        prev[x] = maxv;
        cur[x] = x == 0 ? maxv : static_cast<std::int64_t>(x) - 1;
    }

    std::int64_t a_prev = -1;  // a[i - 2], or no character in row 1
    for (std::int64_t i = 1; i <= static_cast<std::int64_t>(m); ++i) {
        const C c1 = a[i - 1];
        std::swap(cur, prev);
        // last_match_col is kept as next_col = last_match_col + 1, so that
        // "j - last_match_col == 1" reads "j == next_col".
        std::int64_t next_col = 0;
        std::int64_t old_cell = cur[1];
        cur[1] = i;
        std::int64_t corner = maxv;
        // Rolling copies of prev[j - 1], prev[j] and of cur[j].
        std::int64_t prev_jm1 = prev[0];
        std::int64_t prev_j = prev[1];
        std::int64_t left_cell = i;
        for (std::int64_t j = 1; j <= static_cast<std::int64_t>(n); ++j) {
            const C c2 = b[j - 1];
            const std::int64_t prev_jp1 = prev[j + 1];
            const bool eq = c1 == c2;
            std::int64_t temp = std::min(prev_j + (eq ? 0 : 1), std::min(left_cell, prev_jp1) + 1);
            if (!eq) {
                if (j == next_col) {
                    const std::int64_t k = last_row.get(c2);
                    temp = std::min(temp, trans[j + 1] + (i - k));
                } else if (static_cast<std::int64_t>(c2) == a_prev) {  // i - k == 1
                    temp = std::min(temp, corner + (j - (next_col - 1)));
                }
            }
            // Updates of a match, written without branches.
            trans[j + 1] = eq ? prev_jm1 : trans[j + 1];
            corner = eq ? old_cell : corner;
            next_col = eq ? j + 1 : next_col;
            old_cell = cur[j + 1];
            cur[j + 1] = temp;
            left_cell = temp;
            prev_jm1 = prev_j;
            prev_j = prev_jp1;
        }
        last_row.set(c1, i);
        a_prev = static_cast<std::int64_t>(c1);
    }
    return static_cast<std::uint64_t>(cur[n + 1]);
}

// Whether a transposition can make the Damerau-Levenshtein distance of a
// and b (every character below 256) smaller than their Levenshtein
// distance. A transposition turns a stretch x ... y of p characters of a
// into a stretch y ... x of q characters of b for (p - 2) + 1 + (q - 2) =
// p + q - 3 edits, while substitutions and insertions or deletions alone
// turn the one stretch into the other in at most max(p, q). It can only
// win when min(p, q) = 2, that is when x and y (distinct) stand side by
// side in one string and the other string holds a y somewhere before an
// x. Without such a pair every transposition is matched by plain edits, so
// the distance is Levenshtein's, which is unique.
template <class C>
bool crossed_adjacent_pair(const C* a, std::size_t m, const C* b, std::size_t n) noexcept {
    if (m <= 64 && n <= 64) {
        // at[c]: bit k set when c is at position k. Only the entries of
        // characters of a or b are written, and only they are read.
        std::uint64_t at_a[256], at_b[256];
        for (std::size_t i = 0; i < m; ++i) at_a[a[i]] = at_b[a[i]] = 0;
        for (std::size_t j = 0; j < n; ++j) at_a[b[j]] = at_b[b[j]] = 0;
        for (std::size_t i = 0; i < m; ++i) at_a[a[i]] |= std::uint64_t{1} << i;
        for (std::size_t j = 0; j < n; ++j) at_b[b[j]] |= std::uint64_t{1} << j;
        // Some y stands before the last x.
        const auto y_before_x = [](std::uint64_t ys, std::uint64_t xs) {
            return xs != 0 && (ys & ((std::uint64_t{1} << (63 - std::countl_zero(xs))) - 1)) != 0;
        };
        for (std::size_t i = 1; i < m; ++i)
            if (a[i - 1] != a[i] && y_before_x(at_b[a[i]], at_b[a[i - 1]])) return true;
        for (std::size_t j = 1; j < n; ++j)
            if (b[j - 1] != b[j] && y_before_x(at_a[b[j]], at_a[b[j - 1]])) return true;
        return false;
    }
    // first[c], last[c]: 1 + the first and last position of c in a string;
    // first = SIZE_MAX and last = 0 for a character it lacks. Only the
    // entries of characters of a or b are written, and only they are read.
    std::size_t first_a[256], last_a[256], first_b[256], last_b[256];
    for (std::size_t i = 0; i < m; ++i) first_a[a[i]] = first_b[a[i]] = SIZE_MAX, last_a[a[i]] = last_b[a[i]] = 0;
    for (std::size_t j = 0; j < n; ++j) first_a[b[j]] = first_b[b[j]] = SIZE_MAX, last_a[b[j]] = last_b[b[j]] = 0;
    for (std::size_t i = m; i > 0; --i) first_a[a[i - 1]] = i;
    for (std::size_t i = 1; i <= m; ++i) last_a[a[i - 1]] = i;
    for (std::size_t j = n; j > 0; --j) first_b[b[j - 1]] = j;
    for (std::size_t j = 1; j <= n; ++j) last_b[b[j - 1]] = j;
    // x y side by side in a, and a y before an x in b; or in b and a.
    for (std::size_t i = 1; i < m; ++i)
        if (a[i - 1] != a[i] && first_b[a[i]] < last_b[a[i - 1]]) return true;
    for (std::size_t j = 1; j < n; ++j)
        if (b[j - 1] != b[j] && first_a[b[j]] < last_a[b[j - 1]]) return true;
    return false;
}

// Zhao's algorithm over two ASCII strings of at least one character each.
std::uint64_t zhao_ascii(const u8* pa, std::size_t m, const u8* pb, std::size_t n) {
    std::int64_t table[256];  // entries of the characters of a and b are written before use
    for (std::size_t i = 0; i < m; ++i) table[pa[i]] = 0;
    for (std::size_t j = 0; j < n; ++j) table[pb[j]] = 0;
    AsciiLastRow map(table);
    return zhao(pa, m, pb, n, map);
}

std::uint64_t damerau_ascii(std::string_view a, std::string_view b) {
    strip_common_affix(a, b);
    if (a.empty()) return b.size();
    if (b.empty()) return a.size();
    const u8* pa = bytes(a);
    const u8* pb = bytes(b);
    if (!crossed_adjacent_pair(pa, a.size(), pb, b.size())) return lev_core(pa, a.size(), pb, b.size());
    return zhao_ascii(pa, a.size(), pb, b.size());
}

std::uint64_t damerau_utf8(Decoded& d) {
    strip_common_affix(d.a, d.m, d.b, d.n);
    if (d.m == 0) return d.n;
    if (d.n == 0) return d.m;
    std::int64_t table[256];  // entries of the characters of a and b are written before use
    for (std::size_t i = 0; i < d.m; ++i)
        if (d.a[i] < 256) table[d.a[i]] = 0;
    for (std::size_t j = 0; j < d.n; ++j)
        if (d.b[j] < 256) table[d.b[j]] = 0;
    LastRowMap map(table);
    return zhao(d.a, d.m, d.b, d.n, map);
}

// 1 - d / L in binary64, L the larger character count; 1.0 when both
// strings are empty.
double similarity_of(std::uint64_t d, std::size_t longest) {
    if (longest == 0) return 1.0;
    return 1.0 - static_cast<double>(d) / static_cast<double>(longest);
}

bool both_ascii(std::string_view a, std::string_view b) noexcept { return utf8::is_ascii(a) && utf8::is_ascii(b); }

#if CORVANE_HAVE_LANES
// Damerau-Levenshtein in blocks: ASCII pairs whose distance is
// Levenshtein's (see crossed_adjacent_pair) go, as they are, to the
// Levenshtein block routine of the level in force, which forms the same
// 1 - d / L; pairs with at most one character left besides their common
// prefix and suffix are scored on the spot, the others run Zhao's
// algorithm, and non-ASCII pairs the per-pair kernel.
void damerau_blocks(const std::string_view* left, const std::string_view* right, std::size_t count, double* out,
                    BlockRoutine levenshtein_blocks) {
    // Storage left unset: only the views written are read.
    union Views {
        std::string_view v[kBlockPairs];
        Views() noexcept {}
    } lev_left, lev_right;
    std::uint32_t lev_slot[kBlockPairs];
    std::size_t n_lev = 0;
    constexpr std::size_t kAhead = 16;  // pairs whose strings are fetched ahead
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
            __builtin_prefetch(left[i + kAhead].data());
            __builtin_prefetch(right[i + kAhead].data());
        }
        std::string_view a = left[i];
        std::string_view b = right[i];
        if (!both_ascii(a, b)) {
            out[i] = damerau_levenshtein_similarity(a, b);
            continue;
        }
        const std::size_t longest = std::max(a.size(), b.size());
        strip_common_affix(a, b);
        if (a.size() > b.size()) std::swap(a, b);
        const u8* pa = bytes(a);
        const u8* pb = bytes(b);
        const std::size_t m = a.size(), n = b.size();
        if (m <= 1) {
            // No transposition with one string empty or of one character:
            // n insertions, less one substitution when b holds a's character.
            std::size_t held = 0;
            if (m == 1)
                for (std::size_t j = 0; j < n; ++j) held |= pb[j] == pa[0];
            out[i] = similarity_of(n - held, longest);
            continue;
        }
        if (!crossed_adjacent_pair(pa, m, pb, n)) {
            lev_left.v[n_lev] = left[i];
            lev_right.v[n_lev] = right[i];
            lev_slot[n_lev++] = static_cast<std::uint32_t>(i);
            continue;
        }
        out[i] = similarity_of(zhao_ascii(pa, m, pb, n), longest);
    }
    if (n_lev == 0) return;
    double scores[kBlockPairs];
    levenshtein_blocks(lev_left.v, lev_right.v, n_lev, scores);
    for (std::size_t k = 0; k < n_lev; ++k) out[lev_slot[k]] = scores[k];
}
#endif

}  // namespace

#if CORVANE_HAVE_LANES
void avx2::damerau_levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count,
                               double* out) {
    damerau_blocks(left, right, count, out, &avx2::levenshtein);
}
void avx512::damerau_levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count,
                                 double* out) {
    damerau_blocks(left, right, count, out, &avx512::levenshtein);
}
#endif

std::uint64_t levenshtein_distance(std::string_view a, std::string_view b) {
    if (both_ascii(a, b)) return levenshtein_ascii(a, b);
    Decoded d(a, b);
    return levenshtein_utf8(d);
}

double levenshtein_similarity(std::string_view a, std::string_view b) {
    if (both_ascii(a, b)) return similarity_of(levenshtein_ascii(a, b), std::max(a.size(), b.size()));
    Decoded d(a, b);
    const std::size_t longest = std::max(d.m, d.n);
    return similarity_of(levenshtein_utf8(d), longest);
}

std::uint64_t damerau_levenshtein_distance(std::string_view a, std::string_view b) {
    if (both_ascii(a, b)) return damerau_ascii(a, b);
    Decoded d(a, b);
    return damerau_utf8(d);
}

double damerau_levenshtein_similarity(std::string_view a, std::string_view b) {
    if (both_ascii(a, b)) return similarity_of(damerau_ascii(a, b), std::max(a.size(), b.size()));
    Decoded d(a, b);
    const std::size_t longest = std::max(d.m, d.n);
    return similarity_of(damerau_utf8(d), longest);
}

}  // namespace corvane::similarity

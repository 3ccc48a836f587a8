#include "blocking/keys.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <type_traits>
#include <utility>

#include "runtime/errors.hpp"
#include "runtime/pool.hpp"
#include "similarity/kernels.hpp"

namespace corvane::blocking {

std::size_t KeySide::size() const noexcept {
    if (strings) return strings->size();
    std::size_t n = 0;
    for (const NumberChunk& c : numbers) n += c.length;
    return n;
}

namespace {

constexpr std::uint8_t kValue = 0, kNegative = 1, kMissing = 0xFF;

inline std::uint64_t fmix64(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// The first `length` code points of a well-formed UTF-8 string.
inline std::string_view prefix_of(std::string_view s, std::size_t length) noexcept {
    std::size_t points = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (points == length) return s.substr(0, i);
            ++points;
        }
    }
    return s;
}

inline bool bit_set(const std::uint8_t* bits, std::size_t k) noexcept { return (bits[k >> 3] >> (k & 7)) & 1; }

template <class T>
inline T load(const void* values, std::size_t k) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(values) + k * sizeof(T), sizeof(T));
    return v;
}

// A growing array of a trivially copyable T in bulk memory: the tables'
// large blocks come back already mapped from one key to the next.
template <class T>
class BulkVector {
public:
    BulkVector() = default;
    BulkVector(BulkVector&& o) noexcept : buf_(std::move(o.buf_)), size_(std::exchange(o.size_, 0)) {}
    BulkVector& operator=(BulkVector&& o) noexcept {
        buf_ = std::move(o.buf_);
        size_ = std::exchange(o.size_, 0);
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    T* data() const noexcept { return buf_.get(); }
    T& operator[](std::size_t i) noexcept { return buf_.get()[i]; }
    const T& operator[](std::size_t i) const noexcept { return buf_.get()[i]; }
    void reserve(std::size_t n) {
        if (n > buf_.capacity()) buf_.grow(n, size_);
    }
    void push_back(const T& v) {
        if (size_ == buf_.capacity()) reserve(std::max<std::size_t>(2 * size_, 64));
        buf_.get()[size_++] = v;
    }
    // n copies of v, nothing else.
    void assign(std::size_t n, const T& v) {
        size_ = 0;
        reserve(n);
        std::fill(buf_.get(), buf_.get() + n, v);
        size_ = n;
    }

private:
    BulkBuffer<T> buf_;
    std::size_t size_ = 0;
};

// Every number reduced to a word (its value) and a tag.
struct Words {
    std::vector<std::uint64_t> word;
    std::vector<std::uint8_t> tag;
    bool floats = false;  // numbers compared as doubles
};

// The words of one chunk of values of type T: as doubles (floats), or as
// integers with negative ones tagged.
template <class T>
void chunk_words(const NumberChunk& c, std::size_t lo, std::size_t hi, bool floats, std::uint64_t* word,
                 std::uint8_t* tag) {
    for (std::size_t i = lo; i < hi; ++i) {
        const std::size_t k = c.offset + i;
        if (c.validity && !bit_set(c.validity, k)) {
            word[i] = 0, tag[i] = kMissing;
            continue;
        }
        T v;
        if constexpr (std::is_same_v<T, bool>)
            v = bit_set(static_cast<const std::uint8_t*>(c.values), k);
        else
            v = load<T>(c.values, k);
        if (floats) {
            double d = static_cast<double>(v);
            if (d != d) {
                word[i] = 0, tag[i] = kMissing;
            } else {
                d += 0.0;  // -0.0 becomes 0.0
                word[i] = std::bit_cast<std::uint64_t>(d), tag[i] = kValue;
            }
        } else if constexpr (std::is_floating_point_v<T>) {
            word[i] = 0, tag[i] = kMissing;  // not reached: floats set `floats`
        } else {
            word[i] = static_cast<std::uint64_t>(v);
            tag[i] = v < T{} ? kNegative : kValue;
        }
    }
}

void number_words(const KeySide& side, std::size_t base, bool floats, Words& w) {
    std::size_t start = base;
    for (const NumberChunk& c : side.numbers) {
        std::uint64_t* word = w.word.data() + start;
        std::uint8_t* tag = w.tag.data() + start;
        pool::for_each_range(c.length, [&](std::size_t lo, std::size_t hi) {
            switch (c.type) {
                case NumberType::kNull:
                    std::fill(word + lo, word + hi, 0), std::fill(tag + lo, tag + hi, kMissing);
                    break;
                case NumberType::kBool: chunk_words<bool>(c, lo, hi, floats, word, tag); break;
                case NumberType::kI8: chunk_words<std::int8_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kI16: chunk_words<std::int16_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kI32: chunk_words<std::int32_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kI64: chunk_words<std::int64_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kU8: chunk_words<std::uint8_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kU16: chunk_words<std::uint16_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kU32: chunk_words<std::uint32_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kU64: chunk_words<std::uint64_t>(c, lo, hi, floats, word, tag); break;
                case NumberType::kF32: chunk_words<float>(c, lo, hi, floats, word, tag); break;
                case NumberType::kF64: chunk_words<double>(c, lo, hi, floats, word, tag); break;
            }
        });
        start += c.length;
    }
}

// A record's value as the tables see it: its word and tag.
struct Entry {
    std::uint64_t word;
    std::uint32_t tag;
    std::uint32_t g;

    std::uint64_t hash() const noexcept { return fmix64(word ^ (tag == kNegative ? 0x5851F42D4C957F2Dull : 0)); }
};

inline Entry entry(const Words& w, std::size_t g) noexcept {
    return Entry{w.word[g], w.tag[g], static_cast<std::uint32_t>(g)};
}

// Distinct numbers seen so far, numbered 0, 1, 2, ... in order of first
// record: open addressing over slots holding each value's word and tag,
// grown as values come.
class ValueTable {
public:
    ValueTable() : slots_(256, Slot{0, 0, 0}) {}

    // The code of e's value; a new value gets the next code, and its
    // record goes to reps.
    std::int64_t code(const Entry& e, std::vector<std::uint32_t>& reps) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t h = static_cast<std::size_t>(e.hash()) & mask;
        for (;; h = (h + 1) & mask) {
            const Slot& slot = slots_[h];
            if (slot.code_plus_1 == 0) break;
            if (slot.word == e.word && slot.tag == e.tag) return slot.code_plus_1 - 1;
        }
        const auto fresh = static_cast<std::uint32_t>(reps.size());
        slots_[h] = Slot{e.word, fresh + 1, e.tag};
        reps.push_back(e.g);
        if (2 * reps.size() > slots_.size()) grow();
        return fresh;
    }

private:

    struct Slot {
        std::uint64_t word;
        std::uint32_t code_plus_1;  // 0: empty
        std::uint32_t tag;
    };

    void grow() {
        std::vector<Slot> old(2 * slots_.size(), Slot{0, 0, 0});
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.code_plus_1 == 0) continue;
            const Entry e{s.word, s.tag, 0};
            std::size_t q = static_cast<std::size_t>(e.hash()) & mask;
            while (slots_[q].code_plus_1 != 0) q = (q + 1) & mask;
            slots_[q] = s;
        }
    }

    std::vector<Slot> slots_;
};

// Values that repeat are numbered in chunks of at least this many records
// (a chunk's distinct values are numbered again when the chunks merge).
constexpr std::size_t kChunkRecords = std::size_t{1} << 16;

// The records whose values size a table.
constexpr std::size_t kSampleRecords = std::size_t{1} << 13;

std::size_t one_table_chunks(std::size_t total) {
    const std::size_t workers = pool::worker_count();
    if (workers < 2) return 1;
    return std::max<std::size_t>(1, std::min(2 * workers, total / kChunkRecords));
}

// Dense codes in order of first record for records whose values are
// offsets in [0, width] (offset(k) < 0: missing, code -1), in one pass
// over the records: an array over the span holds each value's code + 1.
// No hashing, and the pair pass later reads the index of the left records'
// codes in about the records' order. The pass runs on one thread: the
// numbering is sequential, and one random access per record in an array
// of a few times the records is cheaper than the passes a parallel
// numbering would add. Runs of records (chunks) are numbered one after
// the other, continuing the numbering.
class FirstOrder {
public:
    explicit FirstOrder(std::uint64_t width) : gone_(width + 1) {
        slot_.assign(width + 2, 0);
        slot_[gone_] = kGone;
    }

    template <class Offset>
    void run(std::size_t n, Offset&& offset, std::int64_t* codes) {
        // An array the caches hold needs no prefetching.
        if (gone_ < (std::uint64_t{1} << 16))
            run<false>(n, offset, codes);
        else
            run<true>(n, offset, codes);
    }

private:
    template <bool kPrefetch, class Offset>
    void run(std::size_t n, Offset&& offset, std::int64_t* codes) {
        // The slot past the span stands for missing values: its mark never
        // becomes a code, so the loop has no branch on the data.
        auto at = [&](std::size_t k) noexcept {
            const std::int64_t v = offset(k);
            return v < 0 ? gone_ : static_cast<std::uint64_t>(v);
        };
        constexpr std::size_t ahead = 24;
        std::uint32_t* slot = slot_.data();
        std::uint32_t next = next_;
        for (std::size_t k = 0; k < n; ++k) {
            if (kPrefetch && k + ahead < n) __builtin_prefetch(slot + at(k + ahead), 1);
            const std::uint64_t place = at(k);
            std::uint32_t& s = slot[place];
            const std::uint32_t was = s;
            const std::uint32_t fresh = was == 0;
            const std::uint32_t code_plus_1 = fresh ? next + 1 : was;
            s = code_plus_1;
            next += fresh;
            // Missing by its place, not by its mark: the 2**32 - 1st value's
            // code + 1 equals the mark.
            codes[k] = place == gone_ ? -1 : static_cast<std::int64_t>(code_plus_1) - 1;
        }
        next_ = next;
    }

    static constexpr std::uint32_t kGone = 0xFFFFFFFFu;
    BulkVector<std::uint32_t> slot_;
    std::uint64_t gone_;
    std::uint32_t next_ = 0;
};

template <class Offset>
void first_order_codes(std::size_t total, std::uint64_t width, Offset&& offset, std::int64_t* codes) {
    FirstOrder(width).run(total, offset, codes);
}

// Integer columns (any width, booleans, nulls) of a narrow span numbered
// straight from their Arrow chunks, without a word per record first: the
// span on the pool, then one pass in order of first record. False (codes
// untouched) when a value is past INT64_MAX or the span is wide.
struct IntSpan {
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    bool wide = false;  // a value past INT64_MAX
};

template <class T>
void chunk_span(const NumberChunk& c, std::size_t a, std::size_t b, IntSpan& span) {
    if constexpr (std::is_signed_v<T> && !std::is_same_v<T, bool>) {
        if (!c.validity) {
            // Every value there: four chains of comparisons at once.
            auto v = [&](std::size_t i) noexcept { return static_cast<std::int64_t>(load<T>(c.values, c.offset + i)); };
            std::int64_t lo[4] = {span.lo, span.lo, span.lo, span.lo}, hi[4] = {span.hi, span.hi, span.hi, span.hi};
            std::size_t i = a;
            for (; i + 4 <= b; i += 4)
                for (std::size_t j = 0; j < 4; ++j) {
                    const std::int64_t x = v(i + j);
                    lo[j] = std::min(lo[j], x), hi[j] = std::max(hi[j], x);
                }
            for (; i < b; ++i) lo[0] = std::min(lo[0], v(i)), hi[0] = std::max(hi[0], v(i));
            span.lo = std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3]));
            span.hi = std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]));
            return;
        }
    }
    for (std::size_t i = a; i < b; ++i) {
        const std::size_t k = c.offset + i;
        if (c.validity && !bit_set(c.validity, k)) continue;
        std::int64_t v;
        if constexpr (std::is_same_v<T, bool>) {
            v = bit_set(static_cast<const std::uint8_t*>(c.values), k);
        } else {
            const T x = load<T>(c.values, k);
            if constexpr (std::is_same_v<T, std::uint64_t>) {
                if (x > static_cast<std::uint64_t>(INT64_MAX)) {
                    span.wide = true;
                    continue;
                }
            }
            v = static_cast<std::int64_t>(x);
        }
        span.lo = std::min(span.lo, v), span.hi = std::max(span.hi, v);
    }
}

template <class F>
void with_int_type(NumberType type, F&& f) {
    switch (type) {
        case NumberType::kBool: f(bool{}); break;
        case NumberType::kI8: f(std::int8_t{}); break;
        case NumberType::kI16: f(std::int16_t{}); break;
        case NumberType::kI32: f(std::int32_t{}); break;
        case NumberType::kI64: f(std::int64_t{}); break;
        case NumberType::kU8: f(std::uint8_t{}); break;
        case NumberType::kU16: f(std::uint16_t{}); break;
        case NumberType::kU32: f(std::uint32_t{}); break;
        case NumberType::kU64: f(std::uint64_t{}); break;
        case NumberType::kNull: case NumberType::kF32: case NumberType::kF64: break;
    }
}

bool direct_int_codes(const std::vector<KeySide>& sides, std::size_t total, Codes& codes) {
    for (const KeySide& side : sides)
        for (const NumberChunk& c : side.numbers)
            if (c.type == NumberType::kF32 || c.type == NumberType::kF64) return false;
    IntSpan span;
    std::mutex merge;
    for (const KeySide& side : sides) {
        for (const NumberChunk& c : side.numbers) {
            if (c.type == NumberType::kNull) continue;
            pool::for_each_range(c.length, [&](std::size_t a, std::size_t b) {
                IntSpan mine;
                with_int_type(c.type, [&](auto t) { chunk_span<decltype(t)>(c, a, b, mine); });
                const std::lock_guard<std::mutex> hold(merge);
                span.lo = std::min(span.lo, mine.lo), span.hi = std::max(span.hi, mine.hi);
                span.wide |= mine.wide;
            });
        }
    }
    if (span.wide) return false;
    if (span.lo > span.hi) {  // every value missing
        codes = Codes(total, -1);
        return true;
    }
    const std::uint64_t width = static_cast<std::uint64_t>(span.hi) - static_cast<std::uint64_t>(span.lo);
    if (width >= 4 * static_cast<std::uint64_t>(total) + 4096) return false;
    codes = Codes(total);
    const auto lo = static_cast<std::uint64_t>(span.lo);
    FirstOrder numbering(width);
    std::int64_t* out = codes.data();
    for (const KeySide& side : sides) {
        for (const NumberChunk& c : side.numbers) {
            if (c.type == NumberType::kNull) {
                std::fill(out, out + c.length, -1);
            } else {
                with_int_type(c.type, [&](auto t) {
                    using T = decltype(t);
                    numbering.run(
                        c.length,
                        [&](std::size_t i) noexcept -> std::int64_t {
                            const std::size_t k = c.offset + i;
                            if (c.validity && !bit_set(c.validity, k)) return -1;
                            std::uint64_t v;
                            if constexpr (std::is_same_v<T, bool>)
                                v = bit_set(static_cast<const std::uint8_t*>(c.values), k);
                            else
                                v = static_cast<std::uint64_t>(static_cast<std::int64_t>(load<T>(c.values, k)));
                            return static_cast<std::int64_t>(v - lo);
                        },
                        out);
                });
            }
            out += c.length;
        }
    }
    return true;
}

// ---- strings, numbered straight from their Arrow buffers ----
//
// A string is seen as its first and last eight bytes (overlapping, or
// packed and zero-padded when shorter), its length and a hash of the
// three (of every byte when longer than 16). Up to 16 bytes the words
// and the length are the string itself, so the tables compare them and
// nothing else; longer strings also compare the bytes in between.

constexpr std::uint64_t kSeed0 = 0xA0761D6478BD642Full, kSeed1 = 0xE7037ED1A0B428DBull,
                        kSeed2 = 0x8EBC6AF09C88C6E3ull;

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline std::uint32_t load32(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// A string as the tables see it.
struct Text {
    const char* p;
    std::size_t len;
    std::uint64_t w0, w1;
    std::uint64_t hash;
};

// Where a table's value lies.
struct TextRep {
    const char* p;
    std::size_t len;
};

// The hash of a string. `keep` below all ones keeps only those bits of it
// (spread again), so that tests can make different strings meet.
struct TextHash {
    std::uint64_t keep = ~std::uint64_t{0};

    static TextHash from_environment() {
        TextHash h;
        // CORVANE_KEY_HASH_BITS=b: 2**b hash values only (tests force
        // different strings onto equal hashes with it).
        if (const char* bits = std::getenv("CORVANE_KEY_HASH_BITS")) {
            const long b = std::strtol(bits, nullptr, 10);
            if (b > 0 && b < 64) h.keep = (std::uint64_t{1} << b) - 1;
        }
        return h;
    }

    std::uint64_t operator()(const char* p, std::size_t len, std::uint64_t w0, std::uint64_t w1) const noexcept {
        std::uint64_t h;
        if (len <= 16) {
            h = mum(w0 ^ kSeed0, w1 ^ kSeed1 ^ (len * kSeed2));
        } else {
            std::uint64_t acc = kSeed2 ^ len;
            const char* q = p;
            std::size_t n = len;
            for (; n > 16; q += 16, n -= 16) acc = mum(load64(q) ^ kSeed0, load64(q + 8) ^ kSeed1 ^ acc);
            h = mum(mum(load64(p + len - 16) ^ kSeed0, load64(p + len - 8) ^ kSeed1 ^ acc), kSeed2 ^ len);
        }
        if (keep != ~std::uint64_t{0}) [[unlikely]]
            h = fmix64((h & keep) + 1);
        return h;
    }

    Text text(std::string_view s) const noexcept {
        const char* p = s.data();
        const std::size_t n = s.size();
        std::uint64_t w0 = 0, w1 = 0;
        if (n >= 8) {
            w0 = load64(p), w1 = load64(p + n - 8);
        } else if (n >= 4) {
            w0 = load32(p) | static_cast<std::uint64_t>(load32(p + n - 4)) << 32;
        } else if (n > 0) {
            w0 = static_cast<unsigned char>(p[0]) | static_cast<std::uint64_t>(static_cast<unsigned char>(p[n >> 1])) << 8 |
                 static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
        }
        return Text{p, n, w0, w1, (*this)(p, n, w0, w1)};
    }

    Text text(const TextRep& r) const noexcept { return text(std::string_view(r.p, r.len)); }
};

// Distinct strings numbered 0, 1, 2, ... as they come: open addressing
// over 8-byte slots placed by the top bits of the hash, at most half
// full. A slot holds the code + 1 (0: empty), 24 low bits of the hash and
// the length (255 for any longer); a matching slot sends the lookup to the
// code's two words, which decide for strings of up to 16 bytes. Slots and
// words of 50,000 values fit in L2 together.
class TextTable {
public:
    explicit TextTable(const TextHash& hash, std::size_t expected = 0) : hash_(hash) {
        int bits = 8;
        while (bits < 24 && (std::size_t{1} << bits) < 2 * expected) ++bits;
        resize(bits);
    }

    static std::uint32_t tag(const Text& t) noexcept {
        return static_cast<std::uint32_t>(t.hash << 8) | static_cast<std::uint32_t>(std::min<std::size_t>(t.len, 255));
    }

    // The first slot of t.
    const std::uint64_t* home(const Text& t) const noexcept { return &slots_[t.hash >> shift_]; }

    // The words of the value in t's first slot, if that holds a value of
    // t's tag (likely t's own value), on their way to the cache.
    void prefetch_words(const Text& t) const noexcept {
        // No branch on the slot: whether it matches is known only once it
        // has arrived. An empty slot fetches the first value's words.
        auto c = static_cast<std::uint32_t>(*home(t));
        c -= c != 0;
        __builtin_prefetch(words_.data() + c);
    }

    // Whether the slots and words outgrow what the caches hold near the core
    // (then lookups fetch them a block of records ahead).
    bool large() const noexcept { return bits_ > 15; }

    [[gnu::always_inline]] std::uint32_t code(const Text& t) {
        const std::uint32_t want = tag(t);
        std::size_t at = t.hash >> shift_;
        for (;; at = (at + 1) & mask_) {
            const std::uint64_t s = slots_[at];
            if (s == 0) return insert(t, at, want);
            if (static_cast<std::uint32_t>(s >> 32) == want) {
                const auto c = static_cast<std::uint32_t>(s) - 1;
                if (words_[c].w0 == t.w0 && words_[c].w1 == t.w1 &&
                    (t.len <= 16 || (reps_[c].len == t.len && std::memcmp(reps_[c].p + 8, t.p + 8, t.len - 16) == 0)))
                    return c;
            }
        }
    }

    // t's value, new, into the empty slot `at`.
    [[gnu::noinline]] std::uint32_t insert(const Text& t, std::size_t at, std::uint32_t want) {
        const auto fresh = static_cast<std::uint32_t>(reps_.size());
        slots_[at] = static_cast<std::uint64_t>(want) << 32 | (fresh + std::uint64_t{1});
        words_.push_back(Words2{t.w0, t.w1});
        reps_.push_back(TextRep{t.p, t.len});
        if (2 * reps_.size() > slots_.size() && bits_ < 32) grow();
        return fresh;
    }

    std::uint32_t code_of(const TextRep& r) { return code(hash_.text(r)); }
    std::size_t size() const noexcept { return reps_.size(); }
    // Room for `expected` values without growing.
    void reserve(std::size_t expected) {
        words_.reserve(expected), reps_.reserve(expected);
        int bits = bits_;
        while (bits < 32 && (std::size_t{1} << bits) < 2 * expected) ++bits;
        if (bits > bits_) rehash(bits);
    }
    BulkVector<TextRep> take_reps() noexcept { return std::move(reps_); }

private:
    struct Words2 {
        std::uint64_t w0, w1;
    };

    void resize(int bits) {
        bits_ = bits;
        shift_ = 64 - bits;
        mask_ = (std::size_t{1} << bits) - 1;
        slots_.assign(std::size_t{1} << bits, 0);
    }

    void grow() { rehash(bits_ + 1); }

    void rehash(int bits) {
        resize(bits);
        for (std::size_t c = 0; c < reps_.size(); ++c) {
            // Up to 16 bytes the words are the value: its bytes stay unread.
            Text t{reps_[c].p, reps_[c].len, words_[c].w0, words_[c].w1, 0};
            t.hash = hash_(t.p, t.len, t.w0, t.w1);
            std::size_t at = t.hash >> shift_;
            while (slots_[at] != 0) at = (at + 1) & mask_;
            slots_[at] = static_cast<std::uint64_t>(tag(t)) << 32 | (c + 1);
        }
    }

    TextHash hash_;
    int bits_ = 0, shift_ = 64;
    std::size_t mask_ = 0;
    BulkVector<std::uint64_t> slots_;
    BulkVector<Words2> words_;  // by code: what most lookups compare
    BulkVector<TextRep> reps_;  // by code: the value's bytes
};

// Numbers records [lo, hi) of a run into table, codes to out[lo..hi) (-1
// where gone[i] is set, with kGone), a block of records at a time: the
// block's strings are read and hashed (and, in a large table, their slots
// and then their words fetched) before any is looked up.
template <bool kGone, class View>
void number_texts(TextTable& table, const TextHash& hash, std::size_t lo, std::size_t hi, View&& view,
                  const std::uint8_t* gone, std::int64_t* out) {
    constexpr std::size_t kBlock = 32;
    Text block[kBlock];
    std::uint32_t live[kBlock];  // the block's records with a value
    for (std::size_t k = lo; k < hi; k += kBlock) {
        const std::size_t m = std::min(kBlock, hi - k);
        std::size_t n = m;
        if constexpr (kGone) {
            n = 0;
            for (std::size_t j = 0; j < m; ++j) {
                out[k + j] = -1;
                live[n] = static_cast<std::uint32_t>(j);
                n += gone[k + j] == 0;
            }
        } else {
            for (std::size_t j = 0; j < m; ++j) live[j] = static_cast<std::uint32_t>(j);
        }
        const bool far = table.large();
        for (std::size_t i = 0; i < n; ++i) {
            block[i] = hash.text(view(k + live[i]));
            if (far) __builtin_prefetch(table.home(block[i]));
        }
        if (far)
            for (std::size_t i = 0; i < n; ++i) table.prefetch_words(block[i]);
        for (std::size_t i = 0; i < n; ++i) out[k + live[i]] = table.code(block[i]);
    }
}

// One run of a side's strings: where its records start among all, and its
// mask of missing values (null: none missing).
struct TextRun {
    const StringRun* run;
    std::size_t start;
    const std::uint8_t* gone;
};

// f(view) with view(i) the i-th string of the run, its layout resolved once.
template <class F>
void with_view(const StringRun& run, F&& f) {
    switch (run.layout) {
        case StringRun::Layout::kOffsets32: {
            const auto* o = static_cast<const std::int32_t*>(run.offsets);
            const char* bytes = run.bytes;
            f([o, bytes](std::size_t i) noexcept {
                return std::string_view(bytes + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
            });
            break;
        }
        case StringRun::Layout::kOffsets64: {
            const auto* o = static_cast<const std::int64_t*>(run.offsets);
            const char* bytes = run.bytes;
            f([o, bytes](std::size_t i) noexcept {
                return std::string_view(bytes + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
            });
            break;
        }
        default: f([&run](std::size_t i) noexcept { return run[i]; }); break;
    }
}

// Records [lo, hi) of all (the runs laid end to end) numbered by table.
void number_range(TextTable& table, const TextHash& hash, const std::vector<TextRun>& runs, const KeyForm& form,
                  std::size_t lo, std::size_t hi, std::int64_t* codes) {
    for (const TextRun& r : runs) {
        const std::size_t a = std::max(lo, r.start), b = std::min(hi, r.start + r.run->length);
        if (a >= b) continue;
        std::int64_t* out = codes + r.start;
        with_view(*r.run, [&](auto view) {
            auto prefix = [&](std::size_t i) noexcept { return prefix_of(view(i), form.length); };
            const bool cut = form.transform == Transform::kPrefix;
            if (r.gone && cut)
                number_texts<true>(table, hash, a - r.start, b - r.start, prefix, r.gone, out);
            else if (r.gone)
                number_texts<true>(table, hash, a - r.start, b - r.start, view, r.gone, out);
            else if (cut)
                number_texts<false>(table, hash, a - r.start, b - r.start, prefix, r.gone, out);
            else
                number_texts<false>(table, hash, a - r.start, b - r.start, view, r.gone, out);
        });
    }
}

// Records [0, total) numbered in order of first record: number(table, lo,
// hi) numbers records [lo, hi) into codes with a fresh table's codes
// (make_table(expected) makes one). One table numbers all records in
// order; on several threads the records are cut into chunks, each
// numbered by a table of its own, then one table numbers the chunks'
// distinct values chunk after chunk (so a value's first record is the
// first record of the first chunk that saw it), and the chunks' codes are
// mapped. Returns the values by code.
template <class MakeTable, class Number>
auto number_in_order(std::size_t total, std::int64_t* codes, MakeTable&& make_table, Number&& numbered) {
    // A table of values that hardly repeat sized once, rather than grown
    // step by step (each step places every value again, in memory the
    // caches do not hold): the number of values guessed from two samples
    // of records, as if drawn at random from them (d values seen, a share
    // r of the last sample new: d / (1 - r)).
    const std::size_t sample = kSampleRecords;
    // Records [lo, lo + 2 samples) numbered by table; the guess of the
    // number of values of records [lo, hi), 0 when the first sample's
    // values repeat (at most a quarter new).
    auto guess_values = [&](auto& table, std::size_t lo, std::size_t hi) -> std::size_t {
        numbered(table, lo, lo + sample);
        const std::size_t first = table.size();
        numbered(table, lo + sample, lo + 2 * sample);
        if (first * 4 <= sample) return 0;
        const double fresh = static_cast<double>(table.size() - first) / static_cast<double>(sample);
        const double guess = fresh > 0.95 ? static_cast<double>(hi - lo) : static_cast<double>(table.size()) / (1.0 - fresh);
        return static_cast<std::size_t>(std::min(guess, static_cast<double>(hi - lo)));
    };
    auto number = [&](auto& table, std::size_t lo, std::size_t hi) {
        if (hi - lo < 4 * sample) return numbered(table, lo, hi);
        if (const std::size_t values = guess_values(table, lo, hi)) table.reserve(values);
        numbered(table, lo + 2 * sample, hi);
    };
    std::size_t chunks = one_table_chunks(total);
    if (chunks > 1) {
        // Chunks pay off when their tables are small beside their records:
        // the chunks' values are numbered again, on one thread.
        auto probe = make_table(0);
        if (guess_values(probe, 0, total) * chunks > total / 4) chunks = 1;
    }
    if (chunks == 1) {
        auto table = make_table(0);
        number(table, 0, total);
        return table.take_reps();
    }
    using Reps = decltype(make_table(0).take_reps());
    const std::size_t per = (total + chunks - 1) / chunks;
    std::vector<Reps> seen(chunks);
    pool::for_each_row(chunks, [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t c) {
            auto table = make_table(0);
            number(table, c * per, std::min(total, (c + 1) * per));
            seen[c] = table.take_reps();
        });
    });
    auto table = make_table(seen[0].size());
    std::vector<std::vector<std::uint32_t>> global(chunks);
    for (std::size_t c = 0; c < chunks; ++c) {
        global[c].resize(seen[c].size());
        for (std::size_t j = 0; j < seen[c].size(); ++j) global[c][j] = table.code_of(seen[c][j]);
        seen[c] = Reps();
    }
    pool::for_each_row(chunks, [&](pool::RowCursor& cursor) {
        cursor.run([&](std::size_t c) {
            const std::uint32_t* map = global[c].data();
            const std::size_t lo = c * per, hi = std::min(total, lo + per);
            for (std::size_t k = lo; k < hi; ++k)
                if (codes[k] >= 0) codes[k] = map[codes[k]];
        });
    });
    return table.take_reps();
}

// Codes made ranks: the distinct values (reps, by code) sorted by less,
// each code replaced by its value's place.
template <class Reps, class Less>
void rank_codes(const Reps& reps, Less&& less, std::size_t total, std::int64_t* codes) {
    std::vector<std::uint32_t> order(reps.size());
    for (std::size_t c = 0; c < order.size(); ++c) order[c] = static_cast<std::uint32_t>(c);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) noexcept { return less(reps[a], reps[b]); });
    std::vector<std::int64_t> rank(reps.size());
    for (std::size_t r = 0; r < order.size(); ++r) rank[order[r]] = static_cast<std::int64_t>(r);
    pool::for_each_range(total, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t k = lo; k < hi; ++k)
            if (codes[k] >= 0) codes[k] = rank[static_cast<std::size_t>(codes[k])];
    });
}

// Codes of string keys (no transform, or a prefix), in order of first
// record (ranks when ranked), straight from the columns.
Codes encode_texts(const std::vector<KeySide>& sides, const KeyForm& form, std::size_t total) {
    const TextHash hash = TextHash::from_environment();
    std::vector<TextRun> runs;
    std::size_t base = 0;
    for (const KeySide& side : sides) {
        const std::uint8_t* missing = side.missing && !side.missing->empty() ? side.missing->data() : nullptr;
        const auto& side_runs = side.strings->runs();
        for (std::size_t r = 0; r < side_runs.size(); ++r) {
            const std::size_t at = side.strings->run_start(r);
            runs.push_back(TextRun{&side_runs[r], base + at, missing ? missing + at : nullptr});
        }
        base += side.size();
    }
    Codes codes(total);
    const BulkVector<TextRep> reps = number_in_order(
        total, codes.data(), [&](std::size_t expected) { return TextTable(hash, expected); },
        [&](TextTable& table, std::size_t lo, std::size_t hi) {
            number_range(table, hash, runs, form, lo, hi, codes.data());
        });
    if (form.ranked)
        rank_codes(
            reps,
            [](const TextRep& a, const TextRep& b) noexcept {
                return std::string_view(a.p, a.len) < std::string_view(b.p, b.len);
            },
            total, codes.data());
    return codes;
}

// Distinct 64-bit words numbered 0, 1, 2, ... as they come: open
// addressing over slots of a word and its code + 1 (0: empty), placed by
// the top bits of a hash of the word, at most half full.
class WordTable {
public:
    explicit WordTable(std::size_t expected = 0) {
        int bits = 8;
        while (bits < 24 && (std::size_t{1} << bits) < 2 * expected) ++bits;
        resize(bits);
    }

    static std::uint64_t hash(std::uint64_t w) noexcept { return mum(w ^ kSeed0, kSeed1); }
    void prefetch(std::uint64_t h) const noexcept { __builtin_prefetch(&slots_[h >> shift_]); }

    std::uint32_t code(std::uint64_t w, std::uint64_t h) {
        std::size_t at = h >> shift_;
        for (;; at = (at + 1) & mask_) {
            const Slot& s = slots_[at];
            if (s.code_plus_1 == 0) break;
            if (s.word == w) return static_cast<std::uint32_t>(s.code_plus_1 - 1);
        }
        const auto fresh = static_cast<std::uint32_t>(words_.size());
        slots_[at] = Slot{w, fresh + std::uint64_t{1}};
        words_.push_back(w);
        if (2 * words_.size() > slots_.size() && bits_ < 32) grow();
        return fresh;
    }
    std::uint32_t code_of(std::uint64_t w) { return code(w, hash(w)); }
    std::size_t size() const noexcept { return words_.size(); }
    void reserve(std::size_t expected) {
        words_.reserve(expected);
        int bits = bits_;
        while (bits < 32 && (std::size_t{1} << bits) < 2 * expected) ++bits;
        if (bits > bits_) rehash(bits);
    }
    BulkVector<std::uint64_t> take_reps() noexcept { return std::move(words_); }

private:
    struct Slot {
        std::uint64_t word, code_plus_1;
    };

    void resize(int bits) {
        bits_ = bits;
        shift_ = 64 - bits;
        mask_ = (std::size_t{1} << bits) - 1;
        slots_.assign(std::size_t{1} << bits, Slot{0, 0});
    }

    void grow() { rehash(bits_ + 1); }

    void rehash(int bits) {
        resize(bits);
        for (std::size_t c = 0; c < words_.size(); ++c) {
            std::size_t at = hash(words_[c]) >> shift_;
            while (slots_[at].code_plus_1 != 0) at = (at + 1) & mask_;
            slots_[at] = Slot{words_[c], c + 1};
        }
    }

    int bits_ = 0, shift_ = 64;
    std::size_t mask_ = 0;
    BulkVector<Slot> slots_;
    BulkVector<std::uint64_t> words_;  // by code
};

// Records [lo, hi) numbered by their words (word(k, w) false: missing, code
// -1), a block at a time, the block's slots fetched first.
template <class Word>
void number_words(WordTable& table, std::size_t lo, std::size_t hi, Word&& word, std::int64_t* codes) {
    constexpr std::size_t kBlock = 32;
    std::uint64_t w[kBlock], h[kBlock];
    bool present[kBlock];
    for (std::size_t k = lo; k < hi; k += kBlock) {
        const std::size_t m = std::min(kBlock, hi - k);
        for (std::size_t j = 0; j < m; ++j) {
            present[j] = word(k + j, w[j]);
            h[j] = WordTable::hash(w[j]);
            table.prefetch(h[j]);
        }
        for (std::size_t j = 0; j < m; ++j) codes[k + j] = present[j] ? static_cast<std::int64_t>(table.code(w[j], h[j])) : -1;
    }
}

// Codes in order of first record of the records' words (ranks when
// ranked, the words ordered as unsigned integers).
template <class Word>
Codes encode_words(std::size_t total, bool ranked, Word&& word) {
    Codes codes(total);
    const BulkVector<std::uint64_t> reps = number_in_order(
        total, codes.data(), [](std::size_t expected) { return WordTable(expected); },
        [&](WordTable& table, std::size_t lo, std::size_t hi) { number_words(table, lo, hi, word, codes.data()); });
    if (ranked) rank_codes(reps, std::less<std::uint64_t>(), total, codes.data());
    return codes;
}

// Each record's Soundex code packed big-endian in a word (so the words
// order as the codes do), 0 when missing or without an ASCII letter.
std::vector<std::uint64_t> soundex_words(const std::vector<KeySide>& sides, const std::vector<std::size_t>& starts,
                                         std::size_t total) {
    std::vector<std::uint64_t> packed(total);
    for (std::size_t s = 0; s < sides.size(); ++s) {
        const KeySide& side = sides[s];
        const std::uint8_t* missing = side.missing && !side.missing->empty() ? side.missing->data() : nullptr;
        const auto& runs = side.strings->runs();
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const StringRun& run = runs[r];
            const std::size_t at = side.strings->run_start(r);
            std::uint64_t* word = packed.data() + starts[s] + at;
            const std::uint8_t* gone = missing ? missing + at : nullptr;
            pool::for_each_range(run.length, [&](std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) {
                    if (gone && gone[i]) continue;
                    const auto code = similarity::soundex_code(run[i]);
                    if (code[0] == '0') continue;  // no letter
                    std::uint64_t w = 0;
                    for (char ch : code) w = w << 8 | static_cast<unsigned char>(ch);
                    word[i] = w;
                }
            });
        }
    }
    return packed;
}

// The codes of every record's word (ranks in sorted order when ranked).
Codes codes_of(Words& w, bool ranked);

}  // namespace

Codes encode_key(const std::vector<KeySide>& sides, const KeyForm& form) {
    std::vector<std::size_t> starts;
    std::size_t total = 0;
    for (const KeySide& side : sides) {
        starts.push_back(total);
        total += side.size();
    }
    if (total >> 32) throw ValueError("a blocking key over 2**32 records or more");
    const bool strings = !sides.empty() && sides[0].strings;
    if (strings && form.transform == Transform::kSoundex) {
        const std::vector<std::uint64_t> packed = soundex_words(sides, starts, total);
        return encode_words(total, form.ranked, [&](std::size_t k, std::uint64_t& word) noexcept {
            word = packed[k];
            return word != 0;
        });
    }
    if (strings) return encode_texts(sides, form, total);
    if (!form.ranked) {
        Codes codes;
        if (direct_int_codes(sides, total, codes)) return codes;
    }
    Words w;
    w.word.resize(total);
    w.tag.resize(total);
    for (const KeySide& side : sides)
        for (const NumberChunk& c : side.numbers)
            w.floats |= c.type == NumberType::kF32 || c.type == NumberType::kF64;
    for (std::size_t s = 0; s < sides.size(); ++s) number_words(sides[s], starts[s], w.floats, w);
    return codes_of(w, form.ranked);
}

CodeRange code_range(const std::int64_t* codes, std::size_t n) noexcept {
    // Four chains of comparisons at once.
    std::int64_t lo[4] = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX}, hi[4] = {-1, -1, -1, -1};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) lo[j] = std::min(lo[j], codes[i + j]), hi[j] = std::max(hi[j], codes[i + j]);
    for (; i < n; ++i) lo[0] = std::min(lo[0], codes[i]), hi[0] = std::max(hi[0], codes[i]);
    return {std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])),
            std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]))};
}

void combine_codes(const std::vector<const std::int64_t*>& columns, const std::vector<std::uint64_t>& spans,
                   std::size_t n, std::int64_t* first, std::size_t n_first, std::int64_t* rest) {
    // The final codes go straight to first and rest; those of earlier
    // columns to `out`.
    auto place = [&](const std::int64_t* codes) {
        std::copy(codes, codes + n_first, first);
        std::copy(codes + n_first, codes + n, rest);
    };
    if (columns.empty()) {
        std::fill(first, first + n_first, 0);
        std::fill(rest, rest + (n - n_first), 0);
        return;
    }
    if (columns.size() == 1) return place(columns[0]);
    if (n >> 32) throw ValueError("a blocking key over 2**32 records or more");
    // Column by column: the pair (code so far, next code) made one word,
    // numbered like any value: a * (largest b + 1) + b when that stays
    // within a few times the records (an array over them numbers the
    // words), else the two codes packed in 64 bits (a table). The codes so
    // far are the first column's until out holds some.
    // Codes so far span [0, span_a): the first column's given, then the
    // numbered tuples' (dense).
    auto largest = [n](const std::int64_t* codes) { return static_cast<std::uint64_t>(code_range(codes, n).hi + 1); };
    Codes out;
    const std::int64_t* so_far = columns[0];
    for (std::size_t c = 1; c < columns.size(); ++c, so_far = out.data()) {
        const bool last = c + 1 == columns.size();
        if (!last && out.size() == 0) out = Codes(n);
        const std::int64_t* next = columns[c];
        const std::uint64_t span_a = c == 1 ? spans[0] : largest(so_far), span_b = spans[c];
        const bool radix = span_b == 0 || span_a <= (4 * static_cast<std::uint64_t>(n) + 4096) / span_b;
        if (radix && (span_a == 0 || span_b == 0)) {  // every tuple has a missing code
            if (!last) {
                std::fill(out.begin(), out.end(), -1);
                continue;
            }
            std::fill(first, first + n_first, -1);
            std::fill(rest, rest + (n - n_first), -1);
            return;
        }
        if (radix) {
            auto offset = [&](std::size_t i) noexcept {
                return (so_far[i] | next[i]) < 0 ? std::int64_t{-1}
                                                 : so_far[i] * static_cast<std::int64_t>(span_b) + next[i];
            };
            FirstOrder numbering(span_a * span_b - 1);
            if (!last) {
                numbering.run(n, offset, out.data());
                continue;
            }
            // Numbering continues from the first part to the rest.
            numbering.run(n_first, offset, first);
            numbering.run(n - n_first, [&](std::size_t i) noexcept { return offset(n_first + i); }, rest);
            return;
        }
        Codes codes = encode_words(n, false, [&](std::size_t i, std::uint64_t& word) noexcept {
            word = static_cast<std::uint64_t>(so_far[i]) << 32 | static_cast<std::uint64_t>(next[i]);
            return (so_far[i] | next[i]) >= 0;
        });
        if (last) return place(codes.data());
        out = std::move(codes);
    }
}

namespace {

// Integers within a span of a few times the records, numbered without a
// hash table: in order of first record (first_order_codes), or for ranks
// each value's rank read from an array over the span (values marked, then
// counted). False when the values are not such integers (the codes
// untouched).
bool direct_codes(const Words& w, Codes& codes, bool ranked) {
    if (w.floats) return false;
    const std::size_t total = w.word.size();
    struct Span {
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        bool wide = false;  // a value past INT64_MAX
    } span;
    std::mutex merge;
    pool::for_each_range(total, [&](std::size_t a, std::size_t b) {
        Span mine;
        for (std::size_t k = a; k < b; ++k) {
            if (w.tag[k] == kMissing) continue;
            const std::uint64_t word = w.word[k];
            mine.wide |= w.tag[k] == kValue && word > static_cast<std::uint64_t>(INT64_MAX);
            const auto v = static_cast<std::int64_t>(word);
            mine.lo = std::min(mine.lo, v), mine.hi = std::max(mine.hi, v);
        }
        const std::lock_guard<std::mutex> hold(merge);
        span.lo = std::min(span.lo, mine.lo), span.hi = std::max(span.hi, mine.hi);
        span.wide |= mine.wide;
    });
    if (span.wide) return false;
    if (span.lo > span.hi) return true;  // every value missing: the codes stay -1
    const std::uint64_t width = static_cast<std::uint64_t>(span.hi) - static_cast<std::uint64_t>(span.lo);
    if (width >= 4 * static_cast<std::uint64_t>(total) + 4096) return false;
    const std::int64_t lo = span.lo;
    if (!ranked) {
        first_order_codes(
            total, width,
            [&](std::size_t k) noexcept {
                return w.tag[k] == kMissing ? std::int64_t{-1}
                                            : static_cast<std::int64_t>(static_cast<std::uint64_t>(w.word[k]) -
                                                                        static_cast<std::uint64_t>(lo));
            },
            codes.data());
        return true;
    }
    std::vector<std::uint32_t> rank(width + 1, 0);
    pool::for_each_range(total, [&](std::size_t a, std::size_t b) {
        for (std::size_t k = a; k < b; ++k)
            if (w.tag[k] != kMissing)
                std::atomic_ref<std::uint32_t>(rank[static_cast<std::uint64_t>(static_cast<std::int64_t>(w.word[k]) - lo)])
                    .store(1, std::memory_order_relaxed);
    });
    std::uint32_t below = 0;
    for (std::uint32_t& r : rank) {
        const std::uint32_t present = r;
        r = below;
        below += present;
    }
    pool::for_each_range(total, [&](std::size_t a, std::size_t b) {
        for (std::size_t k = a; k < b; ++k)
            if (w.tag[k] != kMissing)
                codes[k] = rank[static_cast<std::uint64_t>(static_cast<std::int64_t>(w.word[k]) - lo)];
    });
    return true;
}

Codes codes_of(Words& w, bool ranked) {
    const std::size_t total = w.word.size();
    {
        Codes codes(total, -1);
        if (direct_codes(w, codes, ranked)) return codes;
    }
    // The word alone tells values apart unless a negative integer and one
    // past INT64_MAX are both there (then the tag does too).
    bool negative = false, wide = false;
    if (!w.floats) {
        for (std::size_t k = 0; k < total; ++k) {
            negative |= w.tag[k] == kNegative;
            wide |= w.tag[k] == kValue && w.word[k] > static_cast<std::uint64_t>(INT64_MAX);
        }
    }
    if (!(negative && wide)) {
        Codes codes = encode_words(total, false, [&](std::size_t k, std::uint64_t& word) noexcept {
            word = w.word[k];
            return w.tag[k] != kMissing;
        });
        if (!ranked) return codes;
        // The order of the values: as doubles, signed or unsigned integers.
        std::vector<std::uint64_t> value(codes.size() == 0 ? 0 : static_cast<std::size_t>(
                                                                  *std::max_element(codes.begin(), codes.end()) + 1));
        for (std::size_t k = 0; k < total; ++k)
            if (codes[k] >= 0) value[static_cast<std::size_t>(codes[k])] = w.word[k];
        if (w.floats)
            rank_codes(value, [](std::uint64_t a, std::uint64_t b) noexcept {
                return std::bit_cast<double>(a) < std::bit_cast<double>(b);
            }, total, codes.data());
        else if (negative)
            rank_codes(value, [](std::uint64_t a, std::uint64_t b) noexcept {
                return static_cast<std::int64_t>(a) < static_cast<std::int64_t>(b);
            }, total, codes.data());
        else
            rank_codes(value, std::less<std::uint64_t>(), total, codes.data());
        return codes;
    }

    // Both: one table of words and tags, in order.
    Codes codes(total, -1);
    std::vector<std::uint32_t> reps;
    ValueTable table;
    for (std::size_t k = 0; k < total; ++k)
        if (w.tag[k] != kMissing) codes[k] = table.code(entry(w, k), reps);
    if (!ranked) return codes;
    rank_codes(reps, [&](std::uint32_t a, std::uint32_t b) noexcept {
        if (w.tag[a] != w.tag[b]) return w.tag[a] == kNegative;
        return w.word[a] < w.word[b];
    }, total, codes.data());
    return codes;
}

}  // namespace

}  // namespace corvane::blocking

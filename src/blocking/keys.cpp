#include "blocking/keys.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

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
// Strings of up to this many bytes are their own word (zero-padded; the
// length tells "a" from "a\0"), longer ones are hashed.
constexpr std::size_t kInline = 8;

inline std::uint64_t fmix64(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// A 64-bit hash of a byte string: eight bytes at a time, then a final mix.
inline std::uint64_t hash_bytes(std::string_view s) noexcept {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ (static_cast<std::uint64_t>(n) * 0xC2B2AE3D27D4EB4Full);
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    return fmix64(h);
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

// Every record reduced to a word and a tag: the value itself (numbers,
// Soundex codes: `exact`) or a hash of its bytes (strings).
struct Words {
    std::vector<std::uint64_t> word;
    std::vector<std::uint8_t> tag;
    std::vector<std::string_view> view;  // hashed strings: the transformed value of each record
    bool exact = true;
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

void string_words(const KeySide& side, std::size_t base, const KeyForm& form, Words& w) {
    const std::uint8_t* missing = side.missing && !side.missing->empty() ? side.missing->data() : nullptr;
    const auto& runs = side.strings->runs();
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const StringRun& run = runs[r];
        const std::size_t at = side.strings->run_start(r);
        std::uint64_t* word = w.word.data() + base + at;
        std::uint8_t* tag = w.tag.data() + base + at;
        std::string_view* view = w.view.empty() ? nullptr : w.view.data() + base + at;
        const std::uint8_t* gone = missing ? missing + at : nullptr;
        pool::for_each_range(run.length, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                word[i] = 0, tag[i] = kValue;
                if (gone && gone[i]) {
                    tag[i] = kMissing;
                } else if (form.transform == Transform::kSoundex) {
                    const auto code = similarity::soundex_code(run[i]);
                    if (code[0] == '0') {
                        tag[i] = kMissing;  // no letter
                    } else {
                        // Big-endian, so the words order as the codes do.
                        std::uint64_t packed = 0;
                        for (char ch : code) packed = packed << 8 | static_cast<unsigned char>(ch);
                        word[i] = packed;
                    }
                } else {
                    const std::string_view v =
                        form.transform == Transform::kPrefix ? prefix_of(run[i], form.length) : run[i];
                    if (v.size() <= kInline) {
                        std::uint64_t bytes = 0;
                        if (!v.empty()) std::memcpy(&bytes, v.data(), v.size());
                        word[i] = bytes;  // the value itself: no bytes to compare
                    } else {
                        word[i] = hash_bytes(v);
                    }
                    view[i] = v;
                }
            }
        });
    }
}

// Whether n > 8 bytes at a and b are equal; up to 16 bytes as two
// overlapping words, without a call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    std::uint64_t a0, b0, a1, b1;
    std::memcpy(&a0, a, 8), std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8), std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// A record's value as the tables see it: its word, and for hashed strings
// its bytes (len_or_tag: the string's length, or a number's tag).
struct Entry {
    std::uint64_t word;
    const char* bytes;
    std::uint32_t len_or_tag;
    std::uint32_t g;

    std::uint64_t hash(bool exact) const noexcept {
        if (exact) return fmix64(word ^ (len_or_tag == kNegative ? 0x5851F42D4C957F2Dull : 0));
        return len_or_tag <= kInline ? fmix64(word ^ (len_or_tag * 0x9E3779B97F4A7C15ull)) : word;
    }
};

inline Entry entry(const Words& w, std::size_t g) noexcept {
    Entry e{w.word[g], nullptr, w.tag[g], static_cast<std::uint32_t>(g)};
    if (!w.exact) e.bytes = w.view[g].data(), e.len_or_tag = static_cast<std::uint32_t>(w.view[g].size());
    return e;
}

// Distinct values seen so far, numbered 0, 1, 2, ... in order of first
// record: open addressing over slots holding each value's word and length
// or tag, grown as values come (a table of few values stays in cache); the
// bytes of hashed strings are compared only when those match. Callers
// running over many records prefetch a record's slot some records ahead.
class ValueTable {
public:
    // compare_bytes: hashed strings are told apart by their bytes; without
    // it, by hash and length alone, and the caller checks the bytes after.
    ValueTable(bool exact, bool compare_bytes, std::size_t expected = 0)
        : exact_(exact), compare_bytes_(compare_bytes), slots_(initial_slots(expected), Slot{0, 0, 0}) {}

    void prefetch(const Entry& e) const noexcept {
        __builtin_prefetch(&slots_[static_cast<std::size_t>(e.hash(exact_)) & (slots_.size() - 1)]);
    }

    // The code of e's value; a new value gets the next code, and its
    // record goes to reps.
    std::int64_t code(const Entry& e, std::vector<std::uint32_t>& reps) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t h = static_cast<std::size_t>(e.hash(exact_)) & mask;
        for (;; h = (h + 1) & mask) {
            const Slot& slot = slots_[h];
            if (slot.code_plus_1 == 0) break;
            if (slot.word == e.word && slot.len_or_tag == e.len_or_tag &&
                (exact_ || e.len_or_tag <= kInline || !compare_bytes_ ||
                 std::memcmp(bytes_[slot.code_plus_1 - 1], e.bytes, e.len_or_tag) == 0))
                return slot.code_plus_1 - 1;
        }
        const auto fresh = static_cast<std::uint32_t>(reps.size());
        slots_[h] = Slot{e.word, fresh + 1, e.len_or_tag};
        if (!exact_ && compare_bytes_) bytes_.push_back(e.bytes);
        reps.push_back(e.g);
        if (2 * reps.size() > slots_.size()) grow();
        return fresh;
    }

private:
    static std::size_t initial_slots(std::size_t expected) {
        std::size_t n = 256;
        while (n < 2 * expected && n < (std::size_t{1} << 16)) n *= 2;
        return n;
    }

    struct Slot {
        std::uint64_t word;
        std::uint32_t code_plus_1;  // 0: empty
        std::uint32_t len_or_tag;
    };

    void grow() {
        std::vector<Slot> old(2 * slots_.size(), Slot{0, 0, 0});
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.code_plus_1 == 0) continue;
            const Entry e{s.word, nullptr, s.len_or_tag, 0};
            std::size_t q = static_cast<std::size_t>(e.hash(exact_)) & mask;
            while (slots_[q].code_plus_1 != 0) q = (q + 1) & mask;
            slots_[q] = s;
        }
    }

    bool exact_;
    bool compare_bytes_;
    std::vector<Slot> slots_;
    std::vector<const char*> bytes_;  // hashed strings: each code's bytes
};

// Keys of more records than this go to partitions, each with a table of
// its own, on the pool; smaller ones get one table.
constexpr std::size_t kOneTableRecords = std::size_t{1} << 15;
// Blocks of records scattered to the partitions in parallel.
constexpr std::size_t kScatterBlocks = 16;
// Values that repeat are numbered in chunks of at least this many records
// (a chunk's distinct values are numbered again when the chunks merge).
constexpr std::size_t kChunkRecords = std::size_t{1} << 16;

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
    explicit FirstOrder(std::uint64_t width) : slot_(width + 2, 0), gone_(width + 1) { slot_[gone_] = kGone; }

    template <class Offset>
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
            if (k + ahead < n) __builtin_prefetch(slot + at(k + ahead), 1);
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

private:
    static constexpr std::uint32_t kGone = 0xFFFFFFFFu;
    std::vector<std::uint32_t> slot_;
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

bool direct_int_codes(const std::vector<KeySide>& sides, std::size_t total, std::vector<std::int64_t>& codes) {
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
        codes.assign(total, -1);
        return true;
    }
    const std::uint64_t width = static_cast<std::uint64_t>(span.hi) - static_cast<std::uint64_t>(span.lo);
    if (width >= 4 * static_cast<std::uint64_t>(total) + 4096) return false;
    codes.resize(total);
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

// The codes of every record's word (ranks in sorted order when ranked).
std::vector<std::int64_t> codes_of(Words& w, bool ranked);

}  // namespace

std::vector<std::int64_t> encode_key(const std::vector<KeySide>& sides, const KeyForm& form) {
    std::vector<std::size_t> starts;
    std::size_t total = 0;
    for (const KeySide& side : sides) {
        starts.push_back(total);
        total += side.size();
    }
    if (total >> 32) throw ValueError("a blocking key over 2**32 records or more");
    const bool strings = !sides.empty() && sides[0].strings;
    if (!strings && !form.ranked) {
        std::vector<std::int64_t> codes;
        if (direct_int_codes(sides, total, codes)) return codes;
    }
    Words w;
    w.word.resize(total);
    w.tag.resize(total);
    w.exact = !strings || form.transform == Transform::kSoundex;
    if (!w.exact) w.view.resize(total);
    for (const KeySide& side : sides)
        for (const NumberChunk& c : side.numbers)
            w.floats |= c.type == NumberType::kF32 || c.type == NumberType::kF64;
    for (std::size_t s = 0; s < sides.size(); ++s) {
        if (strings)
            string_words(sides[s], starts[s], form, w);
        else
            number_words(sides[s], starts[s], w.floats, w);
    }
    return codes_of(w, form.ranked);
}

std::vector<std::int64_t> combine_codes(const std::vector<const std::int64_t*>& columns, std::size_t n) {
    if (columns.empty()) return std::vector<std::int64_t>(n, 0);
    std::vector<std::int64_t> out(columns[0], columns[0] + n);
    if (columns.size() == 1) return out;
    if (n >> 32) throw ValueError("a blocking key over 2**32 records or more");
    // Column by column: the pair (code so far, next code) made one word,
    // numbered like any value: a * (largest b + 1) + b when that stays
    // within a few times the records (an array over them numbers the
    // words), else the two codes packed in 64 bits (a table, or partitions
    // on the pool).
    Words w;
    auto largest = [n](const std::int64_t* codes) {
        std::int64_t top = -1;
        for (std::size_t i = 0; i < n; ++i) top = std::max(top, codes[i]);
        return static_cast<std::uint64_t>(top + 1);
    };
    for (std::size_t c = 1; c < columns.size(); ++c) {
        const std::int64_t* next = columns[c];
        const std::uint64_t span_a = largest(out.data()), span_b = largest(next);
        const bool radix = span_b == 0 || span_a <= (4 * static_cast<std::uint64_t>(n) + 4096) / span_b;
        if (radix) {
            if (span_a == 0 || span_b == 0) {
                std::fill(out.begin(), out.end(), -1);  // every tuple has a missing code
                continue;
            }
            first_order_codes(
                n, span_a * span_b - 1,
                [&](std::size_t i) noexcept {
                    return (out[i] | next[i]) < 0 ? std::int64_t{-1}
                                                  : out[i] * static_cast<std::int64_t>(span_b) + next[i];
                },
                out.data());
            continue;
        }
        if (w.word.empty()) w.word.resize(n), w.tag.resize(n);
        pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                const auto a = static_cast<std::uint64_t>(out[i]), b = static_cast<std::uint64_t>(next[i]);
                const bool gone = out[i] < 0 || next[i] < 0;
                w.word[i] = gone ? 0 : radix ? a * span_b + b : a << 32 | b;
                w.tag[i] = gone ? kMissing : kValue;
            }
        });
        out = codes_of(w, false);
    }
    return out;
}

namespace {

// Integers within a span of a few times the records, numbered without a
// hash table: in order of first record (first_order_codes), or for ranks
// each value's rank read from an array over the span (values marked, then
// counted). False when the values are not such integers (the codes
// untouched).
bool direct_codes(const Words& w, std::vector<std::int64_t>& codes, bool ranked) {
    if (!w.exact || w.floats) return false;
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

std::vector<std::int64_t> codes_of(Words& w, bool ranked) {
    const std::size_t total = w.word.size();
    {
        std::vector<std::int64_t> codes(total, -1);
        if (direct_codes(w, codes, ranked)) return codes;
    }

    // One table over all records, unless the first records show values
    // that hardly repeat; then partitions, each with a table of its own, on
    // the pool.
    int part_bits = 0;
    if (total > kOneTableRecords) {
        ValueTable sample(w.exact, false);
        std::vector<std::uint32_t> seen;
        for (std::size_t k = 0; k < kOneTableRecords; ++k)
            if (w.tag[k] != kMissing) (void)sample.code(entry(w, k), seen);
        // Mostly distinct values (more than three in four of the first
        // records): one table would outgrow the caches.
        if (seen.size() * 4 > 3 * kOneTableRecords)
            while (part_bits < 10 && (total >> part_bits) > 4096) ++part_bits;
    }
    // Each record's hash, once, when the records go to partitions.
    std::vector<std::uint64_t> hash(part_bits ? total : 0);
    if (part_bits) {
        pool::for_each_range(total, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t k = lo; k < hi; ++k) hash[k] = w.tag[k] == kMissing ? 0 : entry(w, k).hash(w.exact);
        });
    }
    const std::size_t parts = std::size_t{1} << part_bits;
    auto part_of = [&](std::size_t k) noexcept {
        return part_bits ? static_cast<std::size_t>(hash[k] >> (64 - part_bits)) : std::size_t{0};
    };

    // Records scattered by partition with their values, block by block in
    // parallel (each block's records keep their order), so that each
    // partition reads its records in one sequential run.
    const std::size_t blocks = parts > 1 ? kScatterBlocks : 1;
    const std::size_t per_block = (total + blocks - 1) / blocks;
    std::vector<std::size_t> at((parts * blocks) + 1, 0);  // (partition, block) -> first slot
    std::vector<std::size_t> part_start(parts + 1, 0);
    std::vector<Entry> order;
    if (parts > 1) {
        std::vector<std::size_t> tally(parts * blocks, 0);
        pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
            cursor.run([&](std::size_t b) {
                std::size_t* mine = tally.data() + b;
                const std::size_t hi = std::min(total, (b + 1) * per_block);
                for (std::size_t k = b * per_block; k < hi; ++k)
                    if (w.tag[k] != kMissing) ++mine[part_of(k) * blocks];
            });
        });
        for (std::size_t q = 0; q < parts * blocks; ++q) at[q + 1] = at[q] + tally[q];
        for (std::size_t p = 0; p <= parts; ++p) part_start[p] = at[p * blocks];
        order.resize(at[parts * blocks]);
        pool::for_each_row(blocks, [&](pool::RowCursor& cursor) {
            cursor.run([&](std::size_t b) {
                std::vector<std::size_t> next(parts);
                for (std::size_t p = 0; p < parts; ++p) next[p] = at[p * blocks + b];
                const std::size_t hi = std::min(total, (b + 1) * per_block);
                for (std::size_t k = b * per_block; k < hi; ++k)
                    if (w.tag[k] != kMissing) order[next[part_of(k)]++] = entry(w, k);
            });
        });
    }

    // Each partition's values numbered by a table of its own; codes local to
    // the partition first, made global by its offset afterwards. Hashed
    // strings are told apart by hash and length, and their bytes checked
    // against their code's first record after: only if two different
    // strings met (a 64-bit collision) does the numbering run again
    // comparing bytes.
    std::vector<std::int64_t> codes(total, -1);
    std::vector<std::vector<std::uint32_t>> reps(parts);
    std::vector<std::size_t> base(parts + 1, 0);
    auto number = [&](bool compare_bytes) {
        if (parts == 1) {
            // Values that repeat: the records cut into a few chunks, each
            // numbered by a table of its own on the pool; then one table
            // numbers the chunks' distinct values, chunk after chunk (so
            // the first record of each value is the first record of the
            // chunk that saw it first), and the chunks' codes are mapped.
            const std::size_t chunks = one_table_chunks(total);
            const std::size_t per = (total + chunks - 1) / chunks;
            std::vector<std::vector<std::uint32_t>> seen(chunks);
            auto run = [&](std::size_t c) {
                ValueTable table(w.exact, compare_bytes);
                constexpr std::size_t ahead = 16;
                const std::size_t lo = c * per, hi = std::min(total, lo + per);
                for (std::size_t k = lo; k < hi; ++k) {
                    if (k + ahead < hi && w.tag[k + ahead] != kMissing) table.prefetch(entry(w, k + ahead));
                    if (w.tag[k] != kMissing) codes[k] = table.code(entry(w, k), seen[c]);
                }
            };
            if (chunks == 1) {
                run(0);
                reps[0] = std::move(seen[0]);
            } else {
                pool::for_each_row(chunks, [&](pool::RowCursor& cursor) { cursor.run(run); });
                reps[0].clear();
                ValueTable table(w.exact, compare_bytes);
                std::vector<std::vector<std::int64_t>> global(chunks);
                for (std::size_t c = 0; c < chunks; ++c) {
                    global[c].reserve(seen[c].size());
                    for (const std::uint32_t g : seen[c]) global[c].push_back(table.code(entry(w, g), reps[0]));
                    seen[c] = std::vector<std::uint32_t>();
                }
                pool::for_each_row(chunks, [&](pool::RowCursor& cursor) {
                    cursor.run([&](std::size_t c) {
                        const std::int64_t* map = global[c].data();
                        const std::size_t lo = c * per, hi = std::min(total, lo + per);
                        for (std::size_t k = lo; k < hi; ++k)
                            if (codes[k] >= 0) codes[k] = map[codes[k]];
                    });
                });
            }
        } else {
            pool::for_each_row(parts, [&](pool::RowCursor& cursor) {
                cursor.run([&](std::size_t p) {
                    reps[p].clear();
                    ValueTable table(w.exact, compare_bytes, (part_start[p + 1] - part_start[p]) / 4);
                    for (std::size_t k = part_start[p]; k < part_start[p + 1]; ++k)
                        codes[order[k].g] = table.code(order[k], reps[p]);
                });
            });
        }
        for (std::size_t p = 0; p < parts; ++p) base[p + 1] = base[p] + reps[p].size();
        if (parts > 1) {
            pool::for_each_range(total, [&](std::size_t lo, std::size_t hi) {
                for (std::size_t k = lo; k < hi; ++k)
                    if (w.tag[k] != kMissing) codes[k] += static_cast<std::int64_t>(base[part_of(k)]);
            });
        }
    };
    // Partitions of mostly distinct values compare bytes in their tables
    // (on a matching hash and length only, which is rare): no check after.
    number(w.exact || parts > 1);
    order = std::vector<Entry>();
    if (!w.exact && parts == 1) {
        std::vector<std::uint32_t> first(base.back());
        for (std::size_t p = 0; p < parts; ++p)
            std::copy(reps[p].begin(), reps[p].end(), first.begin() + static_cast<std::ptrdiff_t>(base[p]));
        // Values that repeat: the first records' bytes copied side by side
        // first, so that the check reads them from a few cache-sized pages
        // rather than from all over the columns.
        const std::size_t distinct = first.size();
        std::vector<std::size_t> at;
        std::string arena;
        if (distinct * 4 <= total) {
            at.resize(distinct + 1, 0);
            for (std::size_t c = 0; c < distinct; ++c) at[c + 1] = at[c] + w.view[first[c]].size();
            arena.resize(at[distinct]);
            for (std::size_t c = 0; c < distinct; ++c)
                if (!w.view[first[c]].empty()) std::memcpy(arena.data() + at[c], w.view[first[c]].data(), w.view[first[c]].size());
        }
        std::atomic<bool> collided{false};
        pool::for_each_range(total, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t k = lo; k < hi; ++k) {
                if (codes[k] < 0 || w.view[k].size() <= kInline) continue;
                const auto c = static_cast<std::size_t>(codes[k]);
                const std::string_view mine = w.view[k];
                const char* theirs = at.empty() ? w.view[first[c]].data() : arena.data() + at[c];
                if (mine.data() != theirs && !same_bytes(mine.data(), theirs, mine.size())) {
                    collided.store(true, std::memory_order_relaxed);
                    return;
                }
            }
        });
        if (collided.load()) {
            std::fill(codes.begin(), codes.end(), -1);
            number(true);
        }
    }
    if (!ranked) {
        // Partitions number their values apart: renumbered in order of
        // first record, as the other paths number them.
        if (parts > 1 && base.back() > 0)
            first_order_codes(total, base.back() - 1, [&](std::size_t k) noexcept { return codes[k]; }, codes.data());
        return codes;
    }

    // Ranks: the distinct values sorted, each code replaced by its place.
    const std::size_t distinct = base.back();
    std::vector<std::size_t> rep_of(distinct);
    for (std::size_t p = 0; p < reps.size(); ++p)
        std::copy(reps[p].begin(), reps[p].end(), rep_of.begin() + static_cast<std::ptrdiff_t>(base[p]));
    reps.clear();
    std::vector<std::int64_t> by_value(distinct);
    for (std::size_t c = 0; c < distinct; ++c) by_value[c] = static_cast<std::int64_t>(c);
    auto less = [&](std::int64_t x, std::int64_t y) noexcept {
        const std::size_t a = rep_of[static_cast<std::size_t>(x)], b = rep_of[static_cast<std::size_t>(y)];
        if (!w.exact) return w.view[a] < w.view[b];
        if (w.floats) return std::bit_cast<double>(w.word[a]) < std::bit_cast<double>(w.word[b]);
        if (w.tag[a] != w.tag[b]) return w.tag[a] == kNegative;
        return w.word[a] < w.word[b];
    };
    std::sort(by_value.begin(), by_value.end(), less);
    std::vector<std::int64_t> rank(distinct);
    for (std::size_t r = 0; r < distinct; ++r) rank[static_cast<std::size_t>(by_value[r])] = static_cast<std::int64_t>(r);
    pool::for_each_range(total, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t g = lo; g < hi; ++g)
            if (codes[g] >= 0) codes[g] = rank[static_cast<std::size_t>(codes[g])];
    });
    return codes;
}

}  // namespace

}  // namespace corvane::blocking

// Blocking keys: the values of a key column on both sides turned into
// dense integer codes, the same code for equal values whichever side and
// physical type they come from, -1 for a missing value. Pure C++.
//
// Values arrive as read by the boundary: strings as a StringColumn (any
// Arrow string layout) with a mask of nulls, numbers as Arrow chunks of
// fixed-width values with their validity bits. What counts as equal:
//
//   strings     the same bytes, after the transform: the first `length`
//               code points (the whole string when shorter), or the
//               Soundex code (a value without an ASCII letter is missing);
//               the empty string is a value;
//   integers    the same value, whatever the width and signedness;
//   floats      the same value once any side is a float (integers are
//               read as the nearest double); NaN is missing, -0.0 is 0.0;
//   booleans    the same bit.
//
// Codes number the values in order of each value's first record (left
// side first): the pair pass then reads the index of the left records'
// codes in about the records' order. They are the same whatever the number
// of workers.
//
// Strings are numbered straight from their Arrow buffers, with no array
// per record besides the codes: each is seen as its first and last eight
// bytes (overlapping, or packed when shorter), its length and a 64-bit
// hash of these (of every byte past 16). An open-addressing table of
// 8-byte slots (code, 24 bits of hash, length) sends a lookup to the
// code's two words, which decide up to 16 bytes; longer strings compare
// the bytes in between too, so hash collisions never merge two values.
// Records go in blocks: read and hash the block, fetch its slots and
// words (once the table outgrows the near caches), look up. Soundex codes
// and numbers that are not narrow integers go to a table of 64-bit words
// the same way. Tables whose first records hardly repeat are sized once
// from two samples. On several workers the records are cut into chunks,
// each numbered by a table of its own; one table then numbers the chunks'
// distinct values chunk after chunk and the chunks' codes are mapped.
// Integers of a span of a few times the records are numbered without a
// table, straight from their Arrow chunks: one pass through an array over
// the span numbers the values in order of first record, or for ranks the
// array marks the values present and a running count gives each its rank.
// Ranked keys (sorted neighbourhood) otherwise sort the distinct values
// (strings by bytes, numbers by value) and replace each code by its place.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/string_column.hpp"

namespace corvane::blocking {

enum class NumberType : std::uint8_t { kNull, kBool, kI8, kI16, kI32, kI64, kU8, kU16, kU32, kU64, kF32, kF64 };

// One Arrow chunk of numbers: element i is at values[offset + i], valid
// when bit offset + i of validity is set (validity null: all valid).
struct NumberChunk {
    NumberType type = NumberType::kNull;
    const void* values = nullptr;
    const std::uint8_t* validity = nullptr;
    std::size_t offset = 0;
    std::size_t length = 0;
};

// One side's key column: strings (with missing[i] = 1 for a null, or an
// empty mask when none is) or number chunks.
struct KeySide {
    const StringColumn* strings = nullptr;
    const std::vector<std::uint8_t>* missing = nullptr;
    std::vector<NumberChunk> numbers;

    std::size_t size() const noexcept;
};

enum class Transform : std::uint8_t { kNone, kPrefix, kSoundex };

struct KeyForm {
    Transform transform = Transform::kNone;
    std::size_t length = 0;  // kPrefix: code points kept
    bool ranked = false;     // codes are ranks in sorted order
};

// Codes of records, one int64 each, in memory the encoders fill (not
// cleared first).
class Codes {
public:
    Codes() = default;
    explicit Codes(std::size_t n) : data_(std::make_unique_for_overwrite<std::int64_t[]>(n)), size_(n) {}
    Codes(std::size_t n, std::int64_t value) : Codes(n) { std::fill(begin(), end(), value); }

    std::size_t size() const noexcept { return size_; }
    std::int64_t* data() const noexcept { return data_.get(); }
    std::int64_t* begin() const noexcept { return data_.get(); }
    std::int64_t* end() const noexcept { return data_.get() + size_; }
    std::int64_t& operator[](std::size_t i) const noexcept { return data_[i]; }
    // The array, for its new owner.
    std::unique_ptr<std::int64_t[]> release() noexcept {
        size_ = 0;
        return std::move(data_);
    }

private:
    std::unique_ptr<std::int64_t[]> data_;
    std::size_t size_ = 0;
};

// Codes of the records of every side, laid end to end (side 0 first).
// The sides are all strings or all numbers.
Codes encode_key(const std::vector<KeySide>& sides, const KeyForm& form);

// The smallest and largest of n codes (hi -1 when n is 0 or all are -1).
struct CodeRange {
    std::int64_t lo, hi;
};
CodeRange code_range(const std::int64_t* codes, std::size_t n) noexcept;

// Dense codes of tuples of codes, in order of first record: columns[c][i]
// is column c's code of record i (-1 missing, else below 2**32), and
// spans[c] its largest code + 1 (code_range's hi + 1); equal tuples get
// equal codes, and a record with a missing code gets -1. One column alone
// is copied. Records [0, n_first) go to first, the others to rest.
void combine_codes(const std::vector<const std::int64_t*>& columns, const std::vector<std::uint64_t>& spans,
                   std::size_t n, std::int64_t* first, std::size_t n_first, std::int64_t* rest);

}  // namespace corvane::blocking

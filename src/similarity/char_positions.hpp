// Where each character of a decoded string occurs, for the bit-parallel
// kernels' characters that do not fit their direct 256-entry tables. The
// distinct characters are numbered 0, 1, ... in order of first appearance.
// With few of them a kernel spreads the positions into dense rows, one per
// character, of one bit per position. Otherwise it asks for the sparse
// form: for every character, the (word, bits) pairs of the 64-position
// words it occurs in, in ascending word order, bit k of `bits` set when the
// character is at position 64 * word + k. Words a character does not occur
// in are not stored, so that form takes memory linear in the string's
// length whatever its alphabet: one pair per occurrence at most and a few
// words per distinct character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace corvane::similarity {

class CharPositions {
public:
    struct Entry {
        std::size_t word;
        std::uint64_t bits;
    };
    static constexpr std::size_t kAbsent = SIZE_MAX;

    // Numbers the characters of s[0, n) that are >= min_char; s must
    // outlive the index.
    CharPositions(const std::uint32_t* s, std::size_t n, std::uint32_t min_char) : s_(s), n_(n), min_char_(min_char) {
        std::size_t indexed = 0;
        for (std::size_t k = 0; k < n; ++k) indexed += s[k] >= min_char;
        if (indexed == 0) return;
        // At most half full: probing always ends at the key or a free slot.
        const std::size_t distinct_bound = indexed < kCodePoints ? indexed : kCodePoints;
        std::size_t cap = 16;
        while (cap < 2 * distinct_bound) cap *= 2;
        slots_.reset(new Slot[cap]);
        for (std::size_t i = 0; i < cap; ++i) slots_[i] = Slot{0, kFree};
        mask_ = cap - 1;
        ids_.reset(new std::uint32_t[indexed]);
        for (std::size_t k = 0, q = 0; k < n; ++k) {
            if (s[k] < min_char) continue;
            Slot& slot = slots_[probe(s[k])];
            if (slot.id == kFree) slot = Slot{s[k], static_cast<std::uint32_t>(distinct_++)};
            ids_[q++] = slot.id;
        }
        indexed_ = indexed;
    }

    // Dense form: sets, for every indexed position k, bit k % 64 of
    // rows[id * stride + k / 64] (rows all zero on entry, stride >= the
    // string's word count).
    void spread(std::uint64_t* rows, std::size_t stride) const noexcept {
        for (std::size_t k = 0, q = 0; k < n_; ++k) {
            if (s_[k] < min_char_) continue;
            rows[ids_[q++] * stride + k / 64] |= std::uint64_t{1} << (k % 64);
        }
    }

    // Sparse form: builds the entry lists that entries() and find() read.
    void list_positions() {
        if (indexed_ == 0) return;
        // Room for one entry per occurrence: begin_[id] is the first entry
        // of character id, end_[id] one past its last.
        bounds_.reset(new std::size_t[2 * distinct_]());
        begin_ = bounds_.get();
        end_ = begin_ + distinct_;
        for (std::size_t q = 0; q < indexed_; ++q) ++end_[ids_[q]];
        for (std::size_t id = 0, total = 0; id < distinct_; ++id) {
            begin_[id] = total;
            total += end_[id];
            end_[id] = begin_[id];
        }
        entries_.reset(new Entry[indexed_]);
        for (std::size_t k = 0, q = 0; k < n_; ++k) {
            if (s_[k] < min_char_) continue;
            const std::uint32_t id = ids_[q++];
            const std::uint64_t bit = std::uint64_t{1} << (k % 64);
            std::size_t& next = end_[id];
            if (next > begin_[id] && entries_[next - 1].word == k / 64)
                entries_[next - 1].bits |= bit;
            else
                entries_[next++] = Entry{k / 64, bit};
        }
    }

    std::size_t distinct() const noexcept { return distinct_; }

    // Number of character c, or kAbsent when c does not occur (or is below
    // min_char).
    std::size_t id_of(std::uint32_t c) const noexcept {
        if (c < min_char_ || distinct_ == 0) return kAbsent;
        const Slot& slot = slots_[probe(c)];
        return slot.id == kFree ? kAbsent : slot.id;
    }

    // After list_positions():
    std::span<const Entry> entries(std::size_t id) const noexcept {
        return {entries_.get() + begin_[id], end_[id] - begin_[id]};
    }

    // The entries of c; empty when c does not occur.
    std::span<const Entry> find(std::uint32_t c) const noexcept {
        const std::size_t id = id_of(c);
        return id == kAbsent ? std::span<const Entry>() : entries(id);
    }

private:
    static constexpr std::uint32_t kFree = UINT32_MAX;
    static constexpr std::size_t kCodePoints = std::size_t{1} << 21;  // decoded characters fit 21 bits

    struct Slot {
        std::uint32_t key;
        std::uint32_t id;  // kFree marks a free slot
    };

    std::size_t probe(std::uint32_t c) const noexcept {
        std::size_t i = c & mask_;
        std::uint64_t perturb = c;
        while (slots_[i].id != kFree && slots_[i].key != c) {
            i = (i * 5 + perturb + 1) & mask_;
            perturb >>= 5;
        }
        return i;
    }

    const std::uint32_t* s_;
    std::size_t n_;
    std::uint32_t min_char_;
    std::size_t indexed_ = 0;
    std::size_t distinct_ = 0;
    std::unique_ptr<std::uint32_t[]> ids_;  // number of each indexed occurrence
    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
    std::unique_ptr<std::size_t[]> bounds_;
    std::size_t* begin_ = nullptr;
    std::size_t* end_ = nullptr;
    std::unique_ptr<Entry[]> entries_;
};

}  // namespace corvane::similarity

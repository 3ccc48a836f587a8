// A column of UTF-8 strings as the kernels read it. Pure C++.
//
// A column is one or more runs of strings laid end to end. A run describes
// strings in one of the layouts they arrive in, read where they lie:
//
//   offsets32 / offsets64  one byte buffer and length + 1 offsets (Arrow
//                          utf8 / large_utf8, and the buffer the list path
//                          fills);
//   views                  16-byte views, short strings inline, longer ones
//                          pointing into data buffers (Arrow utf8_view);
//   dictionary             integer indices into a dictionary run
//                          (Arrow dictionary-encoded strings).
//
// A run only points: the memory behind it belongs to the column (bytes the
// column filled itself) or to whatever the column keeps alive in `keep`
// (an imported Arrow array, a NumPy array). Whoever builds a column from
// foreign memory checks it first (see check_run): once a column reaches a
// kernel, every offset, view and index in it stays inside its buffers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace corvane {

struct StringRun {
    enum class Layout : std::uint8_t { kOffsets32, kOffsets64, kViews, kDictionary };

    Layout layout = Layout::kOffsets64;
    std::size_t length = 0;
    const char* bytes = nullptr;           // offsets layouts: the data buffer
    bool has_data = true;                  // offsets layouts: false when the producer gave no data buffer
    const void* offsets = nullptr;         // offsets: length + 1 entries (already shifted); views: the views
    const char* const* buffers = nullptr;  // views: the data buffers the views point into
    std::size_t n_buffers = 0;
    const std::int64_t* buffer_sizes = nullptr;  // views: size of each data buffer
    const void* indices = nullptr;         // dictionary: indices (already shifted)
    std::uint8_t index_bytes = 0;          // dictionary: 1, 2, 4 or 8
    bool index_signed = true;
    const StringRun* dictionary = nullptr;  // dictionary: the values
    // Offsets and views layouts from foreign memory: the validity bitmap
    // (bit validity_offset + i for element i), or null when none is null.
    // A null element's bytes mean nothing, so check_run does not read them
    // as text; the reader refuses nulls that the column would reach.
    const std::uint8_t* validity = nullptr;
    std::size_t validity_offset = 0;

    bool is_null(std::size_t i) const noexcept {
        if (!validity) return false;
        const std::size_t k = validity_offset + i;
        return !((validity[k >> 3] >> (k & 7)) & 1);
    }

    std::int64_t index(std::size_t i) const noexcept {
        switch (index_bytes) {
            case 1: return index_signed ? static_cast<const std::int8_t*>(indices)[i]
                                        : static_cast<const std::uint8_t*>(indices)[i];
            case 2: return index_signed ? static_cast<const std::int16_t*>(indices)[i]
                                        : static_cast<const std::uint16_t*>(indices)[i];
            case 4: return index_signed ? static_cast<const std::int32_t*>(indices)[i]
                                        : static_cast<const std::uint32_t*>(indices)[i];
            default: {
                std::uint64_t v = static_cast<const std::uint64_t*>(indices)[i];
                return index_signed || v <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(v) : -1;
            }
        }
    }

    std::string_view operator[](std::size_t i) const noexcept {
        switch (layout) {
            case Layout::kOffsets32: {
                const auto* o = static_cast<const std::int32_t*>(offsets);
                return {bytes + o[i], static_cast<std::size_t>(o[i + 1] - o[i])};
            }
            case Layout::kOffsets64: {
                const auto* o = static_cast<const std::int64_t*>(offsets);
                return {bytes + o[i], static_cast<std::size_t>(o[i + 1] - o[i])};
            }
            case Layout::kViews: {
                const char* v = static_cast<const char*>(offsets) + 16 * i;
                std::int32_t len;
                std::memcpy(&len, v, 4);
                if (len <= 12) return {v + 4, static_cast<std::size_t>(len)};
                std::int32_t buf, off;
                std::memcpy(&buf, v + 8, 4);
                std::memcpy(&off, v + 12, 4);
                return {buffers[buf] + off, static_cast<std::size_t>(len)};
            }
            case Layout::kDictionary: {
                // A null slot's index may hold anything (pandas writes -1):
                // such an element reads as "", whoever reads it.
                const std::int64_t k = index(i);
                if (k < 0 || static_cast<std::uint64_t>(k) >= dictionary->length) return {};
                return (*dictionary)[static_cast<std::size_t>(k)];
            }
        }
        return {};
    }
};

// Memory for buffers a call fills itself (strings, offsets, scores).
//
// Small blocks come from malloc. Large ones (kBulkMin bytes and up) start
// on a huge-page boundary, span whole huge pages and ask for transparent
// huge pages, so filling them takes few page faults. A few large blocks
// freed by one call are kept (kBulkKeep bytes in all) for the next call of
// the process, already mapped: a call converting a million strings then
// writes into warm memory instead of having the kernel clear fresh pages
// each time. The keep is shared by every thread; a thread that finds it
// busy (or a forked child that inherited it busy) goes to malloc/free.
inline constexpr std::size_t kBulkMin = std::size_t{4} << 20;
inline constexpr std::size_t kBulkKeep = std::size_t{64} << 20;

// A block of at least `size` bytes; `size` comes back as the block's real
// size when that is larger. Throws std::bad_alloc.
void* bulk_alloc(std::size_t& size);
// Frees a block from bulk_alloc/bulk_realloc of that (returned) size.
void bulk_free(void* p, std::size_t size) noexcept;
// Frees the kept blocks. A call about to fill buffers of its own, sized
// unlike what the keep holds, calls it so that the keep does not sit
// mapped beside them at its peak.
void bulk_release_kept() noexcept;
// Moves the first `kept` bytes of old (a block of old_size, or null) into
// a block of at least `size` bytes (`size` updated as by bulk_alloc) and
// frees old. Throws std::bad_alloc, leaving old as it was.
void* bulk_realloc(void* old, std::size_t old_size, std::size_t kept, std::size_t& size);

// Owner of one block from bulk_alloc.
template <class T>
class BulkBuffer {
public:
    BulkBuffer() = default;
    BulkBuffer(BulkBuffer&& o) noexcept : p_(o.p_), size_(o.size_) { o.p_ = nullptr, o.size_ = 0; }
    BulkBuffer& operator=(BulkBuffer&& o) noexcept {
        if (this != &o) {
            bulk_free(p_, size_);
            p_ = o.p_, size_ = o.size_;
            o.p_ = nullptr, o.size_ = 0;
        }
        return *this;
    }
    BulkBuffer(const BulkBuffer&) = delete;
    BulkBuffer& operator=(const BulkBuffer&) = delete;
    ~BulkBuffer() { bulk_free(p_, size_); }

    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    std::size_t bytes() const noexcept { return size_; }
    // Hands the block (bytes() long) to the caller, who frees it with bulk_free.
    T* release() noexcept {
        T* p = p_;
        p_ = nullptr, size_ = 0;
        return p;
    }
    std::size_t capacity() const noexcept { return size_ / sizeof(T); }
    // Room for at least n elements, the first `kept` kept.
    void grow(std::size_t n, std::size_t kept) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();  // a size that would wrap
        std::size_t size = n * sizeof(T);
        p_ = static_cast<T*>(bulk_realloc(p_, size_, kept * sizeof(T), size));
        size_ = size;
    }

private:
    T* p_ = nullptr;
    std::size_t size_ = 0;
};

// Strings the call copies or transcodes itself: one growing byte buffer and
// a table of int64 offsets starting at 0 (the offsets64 layout).
struct OwnedStrings {
    BulkBuffer<char> bytes;
    std::size_t used = 0, capacity = 0;
    BulkBuffer<std::int64_t> offsets;
    std::size_t count = 0, offsets_capacity = 0;

    OwnedStrings() { reserve_strings(0); }

    // Room for at least n more bytes; returns where they go.
    // Never null, even for n == 0: the result goes to memcpy.
    char* room(std::size_t n) {
        if (capacity - used < n || !bytes) grow_bytes(std::max<std::size_t>({capacity * 2, used + n, 256}));
        return bytes.get() + used;
    }
    void reserve_strings(std::size_t n) {
        if (offsets_capacity >= n + 1 && offsets) return;
        const bool fresh = !offsets;
        offsets.grow(n + 1, fresh ? 0 : count + 1);
        if (fresh) offsets.get()[0] = 0;
        offsets_capacity = offsets.capacity();
    }
    // Room for at least n more bytes in one piece.
    void reserve_bytes(std::size_t n) {
        if (capacity - used < n || !bytes) grow_bytes(std::max<std::size_t>(used + n, 256));
    }
    // Ends the current string after `len` more bytes written at room().
    void commit(std::size_t len) {
        used += len;
        if (count + 2 > offsets_capacity) reserve_strings(offsets_capacity * 2);
        offsets.get()[++count] = static_cast<std::int64_t>(used);
    }
    void push(const char* data, std::size_t len) {
        std::memcpy(room(len), data, len);
        commit(len);
    }

private:
    void grow_bytes(std::size_t want) {
        bytes.grow(want, used);
        capacity = bytes.capacity();
    }
};

class StringColumn {
public:
    // Copies share the strings (they are never changed once written).

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    std::string_view operator[](std::size_t i) const noexcept {
        if (runs_.size() == 1) return runs_[0][i];
        // Several runs: the last run starting at or before i.
        auto it = std::upper_bound(starts_.begin(), starts_.end(), i);
        std::size_t k = static_cast<std::size_t>(it - starts_.begin()) - 1;
        return runs_[k][i - starts_[k]];
    }

    // The views of strings [lo, lo + count) into out, the layout resolved
    // once for the whole range when it lies in one run.
    void views(std::size_t lo, std::size_t count, std::string_view* out) const noexcept {
        std::size_t k = 0;
        if (runs_.size() != 1) {
            auto it = std::upper_bound(starts_.begin(), starts_.end(), lo);
            k = static_cast<std::size_t>(it - starts_.begin()) - 1;
            if (lo + count > starts_[k] + runs_[k].length) {
                for (std::size_t i = 0; i < count; ++i) out[i] = (*this)[lo + i];
                return;
            }
        }
        const StringRun& run = runs_[k];
        const std::size_t at = lo - (runs_.size() == 1 ? 0 : starts_[k]);
        switch (run.layout) {
            case StringRun::Layout::kOffsets32: return offset_views<std::int32_t>(run, at, count, out);
            case StringRun::Layout::kOffsets64: return offset_views<std::int64_t>(run, at, count, out);
            default:
                for (std::size_t i = 0; i < count; ++i) out[i] = run[at + i];
        }
    }

    // Appends a run; the memory it points into must outlive the column
    // (keep it alive with keep()).
    void add_run(const StringRun& run) {
        if (run.length == 0) return;
        starts_.push_back(size_);
        runs_.push_back(run);
        size_ += run.length;
    }
    const std::vector<StringRun>& runs() const noexcept { return runs_; }
    std::size_t run_start(std::size_t k) const noexcept { return starts_[k]; }

    // A run that lives as long as the column (dictionaries of runs).
    const StringRun* own_run(const StringRun& run) {
        owned_runs_.push_back(std::make_shared<const StringRun>(run));
        return owned_runs_.back().get();
    }
    void keep(std::shared_ptr<const void> owner) { keep_.push_back(std::move(owner)); }

    // Takes over strings the call filled itself as one run.
    void adopt(OwnedStrings&& strings);

    // Builds a column string by string (C++ callers): the strings go to a
    // run of the column's own, which must be its last run.
    void reserve(std::size_t n) { building().reserve_strings(n); }
    void push_back(const char* data, std::size_t len) {
        OwnedStrings& b = building();
        b.push(data, len);
        StringRun& run = runs_.back();
        run.length = b.count;
        run.bytes = b.bytes.get();
        run.offsets = b.offsets.get();
        ++size_;
    }

    void clear() noexcept {
        runs_.clear();
        starts_.clear();
        size_ = 0;
        owned_runs_.clear();
        keep_.clear();
        building_.reset();
    }

private:
    std::vector<StringRun> runs_;
    std::vector<std::size_t> starts_;  // starts_[k]: index of run k's first string
    std::size_t size_ = 0;
    std::vector<std::shared_ptr<const StringRun>> owned_runs_;
    std::vector<std::shared_ptr<const void>> keep_;
    std::shared_ptr<OwnedStrings> building_;

    template <class Offset>
    static void offset_views(const StringRun& run, std::size_t at, std::size_t count, std::string_view* out) noexcept {
        const auto* o = static_cast<const Offset*>(run.offsets) + at;
        const char* bytes = run.bytes;
        Offset start = o[0];
        for (std::size_t i = 0; i < count; ++i) {
            const Offset end = o[i + 1];
            out[i] = std::string_view(bytes + start, static_cast<std::size_t>(end - start));
            start = end;
        }
    }

    OwnedStrings& building() {
        // A builder shared with a copy is frozen: more strings go to a new run.
        if (!building_ || building_.use_count() > 2) {
            building_ = std::make_shared<OwnedStrings>();
            keep(building_);
            starts_.push_back(size_);
            runs_.push_back(StringRun{});
        }
        return *building_;
    }
};

inline void StringColumn::adopt(OwnedStrings&& strings) {
    auto owned = std::make_shared<OwnedStrings>(std::move(strings));
    StringRun run;
    run.layout = StringRun::Layout::kOffsets64;
    run.length = owned->count;
    run.bytes = owned->bytes.get();
    run.offsets = owned->offsets.get();
    add_run(run);
    keep(std::move(owned));
}

// Where a run breaks its layout's rules, found by check_run.
struct RunProblem {
    enum class Kind : std::uint8_t { kNone, kInvalidUtf8, kBadOffsets, kNoData, kViewOutOfBounds, kIndexOutOfRange };
    Kind kind = Kind::kNone;
    std::size_t index = 0;  // element of the run (of the dictionary for problems inside it)
    bool in_dictionary = false;
    explicit operator bool() const noexcept { return kind != Kind::kNone; }
};

// Checks a run from foreign memory before any kernel reads it: offsets
// non-negative and non-decreasing, views inside their buffers, every string
// that is not null valid UTF-8; for a dictionary run, the dictionary. Returns the first
// problem in element order. Dictionary indices are the reader's to check
// (only it knows which slots are null, and a null slot's index is
// arbitrary). Reads only what the layout says exists.
RunProblem check_run(const StringRun& run);

// True when s is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF), the set of strings a Python str can encode to.
bool valid_utf8(std::string_view s) noexcept;

// Appends one string of UCS-4 code units as UTF-8. Returns false (writing
// nothing) when a unit is a surrogate or above U+10FFFF.
bool append_ucs4(OwnedStrings& out, const char* units, std::size_t n_units);

}  // namespace corvane

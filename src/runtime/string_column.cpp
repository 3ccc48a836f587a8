// Checks of string runs read from foreign memory, and the UCS-4 to UTF-8
// transcoder used for fixed-width unicode arrays.
#include "runtime/string_column.hpp"

#include <sys/mman.h>

#include <mutex>

namespace corvane {

namespace {

bool all_ascii(const unsigned char* p, std::size_t n) noexcept {
    // Four words per step into four accumulators: independent loads the
    // compiler turns into two vector registers' worth per step.
    std::uint64_t acc[4] = {};
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint64_t w;
            std::memcpy(&w, p + i + 8 * k, 8);
            acc[k] |= w;
        }
    }
    std::uint64_t all = acc[0] | acc[1] | acc[2] | acc[3];
    for (; i < n; ++i) all |= p[i];
    return (all & 0x8080808080808080ULL) == 0;
}

RunProblem problem(RunProblem::Kind kind, std::size_t index) {
    RunProblem p;
    p.kind = kind;
    p.index = index;
    return p;
}

template <class Offset>
RunProblem check_offsets(const StringRun& run) {
    const auto* o = static_cast<const Offset*>(run.offsets);
    if (o[0] < 0) return problem(RunProblem::Kind::kBadOffsets, 0);
    // A stretch at a time without an exit in the loop (so it runs in
    // vector registers); the first bad offset is looked for only in a
    // stretch that has one.
    constexpr std::size_t kStretch = 4096;
    for (std::size_t lo = 0; lo < run.length; lo += kStretch) {
        const std::size_t hi = std::min(run.length, lo + kStretch);
        unsigned bad = 0;
        for (std::size_t i = lo; i < hi; ++i) bad |= static_cast<unsigned>(o[i + 1] < o[i]);
        if (bad != 0)
            for (std::size_t i = lo; i < hi; ++i)
                if (o[i + 1] < o[i]) return problem(RunProblem::Kind::kBadOffsets, i);
    }
    if (!run.has_data) {
        // Without a data buffer every string must be empty: any byte would
        // be read from memory the producer never gave.
        for (std::size_t i = 0; i < run.length; ++i)
            if (o[i + 1] != o[i]) return problem(RunProblem::Kind::kNoData, i);
        return {};
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(run.bytes);
    // ASCII bytes never split a character: one pass over the whole range
    // settles every string at once.
    const auto total = static_cast<std::size_t>(o[run.length] - o[0]);
    if (all_ascii(bytes + o[0], total)) return {};
    // The strings are back to back: they are all valid when the whole range
    // is, and no string starts inside a character (on a continuation byte).
    if (valid_utf8(std::string_view(run.bytes + o[0], total))) {
        bool split = false;
        for (std::size_t i = 0; i < run.length; ++i)
            split |= o[i] < o[run.length] && (bytes[o[i]] & 0xC0) == 0x80;
        if (!split) return {};
    }
    // Some string is invalid: find the first one (unless only null
    // elements' bytes are).
    for (std::size_t i = 0; i < run.length; ++i)
        if (!run.is_null(i) && !valid_utf8(run[i])) return problem(RunProblem::Kind::kInvalidUtf8, i);
    return {};
}

RunProblem check_views(const StringRun& run) {
    const char* views = static_cast<const char*>(run.offsets);
    for (std::size_t i = 0; i < run.length; ++i) {
        const char* v = views + 16 * i;
        std::int32_t len, buf, off;
        std::memcpy(&len, v, 4);
        if (len < 0) return problem(RunProblem::Kind::kViewOutOfBounds, i);
        if (len <= 12) {
            // Inline: the twelve bytes at once (padding beyond the string is
            // normally zero; when it is not, the exact check below decides).
            std::uint64_t a;
            std::uint32_t b;
            std::memcpy(&a, v + 4, 8);
            std::memcpy(&b, v + 12, 4);
            if (((a | b) & 0x8080808080808080ULL) == 0) continue;
        } else {
            std::memcpy(&buf, v + 8, 4);
            std::memcpy(&off, v + 12, 4);
            if (buf < 0 || static_cast<std::size_t>(buf) >= run.n_buffers || off < 0 ||
                static_cast<std::int64_t>(off) + len > run.buffer_sizes[buf] || run.buffers[buf] == nullptr)
                return problem(RunProblem::Kind::kViewOutOfBounds, i);
        }
        if (!run.is_null(i) && !valid_utf8(run[i])) return problem(RunProblem::Kind::kInvalidUtf8, i);
    }
    return {};
}

}  // namespace

bool valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kKeptBlocks = 8;

// Large blocks freed and kept for the next call (see string_column.hpp).
struct BulkKeep {
    std::mutex lock;
    void* blocks[kKeptBlocks] = {};
    std::size_t sizes[kKeptBlocks] = {};
    std::size_t total = 0;
};

BulkKeep& bulk_keep() {
    static BulkKeep* keep = new BulkKeep;  // never destroyed: blocks may be freed during exit
    return *keep;
}

// The smallest kept block of at least size bytes, taken out of the keep.
void* take_kept(std::size_t& size) {
    BulkKeep& k = bulk_keep();
    std::unique_lock<std::mutex> hold(k.lock, std::try_to_lock);
    if (!hold.owns_lock()) return nullptr;
    std::size_t best = kKeptBlocks;
    for (std::size_t i = 0; i < kKeptBlocks; ++i)
        if (k.blocks[i] && k.sizes[i] >= size && (best == kKeptBlocks || k.sizes[i] < k.sizes[best])) best = i;
    if (best == kKeptBlocks) return nullptr;
    void* p = k.blocks[best];
    size = k.sizes[best];
    k.blocks[best] = nullptr;
    k.total -= size;
    return p;
}

// Keeps the block when there is room (a slot, and kBulkKeep not passed).
bool keep_block(void* p, std::size_t size) noexcept {
    BulkKeep& k = bulk_keep();
    std::unique_lock<std::mutex> hold(k.lock, std::try_to_lock);
    if (!hold.owns_lock() || k.total + size > kBulkKeep) return false;
    for (std::size_t i = 0; i < kKeptBlocks; ++i)
        if (!k.blocks[i]) {
            k.blocks[i] = p;
            k.sizes[i] = size;
            k.total += size;
            return true;
        }
    return false;
}

}  // namespace

void* bulk_alloc(std::size_t& size) {
    if (size < kBulkMin) {
        void* p = std::malloc(size ? size : 1);
        if (!p) throw std::bad_alloc();
        return p;
    }
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
    std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    if (void* p = take_kept(rounded)) {
        size = rounded;
        return p;
    }
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // a hint: failure changes nothing
    size = rounded;
    return p;
}

void bulk_free(void* p, std::size_t size) noexcept {
    if (p && !(size >= kBulkMin && keep_block(p, size))) std::free(p);
}

void bulk_release_kept() noexcept {
    BulkKeep& k = bulk_keep();
    std::unique_lock<std::mutex> hold(k.lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    for (std::size_t i = 0; i < kKeptBlocks; ++i)
        if (k.blocks[i]) {
            std::free(k.blocks[i]);
            k.blocks[i] = nullptr;
            k.total -= k.sizes[i];
        }
}

void* bulk_realloc(void* old, std::size_t old_size, std::size_t kept, std::size_t& size) {
    if (size < kBulkMin && old_size < kBulkMin) {
        void* q = std::realloc(old, size ? size : 1);
        if (!q) throw std::bad_alloc();
        return q;
    }
    void* q = bulk_alloc(size);
    if (kept) std::memcpy(q, old, kept);
    bulk_free(old, old_size);
    return q;
}

RunProblem check_run(const StringRun& run) {
    switch (run.layout) {
        case StringRun::Layout::kOffsets32: return check_offsets<std::int32_t>(run);
        case StringRun::Layout::kOffsets64: return check_offsets<std::int64_t>(run);
        case StringRun::Layout::kViews: return check_views(run);
        case StringRun::Layout::kDictionary: {
            RunProblem inner = check_run(*run.dictionary);
            inner.in_dictionary = static_cast<bool>(inner);
            return inner;
        }
    }
    return {};
}

bool append_ucs4(OwnedStrings& out, const char* units, std::size_t n_units) {
    char* dst = out.room(4 * n_units);
    char* p = dst;
    for (std::size_t k = 0; k < n_units; ++k) {
        std::uint32_t c;
        std::memcpy(&c, units + 4 * k, 4);
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            if (c > 0x10FFFF) return false;
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.commit(static_cast<std::size_t>(p - dst));
    return true;
}

}  // namespace corvane

// UTF-8 helpers shared by the string kernels. Inputs come from Python str
// objects and are valid UTF-8, but every routine here stays inside the
// given bytes for any input: a truncated sequence at the end of the string
// decodes from the bytes that are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace corvane::utf8 {

inline bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Number of characters: the bytes that are not continuation bytes.
inline std::size_t count_chars(std::string_view s) noexcept {
    std::size_t n = 0;
    for (unsigned char c : s) n += !is_continuation(c);
    return n;
}

// True when every byte is below 0x80 (so bytes and characters coincide).
// Reads 8 bytes at a time; the tail is covered by overlapping loads so that
// short strings take no per-byte loop.
inline bool is_ascii(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::uint64_t acc = 0;
    if (n >= 8) {
        std::size_t i = 0;
        for (; i + 8 < n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            acc |= w;
        }
        std::uint64_t w;
        std::memcpy(&w, p + n - 8, 8);
        acc |= w;
    } else if (n >= 4) {
        std::uint32_t x, y;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, p + n - 4, 4);
        acc = x | y;
    } else if (n > 0) {
        acc = p[0] | p[n / 2] | p[n - 1];
    }
    return (acc & 0x8080808080808080ULL) == 0;
}

// Decodes the character whose lead byte is s[i] (i < n) and advances i
// past it. The lead byte announces how many continuation bytes to fold in;
// any further continuation bytes (malformed input) are passed over as part
// of the same character, so one character is produced per byte that is not
// a continuation byte, matching count_chars.
inline std::uint32_t next(const unsigned char* s, std::size_t n, std::size_t& i) noexcept {
    std::uint32_t c = s[i++];
    if (c < 0x80) return c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    c &= extra == 3 ? 0x07u : extra == 2 ? 0x0Fu : 0x1Fu;
    for (; i < n && is_continuation(s[i]); ++i)
        if (extra-- > 0) c = (c << 6) | (s[i] & 0x3Fu);
    return c;
}

// Writes the code points of s to out (room for count_chars(s) entries)
// and returns how many were written. Continuation bytes that follow no
// lead byte are skipped, as count_chars skips them.
inline std::size_t decode(std::string_view s, std::uint32_t* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0, k = 0;
    while (i < n) {
        if (is_continuation(p[i])) {
            ++i;
            continue;
        }
        out[k++] = next(p, n, i);
    }
    return k;
}

}  // namespace corvane::utf8

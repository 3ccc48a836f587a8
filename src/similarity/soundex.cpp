// Soundex over the ASCII letters of a string, read byte by byte. Bytes that
// are not ASCII letters (digits, punctuation, spaces, every byte of a
// multi-byte character) are skipped and do not separate equal digits; the
// vowels and H, W, Y do separate them.
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "similarity/kernels.hpp"

namespace corvane::similarity {
namespace {

// Per byte: 0 = not an ASCII letter, '0' = separator letter, '1'..'6' =
// the letter's digit.
constexpr std::array<char, 256> make_classes() {
    std::array<char, 256> t{};
    const char* digits = "01230120022455012623010202";  // A..Z
    for (int k = 0; k < 26; ++k) {
        t[static_cast<std::size_t>('A' + k)] = digits[k];
        t[static_cast<std::size_t>('a' + k)] = digits[k];
    }
    return t;
}
constexpr std::array<char, 256> kClass = make_classes();

}  // namespace

std::array<char, 4> soundex_code(std::string_view s) noexcept {
    std::array<char, 4> code{'0', '0', '0', '0'};
    std::size_t i = 0, n = s.size();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    while (i < n && kClass[p[i]] == 0) ++i;
    if (i == n) return code;
    code[0] = static_cast<char>(p[i] & ~0x20);  // upper case
    char prev = kClass[p[i]];
    std::size_t count = 1;
    for (++i; i < n; ++i) {
        char d = kClass[p[i]];
        if (d == 0) continue;
        if (d == '0') {
            prev = '0';
        } else if (d != prev) {
            code[count++] = d;
            prev = d;
            if (count == 4) break;
        }
    }
    return code;
}

double soundex_match(std::string_view a, std::string_view b) noexcept {
    std::array<char, 4> x = soundex_code(a), y = soundex_code(b);
    return std::memcmp(x.data(), y.data(), 4) == 0 ? 1.0 : 0.0;
}

}  // namespace corvane::similarity

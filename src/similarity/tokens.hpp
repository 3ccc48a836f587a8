// Whitespace tokenizer and sorted token lists shared by the token metrics.
//
// Tokens are maximal runs of non-white-space characters, kept as views into
// the input. White space is exactly the 25 code points of Unicode's
// White_Space property. Pure C++.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace corvane::similarity::tokens {

// A vector with inline room for N elements that moves to the heap beyond.
template <class T, std::size_t N>
class SmallVec {
public:
    SmallVec() = default;
    SmallVec(const SmallVec&) = delete;
    SmallVec& operator=(const SmallVec&) = delete;

    void push_back(const T& v) {
        if (size_ == cap_) grow();
        data_[size_++] = v;
    }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    void grow() {
        std::size_t cap = cap_ * 2;
        std::unique_ptr<T[]> next(new T[cap]);
        std::copy(data_, data_ + size_, next.get());
        heap_ = std::move(next);
        data_ = heap_.get();
        cap_ = cap;
    }

    T local_[N];
    std::unique_ptr<T[]> heap_;
    T* data_ = local_;
    std::size_t size_ = 0;
    std::size_t cap_ = N;
};

using Tokens = SmallVec<std::string_view, 16>;

// Per byte: 0 = part of a token, 1 = one-byte white space, 2 = lead byte of
// a sequence that may be multi-byte white space.
constexpr std::array<unsigned char, 256> make_byte_classes() {
    std::array<unsigned char, 256> t{};
    for (int c = 0x09; c <= 0x0D; ++c) t[static_cast<std::size_t>(c)] = 1;
    t[0x20] = 1;
    t[0xC2] = 2;
    t[0xE1] = 2;
    t[0xE2] = 2;
    t[0xE3] = 2;
    return t;
}
inline constexpr std::array<unsigned char, 256> kByteClass = make_byte_classes();

// Byte length of the white-space character starting at p[i] (class 2 lead
// byte), or 0 if the character there is not white space.
// U+0085, U+00A0 | U+1680 | U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
// | U+3000.
inline std::size_t multibyte_space(const unsigned char* p, std::size_t n, std::size_t i) {
    const unsigned char c = p[i];
    if (c == 0xC2) return i + 1 < n && (p[i + 1] == 0x85 || p[i + 1] == 0xA0) ? 2 : 0;
    if (i + 2 >= n) return 0;
    const unsigned char c1 = p[i + 1], c2 = p[i + 2];
    switch (c) {
        case 0xE1:
            return c1 == 0x9A && c2 == 0x80 ? 3 : 0;
        case 0xE2:
            if (c1 == 0x80) return c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
            return c1 == 0x81 && c2 == 0x9F ? 3 : 0;
        case 0xE3:
            return c1 == 0x80 && c2 == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

// Appends the tokens of s in order of appearance. Walking byte by byte is
// sound: white-space lead bytes and ASCII bytes never occur inside another
// character's encoding.
inline void whitespace_tokens(std::string_view s, Tokens& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t start = 0, i = 0;
    bool open = false;
    while (i < n) {
        const unsigned char cls = kByteClass[p[i]];
        std::size_t ws = cls == 0 ? 0 : cls == 1 ? 1 : multibyte_space(p, n, i);
        if (ws == 0) {
            if (!open) {
                start = i;
                open = true;
            }
            ++i;
            continue;
        }
        if (open) {
            out.push_back(s.substr(start, i - start));
            open = false;
        }
        i += ws;
    }
    if (open) out.push_back(s.substr(start));
}

// Ascending byte-wise order (unsigned bytes, shorter first on a common
// prefix), which is what string_view's comparison does.
inline void sort_tokens(Tokens& t) {
    std::string_view* first = t.begin();
    std::size_t n = t.size();
    if (n <= 20) {
        for (std::size_t i = 1; i < n; ++i) {
            std::string_view v = first[i];
            std::size_t j = i;
            for (; j > 0 && v < first[j - 1]; --j) first[j] = first[j - 1];
            first[j] = v;
        }
    } else {
        std::sort(first, t.end());
    }
}

inline void sorted_tokens(std::string_view s, Tokens& out) {
    whitespace_tokens(s, out);
    sort_tokens(out);
}

// Length of the run of equal tokens starting at i of a sorted list.
inline std::size_t run_length(const Tokens& t, std::size_t i) {
    std::size_t j = i + 1;
    while (j < t.size() && t[j] == t[i]) ++j;
    return j - i;
}

}  // namespace corvane::similarity::tokens

// Per-pair similarity kernels: pure functions over UTF-8 strings or
// binary64 values. Lengths count characters (Unicode scalar values), not
// bytes, except where a kernel says otherwise (exact match, Soundex).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace corvane::similarity {

// 1.0 when the UTF-8 bytes are identical, else 0.0.
inline double exact_match(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && a == b ? 1.0 : 0.0;
}

std::uint64_t levenshtein_distance(std::string_view a, std::string_view b);
double levenshtein_similarity(std::string_view a, std::string_view b);
std::uint64_t damerau_levenshtein_distance(std::string_view a, std::string_view b);
double damerau_levenshtein_similarity(std::string_view a, std::string_view b);

double jaro_similarity(std::string_view a, std::string_view b);
double jaro_winkler_similarity(std::string_view a, std::string_view b);

std::array<char, 4> soundex_code(std::string_view s) noexcept;
double soundex_match(std::string_view a, std::string_view b) noexcept;

double jaccard_similarity(std::string_view a, std::string_view b);
double cosine_similarity(std::string_view a, std::string_view b);
double token_sort_ratio(std::string_view a, std::string_view b);

double numeric_distance(double a, double b) noexcept;
double numeric_similarity(double a, double b) noexcept;

}  // namespace corvane::similarity

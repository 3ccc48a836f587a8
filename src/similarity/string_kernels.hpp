// The string metrics as the column routines run them: each one's per-pair
// kernel with its block routines, where it has any. The feature matrix
// and the pairwise batch functions both take their metrics from here.
#pragma once

#include "similarity/columns.hpp"
#include "similarity/kernels.hpp"
#include "similarity/lanes.hpp"

namespace corvane::similarity {

#if CORVANE_HAVE_LANES
#define CORVANE_BLOCKS(name) , &avx2::name, &avx512::name
#else
#define CORVANE_BLOCKS(name)
#endif

inline constexpr StringKernel kExactKernel{&exact_match};
#if CORVANE_HAVE_LANES
inline constexpr StringKernel kJaroWinklerKernel{&jaro_winkler_similarity, &avx2::jaro_winkler, &avx2::jaro_winkler};
#else
inline constexpr StringKernel kJaroWinklerKernel{&jaro_winkler_similarity};
#endif
inline constexpr StringKernel kLevenshteinKernel{&levenshtein_similarity CORVANE_BLOCKS(levenshtein)};
#if CORVANE_HAVE_LANES
// Damerau-Levenshtein's blocks pass the pairs whose distance is
// Levenshtein's to the Levenshtein block routine of their level
// (levenshtein.cpp).
namespace avx2 {
void damerau_levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
}  // namespace avx2
namespace avx512 {
void damerau_levenshtein(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
}  // namespace avx512
#endif
inline constexpr StringKernel kDamerauLevenshteinKernel{&damerau_levenshtein_similarity
                                                        CORVANE_BLOCKS(damerau_levenshtein)};
#if CORVANE_HAVE_LANES
// Soundex in blocks: both codes of a pair built in one AVX2 register
// (soundex.cpp).
namespace avx2 {
void soundex(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
}  // namespace avx2
inline constexpr StringKernel kSoundexKernel{&soundex_match, &avx2::soundex, &avx2::soundex};
#else
inline constexpr StringKernel kSoundexKernel{&soundex_match};
#endif
#if CORVANE_HAVE_LANES
// Jaccard and cosine in blocks: short strings tokenized in registers
// (tokens_avx2.cpp); processors with AVX-512 run the AVX2 routines.
namespace avx2 {
void jaccard(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
void cosine(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
}  // namespace avx2
inline constexpr StringKernel kJaccardKernel{&jaccard_similarity, &avx2::jaccard, &avx2::jaccard};
inline constexpr StringKernel kCosineKernel{&cosine_similarity, &avx2::cosine, &avx2::cosine};
#else
inline constexpr StringKernel kJaccardKernel{&jaccard_similarity};
inline constexpr StringKernel kCosineKernel{&cosine_similarity};
#endif
#if CORVANE_HAVE_LANES
// Token sort ratio's blocks join the pairs' tokens (short strings from
// their keys, tokens_avx2.cpp), then score the joined strings with the
// Levenshtein block routine of the level in force.
namespace avx2 {
void token_sort_ratio(const std::string_view* left, const std::string_view* right, std::size_t count, double* out);
}  // namespace avx2
inline constexpr StringKernel kTokenSortKernel{&token_sort_ratio, &avx2::token_sort_ratio, &avx2::token_sort_ratio};
#else
inline constexpr StringKernel kTokenSortKernel{&token_sort_ratio};
#endif

#undef CORVANE_BLOCKS

}  // namespace corvane::similarity

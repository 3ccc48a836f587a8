#include "features/metrics.hpp"

#include "similarity/kernels.hpp"
#include "similarity/string_kernels.hpp"

namespace corvane::features {

namespace {

template <class Table>
auto find_by_name(const Table& table, std::string_view name) noexcept -> decltype(&table[0]) {
    for (const auto& entry : table)
        if (entry.name == name) return &entry;
    return nullptr;
}

template <class Table>
std::string listing(const Table& table) {
    std::string out = "[";
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (i > 0) out += ", ";
        out += '"';
        out += table[i].name;
        out += '"';
    }
    out += ']';
    return out;
}

}  // namespace

const std::array<StringMetric, 8> kStringMetrics = {{
    {"jaro_winkler", similarity::kJaroWinklerKernel},
    {"levenshtein", similarity::kLevenshteinKernel},
    {"damerau_levenshtein", similarity::kDamerauLevenshteinKernel},
    {"exact", similarity::kExactKernel},
    {"soundex", similarity::kSoundexKernel},
    {"jaccard", similarity::kJaccardKernel},
    {"cosine", similarity::kCosineKernel},
    {"token_sort_ratio", similarity::kTokenSortKernel},
}};

const std::array<NumericMetric, 3> kNumericMetrics = {{
    {"numeric", &similarity::numeric_distance},
    {"numeric_similarity", &similarity::numeric_similarity},
    {"date_distance", &similarity::numeric_distance},
}};

const StringMetric* find_string_metric(std::string_view name) noexcept { return find_by_name(kStringMetrics, name); }

const NumericMetric* find_numeric_metric(std::string_view name) noexcept {
    return find_by_name(kNumericMetrics, name);
}

std::string string_vocabulary_listing() { return listing(kStringMetrics); }

std::string numeric_vocabulary_listing() { return listing(kNumericMetrics); }

}  // namespace corvane::features

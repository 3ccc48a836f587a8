#include "clustering/components.hpp"

#include <utility>

namespace corvane::clustering {

std::vector<std::int64_t> components(std::size_t n, const std::int64_t* a, const std::int64_t* b, std::size_t pairs) {
    std::vector<std::int64_t> parent(n), size(n, 1);
    for (std::size_t i = 0; i < n; ++i) parent[i] = static_cast<std::int64_t>(i);
    auto find = [&](std::int64_t x) {
        while (parent[static_cast<std::size_t>(x)] != x) {
            auto& p = parent[static_cast<std::size_t>(x)];
            p = parent[static_cast<std::size_t>(p)];
            x = p;
        }
        return x;
    };
    for (std::size_t k = 0; k < pairs; ++k) {
        std::int64_t x = find(a[k]), y = find(b[k]);
        if (x == y) continue;
        if (size[static_cast<std::size_t>(x)] < size[static_cast<std::size_t>(y)]) std::swap(x, y);
        parent[static_cast<std::size_t>(y)] = x;
        size[static_cast<std::size_t>(x)] += size[static_cast<std::size_t>(y)];
    }
    // Ids in order of each component's first record: size[] is reused as
    // the id of each root (-1: not numbered yet).
    std::vector<std::int64_t> id(n);
    for (std::size_t i = 0; i < n; ++i) size[i] = -1;
    std::int64_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto root = static_cast<std::size_t>(find(static_cast<std::int64_t>(i)));
        if (size[root] < 0) size[root] = next++;
        id[i] = size[root];
    }
    return id;
}

}  // namespace corvane::clustering

// Connected components of a pair graph (records as nodes, pairs as
// edges): a union-find with path halving and union by size, then one pass
// numbering the components in order of their first record. Pure C++,
// linear in records + pairs (up to the inverse Ackermann factor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::clustering {

// Component id of each of n records: 0, 1, 2, ... in order of each
// component's lowest record. Pair k joins a[k] and b[k] (each in [0, n),
// checked by the caller).
std::vector<std::int64_t> components(std::size_t n, const std::int64_t* a, const std::int64_t* b, std::size_t pairs);

}  // namespace corvane::clustering

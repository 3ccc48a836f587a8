// The common body of the pairwise batch functions.
#pragma once

#include "python/binding.hpp"
#include "similarity/columns.hpp"

namespace corvane {

// Converts left/right as string columns, checks lengths, scores every row.
// flags: the kernel only gives 0.0 or 1.0 (the list shares two floats).
PyObject* pairwise_strings(const Args& args, const similarity::StringKernel& kernel, bool flags = false);
// The same over float columns.
PyObject* pairwise_floats(const Args& args, similarity::NumericKernel kernel);

}  // namespace corvane

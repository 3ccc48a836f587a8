// Internals of the worker pool exposed for its own test program
// (tests/native). Nothing else in the module uses these.
#pragma once

#include <cstddef>

namespace corvane::pool::detail {

// Worker count chosen from the values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (null when absent) and the online processor count
// (<= 0 when the query failed). Always in [1, 65535].
std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus, long online_cpus);

// Stack size in bytes of the workers of a pool created after this call.
// Lets a test make thread creation fail; must precede the first
// worker_count() of the process.
void set_worker_stack_size(std::size_t bytes) noexcept;

}  // namespace corvane::pool::detail

// Returning freed memory to the system between the batches of a long call.
#pragma once

#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace corvane::memory {

// Hands the allocator's free pages back to the system. glibc keeps freed
// blocks below thresholds that it raises as large blocks come and go, in
// every thread's arena, so a loop of batches (link) would hold what earlier
// batches freed on top of what the current one uses. Elsewhere a no-op.
inline void release_free_pages() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace corvane::memory

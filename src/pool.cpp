// Temporary sequential implementation of the pool interface; the real
// worker pool replaces it.
#include "pool.hpp"

#include "errors.hpp"

namespace corvane::pool {

namespace {
thread_local WaitPoll tl_poll = nullptr;
thread_local void* tl_poll_ctx = nullptr;
}  // namespace

std::size_t worker_count() { return 1; }

bool parse_thread_count(std::string_view text, unsigned long long& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (~0ULL - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

void for_each_range(std::size_t n, FunctionRef<void(std::size_t, std::size_t)> chunk) {
    worker_count();
    if (n > 0) chunk(0, n);
}

void set_wait_poll(WaitPoll poll, void* ctx) noexcept {
    tl_poll = poll;
    tl_poll_ctx = ctx;
}

}  // namespace corvane::pool

// Process-wide worker pool and the ordered parallel map built on it.
// Pure C++: nothing here touches Python objects, so every function may be
// called with the interpreter lock released.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane {

// Non-owning reference to a callable; cheap to pass across the pool boundary.
template <class Sig>
class FunctionRef;

template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f) noexcept  // NOLINT: implicit by design
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, A... a) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...); }) {}
    R operator()(A... a) const { return call_(obj_, std::forward<A>(a)...); }

private:
    void* obj_;
    R (*call_)(void*, A...);
};

namespace pool {

// Number of workers of the process-wide pool; creates the pool on first use.
// Sized from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the online
// processor count (capped at 65535).
std::size_t worker_count();

// Parses a worker-count variable value: optional '+', then decimal digits,
// nothing else, no 64-bit overflow. Returns false when unparsable.
bool parse_thread_count(std::string_view text, unsigned long long& out);

// Runs chunk(lo, hi) over disjoint ranges covering [0, n) in ascending
// order inside each range. Ranges of one call may run on different threads.
// A range stops at the first exception it throws; once every range has
// finished, the exception of the lowest failing range (hence of the lowest
// failing index) is rethrown on the calling thread. n <= 1 runs inline.
void for_each_range(std::size_t n, FunctionRef<void(std::size_t, std::size_t)> chunk);

// One thread's range of rows, evaluated one at a time by run(row). The pool
// may shorten the range while it runs (it hands the upper part to an idle
// thread, or stops after a failure); rows run in ascending order, and when
// row(i) throws, position() is i.
class RowCursor {
public:
    // Rows [lo, hi); the owner checks in at row check_at (SIZE_MAX: never)
    // and whenever *attention is non-zero.
    RowCursor(std::size_t lo, std::size_t hi, const std::atomic<unsigned>* attention, std::size_t check_at,
              void* owner) noexcept
        : pos_(lo), end_(hi), check_at_(check_at), attention_(attention), owner_(owner) {}
    RowCursor(const RowCursor&) = delete;
    RowCursor& operator=(const RowCursor&) = delete;

    std::size_t position() const noexcept { return pos_; }

    template <class F>
    void run(F&& row) {
        std::size_t i = pos_;
        while (i < end_) {
            // Between check-ins the loop has no calls besides row(i), so the
            // compiler keeps its operands in registers.
            const std::size_t stop = end_ < check_at_ ? end_ : check_at_;
            do {
                pos_ = i;
                row(i);
                ++i;
            } while (i < stop && attention_->load(std::memory_order_relaxed) == 0);
            pos_ = i;
            if (i >= check_at_ || attention_->load(std::memory_order_relaxed) != 0) check_in();
        }
    }

private:
    void check_in();  // out of line: may shorten the range (to share it, after a failure, before a poll)

    std::size_t pos_;
    std::size_t end_;
    std::size_t check_at_;  // row of the owner's next periodic check
    const std::atomic<unsigned>* attention_;
    void* owner_;
};

// Runs body over cursors whose ranges cover [0, n) exactly once, on the
// pool, with the same failure rule as for_each_range, at row precision: the
// exception of the lowest failing row reaches the caller. Ranges are split
// at row granularity when threads would otherwise sit idle, so a few
// expensive rows next to each other still spread over the workers. n <= 1
// runs inline.
void for_each_row(std::size_t n, FunctionRef<void(RowCursor&)> body);

// Hook polled about every 50 ms by a thread whose job is running. The
// thread holds no compute slot while the hook runs (it hands the rest of
// its rows to the pool first), so the hook may block or call the pool: such
// a nested call runs inline on this thread. Returning true cancels the job:
// the remaining rows are skipped, the workers leave, and for_each_range /
// for_each_row throw PythonErrorPending. A hook that forks: in the child,
// the call runs again from its first row on the child's own pool (the
// parent's threads are not there to finish their rows). Thread-local;
// null = none.
using WaitPoll = bool (*)(void* ctx);
void set_wait_poll(WaitPoll poll, void* ctx) noexcept;
// The hook currently set on this thread (so a nested user can restore it).
void get_wait_poll(WaitPoll& poll, void*& ctx) noexcept;

}  // namespace pool

// out[i] = g(i) for i in [0, n), in index order whatever the scheduling.
template <class G>
std::vector<double> parallel_map(std::size_t n, G&& g) {
    std::vector<double> out(n);
    double* dst = out.data();
    auto body = [&](pool::RowCursor& c) { c.run([&](std::size_t i) { dst[i] = g(i); }); };
    pool::for_each_row(n, body);
    return out;
}

// Writes g(i) to out[i * stride] for i in [0, n); used to fill a strided
// column of a larger output buffer in place.
template <class G>
void parallel_fill(std::size_t n, double* out, std::size_t stride, G&& g) {
    auto body = [&](pool::RowCursor& c) { c.run([&](std::size_t i) { out[i * stride] = g(i); }); };
    pool::for_each_row(n, body);
}

// The pairwise form: element i is k(left[i], right[i]) over min(a, b) rows.
template <class T, class K>
std::vector<double> parallel_map(const std::vector<T>& left, const std::vector<T>& right, K&& k) {
    std::size_t n = left.size() < right.size() ? left.size() : right.size();
    return parallel_map(n, [&](std::size_t i) { return k(left[i], right[i]); });
}

}  // namespace corvane

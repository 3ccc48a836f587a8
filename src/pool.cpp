// The process-wide worker pool.
//
// Design. A call of for_each_range with n >= 2 becomes one Job that lives on
// the caller's stack. The range [0, n) is cut into equal chunks (a few dozen
// per worker, so a handful of expensive rows cannot leave a worker idle for
// long); participants claim chunks in ascending order from an atomic counter
// and run them. The pool holds N compute slots ("tokens"): the calling thread
// takes one if it can and works on its own job, and idle workers take the
// others. So one job never runs on more than N threads, RAYON_NUM_THREADS=1
// computes on one thread, and a two-row call never waits for a worker to
// wake up. Several callers may submit jobs at once; workers serve them in
// submission order and each caller waits only for its own job.
//
// Lifetime. The job list, the tokens and each job's `active` count change
// under the pool mutex. A worker joins a job (active++) only while it is
// linked and still has unclaimed chunks, and leaves it (active--) under the
// mutex, after which it never touches the job again. The caller unlinks its
// job under the mutex once every chunk is claimed (or the job stopped) and
// active is 0; taking the mutex there also makes every slot the workers
// wrote visible to the caller.
//
// Failures. A chunk stops at its first exception. Chunks are claimed in
// ascending order, so every unclaimed chunk lies above a failing one: the job
// stops claiming, lets the chunks in flight finish, and the caller rethrows
// the exception of the lowest failing chunk, which holds the lowest failing
// index.
//
// Waiting. Idle workers spin briefly (back-to-back calls stay cheap), then
// sleep on a condition variable. A caller that has nothing left to claim
// spins briefly, then sleeps on its job's condition variable, waking about
// every 50 ms to call its thread's WaitPoll hook; the hook is also called
// between chunks while the caller computes. A hook returning true cancels
// the job.
//
// Fork. A child forked after the pool exists has none of its threads; an
// atfork handler forgets the pool there (its memory is leaked), and the
// child's first parallel call creates a fresh one.
#include "pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "errors.hpp"
#include "pool_internal.hpp"

namespace corvane::pool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxWorkers = 65535;
constexpr std::size_t kDefaultStackSize = 2u * 1024u * 1024u;
constexpr std::size_t kChunksPerWorker = 64;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr auto kWorkerSpin = std::chrono::microseconds(100);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

thread_local WaitPoll tl_poll = nullptr;
thread_local void* tl_poll_ctx = nullptr;
thread_local bool tl_is_worker = false;
thread_local bool tl_in_chunk = false;  // running a chunk: nested calls run inline

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

struct Job {
    Job(FunctionRef<void(std::size_t, std::size_t)> fn, std::size_t n_, std::size_t chunk_size_)
        : chunk(fn), n(n_), chunk_size(chunk_size_), nchunks((n_ + chunk_size_ - 1) / chunk_size_) {}

    FunctionRef<void(std::size_t, std::size_t)> chunk;
    const std::size_t n;
    const std::size_t chunk_size;
    const std::size_t nchunks;

    std::atomic<std::size_t> next_chunk{0};  // next chunk to claim
    std::atomic<bool> stop{false};           // failure or cancellation: claim nothing more
    std::atomic<std::size_t> active{0};      // workers inside; changed under the pool mutex

    // Guarded by the pool mutex.
    Job* prev = nullptr;
    Job* next = nullptr;
    bool waiting = false;  // the caller sleeps on done_cv
    std::size_t failed_chunk = SIZE_MAX;
    std::exception_ptr failure;
    std::condition_variable done_cv;

    bool has_unclaimed() const noexcept {
        return !stop.load(std::memory_order_relaxed) && next_chunk.load(std::memory_order_relaxed) < nchunks;
    }
    bool finished() const noexcept { return !has_unclaimed() && active.load(std::memory_order_acquire) == 0; }
};

struct Pool {
    explicit Pool(std::size_t n) : n_workers(n), tokens(n) {}

    const std::size_t n_workers;
    std::mutex mu;
    std::condition_variable wake;  // idle workers sleep here

    // Guarded by mu.
    Job* head = nullptr;
    Job* tail = nullptr;
    std::size_t tokens;         // free compute slots
    std::size_t sleepers = 0;   // workers blocked on `wake`
    bool shutdown = false;      // creation failed: started workers leave

    std::atomic<std::uint64_t> epoch{0};    // bumped (under mu) when work may have appeared
    std::atomic<std::size_t> spinners{0};   // idle workers currently spinning

    // First linked job that still has chunks to hand out (mu held).
    Job* find_work() const noexcept {
        for (Job* j = head; j; j = j->next)
            if (j->has_unclaimed()) return j;
        return nullptr;
    }
    void link(Job* j) noexcept {
        j->prev = tail;
        j->next = nullptr;
        (tail ? tail->next : head) = j;
        tail = j;
    }
    void unlink(Job* j) noexcept {
        (j->prev ? j->prev->next : head) = j->next;
        (j->next ? j->next->prev : tail) = j->prev;
        j->prev = j->next = nullptr;
    }
    // Number of sleeping workers to wake for `helpers` more participants
    // (mu held); spinning workers will notice the new epoch on their own.
    std::size_t to_wake(std::size_t helpers) const noexcept {
        std::size_t spinning = spinners.load(std::memory_order_relaxed);
        std::size_t want = helpers > spinning ? helpers - spinning : 0;
        return want < sleepers ? want : sleepers;
    }
    void wake_workers(std::size_t count, std::size_t asleep) {
        if (count == 0) return;
        if (count >= asleep) {
            wake.notify_all();
        } else {
            for (std::size_t k = 0; k < count; ++k) wake.notify_one();
        }
    }
};

// Records a chunk's exception; the lowest failing chunk wins.
void record_failure(Pool& pool, Job& job, std::size_t chunk_index, std::exception_ptr error) {
    std::lock_guard<std::mutex> lk(pool.mu);
    job.stop.store(true, std::memory_order_relaxed);
    if (chunk_index < job.failed_chunk) {
        job.failed_chunk = chunk_index;
        job.failure = std::move(error);
    }
}

// Claims one chunk of job and runs it; false when nothing is left to claim.
bool run_one_chunk(Pool& pool, Job& job) {
    if (job.stop.load(std::memory_order_relaxed)) return false;
    std::size_t c = job.next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (c >= job.nchunks) return false;
    std::size_t lo = c * job.chunk_size;
    std::size_t hi = job.n - lo < job.chunk_size ? job.n : lo + job.chunk_size;
    tl_in_chunk = true;
    try {
        job.chunk(lo, hi);
    } catch (...) {
        record_failure(pool, job, c, std::current_exception());
    }
    tl_in_chunk = false;
    return true;
}

// Spins until epoch differs from seen or the spin time is over.
bool spin_for_change(const std::atomic<std::uint64_t>& epoch, std::uint64_t seen) {
    auto deadline = Clock::now() + kWorkerSpin;
    for (;;) {
        for (int k = 0; k < 64; ++k) {
            if (epoch.load(std::memory_order_relaxed) != seen) return true;
            cpu_relax();
        }
        if (Clock::now() >= deadline) return false;
    }
}

void worker_loop(Pool* pool) {
    tl_is_worker = true;
    std::unique_lock<std::mutex> lk(pool->mu);
    for (;;) {
        if (pool->shutdown) return;
        if (pool->tokens > 0) {
            if (Job* job = pool->find_work()) {
                --pool->tokens;
                job->active.fetch_add(1, std::memory_order_relaxed);
                lk.unlock();
                while (run_one_chunk(*pool, *job)) {
                }
                lk.lock();
                ++pool->tokens;
                if (job->active.fetch_sub(1, std::memory_order_release) == 1 && job->waiting)
                    job->done_cv.notify_one();  // under mu: the caller cannot be gone yet
                continue;
            }
        }
        std::uint64_t seen = pool->epoch.load(std::memory_order_relaxed);
        lk.unlock();
        pool->spinners.fetch_add(1, std::memory_order_relaxed);
        bool changed = spin_for_change(pool->epoch, seen);
        pool->spinners.fetch_sub(1, std::memory_order_relaxed);
        lk.lock();
        if (changed || pool->epoch.load(std::memory_order_relaxed) != seen) continue;
        ++pool->sleepers;
        pool->wake.wait(lk, [&] { return pool->shutdown || pool->epoch.load(std::memory_order_relaxed) != seen; });
        --pool->sleepers;
    }
}

extern "C" void* worker_entry(void* arg) {
    worker_loop(static_cast<Pool*>(arg));
    return nullptr;
}

// ---- process-wide state ---------------------------------------------------

pthread_mutex_t g_create_mu = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Pool*> g_pool{nullptr};
// Guarded by g_create_mu.
bool g_creation_failed = false;
bool g_failure_reported = false;
std::string g_failure_kind;
std::size_t g_stack_size = kDefaultStackSize;
bool g_atfork_registered = false;

const char* const kNotInitialized = "The global thread pool has not been initialized.";

// Runs in a child process right after fork(): the pool's threads did not
// survive, so forget the pool (leaking it) and let the child build its own.
extern "C" void forget_pool_in_child() {
    pthread_mutex_init(&g_create_mu, nullptr);
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_creation_failed = false;
    g_failure_reported = false;
    g_failure_kind.clear();
}

const char* io_error_kind(int code) {
    switch (code) {
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        case EPERM:
        case EACCES: return "PermissionDenied";
        case EINVAL: return "InvalidInput";
        case ENOSYS: return "Unsupported";
        default: return "Uncategorized";
    }
}

// Debug rendering of an OS error from thread creation.
std::string describe_os_error(int code) {
    char buf[256];
    const char* text = buf;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    text = strerror_r(code, buf, sizeof buf);
#else
    if (strerror_r(code, buf, sizeof buf) != 0) std::snprintf(buf, sizeof buf, "Unknown error %d", code);
#endif
    return "IOError(Os { code: " + std::to_string(code) + ", kind: " + io_error_kind(code) + ", message: \"" +
           text + "\" })";
}

// Creates the pool and its threads (g_create_mu held). Returns null and
// sets g_failure_kind when a thread cannot be started.
Pool* build_pool() {
    std::size_t n = detail::choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                                sysconf(_SC_NPROCESSORS_ONLN));
    auto* pool = new Pool(n);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_attr_setstacksize(&attr, g_stack_size);

    // Workers never need asynchronous signals; leave those to the
    // interpreter's threads. Faults still reach the faulting thread.
    sigset_t block, saved;
    sigfillset(&block);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &saved);
    for (std::size_t i = 0; rc == 0 && i < n; ++i) {
        pthread_t thread;
        rc = pthread_create(&thread, &attr, worker_entry, pool);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attr);

    if (rc != 0) {
        // Tell the threads already started to leave; the pool object stays
        // allocated because they may still be looking at it.
        {
            std::lock_guard<std::mutex> lk(pool->mu);
            pool->shutdown = true;
        }
        pool->wake.notify_all();
        g_failure_kind = describe_os_error(rc);
        return nullptr;
    }
    return pool;
}

[[noreturn]] void throw_creation_failure() {
    std::string kind = g_failure_reported ? std::string("GlobalPoolAlreadyInitialized") : g_failure_kind;
    g_failure_reported = true;
    throw InternalFailure(std::string(kNotInitialized) + ": ThreadPoolBuildError { kind: " + kind + " }");
}

Pool& the_pool() {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool) return *pool;

    struct Guard {
        Guard() { pthread_mutex_lock(&g_create_mu); }
        ~Guard() { pthread_mutex_unlock(&g_create_mu); }
    } guard;
    pool = g_pool.load(std::memory_order_relaxed);
    if (pool) return *pool;
    if (g_creation_failed) throw_creation_failure();
    if (!g_atfork_registered) {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        g_atfork_registered = true;
    }
    pool = build_pool();
    if (!pool) {
        g_creation_failed = true;
        throw_creation_failure();
    }
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

// Runs job on the calling thread, polling the hook between chunks; returns
// true when the hook asked to cancel.
bool run_as_caller(Pool& pool, Job& job, Clock::time_point& next_poll) {
    WaitPoll poll = tl_poll;
    while (run_one_chunk(pool, job)) {
        if (!poll) continue;
        auto now = Clock::now();
        if (now < next_poll) continue;
        if (poll(tl_poll_ctx)) {
            job.stop.store(true, std::memory_order_relaxed);
            return true;
        }
        next_poll = Clock::now() + kPollInterval;
    }
    return false;
}

}  // namespace

std::size_t worker_count() { return the_pool().n_workers; }

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
    Pool& pool = the_pool();
    if (n <= 1 || tl_in_chunk) {
        // One row, or a call from inside a chunk of another job (it holds
        // a compute slot already): run it here.
        if (n > 0) chunk(0, n);
        return;
    }

    std::size_t target = pool.n_workers * kChunksPerWorker;
    std::size_t chunk_size = n / target + (n % target != 0 ? 1 : 0);
    Job job(chunk, n, chunk_size);

    bool have_token = false;
    std::size_t wake_count = 0, asleep = 0;
    {
        std::lock_guard<std::mutex> lk(pool.mu);
        pool.link(&job);
        pool.epoch.fetch_add(1, std::memory_order_relaxed);
        if (pool.tokens > 0) {
            --pool.tokens;
            have_token = true;
        }
        std::size_t others = job.nchunks - (have_token ? 1 : 0);
        wake_count = pool.to_wake(pool.tokens < others ? pool.tokens : others);
        asleep = pool.sleepers;
    }
    pool.wake_workers(wake_count, asleep);

    auto next_poll = Clock::now() + kPollInterval;
    bool cancelled = false;
    if (have_token) {
        cancelled = run_as_caller(pool, job, next_poll);
        std::size_t wake_one = 0;
        {
            std::lock_guard<std::mutex> lk(pool.mu);
            ++pool.tokens;
            // Another caller's job may have been waiting for this slot.
            if (pool.find_work()) {
                pool.epoch.fetch_add(1, std::memory_order_relaxed);
                wake_one = pool.to_wake(1);
                asleep = pool.sleepers;
            }
        }
        pool.wake_workers(wake_one, asleep);
    }

    // Workers finishing their last chunks: usually a short spin suffices.
    auto spin_end = Clock::now() + kCallerSpin;
    while (!job.finished()) {
        for (int k = 0; k < 64; ++k) cpu_relax();
        if (Clock::now() >= spin_end) break;
    }

    {
        std::unique_lock<std::mutex> lk(pool.mu);
        while (!job.finished()) {
            WaitPoll poll = cancelled ? nullptr : tl_poll;
            job.waiting = true;
            if (!poll) {
                job.done_cv.wait(lk);
                continue;
            }
            if (job.done_cv.wait_until(lk, next_poll) == std::cv_status::no_timeout) continue;
            if (Clock::now() < next_poll) continue;
            lk.unlock();
            bool cancel = poll(tl_poll_ctx);
            next_poll = Clock::now() + kPollInterval;
            lk.lock();
            if (cancel) {
                cancelled = true;
                job.stop.store(true, std::memory_order_relaxed);
            }
        }
        job.waiting = false;
        pool.unlink(&job);
    }

    if (cancelled) throw PythonErrorPending{};
    if (job.failure) std::rethrow_exception(job.failure);
}

void set_wait_poll(WaitPoll poll, void* ctx) noexcept {
    tl_poll = poll;
    tl_poll_ctx = ctx;
}

namespace detail {

std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus, long online) {
    std::size_t n = 0;
    unsigned long long v = 0;
    if (num_threads && parse_thread_count(num_threads, v)) {
        n = v > 0 ? static_cast<std::size_t>(v > kMaxWorkers ? kMaxWorkers : v) : 0;
    } else if (rs_num_cpus && parse_thread_count(rs_num_cpus, v)) {
        n = v > 0 ? static_cast<std::size_t>(v > kMaxWorkers ? kMaxWorkers : v) : 0;
    }
    if (n == 0) n = online > 0 ? static_cast<std::size_t>(online) : 1;
    return n > kMaxWorkers ? kMaxWorkers : n;
}

void set_worker_stack_size(std::size_t bytes) noexcept {
    pthread_mutex_lock(&g_create_mu);
    g_stack_size = bytes;
    pthread_mutex_unlock(&g_create_mu);
}

bool on_worker_thread() noexcept { return tl_is_worker; }

}  // namespace detail

}  // namespace corvane::pool

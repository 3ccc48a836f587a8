// The process-wide worker pool.
//
// Design. A call with n >= 2 rows becomes one Job that lives on the
// caller's stack. [0, n) is cut into equal chunks that participants claim in
// ascending order from an atomic counter. The pool holds N compute slots
// ("tokens"): the calling thread takes one if it can and works on its own
// job, idle workers take the others. So a job never runs on more than N
// threads, RAYON_NUM_THREADS=1 computes on one thread, and a two-row call
// never waits for a worker to wake up. Several callers may submit jobs at
// once; workers serve them in submission order and each caller waits only
// for its own job.
//
// Row jobs (for_each_row) are also split below chunk size. A participant
// that runs out of chunks while others still work raises the job's
// `attention` word; every running row loop reads that word after each row
// and, when asked, its owner moves the upper half of its remaining rows into
// the job's donation box, where any participant (or a newly woken worker)
// takes it. The owner decides the split itself, so no row is ever claimed
// twice and a long row delays a split by at most that row. Block jobs
// (for_each_range) hand whole chunks to their callback and are not split
// further.
//
// Lifetime. The job list, the tokens, the donation box and each job's
// `active` count change under the pool mutex. A participant joins a job
// (active++) only while it is linked and has work to hand out, and leaves it
// (active--) under the mutex, after which it never touches the job again.
// The caller unlinks its job under the mutex once nothing is left to hand
// out and active is 0; taking the mutex there also makes every slot written
// by the workers visible to the caller.
//
// Failures. A range stops at its first exception, which is recorded with the
// row where it happened (row jobs) or the start of its chunk (block jobs);
// the lowest one wins. Everything at or above that row is skipped from then
// on: unclaimed chunks and boxed ranges are dropped, running row loops are
// cut short. Everything below still runs, so the exception that reaches the
// caller is that of the lowest failing row.
//
// Waiting. Idle workers spin briefly (back-to-back calls stay cheap), then
// sleep on a condition variable. The caller calls its thread's WaitPoll hook
// about every 50 ms while its job runs; a hook returning true cancels the
// job. The hook may run arbitrary code (Python signal handlers), which may
// call the pool again or wait for another thread that does, so the caller
// never holds a compute slot while it runs: when the hook is due in the
// middle of a row range (row loops read the clock every few hundred
// microseconds' worth of rows), the caller puts the rest of its range in the
// donation box, gives its slot back, runs the hook, and rejoins the job if a
// slot is free. It wakes no worker for its own rows before the hook: most
// hooks return at once, and one that cancels the job then has no freshly
// started range to wait for. Workers that come by take them all the same. A pool call made by the hook itself runs inline on the
// calling thread, like a call from inside a range: it never waits behind
// the job that is waiting for the hook.
//
// Fork. A child forked after the pool exists has none of its threads; an
// atfork handler forgets the pool there (its memory is leaked), and the
// child's first parallel call creates a fresh one. A job can only be running
// on the forking thread if that thread is the job's caller running its hook
// (nowhere else does a caller run code that may fork). In the child, that job
// belongs to the parent's pool: its other participants do not exist, and the
// pool mutex may have been held by one of them at the fork. So once the hook
// returns, the caller leaves the job and the pool untouched (the job's memory
// is not even destroyed) and runs the whole call again from its first row on
// the child's own pool; rows only ever write their own results, so rows the
// parent's threads had finished are simply written again. A hook that asks
// for a cancellation there just ends the call.
#include "runtime/pool.hpp"

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
#include <new>
#include <string>

#include "runtime/errors.hpp"
#include "runtime/pool_internal.hpp"

namespace corvane::pool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxWorkers = 65535;
constexpr std::size_t kDefaultStackSize = 2u * 1024u * 1024u;
constexpr std::size_t kRowChunksPerWorker = 8;     // row jobs are split further on demand
constexpr std::size_t kBlockChunksPerWorker = 32;  // block jobs are not
constexpr std::size_t kBoxCapacity = 64;
constexpr std::size_t kNever = SIZE_MAX;
constexpr std::size_t kMaxStride = std::size_t(1) << 20;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr auto kClockCheck = std::chrono::microseconds(500);  // the caller's row loop reads the clock about this often
constexpr auto kWorkerSpin = std::chrono::microseconds(100);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

constexpr unsigned kHungry = 1;  // attention: a participant waits for rows
constexpr unsigned kStop = 2;    // attention: a failure or a cancellation lowered the limit

const std::atomic<unsigned> kQuiet{0};  // attention word of inline runs: never raised

thread_local WaitPoll tl_poll = nullptr;
thread_local void* tl_poll_ctx = nullptr;
// Nested calls on this thread run inline: it is running a range of a job,
// or the hook of a job it is waiting for.
thread_local bool tl_inline = false;

// Bumped in a child process right after fork(): a job started before it
// belongs to the parent's pool.
std::atomic<std::uint64_t> g_forks{0};

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

struct Range {
    std::size_t lo, hi;
};

using BlockFn = FunctionRef<void(std::size_t, std::size_t)>;
using RowFn = FunctionRef<void(RowCursor&)>;

struct Job {
    Job(std::size_t n_, std::size_t chunk_size_, BlockFn* blocks_, RowFn* rows_) noexcept
        : blocks(blocks_), rows(rows_), n(n_), chunk_size(chunk_size_), nchunks((n_ + chunk_size_ - 1) / chunk_size_) {}

    BlockFn* const blocks;  // exactly one of the two is set
    RowFn* const rows;
    const std::size_t n;
    const std::size_t chunk_size;
    const std::size_t nchunks;

    std::atomic<std::size_t> next_chunk{0};     // next chunk to claim
    std::atomic<bool> chunks_closed{false};     // hand out no more chunks
    std::atomic<std::size_t> limit{SIZE_MAX};   // rows >= limit are skipped
    // Read after every row by the running row loops: kept apart from the
    // counters above, which change at every claim.
    alignas(64) std::atomic<unsigned> attention{0};  // kHungry | kStop
    // Changed under the pool mutex, read anywhere.
    alignas(64) std::atomic<std::size_t> active{0};  // participants inside, the caller included
    std::atomic<std::size_t> boxed{0};   // ranges in the donation box

    // Guarded by the pool mutex.
    Range box[kBoxCapacity];
    std::size_t hungry = 0;  // donations asked for
    Job* prev = nullptr;
    Job* next = nullptr;
    bool waiting = false;  // the caller sleeps on done_cv
    bool cancelled = false;
    std::size_t failed_row = SIZE_MAX;
    std::exception_ptr failure;
    std::condition_variable done_cv;

    bool chunks_left() const noexcept {
        return !chunks_closed.load(std::memory_order_relaxed) && next_chunk.load(std::memory_order_relaxed) < nchunks;
    }
    bool has_work() const noexcept { return chunks_left() || boxed.load(std::memory_order_relaxed) > 0; }
    bool finished() const noexcept { return !has_work() && active.load(std::memory_order_acquire) == 0; }

    // Drops boxed rows at or above the limit (pool mutex held).
    void purge_box() noexcept {
        std::size_t lim = limit.load(std::memory_order_relaxed), kept = 0, count = boxed.load(std::memory_order_relaxed);
        for (std::size_t k = 0; k < count; ++k) {
            Range r = box[k];
            if (r.lo >= lim) continue;
            if (r.hi > lim) r.hi = lim;
            box[kept++] = r;
        }
        boxed.store(kept, std::memory_order_relaxed);
    }
};

struct Pool {
    explicit Pool(std::size_t n) : n_workers(n), tokens(n) {}

    const std::size_t n_workers;
    std::mutex mu;
    std::condition_variable wake;  // idle workers sleep here

    // Guarded by mu.
    Job* head = nullptr;
    Job* tail = nullptr;
    std::size_t tokens;        // free compute slots
    std::size_t sleepers = 0;  // workers blocked on `wake`
    bool shutdown = false;     // creation failed: started workers leave

    std::atomic<std::uint64_t> epoch{0};   // bumped (under mu) when work may have appeared
    std::atomic<std::size_t> spinners{0};  // idle workers currently spinning

    // First linked job with work to hand out, other than `except` (mu held).
    Job* find_work(const Job* except = nullptr) const noexcept {
        for (Job* j = head; j; j = j->next)
            if (j != except && j->has_work()) return j;
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
    // Sleeping workers to wake for `helpers` more participants (mu held);
    // spinning workers notice the new epoch on their own.
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
    // A participant leaves job (mu held); it must not touch the job after.
    void leave(Job& job) noexcept {
        ++tokens;
        std::size_t left = job.active.fetch_sub(1, std::memory_order_release) - 1;
        if (left == 0) {
            if (job.waiting) job.done_cv.notify_one();  // under mu: the caller is still there
            return;
        }
        // Others are still at work: ask them for part of their rows, which
        // this thread (or another with a free slot) will pick up.
        if (job.rows && !job.cancelled && !job.has_work() && job.hungry < tokens) {
            ++job.hungry;
            job.attention.fetch_or(kHungry, std::memory_order_relaxed);
        }
    }
};

// One thread's part in a job.
struct Participant {
    Participant(Pool& p, Job& j) noexcept : pool(p), job(j) {}
    Pool& pool;
    Job& job;
    // The calling thread only: its hook and the pacing of its clock reads.
    WaitPoll poll = nullptr;  // the hook set when the job started; null on workers
    bool cancelled = false;
    bool forked = false;       // the hook forked and this is the child: the job is abandoned
    std::uint64_t forks = 0;   // g_forks when the job started
    bool poll_due = false;  // the row loop stopped early so the hook can run
    Clock::time_point next_poll{};
    Clock::time_point last_check{};
    std::size_t stride = 1;  // rows between clock reads; grows while rows are quick
};

void record_failure(Participant& p, std::size_t row, std::exception_ptr error) {
    Job& job = p.job;
    std::lock_guard<std::mutex> lk(p.pool.mu);
    if (row < job.failed_row) {
        job.failed_row = row;
        job.failure = std::move(error);
    }
    if (row < job.limit.load(std::memory_order_relaxed)) job.limit.store(row, std::memory_order_relaxed);
    job.chunks_closed.store(true, std::memory_order_relaxed);
    job.attention.fetch_or(kStop, std::memory_order_relaxed);
    job.purge_box();
}

void cancel_job(Participant& p) {
    Job& job = p.job;
    std::lock_guard<std::mutex> lk(p.pool.mu);
    p.cancelled = true;
    job.cancelled = true;
    job.limit.store(0, std::memory_order_relaxed);
    job.chunks_closed.store(true, std::memory_order_relaxed);
    job.attention.fetch_or(kStop, std::memory_order_relaxed);
    job.purge_box();
}

// Sets tl_inline for its lifetime.
struct InlineScope {
    InlineScope() noexcept : saved(tl_inline) { tl_inline = true; }
    ~InlineScope() { tl_inline = saved; }
    InlineScope(const InlineScope&) = delete;
    InlineScope& operator=(const InlineScope&) = delete;
    bool saved;
};

bool poll_due(const Participant& p, Clock::time_point now) noexcept {
    return p.poll && !p.cancelled && (p.poll_due || now >= p.next_poll);
}

// Calls the caller's hook if it is due; true when the job was cancelled.
// The caller holds no compute slot here.
bool poll_if_due(Participant& p, Clock::time_point now) {
    if (!poll_due(p, now)) return p.cancelled;
    // Read the hook afresh: code run by the hook itself may have changed it.
    WaitPoll hook = tl_poll;
    bool cancel = false;
    {
        InlineScope nested_calls_inline;
        cancel = hook && hook(tl_poll_ctx);
    }
    p.poll_due = false;
    p.next_poll = Clock::now() + kPollInterval;
    if (g_forks.load(std::memory_order_relaxed) != p.forks) {
        // A child process: the job and its pool are the parent's. Touch neither.
        p.forked = true;
        p.cancelled = cancel;
        return cancel;
    }
    if (cancel) cancel_job(p);
    return cancel;
}

// Claims the next chunk, or else a boxed range; false when none is left.
bool claim(Participant& p, Range& r) {
    Job& job = p.job;
    if (!job.chunks_closed.load(std::memory_order_relaxed)) {
        std::size_t c = job.next_chunk.fetch_add(1, std::memory_order_relaxed);
        if (c < job.nchunks) {
            std::size_t lo = c * job.chunk_size;
            if (lo < job.limit.load(std::memory_order_relaxed)) {
                r.lo = lo;
                r.hi = job.n - lo < job.chunk_size ? job.n : lo + job.chunk_size;
                return true;
            }
            job.chunks_closed.store(true, std::memory_order_relaxed);
        }
    }
    if (job.boxed.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> lk(p.pool.mu);
    std::size_t k = job.boxed.load(std::memory_order_relaxed);
    if (k == 0) return false;
    r = job.box[k - 1];
    job.boxed.store(k - 1, std::memory_order_relaxed);
    return true;
}

void run_range(Participant& p, Range r) {
    Job& job = p.job;
    InlineScope nested_calls_inline;
    if (job.rows) {
        RowCursor cursor(r.lo, r.hi, &job.attention, p.poll ? r.lo + p.stride : kNever, &p);
        try {
            (*job.rows)(cursor);
        } catch (...) {
            record_failure(p, cursor.position(), std::current_exception());
        }
    } else {
        try {
            (*job.blocks)(r.lo, r.hi);
        } catch (...) {
            record_failure(p, r.lo, std::current_exception());
        }
    }
}

// Works on p's job until nothing is left to claim or, on the calling
// thread, until its hook is due.
void run_units(Participant& p) {
    Range r;
    while (claim(p, r)) {
        run_range(p, r);
        if (poll_due(p, Clock::now())) return;
    }
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
    std::unique_lock<std::mutex> lk(pool->mu);
    for (;;) {
        if (pool->shutdown) return;
        if (Job* job = pool->tokens > 0 ? pool->find_work() : nullptr) {
            --pool->tokens;
            job->active.fetch_add(1, std::memory_order_relaxed);
            lk.unlock();
            Participant part(*pool, *job);
            run_units(part);
            lk.lock();
            pool->leave(*job);
            continue;
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
    g_forks.fetch_add(1, std::memory_order_relaxed);
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

// Runs a job of n >= 2 rows from the calling thread and waits for it.
void run_job(std::size_t n, BlockFn* blocks, RowFn* rows) {
    Pool& pool = the_pool();
    std::size_t target = pool.n_workers * (rows ? kRowChunksPerWorker : kBlockChunksPerWorker);
    std::size_t chunk_size = n / target + (n % target != 0 ? 1 : 0);
    // The job lives here, destroyed on the way out unless it was abandoned
    // in a forked child (its members may be half-written by a thread that
    // does not exist there).
    struct Slot {
        alignas(Job) unsigned char bytes[sizeof(Job)];
        Job* job = nullptr;
        bool abandoned = false;
        ~Slot() {
            if (job && !abandoned) job->~Job();
        }
    } slot;
    slot.job = new (slot.bytes) Job(n, chunk_size, blocks, rows);
    Job& job = *slot.job;

    Participant me(pool, job);
    me.poll = tl_poll;
    me.forks = g_forks.load(std::memory_order_relaxed);
    me.last_check = Clock::now();
    me.next_poll = me.last_check + kPollInterval;

    bool have_token = false;
    std::size_t wake_count = 0, asleep = 0;
    {
        std::lock_guard<std::mutex> lk(pool.mu);
        pool.link(&job);
        pool.epoch.fetch_add(1, std::memory_order_relaxed);
        if (pool.tokens > 0) {
            --pool.tokens;
            job.active.fetch_add(1, std::memory_order_relaxed);
            have_token = true;
        }
        std::size_t others = job.nchunks - (have_token ? 1 : 0);
        wake_count = pool.to_wake(pool.tokens < others ? pool.tokens : others);
        asleep = pool.sleepers;
    }
    pool.wake_workers(wake_count, asleep);

    bool spun = false;
    for (;;) {
        if (have_token) {
            run_units(me);
            // Another caller's job may be waiting for the slot. Rows of
            // this job left for after the hook are not handed to a worker:
            // a cancellation from the hook then has less to wait for, and
            // this thread takes them up again when the hook returns.
            const Job* keep = poll_due(me, Clock::now()) ? &job : nullptr;
            wake_count = 0;
            {
                std::lock_guard<std::mutex> lk(pool.mu);
                pool.leave(job);
                have_token = false;
                if (pool.find_work(keep)) {
                    pool.epoch.fetch_add(1, std::memory_order_relaxed);
                    wake_count = pool.to_wake(1);
                    asleep = pool.sleepers;
                }
            }
            pool.wake_workers(wake_count, asleep);
        }
        if (!spun && !poll_due(me, Clock::now())) {
            // Workers finishing their last rows: usually a short spin suffices.
            spun = true;
            auto spin_end = Clock::now() + kCallerSpin;
            while (!job.finished()) {
                for (int k = 0; k < 64; ++k) cpu_relax();
                if (Clock::now() >= spin_end) break;
            }
        }
        if (!job.finished()) poll_if_due(me, Clock::now());
        if (me.forked) break;

        std::unique_lock<std::mutex> lk(pool.mu);
        if (job.finished()) {
            pool.unlink(&job);
            break;
        }
        if (!me.cancelled && job.has_work() && pool.tokens > 0) {
            // Rows are left and a slot is free (the rows this thread boxed
            // before its hook ran, say): take part again.
            --pool.tokens;
            job.active.fetch_add(1, std::memory_order_relaxed);
            have_token = true;
            continue;
        }
        job.waiting = true;
        if (!me.poll || me.cancelled)
            job.done_cv.wait(lk);
        else
            job.done_cv.wait_until(lk, me.next_poll);
        job.waiting = false;
    }

    if (me.forked) {
        // The hook forked and this is the child (see Fork above).
        slot.abandoned = true;
        if (me.cancelled) throw PythonErrorPending{};
        run_job(n, blocks, rows);
        return;
    }
    if (job.cancelled) throw PythonErrorPending{};
    if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace

void RowCursor::check_in() {
    auto& p = *static_cast<Participant*>(owner_);
    Job& job = p.job;
    bool park = false;
    if (pos_ >= check_at_) {
        // Only the calling thread has periodic checks: pace the clock reads
        // to about one per kClockCheck, and stop when the hook is due (it
        // runs once this thread has given its slot back).
        auto now = Clock::now();
        auto elapsed = now - p.last_check;
        p.last_check = now;
        if (elapsed < kClockCheck / 2 && p.stride < kMaxStride) p.stride *= 2;
        else if (elapsed > kClockCheck * 2 && p.stride > 1) p.stride /= 2;
        check_at_ = pos_ + p.stride;
        park = poll_due(p, now);
    }
    unsigned a = attention_->load(std::memory_order_relaxed);
    bool trim = (a & kStop) && end_ > job.limit.load(std::memory_order_relaxed);
    bool give = (a & kHungry) && end_ > pos_ && end_ - pos_ >= 2;
    if (!trim && !give && !park) return;

    std::size_t wake_count = 0, asleep = 0;
    {
        std::lock_guard<std::mutex> lk(p.pool.mu);
        std::size_t lim = job.limit.load(std::memory_order_relaxed);
        if (end_ > lim) end_ = lim > pos_ ? lim : pos_;
        if (park) {
            // The rest of the range goes to the box for any participant. A
            // full box (rare) postpones the hook to the next check.
            std::size_t count = job.boxed.load(std::memory_order_relaxed);
            if (end_ == pos_ || count < kBoxCapacity) {
                if (end_ > pos_) {
                    job.box[count] = Range{pos_, end_};
                    job.boxed.store(count + 1, std::memory_order_relaxed);
                    end_ = pos_;
                }
                p.poll_due = true;
            }
        }
        if (job.hungry > 0 && end_ > pos_ && end_ - pos_ >= 2) {
            std::size_t count = job.boxed.load(std::memory_order_relaxed);
            if (count < kBoxCapacity) {
                std::size_t mid = pos_ + (end_ - pos_) / 2;
                job.box[count] = Range{mid, end_};
                job.boxed.store(count + 1, std::memory_order_relaxed);
                end_ = mid;
                --job.hungry;
                p.pool.epoch.fetch_add(1, std::memory_order_relaxed);
                wake_count = p.pool.to_wake(1);
                asleep = p.pool.sleepers;
            } else {
                job.hungry = 0;
            }
            if (job.hungry == 0) job.attention.fetch_and(~kHungry, std::memory_order_relaxed);
        }
    }
    p.pool.wake_workers(wake_count, asleep);
}

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
    the_pool();
    if (n <= 1 || tl_inline) {
        // One row, or a call from inside a range of another job or from its
        // caller's hook: run it here.
        if (n > 0) chunk(0, n);
        return;
    }
    run_job(n, &chunk, nullptr);
}

void for_each_row(std::size_t n, FunctionRef<void(RowCursor&)> body) {
    the_pool();
    if (n <= 1 || tl_inline) {
        if (n == 0) return;
        RowCursor cursor(0, n, &kQuiet, kNever, nullptr);
        body(cursor);
        return;
    }
    run_job(n, nullptr, &body);
}

void set_wait_poll(WaitPoll poll, void* ctx) noexcept {
    tl_poll = poll;
    tl_poll_ctx = ctx;
}

void get_wait_poll(WaitPoll& poll, void*& ctx) noexcept {
    poll = tl_poll;
    ctx = tl_poll_ctx;
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

}  // namespace detail

}  // namespace corvane::pool

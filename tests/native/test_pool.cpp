// Test program for the worker pool alone (src/pool.cpp), without Python.
//
//   test_pool all       ordering, failures, concurrency, cancellation, parsing
//   test_pool fork      a child forked after the pool exists gets a new pool
//   test_pool buildfail pool creation failure is reported, then remembered
//
// Environment: EXPECT_WORKERS=<n> checks worker_count() and the number of
// threads the pool starts. Exits 0 and prints "PASS" when every check holds.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/errors.hpp"
#include "runtime/pool.hpp"
#include "runtime/pool_internal.hpp"

using namespace corvane;

namespace {

std::atomic<int> g_failures{0};

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            g_failures.fetch_add(1);                                                  \
        }                                                                             \
    } while (0)

int count_threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

double row_value(std::size_t i) { return static_cast<double>(i) * 1.5 + 0.25; }

struct RowFailure : std::runtime_error {
    explicit RowFailure(std::size_t i) : std::runtime_error("row " + std::to_string(i)), index(i) {}
    std::size_t index;
};

void test_creation() {
    int before = count_threads();
    std::size_t n = pool::worker_count();
    int after = count_threads();
    CHECK(n >= 1);
#ifdef __SANITIZE_THREAD__
    CHECK(after - before >= static_cast<int>(n));  // the sanitizer adds a thread of its own
#else
    CHECK(after - before == static_cast<int>(n));
#endif
    CHECK(pool::worker_count() == n);
    CHECK(count_threads() == after);
    if (const char* want = std::getenv("EXPECT_WORKERS")) CHECK(n == std::strtoull(want, nullptr, 10));
}

// Every n from 0 to 3000: each slot written once, with its own value, and
// the rows of one range visited in ascending order.
void test_order() {
    for (std::size_t n = 0; n <= 3000; ++n) {
        std::vector<std::atomic<int>> visits(n);
        auto out = parallel_map(n, [&](std::size_t i) {
            visits[i].fetch_add(1, std::memory_order_relaxed);
            return row_value(i);
        });
        CHECK(out.size() == n);
        bool ok = true;
        for (std::size_t i = 0; i < n; ++i) ok = ok && out[i] == row_value(i) && visits[i].load() == 1;
        CHECK(ok);
        if (!ok) std::fprintf(stderr, "  n = %zu\n", n);
    }
    // Ranges cover [0, n) exactly once and run upwards.
    std::size_t n = 100000;
    std::vector<std::atomic<int>> covered(n);
    std::atomic<bool> ascending{true};
    pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) {
        if (lo >= hi || hi > n) ascending = false;
        std::size_t last = lo;
        for (std::size_t i = lo; i < hi; ++i) {
            if (i < last) ascending = false;
            last = i;
            covered[i].fetch_add(1, std::memory_order_relaxed);
        }
    });
    CHECK(ascending.load());
    bool once = true;
    for (auto& c : covered) once = once && c.load() == 1;
    CHECK(once);

    // The pairwise form and the strided fill.
    std::vector<int> left{1, 2, 3, 4, 5}, right{10, 20, 30};
    auto sums = parallel_map(left, right, [](int a, int b) { return double(a + b); });
    CHECK((sums == std::vector<double>{11, 22, 33}));
    std::vector<double> grid(3 * 700, -1.0);
    parallel_fill(700, grid.data() + 1, 3, [](std::size_t i) { return double(i); });
    bool filled = true;
    for (std::size_t i = 0; i < 700; ++i)
        filled = filled && grid[3 * i] == -1.0 && grid[3 * i + 1] == double(i) && grid[3 * i + 2] == -1.0;
    CHECK(filled);
}

// Random failing rows, some of the rows slow (ranges then get split below
// chunk size), through parallel_map and for_each_range: the exception of the
// lowest failing row reaches the caller, every row below it ran exactly once,
// none twice, and without failures every slot holds its own value.
void test_failures() {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 400; ++round) {
        std::size_t n = 2 + rng() % 5000;
        bool ranges = round % 3 == 2, uneven = round % 5 == 1;
        std::vector<char> fails(n, 0), slow(n, 0);
        std::size_t lowest = n;
        for (std::size_t j = round % 4 == 3 ? 0 : 1 + rng() % 6; j > 0; --j) {
            std::size_t i = rng() % n;
            fails[i] = 1;
            lowest = i < lowest ? i : lowest;
        }
        for (std::size_t i = 0; uneven && i < n; ++i) slow[i] = rng() % 40 == 0;
        std::vector<std::atomic<int>> ran(n);
        auto row = [&](std::size_t i) {
            ran[i].fetch_add(1, std::memory_order_relaxed);
            if (slow[i]) std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (fails[i]) throw RowFailure(i);
            return row_value(i);
        };
        std::size_t caught = n;
        std::vector<double> out;
        try {
            if (ranges)
                pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) {
                    for (std::size_t i = lo; i < hi; ++i) row(i);
                });
            else
                out = parallel_map(n, row);
        } catch (const RowFailure& e) {
            caught = e.index;
        }
        CHECK(caught == lowest);
        bool ok = true;
        for (std::size_t i = 0; i < n; ++i) {
            ok = ok && (i < lowest ? ran[i].load() == 1 : ran[i].load() <= 1);
            if (lowest == n && !ranges) ok = ok && out[i] == row_value(i);
        }
        CHECK(ok);
        if (!ok) std::fprintf(stderr, "  round %d, n = %zu\n", round, n);
    }
    // Other exception types travel unchanged, from a single row too.
    bool internal = false, single = false;
    try {
        parallel_map(10, [](std::size_t i) -> double {
            if (i == 7) throw InternalFailure("broken row");
            return 0.0;
        });
    } catch (const InternalFailure& e) {
        internal = std::string(e.what()) == "broken row";
    }
    try {
        parallel_map(1, [](std::size_t) -> double { throw RowFailure(0); });
    } catch (const RowFailure& e) {
        single = e.index == 0;
    }
    CHECK(internal && single);

    if (pool::worker_count() < 2) return;
    // Sixteen slow rows side by side, inside one chunk, spread over threads.
    std::size_t n = 20000;
    std::vector<std::thread::id> who(n);
    parallel_map(n, [&](std::size_t i) {
        who[i] = std::this_thread::get_id();
        if (i >= 5000 && i < 5016) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return 0.0;
    });
    std::vector<std::thread::id> slow_threads(who.begin() + 5000, who.begin() + 5016);
    std::sort(slow_threads.begin(), slow_threads.end());
    CHECK(std::unique(slow_threads.begin(), slow_threads.end()) - slow_threads.begin() >= 2);
}

// A higher row that fails after a lower one has failed does not replace the
// lower row's exception.
void test_late_higher_failure() {
    using namespace std::chrono;
    if (pool::worker_count() < 2) return;
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> high_started{false};
        std::size_t n = 1000, caught = SIZE_MAX;
        try {
            parallel_map(n, [&](std::size_t i) -> double {
                if (i == 0) {
                    auto give_up = steady_clock::now() + milliseconds(500);
                    while (!high_started.load() && steady_clock::now() < give_up) std::this_thread::yield();
                    throw RowFailure(0);
                }
                if (i == n - 1) {
                    high_started = true;
                    std::this_thread::sleep_for(milliseconds(30));
                    throw RowFailure(i);
                }
                return 0.0;
            });
        } catch (const RowFailure& e) {
            caught = e.index;
        }
        CHECK(caught == 0);
    }
}

// Several threads submit jobs at once; each gets its own complete results.
void test_concurrency() {
    constexpr int kThreads = 6;
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &bad] {
            std::mt19937_64 rng(t);
            for (int round = 0; round < 150; ++round) {
                std::size_t n = rng() % 4000;
                double offset = t * 1e6;
                bool uneven = round % 7 == 3;  // some slow rows: ranges get split between threads
                auto out = parallel_map(n, [&](std::size_t i) {
                    if (uneven && i % 300 == 7) std::this_thread::sleep_for(std::chrono::microseconds(100));
                    return offset + double(i);
                });
                for (std::size_t i = 0; i < n; ++i)
                    if (out[i] != offset + double(i)) {
                        bad.fetch_add(1);
                        break;
                    }
                if (round % 10 == 0) {
                    try {
                        parallel_map(n + 2, [&](std::size_t i) -> double {
                            if (i == n / 2 || i == n + 1) throw RowFailure(i);
                            return 0.0;
                        });
                        bad.fetch_add(1);
                    } catch (const RowFailure& e) {
                        if (e.index != n / 2) bad.fetch_add(1);
                    }
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(bad.load() == 0);
}

struct PollCounter {
    std::atomic<int> calls{0};
    int cancel_at = -1;  // call number that returns true; -1 never
};

bool fake_poll(void* ctx) {
    auto* p = static_cast<PollCounter*>(ctx);
    int c = p->calls.fetch_add(1) + 1;
    return p->cancel_at > 0 && c >= p->cancel_at;
}

// The hook is polled during long jobs; returning true cancels the job,
// skips the rows not started yet and throws PythonErrorPending.
void test_cancellation() {
    using namespace std::chrono;
    auto slow_row = [](std::size_t i) {
        std::this_thread::sleep_for(microseconds(500));
        return double(i);
    };

    PollCounter quiet;
    pool::set_wait_poll(fake_poll, &quiet);
    std::size_t rows = 300 * pool::worker_count();  // ~150 ms on the whole pool: a few polls
    auto out = parallel_map(rows, slow_row);
    pool::set_wait_poll(nullptr, nullptr);
    CHECK(out.size() == rows && out[rows - 1] == double(rows - 1));
    CHECK(quiet.calls.load() >= 1);

    PollCounter cancel;
    cancel.cancel_at = 2;
    std::atomic<std::size_t> ran{0};
    bool thrown = false;
    pool::set_wait_poll(fake_poll, &cancel);
    try {
        parallel_map(20000, [&](std::size_t i) {  // ~10 s if it ran to the end
            ran.fetch_add(1);
            return slow_row(i);
        });
    } catch (const PythonErrorPending&) {
        thrown = true;
    }
    pool::set_wait_poll(nullptr, nullptr);
    CHECK(thrown);
    CHECK(cancel.calls.load() == 2);
    CHECK(ran.load() < 20000 / 2);

    // Slow rows from the first one on: the calling thread, computing rows
    // itself, still notices the hook after a row or two.
    PollCounter early;
    early.cancel_at = 1;
    std::atomic<std::size_t> slow_ran{0};
    thrown = false;
    pool::set_wait_poll(fake_poll, &early);
    try {
        parallel_map(200, [&](std::size_t i) {
            slow_ran.fetch_add(1);
            std::this_thread::sleep_for(milliseconds(30));
            return double(i);
        });
    } catch (const PythonErrorPending&) {
        thrown = true;
    }
    pool::set_wait_poll(nullptr, nullptr);
    CHECK(thrown);
    CHECK(slow_ran.load() < 4 * (pool::worker_count() + 1));

    // A cancelled caller does not disturb the next job.
    auto again = parallel_map(2000, row_value);
    CHECK(again.size() == 2000 && again[1999] == row_value(1999));
}

// A worker calling back into the pool runs the nested job itself.
void test_nested() {
    auto out = parallel_map(64, [](std::size_t i) {
        auto inner = parallel_map(50, [i](std::size_t j) { return double(i * 100 + j); });
        double s = 0;
        for (double v : inner) s += v;
        return s;
    });
    bool ok = true;
    for (std::size_t i = 0; i < 64; ++i) ok = ok && out[i] == double(i * 100 * 50 + 49 * 50 / 2);
    CHECK(ok);
}

void test_parsing() {
    unsigned long long v = 99;
    CHECK(pool::parse_thread_count("4", v) && v == 4);
    CHECK(pool::parse_thread_count("+4", v) && v == 4);
    CHECK(pool::parse_thread_count("0", v) && v == 0);
    CHECK(pool::parse_thread_count("0007", v) && v == 7);
    CHECK(pool::parse_thread_count("18446744073709551615", v) && v == 18446744073709551615ULL);
    v = 99;
    for (const char* bad : {"", "+", "-2", "-0", " 4", "4 ", "4\n", "++4", "+-4", "four", "4x", "0x10", "1e3",
                            "18446744073709551616", "99999999999999999999", "\xc3\xa9", "4\xff"})
        CHECK(!pool::parse_thread_count(bad, v));
    CHECK(v == 99);

    using pool::detail::choose_worker_count;
    CHECK(choose_worker_count("3", "5", 2) == 3);
    CHECK(choose_worker_count("+4", nullptr, 2) == 4);
    CHECK(choose_worker_count("0", "5", 2) == 2);        // 0: processor count, second variable unread
    CHECK(choose_worker_count("word", "5", 2) == 5);
    CHECK(choose_worker_count("-2", "5", 2) == 5);
    CHECK(choose_worker_count(" 4", "5", 2) == 5);
    CHECK(choose_worker_count("", "5", 2) == 5);
    CHECK(choose_worker_count("", "", 2) == 2);
    CHECK(choose_worker_count(nullptr, "0", 7) == 7);
    CHECK(choose_worker_count(nullptr, "x", 7) == 7);
    CHECK(choose_worker_count(nullptr, nullptr, 7) == 7);
    CHECK(choose_worker_count(nullptr, nullptr, 0) == 1);
    CHECK(choose_worker_count(nullptr, nullptr, -1) == 1);
    CHECK(choose_worker_count("65535", nullptr, 2) == 65535);
    CHECK(choose_worker_count("65536", nullptr, 2) == 65535);
    CHECK(choose_worker_count(nullptr, "18446744073709551615", 2) == 65535);
    CHECK(choose_worker_count("18446744073709551616", "6", 2) == 6);  // overflow: unparsable
    CHECK(choose_worker_count(nullptr, nullptr, 100000) == 65535);
    CHECK(choose_worker_count("\xff", "3", 2) == 3);  // not valid text
}

int run_all() {
    test_parsing();
    test_creation();
    test_order();
    test_failures();
    test_late_higher_failure();
    test_concurrency();
    test_nested();
    test_cancellation();
    return 0;
}

// Fork after the pool exists; the child's first parallel call must complete.
int run_fork() {
    auto before = parallel_map(5000, row_value);
    CHECK(before[4999] == row_value(4999));
    pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a hang fails instead of blocking the run
        auto out = parallel_map(5000, row_value);
        bool ok = out.size() == 5000 && out[4999] == row_value(4999);
        _exit(ok && pool::worker_count() >= 1 ? 0 : 3);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto after = parallel_map(5000, row_value);
    CHECK(after[4999] == row_value(4999));
    return 0;
}

// A worker stack that cannot be mapped makes thread creation fail.
int run_buildfail() {
    pool::detail::set_worker_stack_size(std::size_t(1) << 60);
    const std::string prefix = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";
    std::string first, second, third;
    try {
        pool::worker_count();
    } catch (const InternalFailure& e) {
        first = e.what();
    }
    try {
        parallel_map(10, row_value);
    } catch (const InternalFailure& e) {
        second = e.what();
    }
    try {
        parallel_map(0, row_value);
    } catch (const InternalFailure& e) {
        third = e.what();
    }
    std::printf("first failure: %s\n", first.c_str());
    CHECK(first.rfind(prefix + "IOError(Os { code: ", 0) == 0);
    CHECK(first.size() > 6 && first.compare(first.size() - 6, 6, "\" }) }") == 0);
    CHECK(second == prefix + "GlobalPoolAlreadyInitialized }");
    CHECK(third == second);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "all";
    if (mode == "all") run_all();
    else if (mode == "fork") run_fork();
    else if (mode == "buildfail") run_buildfail();
    else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    if (g_failures.load() != 0) {
        std::printf("FAIL (%s): %d check(s) failed\n", mode.c_str(), g_failures.load());
        return 1;
    }
    std::printf("PASS (%s)\n", mode.c_str());
    return 0;
}

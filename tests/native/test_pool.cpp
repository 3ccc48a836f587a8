// Test program for the worker pool alone (src/runtime/pool.cpp), without
// Python; several callers at once are exercised by tsan_kernels.cpp.
//
//   test_pool all       sizing, ordering, failures, nesting, cancellation
//   test_pool buildfail pool creation failure is reported, then remembered
//
// EXPECT_WORKERS=<n> checks worker_count() and the threads the pool starts.
// Prints "PASS (<mode>)" and exits 0 when every check holds.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/errors.hpp"
#include "runtime/pool.hpp"
#include "runtime/pool_internal.hpp"

using namespace corvane;
using namespace std::chrono;

namespace {

int g_failures = 0;

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                  \
        }                                                                                  \
    } while (0)

int count_threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

double row_value(std::size_t i) { return static_cast<double>(i) * 1.5 + 0.25; }

// The message of what f throws: "" when it returns, "cancelled" for
// PythonErrorPending.
template <class F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    } catch (const PythonErrorPending&) {
        return "cancelled";
    }
    return "";
}

std::runtime_error row_failure(std::size_t i) { return std::runtime_error("row " + std::to_string(i)); }

// Worker count from (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, online processors):
// a variable counts when it is an optional '+' and decimal digits that fit
// 64 bits; 0 means the processor count; at most 65535.
void test_sizing() {
    struct Case { const char* threads; const char* cpus; long online; std::size_t want; };
    for (const Case& c : std::initializer_list<Case>{
             {"3", "5", 2, 3}, {"+4", nullptr, 2, 4}, {"0007", "5", 2, 7}, {"0", "5", 2, 2}, {"", "", 2, 2},
             {nullptr, "0", 7, 7}, {nullptr, "x", 7, 7}, {nullptr, nullptr, 7, 7}, {nullptr, nullptr, 0, 1},
             {nullptr, nullptr, -1, 1}, {"65535", nullptr, 2, 65535}, {"65536", nullptr, 2, 65535},
             {nullptr, "18446744073709551615", 2, 65535}, {nullptr, nullptr, 100000, 65535}, {"", "5", 2, 5},
             {"+", "5", 2, 5}, {"-2", "5", 2, 5}, {"-0", "5", 2, 5}, {" 4", "5", 2, 5}, {"4 ", "5", 2, 5},
             {"4\n", "5", 2, 5}, {"++4", "5", 2, 5}, {"+-4", "5", 2, 5}, {"four", "5", 2, 5}, {"4x", "5", 2, 5},
             {"0x10", "5", 2, 5}, {"1e3", "5", 2, 5}, {"18446744073709551616", "6", 2, 6},
             {"99999999999999999999", "5", 2, 5}, {"\xc3\xa9", "5", 2, 5}, {"4\xff", "5", 2, 5}, {"\xff", "3", 2, 3}}) {
        const std::size_t got = pool::detail::choose_worker_count(c.threads, c.cpus, c.online);
        CHECK(got == c.want);
        if (got != c.want) std::fprintf(stderr, "  %s / %s / %ld -> %zu\n", c.threads, c.cpus, c.online, got);
    }
    int before = count_threads();
    std::size_t n = pool::worker_count();
    int after = count_threads();
    CHECK(after - before >= static_cast<int>(n) && after - before <= static_cast<int>(n) + 1);  // (+1: TSan's own)
    CHECK(n >= 1 && pool::worker_count() == n && count_threads() == after);
    if (const char* want = std::getenv("EXPECT_WORKERS")) CHECK(n == std::strtoull(want, nullptr, 10));
}

// Every n up to 3000: each slot written once with its own value; ranges
// cover [0, n) once; the pairwise form, the strided fill, and a nested
// call from a worker (run there, inline).
void test_order() {
    for (std::size_t n = 0; n <= 3000; ++n) {
        std::vector<std::atomic<int>> visits(n);
        auto out = parallel_map(n, [&](std::size_t i) { return visits[i].fetch_add(1) + row_value(i); });
        bool ok = out.size() == n;
        for (std::size_t i = 0; i < n; ++i) ok = ok && out[i] == row_value(i) && visits[i].load() == 1;
        CHECK(ok);
        if (!ok) std::fprintf(stderr, "  n = %zu\n", n);
    }
    std::vector<std::atomic<int>> covered(100000);
    pool::for_each_range(covered.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < std::max(hi, lo + 1); ++i) covered.at(i).fetch_add(1);
    });
    CHECK(std::all_of(covered.begin(), covered.end(), [](auto& c) { return c.load() == 1; }));
    std::vector<int> left{1, 2, 3, 4, 5}, right{10, 20, 30};
    CHECK((parallel_map(left, right, [](int a, int b) { return double(a + b); }) == std::vector<double>{11, 22, 33}));
    std::vector<double> grid(3 * 700, -1.0);
    parallel_fill(700, grid.data() + 1, 3, [](std::size_t i) { return double(i); });
    for (std::size_t i = 0; i < 700; ++i) grid[3 * i + 1] -= double(i) + 1.0;
    CHECK(std::all_of(grid.begin(), grid.end(), [](double x) { return x == -1.0; }));
    auto nested = parallel_map(64, [](std::size_t i) {
        auto inner = parallel_map(50, [i](std::size_t j) { return double(i * 100 + j); });
        double s = 0;
        for (double v : inner) s += v;
        return s;
    });
    for (std::size_t i = 0; i < 64; ++i) CHECK(nested[i] == double(i * 100 * 50 + 49 * 50 / 2));
}

// Random failing rows, some rows slow (so ranges are split below chunk
// size), through parallel_map and for_each_range: the lowest failing row's
// exception reaches the caller, every row below it ran exactly once, none
// twice; other exception types travel unchanged.
void test_failures() {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 2 + rng() % 5000;
        const bool ranges = round % 3 == 2, uneven = round % 5 == 1;
        std::vector<char> fails(n, 0), slow(n, 0);
        std::size_t lowest = n;
        for (std::size_t j = round % 4 == 3 ? 0 : 1 + rng() % 6; j > 0; --j) {
            std::size_t i = rng() % n;
            fails[i] = 1;
            lowest = std::min(lowest, i);
        }
        for (std::size_t i = 0; uneven && i < n; ++i) slow[i] = rng() % 40 == 0;
        std::vector<std::atomic<int>> ran(n);
        auto row = [&](std::size_t i) {
            ran[i].fetch_add(1, std::memory_order_relaxed);
            if (slow[i]) std::this_thread::sleep_for(microseconds(200));
            return fails[i] ? throw row_failure(i) : row_value(i);
        };
        std::vector<double> out;
        const std::string what = thrown([&] {
            if (!ranges) out = parallel_map(n, row);
            else pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) { for (; lo < hi; ++lo) row(lo); });
        });
        bool ok = what == (lowest < n ? row_failure(lowest).what() : "");
        for (std::size_t i = 0; i < n; ++i)
            ok = ok && (i < lowest ? ran[i].load() == 1 : ran[i].load() <= 1) &&
                 (lowest < n || ranges || out[i] == row_value(i));
        CHECK(ok);
        if (!ok) std::fprintf(stderr, "  round %d, n = %zu\n", round, n);
    }
    CHECK(thrown([] { parallel_map(10, [](std::size_t i) { return i == 7 ? throw InternalFailure("7") : 0.0; }); }) ==
          "7");
    CHECK(thrown([] { parallel_map(1, [](std::size_t) -> double { throw row_failure(0); }); }) == "row 0");
    if (pool::worker_count() < 2) return;
    // Sixteen slow neighbouring rows, inside one chunk, spread over threads.
    std::vector<std::thread::id> who(20000);
    parallel_map(who.size(), [&](std::size_t i) {
        who[i] = std::this_thread::get_id();
        if (i >= 5000 && i < 5016) std::this_thread::sleep_for(milliseconds(20));
        return 0.0;
    });
    std::vector<std::thread::id> slow(who.begin() + 5000, who.begin() + 5016);
    std::sort(slow.begin(), slow.end());
    CHECK(std::unique(slow.begin(), slow.end()) - slow.begin() >= 2);
}

// The hook is polled during long jobs; returning true (here from call
// number `cancel_at` on) cancels the job, skips the rows not started yet and
// throws PythonErrorPending. Returns the rows that ran.
std::size_t run_polled(int cancel_at, std::size_t n, microseconds row_time, std::string& what, int& polls) {
    struct Poll { int calls = 0, cancel_at; } poll{0, cancel_at};
    std::atomic<std::size_t> ran{0};
    pool::set_wait_poll([](void* p) { auto* q = static_cast<Poll*>(p); return ++q->calls == q->cancel_at; }, &poll);
    what = thrown([&] {
        auto out = parallel_map(n, [&](std::size_t i) {
            ran.fetch_add(1);
            std::this_thread::sleep_for(row_time);
            return double(i);
        });
        CHECK(out[n - 1] == double(n - 1));
    });
    pool::set_wait_poll(nullptr, nullptr);
    polls = poll.calls;
    return ran.load();
}

void test_cancellation() {
    std::string what;
    int polls = 0;
    CHECK(run_polled(-1, 300 * pool::worker_count(), microseconds(500), what, polls) > 0 && what.empty() && polls >= 1);
    // 20000 rows: about ten seconds if they all ran.
    CHECK(run_polled(2, 20000, microseconds(500), what, polls) < 20000 / 2 && what == "cancelled" && polls == 2);
    // Slow rows from the first: the caller notices the hook after a row or two.
    CHECK(run_polled(1, 200, milliseconds(30), what, polls) < 4 * (pool::worker_count() + 1) && what == "cancelled");
    CHECK(parallel_map(2000, row_value)[1999] == row_value(1999));  // the next job is not disturbed
}

// A worker stack that cannot be mapped makes thread creation fail: the
// first call reports the OS error, every later one the same fixed text.
void run_buildfail() {
    pool::detail::set_worker_stack_size(std::size_t(1) << 60);
    const std::string prefix = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";
    const std::string first = thrown([] { pool::worker_count(); });
    std::printf("first failure: %s\n", first.c_str());
    CHECK(first.rfind(prefix + "IOError(Os { code: ", 0) == 0 && first.size() > 6 &&
          first.compare(first.size() - 6, 6, "\" }) }") == 0);
    CHECK(thrown([] { parallel_map(10, row_value); }) == prefix + "GlobalPoolAlreadyInitialized }");
    CHECK(thrown([] { parallel_map(0, row_value); }) == prefix + "GlobalPoolAlreadyInitialized }");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    if (mode == "all") {
        test_sizing();
        test_order();
        test_failures();
        test_cancellation();
    } else if (mode == "buildfail") {
        run_buildfail();
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    if (g_failures) std::printf("FAIL (%s): %d check(s) failed\n", mode.c_str(), g_failures);
    else std::printf("PASS (%s)\n", mode.c_str());
    return g_failures ? 1 : 0;
}

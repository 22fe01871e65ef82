// Work spread over the CPUs: every range once, whatever the count; an
// exception from any thread reaches the caller after all have stopped;
// helper threads take no signals; under an address-space or data limit,
// helpers start only where their stacks fit, and one that fails for want of
// memory fails the call with std::bad_alloc.
#include "linux/parallel.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ForEachRange, CoversEveryIndexOnceInBoundedRanges) {
    for (std::size_t count : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        std::vector<std::atomic<int>> seen(count);
        std::atomic<bool> too_long{false};
        compat::for_each_range(count, 16, [&](std::size_t begin, std::size_t end) {
            if (end - begin > 16 || begin >= end) too_long = true;
            for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
        });
        EXPECT_FALSE(too_long) << count;
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(seen[i].load(), 1) << i << " of " << count;
    }
}

TEST(ForEachRange, ExceptionReachesTheCallerAfterEveryThreadStopped) {
    std::atomic<int> running{0};
    EXPECT_THROW(compat::for_each_range(400, 4,
                                        [&](std::size_t begin, std::size_t) {
                                            running.fetch_add(1);
                                            if (begin == 200) {
                                                running.fetch_sub(1);
                                                throw std::runtime_error("range failed");
                                            }
                                            std::this_thread::yield();
                                            running.fetch_sub(1);
                                        }),
                 std::runtime_error);
    EXPECT_EQ(running.load(), 0);  // nobody still at work when it came back
}

TEST(ForEachRange, HelpersBlockEverySignalAndTheCallerKeepsItsMask) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    const auto caller = std::this_thread::get_id();
    std::mutex lock;
    std::vector<bool> helper_blocks_all;
    compat::for_each_range(256, 1, [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() == caller) return;
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        std::lock_guard<std::mutex> hold(lock);
        helper_blocks_all.push_back(sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) &&
                                    sigismember(&mask, SIGCHLD) && sigismember(&mask, SIGUSR1));
    });
    for (bool blocked : helper_blocks_all) EXPECT_TRUE(blocked);
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    for (int sig = 1; sig < NSIG; ++sig)
        EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << sig;
}

// ---- under the process's memory limits ------------------------------------

// What a child saw: the work done on the calling thread only, on helpers
// too, or a failure that came back as std::bad_alloc.
enum ChildOutcome { kCallerOnly = 10, kHelpersToo = 11, kBadAlloc = 12, kOther = 13 };

struct LimitCase {
    const char* name;
    int resource;          // RLIMIT_AS or RLIMIT_DATA; -1: no limit
    std::size_t room;      // bytes above what is in use
    bool throw_on_helper;  // the work fails for want of memory on a helper
    ChildOutcome expected;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

// The address-space total and the data size of this process, in bytes.
bool used_sizes(std::size_t& total, std::size_t& data) {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return false;
    unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data_pages = 0;
    const int n =
        std::fscanf(f, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text, &lib, &data_pages);
    std::fclose(f);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    total = size * page;
    data = data_pages * page;
    return n == 6;
}

[[noreturn]] void run_child(const LimitCase& c) {
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> helped{false};
    std::size_t total = 0, data = 0;
    if (!used_sizes(total, data)) _exit(kOther);
    if (c.resource >= 0) {
        const std::size_t used = c.resource == RLIMIT_AS ? total : data;
        rlimit limit{used + c.room, RLIM_INFINITY};
        if (setrlimit(static_cast<__rlimit_resource_t>(c.resource), &limit) != 0) _exit(kOther);
    }
    try {
        compat::for_each_range(64, 1, [&](std::size_t, std::size_t) {
            if (std::this_thread::get_id() != caller) {
                helped = true;
                if (c.throw_on_helper) throw std::bad_alloc();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
    } catch (const std::bad_alloc&) {
        _exit(kBadAlloc);
    } catch (...) {
        _exit(kOther);
    }
    _exit(helped ? kHelpersToo : kCallerOnly);
}

class ForEachRangeUnderLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ForEachRangeUnderLimits, StartsOnlyTheHelpersThatFit) {
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    if (CPU_COUNT(&cpus) < 2 && GetParam().expected != kCallerOnly) GTEST_SKIP() << "one CPU: no helpers";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) run_child(GetParam());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), GetParam().expected);
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

// A helper's default stack is 8 MiB: 12 MiB above what is in use would hold
// one, but not one and the room the caller keeps for its own work.
INSTANTIATE_TEST_SUITE_P(
    Limits, ForEachRangeUnderLimits,
    ::testing::Values(LimitCase{"no_limit", -1, 0, false, kHelpersToo},
                      LimitCase{"address_space_for_one_stack", RLIMIT_AS, 12 * kMiB, false, kCallerOnly},
                      LimitCase{"data_for_one_stack", RLIMIT_DATA, 12 * kMiB, false, kCallerOnly},
                      LimitCase{"address_space_to_spare", RLIMIT_AS, 256 * kMiB, false, kHelpersToo},
                      LimitCase{"helper_out_of_memory", RLIMIT_AS, 256 * kMiB, true, kBadAlloc},
                      LimitCase{"helper_out_of_memory_unlimited", -1, 0, true, kBadAlloc}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

}  // namespace

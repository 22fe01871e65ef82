// Work spread over the CPUs: every range once, whatever the count; an
// exception from any thread reaches the caller after all have stopped;
// helper threads take no signals.
#include "linux/parallel.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
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

}  // namespace

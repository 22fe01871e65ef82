#include "parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace compat {
namespace {

constexpr std::size_t kMaxThreads = 8;

std::size_t usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// Blocks every signal on the calling thread while alive: threads started
// meanwhile inherit the full mask.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace

void for_each_range(std::size_t count, std::size_t chunk, const std::function<void(std::size_t, std::size_t)>& work) {
    if (count == 0) return;
    if (chunk == 0) chunk = 1;
    const std::size_t ranges = (count + chunk - 1) / chunk;
    std::size_t threads = usable_cpus();
    if (threads > kMaxThreads) threads = kMaxThreads;
    if (threads > ranges) threads = ranges;
    if (threads <= 1) {
        work(0, count);
        return;
    }

    std::atomic<std::size_t> next{0};
    std::mutex failure_lock;
    std::exception_ptr failure;
    auto drain = [&]() noexcept {
        try {
            for (;;) {
                const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
                if (begin >= count) return;
                work(begin, begin + chunk < count ? begin + chunk : count);
            }
        } catch (...) {
            // Stop everyone: the answer is lost anyway.
            next.store(count, std::memory_order_relaxed);
            std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };

    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads - 1);
        AllSignalsBlocked blocked;
        for (std::size_t i = 1; i < threads; ++i) helpers.emplace_back(drain);
    } catch (const std::system_error&) {
        // No more threads to be had: those started and this one do it all.
    } catch (const std::bad_alloc&) {
    }
    drain();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace compat

#include "linux/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <exception>
#include <mutex>

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

// What the threads of one call share: the next range to take, and the
// first failure.
struct Ranges {
    Ranges(std::size_t count_, std::size_t chunk_, const std::function<void(std::size_t, std::size_t)>& work_)
        : count(count_), chunk(chunk_), work(work_) {}

    std::size_t count;
    std::size_t chunk;
    const std::function<void(std::size_t, std::size_t)>& work;
    std::atomic<std::size_t> next{0};
    std::mutex failure_lock;
    std::exception_ptr failure;

    // Takes ranges until none is left.
    void drain() noexcept {
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
    }
};

void* run_helper(void* ranges) {
    static_cast<Ranges*>(ranges)->drain();
    return nullptr;
}

}  // namespace

void for_each_range(std::size_t count, std::size_t chunk,
                    const std::function<void(std::size_t, std::size_t)>& work) {
    if (count == 0) return;
    if (chunk == 0) chunk = 1;
    const std::size_t range_count = (count + chunk - 1) / chunk;
    std::size_t threads = usable_cpus();
    if (threads > kMaxThreads) threads = kMaxThreads;
    if (threads > range_count) threads = range_count;
    if (threads <= 1) {
        work(0, count);
        return;
    }

    Ranges ranges(count, chunk, work);
    pthread_t helpers[kMaxThreads - 1];
    std::size_t started = 0;
    {
        AllSignalsBlocked blocked;
        // A helper that can't be had (no memory, the user's process limit)
        // leaves its share to those started and to this thread.
        while (started < threads - 1 &&
               ::pthread_create(&helpers[started], nullptr, run_helper, &ranges) == 0)
            ++started;
    }
    ranges.drain();
    for (std::size_t i = 0; i < started; ++i) ::pthread_join(helpers[i], nullptr);
    if (ranges.failure) std::rethrow_exception(ranges.failure);
}

}  // namespace compat

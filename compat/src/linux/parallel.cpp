#include "linux/parallel.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>

#include "entry.h"

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

// Room a helper needs besides its stack: its share of the C library's and
// this thread's allocations while it works.
constexpr std::size_t kHelperSpare = std::size_t{1} << 20;

// The stack size threads get by default.
std::size_t helper_stack_size() {
    pthread_attr_t attr;
    std::size_t size = std::size_t{8} << 20;
    if (::pthread_getattr_default_np(&attr) == 0) {
        ::pthread_attr_getstacksize(&attr, &size);
        ::pthread_attr_destroy(&attr);
    }
    return size;
}

// How much the soft limit of a resource leaves above `used` bytes; SIZE_MAX
// for no limit.
std::size_t room_under(__rlimit_resource_t resource, std::size_t used) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return limit.rlim_cur > used ? static_cast<std::size_t>(limit.rlim_cur - used) : 0;
}

// The helpers, of those wanted, whose stacks and first allocations fit
// under the process's address-space and data limits. A helper that starts
// where they don't fit would have its own memory refused before it could
// even fail cleanly: the C library ends the process when a thread's
// thread-local block can't be allocated. Without such limits (the usual
// case) no file is read.
std::size_t helpers_that_fit(std::size_t wanted) {
    rlimit as{}, data{};
    if (::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur == RLIM_INFINITY &&
        ::getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur == RLIM_INFINITY)
        return wanted;
    // /proc/self/statm: total size and data (with stack), in pages.
    char text[256];
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    unsigned long long size = 0, resident = 0, shared = 0, code = 0, lib = 0, data_pages = 0;
    if (std::sscanf(text, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &code, &lib,
                    &data_pages) != 6)
        return 0;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t room = room_under(RLIMIT_AS, static_cast<std::size_t>(size) * page);
    const std::size_t data_room = room_under(RLIMIT_DATA, static_cast<std::size_t>(data_pages) * page);
    if (data_room < room) room = data_room;
    const std::size_t each = helper_stack_size() + kHelperSpare;
    // The calling thread keeps a helper's room for itself.
    const std::size_t fit = room > each ? room / each - 1 : 0;
    return fit < wanted ? fit : wanted;
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
    std::exception_ptr failure;  // holds the thrown object: nothing is allocated
    std::atomic<int> ready{0};   // helpers set up to fail cleanly

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

// A helper first makes its exception state while memory is known to be
// there, so that an allocation that fails in the work later can be thrown
// and caught; then it takes ranges.
void* run_helper(void* arg) {
    auto* ranges = static_cast<Ranges*>(arg);
    prepare_thread_for_failures();
    ranges->ready.fetch_add(1, std::memory_order_release);
    ranges->ready.notify_one();
    ranges->drain();
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
    if (threads > 1) threads = 1 + helpers_that_fit(threads - 1);
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
    // No work starts before every helper is set up: the work's allocations
    // can't take the memory a helper's setup needs.
    for (int now = ranges.ready.load(std::memory_order_acquire); static_cast<std::size_t>(now) < started;
         now = ranges.ready.load(std::memory_order_acquire))
        ranges.ready.wait(now, std::memory_order_acquire);
    ranges.drain();
    for (std::size_t i = 0; i < started; ++i) ::pthread_join(helpers[i], nullptr);
    if (ranges.failure) std::rethrow_exception(ranges.failure);
}

}  // namespace compat

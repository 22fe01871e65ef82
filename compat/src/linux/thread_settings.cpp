#include "linux/thread_settings.h"

#include <cerrno>
#include <cstddef>
#include <unordered_set>
#include <vector>

#include "linux/host_failure.h"
#include "linux/proc_records.h"

namespace compat {
namespace {

// Listing passes after which threads that keep appearing fail the change
// (put back) rather than leave some of them unchanged.
constexpr int kMaxPasses = 64;

// The changes made so far, undone when the walk does not keep them.
class Changes {
public:
    explicit Changes(ThreadSetting& setting) : setting_(setting) {}
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;
    ~Changes() {
        if (kept_) return;
        const int saved = errno;
        for (std::size_t n = changed_; n > 0; --n) setting_.undo_last();
        errno = saved;
    }

    // Whether a thread has been changed, or found gone, already.
    bool seen(int tid) const { return seen_.count(tid) != 0; }
    // Changes one thread. Returns 0 or the errno of a change that did not
    // happen.
    int change(int tid) {
        seen_.insert(tid);  // may throw before anything changes
        if (int err = setting_.change(tid); err != 0) return err;
        ++changed_;
        return 0;
    }
    void keep() { kept_ = true; }

private:
    ThreadSetting& setting_;
    std::unordered_set<int> seen_;
    std::size_t changed_ = 0;
    bool kept_ = false;
};

}  // namespace

int change_every_thread(int group, int pid, int first, ThreadSetting& setting) {
    Changes changes(setting);
    if (int err = changes.change(first); err != 0) return err;
    std::vector<int> tids;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        if (int err = list_thread_ids(group, tids); err != 0) return err;
        bool fresh = false;
        for (int tid : tids) {
            if (changes.seen(tid) || (tid == pid && first != pid)) continue;
            fresh = true;
            if (int err = changes.change(tid); err != 0) {
                if (int failed = skip_if_gone(err); failed != 0) return failed;
            }
        }
        if (!fresh) {
            changes.keep();
            return 0;
        }
    }
    return EAGAIN;
}

}  // namespace compat

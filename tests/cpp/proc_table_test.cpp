// The process table's internal functions: the record lookup's refusals, the
// liveness and zombie tests, the four outcomes of the failure classifier in
// their fixed order, and the pid array.
#include <Python.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// The module's headers present FreeBSD's names: after the host's, which
// must not see them.
#include "arch/freebsd/proc_table.h"
#include "frame_test_util.h"
#include "norvik.h"
#include "owned.h"
#include "script/script.h"

extern "C" PyObject* PyInit__norvik_bsd(void);

namespace {

using frame_test::fetch;

// A pid that no process has: a child that has been reaped.
pid_t gone_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// A child that has exited and is not reaped until the object goes.
class Zombie {
public:
    Zombie() : pid_(fork()) {
        if (pid_ == 0) _exit(0);
        siginfo_t info;
        waitid(P_PID, pid_, &info, WEXITED | WNOWAIT);  // exited, still unreaped
    }
    Zombie(const Zombie&) = delete;
    Zombie& operator=(const Zombie&) = delete;
    ~Zombie() { waitpid(pid_, nullptr, 0); }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

std::string record_key(pid_t pid) { return "kern.proc.pid." + std::to_string(pid); }

// Scripts the kernel to call process pid a zombie.
void script_zombie_record(pid_t pid) {
    struct kinfo_proc fake;
    memset(&fake, 0, sizeof fake);
    fake.ki_structsize = sizeof fake;
    fake.ki_pid = pid;
    fake.ki_stat = SZOMB;
    norvik_script_answer(record_key(pid).c_str(), &fake, sizeof fake);
}

class ProcTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The exception class comes with the module.
        if (ZombieProcessError == nullptr) Py_XDECREF(PyInit__norvik_bsd());
        ASSERT_NE(ZombieProcessError, nullptr);
    }
    void TearDown() override {
        norvik_script_reset();
        PyErr_Clear();
    }
};

TEST_F(ProcTable, LookupRefusesNegativePidsWithoutAskingTheKernel) {
    struct kinfo_proc kp;
    EXPECT_EQ(norvik_kinfo_proc(-1, &kp), -1);
    auto raised = fetch();
    EXPECT_EQ(raised.type, PyExc_RuntimeError);
    EXPECT_EQ(raised.message, "norvik_kinfo_proc() invalid args passed to function");
    EXPECT_EQ(norvik_script_count("kern.proc.pid.-1", 1), 0);
    EXPECT_EQ(norvik_kinfo_proc(getpid(), nullptr), -1);
    EXPECT_EQ(fetch().type, PyExc_RuntimeError);
}

TEST_F(ProcTable, LookupOfThisAndOfGoneProcesses) {
    struct kinfo_proc kp;
    ASSERT_EQ(norvik_kinfo_proc(getpid(), &kp), 0);
    EXPECT_EQ(kp.ki_pid, getpid());
    EXPECT_EQ(kp.ki_ppid, getppid());
    EXPECT_EQ(norvik_kinfo_proc(gone_pid(), &kp), -1);
    auto raised = fetch();
    EXPECT_EQ(raised.errnum, ESRCH);
    EXPECT_NE(raised.text.find("(originated from sysctl(kinfo_proc))"), std::string::npos) << raised.text;
}

TEST_F(ProcTable, ZombieTestLeavesNothingBehind) {
    Zombie zombie;
    EXPECT_EQ(is_zombie(zombie.pid()), 1);
    EXPECT_EQ(is_zombie(getpid()), 0);
    for (pid_t pid : {pid_t{-1}, gone_pid()}) {
        errno = EINVAL;
        EXPECT_EQ(is_zombie(pid), 0);
        EXPECT_EQ(errno, 0);
        EXPECT_EQ(PyErr_Occurred(), nullptr);
    }
}

TEST_F(ProcTable, Liveness) {
    EXPECT_EQ(norvik_pid_exists(0), 0);
    EXPECT_EQ(norvik_pid_exists(-5), 0);
    EXPECT_EQ(norvik_pid_exists(getpid()), 1);
    EXPECT_EQ(norvik_pid_exists(gone_pid()), 0);
    Zombie zombie;
    EXPECT_EQ(norvik_pid_exists(zombie.pid()), 1);
    // Another user's process exists although signalling it is refused.
    pid_t checker = fork();
    if (checker == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const bool refused = kill(getppid(), 0) == -1 && errno == EPERM;
        _exit(refused && norvik_pid_exists(getppid()) == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(checker, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ProcTable, ClassifierOutcomesInOrder) {
    // 1. The call's own errno wins, even for a process that is gone; the
    //    zombie test is not reached.
    const pid_t gone = gone_pid();
    errno = EACCES;
    EXPECT_EQ(norvik_raise_for_pid(gone, "kinfo_getfile()"), nullptr);
    auto raised = fetch();
    EXPECT_EQ(raised.errnum, EACCES);
    EXPECT_NE(raised.text.find("(originated from kinfo_getfile())"), std::string::npos);
    EXPECT_EQ(norvik_script_count(record_key(gone).c_str(), 1), 0);

    // 2. No errno and no such process, even if the kernel would call it a zombie.
    script_zombie_record(gone);
    errno = 0;
    EXPECT_EQ(norvik_raise_for_pid(gone, "kinfo_getvmmap()"), nullptr);
    raised = fetch();
    EXPECT_EQ(raised.errnum, ESRCH);
    EXPECT_EQ(raised.type, PyExc_ProcessLookupError);

    // 3. A zombie, live and scripted.
    {
        Zombie zombie;
        errno = 0;
        EXPECT_EQ(norvik_raise_for_pid(zombie.pid(), "kinfo_getfile()"), nullptr);
        raised = fetch();
        EXPECT_EQ(raised.type, ZombieProcessError);
        EXPECT_EQ(raised.text, "");
    }
    script_zombie_record(getpid());
    errno = 0;
    EXPECT_EQ(norvik_raise_for_pid(getpid(), "kinfo_getfile()"), nullptr);
    EXPECT_EQ(fetch().type, ZombieProcessError);

    // 4. A live process that is no zombie: a plain failure.
    norvik_script_reset();
    errno = 0;
    EXPECT_EQ(norvik_raise_for_pid(getpid(), "kinfo_getfile()"), nullptr);
    raised = fetch();
    EXPECT_EQ(raised.type, PyExc_RuntimeError);
    EXPECT_EQ(raised.message, "kinfo_getfile() syscall failed");
}

TEST_F(ProcTable, PidArray) {
    pid_t* raw = reinterpret_cast<pid_t*>(1);
    int count = -1;
    ASSERT_EQ(_norvik_pids(&raw, &count), 0);
    FreedPtr<pid_t> pids(raw);
    ASSERT_GT(count, 0);
    bool self = false;
    for (int i = 0; i < count; ++i) self = self || pids.get()[i] == getpid();
    EXPECT_TRUE(self);

    norvik_script_fail("kern.proc.proc.0", EIO, -1);
    raw = reinterpret_cast<pid_t*>(1);
    count = 7;
    EXPECT_EQ(_norvik_pids(&raw, &count), -1);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(fetch().errnum, EIO);
}

}  // namespace

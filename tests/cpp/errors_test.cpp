// The raising functions: class, errno and message of the exception each one
// leaves, and that none of them touches errno.
#include <errno.h>
#include <string.h>

#include <string>

#include "frame_test_util.h"

namespace {

using frame_test::fetch;
using frame_test::Raised;
using frame_test::StderrCapture;
using frame_test::Switches;

std::string with_origin(int errnum, const std::string& origin) {
    return std::string(strerror(errnum)) + " (originated from " + origin + ")";
}

class RaisingTest : public ::testing::Test {
protected:
    void SetUp() override { PyErr_Clear(); }
    void TearDown() override { PyErr_Clear(); }
};

TEST_F(RaisingTest, OserrorTakesClassAndTextFromErrno) {
    struct Case {
        int errnum;
        PyObject* type;
    } cases[] = {
        {ENOENT, PyExc_FileNotFoundError},
        {ESRCH, PyExc_ProcessLookupError},
        {EACCES, PyExc_PermissionError},
        {EPERM, PyExc_PermissionError},
        {EIO, PyExc_OSError},  // no subclass for this number
    };
    for (const Case& c : cases) {
        errno = c.errnum;
        EXPECT_EQ(norvik_oserror(), nullptr);
        EXPECT_EQ(errno, c.errnum);
        Raised r = fetch();
        ASSERT_TRUE(r.any);
        EXPECT_EQ(r.type, c.type) << r.type_name << " for errno " << c.errnum;
        EXPECT_EQ(r.errnum, c.errnum);
        EXPECT_EQ(r.message, strerror(c.errnum));
        EXPECT_EQ(r.text, "[Errno " + std::to_string(c.errnum) + "] " + strerror(c.errnum));
    }
}

TEST_F(RaisingTest, WsyscallNamesTheCallAfterTheSystemText) {
    errno = ENOENT;
    EXPECT_EQ(norvik_oserror_wsyscall("sysctl()"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_FileNotFoundError);
    EXPECT_EQ(r.errnum, ENOENT);
    EXPECT_EQ(r.message, with_origin(ENOENT, "sysctl()"));
    EXPECT_EQ(r.text, "[Errno 2] " + with_origin(ENOENT, "sysctl()"));

    errno = EIO;
    norvik_oserror_wsyscall("kinfo_getfile()");
    EXPECT_EQ(errno, EIO);
    r = fetch();
    EXPECT_EQ(r.type, PyExc_OSError);
    EXPECT_EQ(r.errnum, EIO);
    EXPECT_EQ(r.message, with_origin(EIO, "kinfo_getfile()"));
}

TEST_F(RaisingTest, ForcedNumbersIgnoreErrnoAndLeaveItAlone) {
    for (int before : {0, ENOENT}) {
        errno = before;
        EXPECT_EQ(norvik_oserror_nsp("sysctl(kinfo_proc)"), nullptr);
        EXPECT_EQ(errno, before);
        Raised r = fetch();
        EXPECT_EQ(r.type, PyExc_ProcessLookupError);
        EXPECT_EQ(r.errnum, ESRCH);
        EXPECT_EQ(r.message, "force no such process (originated from sysctl(kinfo_proc))");

        errno = before;
        EXPECT_EQ(norvik_oserror_ad("kvm_getenvv"), nullptr);
        EXPECT_EQ(errno, before);
        r = fetch();
        EXPECT_EQ(r.type, PyExc_PermissionError);
        EXPECT_EQ(r.errnum, EACCES);
        EXPECT_EQ(r.message, "force permission denied (originated from kvm_getenvv)");
    }
}

TEST_F(RaisingTest, BuiltMessagesAreCutAt511Characters) {
    Switches quiet(0, 0);
    const std::string origin(1000, 'n');
    errno = 0;
    norvik_oserror_nsp(origin.c_str());
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_ProcessLookupError);
    ASSERT_EQ(r.message.size(), 511u);
    EXPECT_EQ(r.message.rfind("force no such process (originated from nnn", 0), 0u);
}

TEST_F(RaisingTest, ACutMessageWritesOnlyTheFormatDebugLine) {
    Switches debug(1, 1);  // a cut is not a misuse: no exit even while testing
    const std::string origin(600, 'n');
    StderrCapture err;
    errno = EIO;
    norvik_oserror_wsyscall(origin.c_str());
    norvik_oserror_wsyscall("short");  // nothing to say about this one
    auto lines = frame_test::debug_lines(err.text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "str_format: error in format '%s (originated from %s)'");
    EXPECT_EQ(fetch().errnum, EIO);
}

TEST_F(RaisingTest, RuntimeErrorFormatsWithTheInterpretersFormatter) {
    errno = EBADF;
    EXPECT_EQ(norvik_runtime_error("%s syscall failed", "kvm_getprocs"), nullptr);
    EXPECT_EQ(errno, EBADF);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "kvm_getprocs syscall failed");

    norvik_runtime_error("returned %zu, expected %d", static_cast<size_t>(12), -4);
    EXPECT_EQ(fetch().message, "returned 12, expected -4");
}

TEST_F(RaisingTest, BadargsNamesTheCaller) {
    errno = ENOTDIR;
    EXPECT_EQ(norvik_badargs("norvik_sysctl"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "norvik_sysctl() invalid args passed to function");
}

TEST_F(RaisingTest, EachRaiseReplacesAPendingException) {
    struct Case {
        const char* what;
        void (*raise)();
        PyObject* type;
    } cases[] = {
        {"oserror", [] { norvik_oserror(); }, PyExc_FileNotFoundError},
        {"wsyscall", [] { norvik_oserror_wsyscall("g()"); }, PyExc_FileNotFoundError},
        {"nsp", [] { norvik_oserror_nsp("h"); }, PyExc_ProcessLookupError},
        {"ad", [] { norvik_oserror_ad("h"); }, PyExc_PermissionError},
        {"runtime", [] { norvik_runtime_error("r"); }, PyExc_RuntimeError},
        {"badargs", [] { norvik_badargs("f"); }, PyExc_RuntimeError},
        {"kvm access", [] { convert_kvm_err("kvm_open", "Permission denied"); }, PyExc_PermissionError},
        {"kvm other", [] { convert_kvm_err("kvm_open", "bad"); }, PyExc_RuntimeError},
    };
    for (const Case& c : cases) {
        PyErr_SetString(PyExc_ValueError, "older");
        errno = ENOENT;
        c.raise();
        EXPECT_EQ(errno, ENOENT) << c.what;
        Raised r = fetch();
        EXPECT_EQ(r.type, c.type) << c.what << ": " << r.type_name << " " << r.text;
    }
}

TEST_F(RaisingTest, RaisingWritesNoDebugLines) {
    Switches debug(1, 0);
    StderrCapture err;
    errno = ENOENT;
    norvik_oserror();
    norvik_oserror_wsyscall("sysctl()");
    norvik_oserror_nsp("x");
    norvik_oserror_ad("y");
    norvik_runtime_error("z");
    norvik_badargs("w");
    convert_kvm_err("kvm_openfiles", "no such file");
    PyErr_Clear();
    EXPECT_EQ(err.text(), "");
}

TEST_F(RaisingTest, KvmTextsThatRefuseAccessBecomePermissionError) {
    const char* texts[] = {
        "/dev/mem: Operation not permitted",
        "Operation not permitted",
        "kvm_openfiles: /dev/kmem: Permission denied",
    };
    for (const char* text : texts) {
        errno = 0;
        convert_kvm_err("kvm_openfiles", text);
        EXPECT_EQ(errno, 0);
        Raised r = fetch();
        EXPECT_EQ(r.type, PyExc_PermissionError) << text;
        EXPECT_EQ(r.errnum, EACCES);
        EXPECT_EQ(r.message, std::string("force permission denied (originated from (originated from kvm_openfiles: ") +
                                 text + "))");
    }
}

TEST_F(RaisingTest, OtherKvmTextsBecomeRuntimeErrorVerbatim) {
    const char* texts[] = {
        "cannot read 100% of %s at %d",   // format conversions stay as they are
        "operation not permitted",        // the search is case-sensitive
        "Permission  denied",
        "",
    };
    for (const char* text : texts) {
        convert_kvm_err("kvm_openfiles", text);
        Raised r = fetch();
        EXPECT_EQ(r.type, PyExc_RuntimeError) << text;
        EXPECT_EQ(r.message, std::string("(originated from kvm_openfiles: ") + text + ")");
    }
}

TEST_F(RaisingTest, AMissingKvmTextIsAnEmptyOne) {
    const char* volatile no_text = nullptr;
    convert_kvm_err("kvm_openfiles", no_text);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "(originated from kvm_openfiles: )");
}

TEST_F(RaisingTest, AnOverlongKvmTextIsCutButStillClassified) {
    Switches quiet(0, 0);
    // The phrase lies beyond what fits in the message; the class still follows
    // libkvm's whole text.
    std::string text(700, '.');
    text += "Operation not permitted";
    convert_kvm_err("kvm_openfiles", text.c_str());
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_PermissionError);
    EXPECT_EQ(r.message.size(), 511u);
    EXPECT_EQ(r.message.rfind("force permission denied (originated from (originated from kvm_openfiles: ...", 0), 0u);
}

}  // namespace

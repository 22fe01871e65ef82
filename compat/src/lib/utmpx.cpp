// setutxent(3), getutxent(3), endutxent(3): the host's active logins (the
// utmp file glibc keeps, var/run/utmp under the host root) as FreeBSD's
// struct utmpx records.
//
// Each 384-byte glibc record is translated field by field: the type number
// (glibc's USER_PROCESS is 7, FreeBSD's 4; RUN_LVL and ACCOUNTING have no
// FreeBSD type and become EMPTY), the time, id, pid, and the texts cut to
// FreeBSD's smaller fields (ut_line 16 bytes, ut_host 128), always terminated.
// glibc's exit status, session and address have no field and are lost.
//
// As FreeBSD's, the session is one per thread of the caller: getutxent
// without setutxent opens it, setutxent rewinds it.
//
// Scripted overlay: key "getutxent.0", consulted by setutxent. An answer is
// back-to-back FreeBSD struct utmpx records read instead of the host's file;
// a failure makes the database unreadable (getutxent answers NULL).
#include "freebsd/utmpx.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "entry.h"
#include "linux/host_files.h"
#include "script/script.h"

namespace compat {
namespace {

// glibc's struct utmp on x86-64 (<bits/utmp.h>), whose macros for the type
// numbers would clash with FreeBSD's names, so the layout is spelled here.
struct HostUtmp {
    std::int16_t ut_type;
    std::int32_t ut_pid;
    char ut_line[32];
    char ut_id[4];
    char ut_user[32];
    char ut_host[256];
    std::int16_t e_termination;
    std::int16_t e_exit;
    std::int32_t ut_session;
    std::int32_t tv_sec;
    std::int32_t tv_usec;
    std::int32_t ut_addr_v6[4];
    char unused[20];
};
static_assert(sizeof(HostUtmp) == 384);
static_assert(offsetof(HostUtmp, ut_line) == 8);
static_assert(offsetof(HostUtmp, ut_user) == 44);
static_assert(offsetof(HostUtmp, ut_host) == 76);
static_assert(offsetof(HostUtmp, tv_sec) == 340);

short freebsd_type(std::int16_t host_type) {
    switch (host_type) {
        case 2:
            return freebsd::BOOT_TIME;
        case 3:
            return freebsd::NEW_TIME;
        case 4:
            return freebsd::OLD_TIME;
        case 5:
            return freebsd::INIT_PROCESS;
        case 6:
            return freebsd::LOGIN_PROCESS;
        case 7:
            return freebsd::USER_PROCESS;
        case 8:
            return freebsd::DEAD_PROCESS;
        default:
            return freebsd::EMPTY;  // EMPTY, RUN_LVL, ACCOUNTING
    }
}

// Copies a fixed text field that may lack its NUL into a smaller or equal
// one, cut to fit and terminated.
template <std::size_t N, std::size_t M>
void copy_text(char (&dst)[N], const char (&src)[M]) {
    const std::size_t len = strnlen(src, M);
    const std::size_t n = len < N - 1 ? len : N - 1;
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, N - n);
}

struct Session {
    bool open = false;
    bool host_layout = true;  // glibc records, or FreeBSD records from a script
    std::string data;
    std::size_t offset = 0;
    freebsd::utmpx record{};
    int failed = 0;  // the errno that kept the database from being read
};

thread_local Session session;

void open_session() {
    session.open = true;
    session.offset = 0;
    session.data.clear();
    session.host_layout = true;
    session.failed = 0;
    auto outcome = script::consult_call("getutxent", 0);
    if (outcome.fail) return;  // an unreadable database: no records
    if (outcome.answer != nullptr) {
        session.data = *outcome.answer;
        session.host_layout = false;
        return;
    }
    if (read_host_file("var/run/utmp", session.data, std::size_t{64} << 20) != 0) session.data.clear();
}

}  // namespace
}  // namespace compat

namespace freebsd {

// A session that could not be opened for want of memory has no records,
// and getutxent says why: NULL with errno set, as FreeBSD's does when its
// database can't be read.
void setutxent(void) {
    if (!compat::guarded_void_call([] { compat::open_session(); })) {
        std::string().swap(compat::session.data);
        compat::session.failed = errno;
    }
}

utmpx* getutxent(void) {
    auto& s = compat::session;
    if (!s.open) setutxent();
    if (s.failed != 0) {
        errno = s.failed;
        return nullptr;
    }
    const std::size_t size = s.host_layout ? sizeof(compat::HostUtmp) : sizeof(utmpx);
    if (s.data.size() - s.offset < size) return nullptr;
    const char* at = s.data.data() + s.offset;
    s.offset += size;
    if (!s.host_layout) {
        std::memcpy(&s.record, at, sizeof s.record);
        return &s.record;
    }
    compat::HostUtmp host;
    std::memcpy(&host, at, sizeof host);
    utmpx& r = s.record;
    std::memset(&r, 0, sizeof r);
    r.ut_type = compat::freebsd_type(host.ut_type);
    r.ut_tv.tv_sec = host.tv_sec;
    r.ut_tv.tv_usec = host.tv_usec;
    std::memcpy(r.ut_id, host.ut_id, sizeof host.ut_id);
    r.ut_pid = host.ut_pid;
    compat::copy_text(r.ut_user, host.ut_user);
    compat::copy_text(r.ut_line, host.ut_line);
    compat::copy_text(r.ut_host, host.ut_host);
    return &r;
}

void endutxent(void) {
    auto& s = compat::session;
    s.open = false;
    s.offset = 0;
    std::string().swap(s.data);
}

}  // namespace freebsd

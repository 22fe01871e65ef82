// The users logged in, from the login records.
#include <string.h>

#include "field_text.h"
#include "methods.h"
#include "norvik.h"
#include "norvik_platform.h"
#include "pyref.h"

namespace {

constexpr size_t kHostSize = sizeof(((struct utmpx*)nullptr)->ut_host);
static_assert(kHostSize == 128);

// The login records session, closed on every path.
struct UtmpxSession {
    UtmpxSession() { setutxent(); }
    ~UtmpxSession() { endutxent(); }
    UtmpxSession(const UtmpxSession&) = delete;
    UtmpxSession& operator=(const UtmpxSession&) = delete;
};

// The host text: "localhost" for the local console and display :0 / :0.0,
// else the field's text (all 128 bytes when it has no NUL).
PyObject* host_text(const struct utmpx& ut) {
    const size_t n = strnlen(ut.ut_host, kHostSize);
    const bool local = n == 0 || (n == 2 && memcmp(ut.ut_host, ":0", 2) == 0) ||
                       (n == 4 && memcmp(ut.ut_host, ":0.0", 4) == 0);
    if (local) return PyUnicode_DecodeFSDefault("localhost");
    char host[kHostSize + 1];
    memcpy(host, ut.ut_host, n);
    host[n] = '\0';
    return PyUnicode_DecodeFSDefault(host);
}

PyObject* user_tuple(const struct utmpx& ut) {
    PyRef user(norvik_decode_field(ut.ut_user));
    if (!user) return nullptr;
    PyRef line(norvik_decode_field(ut.ut_line));
    if (!line) return nullptr;
    PyRef host(host_text(ut));
    if (!host) return nullptr;
    return Py_BuildValue("OOOdi", user.get(), line.get(), host.get(), static_cast<double>(ut.ut_tv.tv_sec),
                         static_cast<int>(ut.ut_pid));
}

}  // namespace

PyObject* norvik_users(PyObject*, PyObject*) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    UtmpxSession session;
    while (struct utmpx* ut = getutxent()) {
        if (ut->ut_type != USER_PROCESS) continue;
        if (append_new(list.get(), user_tuple(*ut)) == -1) return nullptr;
    }
    return list.release();
}

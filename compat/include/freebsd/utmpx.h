// FreeBSD's login records: struct utmpx and the calls that walk the
// database of active logins.
#pragma once

#include <cstddef>

#include "freebsd/sys/types.h"

namespace freebsd {

// ut_type
inline constexpr short EMPTY = 0;
inline constexpr short BOOT_TIME = 1;
inline constexpr short OLD_TIME = 2;
inline constexpr short NEW_TIME = 3;
inline constexpr short USER_PROCESS = 4;
inline constexpr short INIT_PROCESS = 5;
inline constexpr short LOGIN_PROCESS = 6;
inline constexpr short DEAD_PROCESS = 7;
inline constexpr short SHUTDOWN_TIME = 8;

struct utmpx {
    short ut_type;
    ::timeval ut_tv;
    char ut_id[8];
    std::int32_t ut_pid;
    char ut_user[32];
    char ut_line[16];
    char ut_host[128];
    char __ut_spare[64];
};
static_assert(sizeof(utmpx) == 280);
static_assert(offsetof(utmpx, ut_tv) == 8);
static_assert(offsetof(utmpx, ut_id) == 24);
static_assert(offsetof(utmpx, ut_pid) == 32);
static_assert(offsetof(utmpx, ut_user) == 36);
static_assert(offsetof(utmpx, ut_line) == 68);
static_assert(offsetof(utmpx, ut_host) == 84);
static_assert(offsetof(utmpx, __ut_spare) == 212);

// Opens (or rewinds) the database of active logins.
void setutxent(void);
// The next record, in a buffer of the library's that the next call
// overwrites; NULL at the end or when the database cannot be read.
utmpx* getutxent(void);
// Closes the database.
void endutxent(void);

}  // namespace freebsd

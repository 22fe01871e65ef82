// The scripted kernel: an overlay that test builds consult before the host.
//
// A script is keyed by the node's dotted name with its per-call integers
// ("kern.proc.pid.1234") or by a library call and its pid ("kinfo_getfile.1234").
// A key may end in ".*" to match every key below that prefix, at any depth
// ("kern.proc.*" matches "kern.proc.pid.12"); the exact key wins. A script can
//   - answer given bytes (records, strings, whatever the call returns),
//   - fail with an errno once, n times or always,
//   - make the next n reads fail with ENOMEM after a size answer (the data
//     "grew" in between),
//   - run out of memory: the next n questions throw std::bad_alloc from
//     inside the call, as an allocation of the stand-in's own would.
// Builds without NORVIK_SCRIPTED have no overlay: consult() answers nothing.
#pragma once

#include <string>
#include <string_view>

namespace compat::script {

enum class Kind { size, read, write, call };

struct Outcome {
    bool fail = false;           // fail with err
    int err = 0;
    bool grow = false;           // a read that must fail with ENOMEM
    bool overreport = false;     // a short buffer still succeeds, reporting the full length
    long size = -1;              // >= 0: the size answer, whatever the bytes are
    const std::string* answer = nullptr;  // scripted bytes instead of the host's
};

#ifdef NORVIK_SCRIPTED
Outcome consult(std::string_view key, Kind kind);
// A library call about one process or thread: the key is "<call>.<id>"
// ("kinfo_getfile.1234").
Outcome consult_call(const char* call, long long id);
#else
inline Outcome consult(std::string_view, Kind) { return {}; }
inline Outcome consult_call(const char*, long long) { return {}; }
#endif

}  // namespace compat::script

// The control interface, with C names so that Python tests reach it through
// ctypes on the test build of the module, and C++ tests call it directly.
extern "C" {
// Forgets every script and counter, and points the host root back at "/".
void norvik_script_reset(void);
// The key answers these bytes from now on (until reset).
int norvik_script_answer(const char* key, const void* bytes, std::size_t len);
// The key fails with err on its next `times` calls; times < 0: always.
// err must be an errno (> 0): a failure is never reported as success. Only a
// library call (what 3, through norvik_script_fail_on) may fail with err 0,
// as libutil's tables can.
int norvik_script_fail(const char* key, int err, int times);
// The same, for one kind of question only (what: 0 size, 1 read, 2 write,
// 3 library call, -1 any), after letting the first `skip` of them through:
// the second size question of a read that grew, a read after a good size.
int norvik_script_fail_on(const char* key, int what, int err, int skip, int times);
// The next `times` reads of the key fail with ENOMEM; times < 0: always.
int norvik_script_grow(const char* key, int times);
// The key's next `times` questions, of any kind, throw std::bad_alloc
// inside the call that asks; times < 0: always.
int norvik_script_exhaust(const char* key, int times);
// A read into a buffer too short for the answer copies what fits and
// succeeds, reporting the answer's full length (a misbehaving kernel).
int norvik_script_overreport(const char* key, int on);
// Size questions of the key answer `size` bytes, however long the answer is
// (a kernel whose estimate is too small or padded); size < 0: the answer's own.
int norvik_script_size(const char* key, long size);
// How often the exact key was asked: what 0 size, 1 read, 2 write, 3 library call.
long norvik_script_count(const char* key, int what);
// Reads host files under another root (a captured tree).
int norvik_script_set_root(const char* path);
}

#include "script/script.h"

#include <array>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

#include "linux/host_files.h"

#define NORVIK_SCRIPT_API extern "C" __attribute__((visibility("default")))

namespace compat::script {
namespace {

struct Script {
    bool has_answer = false;
    std::string answer;
    int fail_err = 0;
    int fail_times = 0;  // < 0: always
    int fail_kind = -1;  // the kind of question that fails; -1: any
    int fail_skip = 0;   // questions of that kind let through first
    int grow_times = 0;  // < 0: always
    int exhaust_times = 0;  // < 0: always
    bool overreport = false;
    long size = -1;  // >= 0: the size answer
};

struct State {
    std::mutex lock;
    std::map<std::string, Script, std::less<>> scripts;
    std::map<std::string, std::array<long, 4>, std::less<>> counts;
};

State& state() {
    static State s;
    return s;
}

// Exact key first, then the key with its trailing components replaced by "*".
Script* find(State& s, std::string_view key) {
    if (s.scripts.empty()) return nullptr;
    if (auto it = s.scripts.find(key); it != s.scripts.end()) return &it->second;
    for (std::string_view rest = key;;) {
        auto dot = rest.rfind('.');
        if (dot == std::string_view::npos) break;
        rest = rest.substr(0, dot);
        std::string probe(rest);
        probe += ".*";
        if (auto it = s.scripts.find(probe); it != s.scripts.end()) return &it->second;
    }
    return nullptr;
}

bool take(int& times) {
    if (times == 0) return false;
    if (times > 0) --times;
    return true;
}

}  // namespace

Outcome consult(std::string_view key, Kind kind) {
    State& s = state();
    std::lock_guard guard(s.lock);
    auto counter = s.counts.find(key);
    if (counter == s.counts.end()) counter = s.counts.emplace(std::string(key), std::array<long, 4>{}).first;
    ++counter->second[static_cast<int>(kind)];

    Outcome out;
    Script* script = find(s, key);
    if (script == nullptr) return out;
    if (take(script->exhaust_times)) throw std::bad_alloc();
    const bool fail_applies = script->fail_kind < 0 || script->fail_kind == static_cast<int>(kind);
    if (fail_applies && script->fail_times != 0) {
        if (script->fail_skip > 0) {
            --script->fail_skip;
        } else if (take(script->fail_times)) {
            out.fail = true;
            out.err = script->fail_err;
            return out;
        }
    }
    if (kind == Kind::read && take(script->grow_times)) out.grow = true;
    out.overreport = script->overreport;
    out.size = script->size;
    if (script->has_answer) out.answer = &script->answer;
    return out;
}

Outcome consult_call(const char* call, long long id) {
    char key[96];
    std::snprintf(key, sizeof key, "%s.%lld", call, id);
    return consult(key, Kind::call);
}

}  // namespace compat::script

using compat::script::state;

NORVIK_SCRIPT_API void norvik_script_reset(void) {
    auto& s = state();
    std::lock_guard guard(s.lock);
    s.scripts.clear();
    s.counts.clear();
    compat::set_host_root("/");
}

NORVIK_SCRIPT_API int norvik_script_answer(const char* key, const void* bytes, std::size_t len) {
    if (key == nullptr || (bytes == nullptr && len != 0)) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    auto& script = s.scripts[key];
    script.has_answer = true;
    if (len == 0)
        script.answer.clear();  // bytes may be NULL for an empty answer
    else
        script.answer.assign(static_cast<const char*>(bytes), len);
    return 0;
}

NORVIK_SCRIPT_API int norvik_script_fail_on(const char* key, int what, int err, int skip, int times) {
    // A library call may fail leaving errno 0 (libutil's tables do); a
    // kernel call never reports a failure without an errno.
    const bool library_call = what == static_cast<int>(compat::script::Kind::call);
    if (key == nullptr || err < 0 || (err == 0 && !library_call) || what < -1 || what > 3 || skip < 0) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    auto& script = s.scripts[key];
    script.fail_err = err;
    script.fail_times = times;
    script.fail_kind = what;
    script.fail_skip = skip;
    return 0;
}

NORVIK_SCRIPT_API int norvik_script_fail(const char* key, int err, int times) {
    return norvik_script_fail_on(key, -1, err, 0, times);
}

NORVIK_SCRIPT_API int norvik_script_grow(const char* key, int times) {
    if (key == nullptr) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    s.scripts[key].grow_times = times;
    return 0;
}

NORVIK_SCRIPT_API int norvik_script_exhaust(const char* key, int times) {
    if (key == nullptr) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    s.scripts[key].exhaust_times = times;
    return 0;
}

NORVIK_SCRIPT_API int norvik_script_overreport(const char* key, int on) {
    if (key == nullptr) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    s.scripts[key].overreport = on != 0;
    return 0;
}

NORVIK_SCRIPT_API int norvik_script_size(const char* key, long size) {
    if (key == nullptr) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    s.scripts[key].size = size < 0 ? -1 : size;
    return 0;
}

NORVIK_SCRIPT_API long norvik_script_count(const char* key, int what) {
    if (key == nullptr || what < 0 || what > 3) return -1;
    auto& s = state();
    std::lock_guard guard(s.lock);
    auto it = s.counts.find(std::string_view(key));
    return it == s.counts.end() ? 0 : it->second[what];
}

NORVIK_SCRIPT_API int norvik_script_set_root(const char* path) {
    if (path == nullptr) return -1;
    compat::set_host_root(path);
    return 0;
}

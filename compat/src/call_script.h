// The scripted overlay as the stand-in's library calls consult it: the key is
// the call's name and the id it was given ("cpuset_getaffinity.1234").
// Builds without the overlay build no key at all.
#pragma once

#include <string>

#include "script.h"

namespace compat::script {

#ifdef NORVIK_SCRIPTED
inline Outcome consult_call(const char* call, long long id) {
    std::string key(call);
    key.push_back('.');
    key += std::to_string(id);
    return consult(key, Kind::call);
}
#else
inline Outcome consult_call(const char*, long long) { return {}; }
#endif

}  // namespace compat::script

// The floor: what an answer costs at least, the host reads done by a minimal
// C++ loop. Each case registers itself under a name that bench/run.py asks for.
#pragma once

#include <string>
#include <vector>

namespace floor_bench {

using Args = std::vector<std::string>;
// One call of the measured work; args come from the command line.
using CaseFn = void (*)(const Args& args);

struct Registrar {
    Registrar(const char* name, CaseFn fn);
};

// Keeps the optimiser from discarding a result.
template <typename T>
inline void keep(const T& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

}  // namespace floor_bench

#define NORVIK_FLOOR_CASE(ident, name)                                   \
    static void ident(const floor_bench::Args& args);                    \
    static floor_bench::Registrar ident##_registrar(name, ident);        \
    static void ident([[maybe_unused]] const floor_bench::Args& args)

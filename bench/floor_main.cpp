// norvik_floor CASE CALLS REPEATS [ARGS...]: prints the median nanoseconds per
// call of CASE over REPEATS loops of CALLS calls each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "floor.h"

namespace floor_bench {

static std::map<std::string, CaseFn>& cases() {
    static std::map<std::string, CaseFn> all;
    return all;
}

Registrar::Registrar(const char* name, CaseFn fn) { cases()[name] = fn; }

}  // namespace floor_bench

int main(int argc, char** argv) {
    using namespace floor_bench;
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s CASE CALLS REPEATS [ARGS...]\n", argv[0]);
        for (auto& [name, fn] : cases()) std::fprintf(stderr, "  %s\n", name.c_str());
        return 2;
    }
    auto found = cases().find(argv[1]);
    if (found == cases().end()) {
        std::fprintf(stderr, "no such case: %s\n", argv[1]);
        return 2;
    }
    const long calls = std::atol(argv[2]);
    const long repeats = std::atol(argv[3]);
    Args args(argv + 4, argv + argc);
    std::vector<double> per_call;
    found->second(args);  // warm up
    for (long r = 0; r < repeats; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < calls; ++i) found->second(args);
        auto stop = std::chrono::steady_clock::now();
        per_call.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / calls);
    }
    std::sort(per_call.begin(), per_call.end());
    std::printf("%.1f\n", per_call[per_call.size() / 2]);
    return 0;
}

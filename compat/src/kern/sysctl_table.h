// The stand-in's kernel state tree: one table of nodes that sysctl() reaches by
// MIB and sysctlbyname() reaches by dotted name.
//
// A node's handler builds its whole answer as bytes; the dispatcher does what
// the kernel does around it: the size answer without a buffer, ENOMEM and a
// partial copy for a short buffer, writes of a new value.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace compat {

// The per-call integers that follow a node's own MIB (a pid, a resource number).
// A node whose dotted name has "#" components ("dev.cpu.#.freq") takes them
// from there instead, in order; its by-MIB form has them after the MIB.
using NodeArgs = std::span<const int>;

// Each returns 0 or an errno.
using ReadFn = int (*)(NodeArgs args, std::string& out);
using SizeFn = int (*)(NodeArgs args, std::size_t& size);  // optional: a cheap size answer
using WriteFn = int (*)(NodeArgs args, const void* data, std::size_t len);

struct Node {
    const char* name;
    int mib[6];
    unsigned mib_len;
    unsigned min_args;
    unsigned max_args;
    ReadFn read;
    SizeFn size;
    WriteFn write;
    // A 64-bit event counter: a read that offers exactly 4 bytes gets the low
    // 32 bits, as FreeBSD answers its older callers.
    bool wide_counter = false;
};

// The table, and the handlers that live beside their host parsers.
std::span<const Node> sysctl_nodes();

}  // namespace compat

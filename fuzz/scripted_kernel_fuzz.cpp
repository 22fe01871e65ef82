// Fuzzes every walk of what the kernel hands back, through the scripted
// kernel: the bytes of one answer come from the input, and so do the size the
// kernel first reports, how often the data "grows" between the size question
// and the read, and whether a short read still claims the full length. The
// module must answer a value or a Python exception, and never read outside
// what it was given.
//
// Input: [entry][flags][size hi][size lo] answer...
//   entry  which key and which module functions (kEntries, modulo its size)
//   flags  bit 0: over-report a short read; bits 1-3: reads that grow;
//          bit 4: size questions answer the 16-bit size that follows
//
// With NORVIK_FUZZ_SEEDS=DIR in the environment, the program first writes one
// input per entry into DIR, holding what this machine's kernel answers.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "freebsd/base.h"
#include "fuzz_module.h"

namespace {

struct Entry {
    const char* key;           // printf format of the key, given the pid
    const char* functions[3];  // module functions that read it, taking the pid
    int mib[3];                // the node, for seeds; {0} for library calls
};

constexpr Entry kEntries[] = {
    {"kern.proc.pid.%d",
     {"proc_oneshot_info", "proc_name", "proc_num_threads"},
     {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID}},
    {"kern.proc.pid_td.%d",
     {"proc_threads", nullptr, nullptr},
     {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID | freebsd::KERN_PROC_INC_THREAD}},
    {"kern.proc.args.%d",
     {"proc_cmdline", nullptr, nullptr},
     {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_ARGS}},
    {"kern.proc.pathname.%d",
     {"proc_exe", nullptr, nullptr},
     {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PATHNAME}},
    {"kinfo_getfile.%d", {"proc_open_files", "proc_num_fds", "proc_cwd"}, {0, 0, 0}},
    {"kinfo_getvmmap.%d", {"proc_memory_maps", nullptr, nullptr}, {0, 0, 0}},
    {"kvm_getprocs.%d", {"proc_environ", nullptr, nullptr}, {0, 0, 0}},
};
constexpr std::size_t kEntryCount = sizeof kEntries / sizeof kEntries[0];
constexpr std::size_t kHeader = 4;

std::string key_of(const Entry& entry, int pid) {
    char key[64];
    std::snprintf(key, sizeof key, entry.key, pid);
    return key;
}

// What this machine answers for the entry about pid, as the stand-in gives it.
std::string live_answer(const Entry& entry, int pid) {
    std::string bytes;
    if (entry.mib[0] != 0) {
        int mib[4] = {entry.mib[0], entry.mib[1], entry.mib[2], pid};
        std::size_t len = 0;
        if (freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0) != 0) return bytes;
        bytes.resize(len);
        if (freebsd::sysctl(mib, 4, bytes.data(), &len, nullptr, 0) != 0) return {};
        bytes.resize(len);
    } else if (std::string(entry.key).rfind("kinfo_getfile", 0) == 0) {
        int n = 0;
        if (freebsd::kinfo_file* files = freebsd::kinfo_getfile(pid, &n)) {
            bytes.assign(reinterpret_cast<const char*>(files), sizeof *files * static_cast<std::size_t>(n));
            std::free(files);
        }
    } else if (std::string(entry.key).rfind("kinfo_getvmmap", 0) == 0) {
        int n = 0;
        if (freebsd::kinfo_vmentry* maps = freebsd::kinfo_getvmmap(pid, &n)) {
            bytes.assign(reinterpret_cast<const char*>(maps), sizeof *maps * static_cast<std::size_t>(n));
            std::free(maps);
        }
    }
    return bytes;
}

void write_seeds(const char* dir) {
    for (std::size_t i = 0; i < kEntryCount; ++i) {
        std::string input(kHeader, '\0');
        input[0] = static_cast<char>(i);
        input += live_answer(kEntries[i], getpid());
        fuzz::write_file(std::string(dir) + "/live-" + std::to_string(i), input.data(), input.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::module();
    if (const char* dir = std::getenv("NORVIK_FUZZ_SEEDS")) write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    fuzz::ScriptReset reset;
    const Entry& entry = kEntries[data[0] % kEntryCount];
    const std::uint8_t flags = data[1];
    const int pid = getpid();
    const std::string key = key_of(entry, pid);
    norvik_script_answer(key.c_str(), data + kHeader, size - kHeader);
    if (flags & 0x01) norvik_script_overreport(key.c_str(), 1);
    if (const int grows = (flags >> 1) & 0x7) norvik_script_grow(key.c_str(), grows);
    if (flags & 0x10) norvik_script_size(key.c_str(), (long{data[2]} << 8) | data[3]);
    for (const char* function : entry.functions)
        if (function != nullptr) fuzz::call(function, pid);
    return 0;
}

// Fuzzes the stand-in's readers of /proc and /sys text through a captured
// tree: the tree holds this machine's own files (this process's, the
// system's tables, the disks /sys/block lists), and each input replaces one
// of them before the module calls that read it run. Text the host never
// writes (cut lines, missing keys, huge numbers, no newline, NULs) must give
// an error or a value, never a crash or a read outside the text.
//
// Input: [file] text...   (file: kFiles, modulo its size)
//
// With NORVIK_FUZZ_SEEDS=DIR in the environment, the program first writes one
// input per file into DIR: this machine's own text of it.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz_module.h"

namespace {

namespace fs = std::filesystem;

struct File {
    const char* name;      // below the root ("%d" is this process's id)
    const char* calls[3];  // module calls that read it (see fuzz::run)
};

constexpr File kFiles[] = {
    {"proc/%d/stat", {"m.proc_oneshot_info(pid)", "m.proc_name(pid)", "m.proc_num_threads(pid)"}},
    {"proc/%d/status", {"m.proc_oneshot_info(pid)", "m.proc_name(pid)", nullptr}},
    {"proc/%d/io", {"m.proc_oneshot_info(pid)", nullptr, nullptr}},
    {"proc/%d/task/%d/stat", {"m.proc_threads(pid)", nullptr, nullptr}},
    {"proc/%d/smaps", {"m.proc_memory_maps(pid)", nullptr, nullptr}},
    {"proc/%d/cmdline", {"m.proc_cmdline(pid)", nullptr, nullptr}},
    {"proc/%d/environ", {"m.proc_environ(pid)", nullptr, nullptr}},
    {"proc/self/mountinfo", {"m.disk_partitions(True)", nullptr, nullptr}},
    {"proc/diskstats", {"m.disk_io_counters()", nullptr, nullptr}},
    {"proc/net/tcp",
     {"m.net_connections((2, 28), (1,))", "m.proc_net_connections(pid, (2, 28), (1,))", nullptr}},
    {"proc/net/tcp6", {"m.net_connections((2, 28), (1,))", nullptr, nullptr}},
    {"proc/net/udp", {"m.net_connections((2, 28), (2,))", nullptr, nullptr}},
    {"proc/net/unix", {"m.net_connections((1,), (1, 2))", nullptr, nullptr}},
    {"proc/stat", {"m.cpu_times()", "m.per_cpu_times()", "m.cpu_stats()"}},
    {"proc/vmstat", {"m.cpu_stats()", "m.swap_mem()", nullptr}},
    {"proc/meminfo", {"m.virtual_mem()", nullptr, nullptr}},
    {"proc/swaps", {"m.swap_mem()", nullptr, nullptr}},
    {"sys/devices/system/cpu/online", {"m.cpu_count_logical()", "m.per_cpu_times()", "m.cpu_topology()"}},
};
constexpr std::size_t kFileCount = sizeof kFiles / sizeof kFiles[0];

std::string rel_of(const File& file) {
    char rel[64];
    const int pid = static_cast<int>(getpid());
    std::snprintf(rel, sizeof rel, file.name, pid, pid);
    return rel;
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The captured tree: every file of kFiles as this machine has it (this
// process's own under its pid), and an empty folder for each disk that
// /sys/block lists; removed at exit.
struct Tree {
    fs::path root;
    std::string original[kFileCount];

    Tree() {
        char templ[] = "/dev/shm/norvik-fuzz-XXXXXX";
        if (mkdtemp(templ) == nullptr) std::abort();
        root = templ;
        for (std::size_t i = 0; i < kFileCount; ++i) {
            const std::string rel = rel_of(kFiles[i]);
            fs::create_directories((root / rel).parent_path());
            original[i] = read_all(fs::path("/") / rel);
            fuzz::write_file(root / rel, original[i].data(), original[i].size());
        }
        std::error_code ignored;
        for (const auto& disk : fs::directory_iterator("/sys/block", ignored))
            fs::create_directories(root / "sys/block" / disk.path().filename(), ignored);
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Tree& tree() {
    static Tree t;
    return t;
}

void write_seeds(const char* dir) {
    for (std::size_t i = 0; i < kFileCount; ++i) {
        std::string input(1, static_cast<char>(i));
        input += tree().original[i];
        fuzz::write_file(fs::path(dir) / ("live-" + std::to_string(i)), input.data(), input.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::globals();
    tree();
    if (const char* dir = std::getenv("NORVIK_FUZZ_SEEDS")) write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t index = data[0] % kFileCount;
    const File& file = kFiles[index];
    const fs::path path = tree().root / rel_of(file);
    fuzz::write_file(path, data + 1, size - 1);
    {
        fuzz::ScriptReset reset;
        norvik_script_set_root(tree().root.c_str());
        for (const char* call : file.calls)
            if (call != nullptr) fuzz::run(call);
    }
    fuzz::write_file(path, tree().original[index].data(), tree().original[index].size());
    return 0;
}

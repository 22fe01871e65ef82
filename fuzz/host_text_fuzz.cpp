// Fuzzes the stand-in's readers of /proc text through a captured tree: the
// tree holds this process's own files, and each input replaces one of them
// before the module functions that read it are called. Text the host never
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
    const char* name;          // below proc/<pid>/ ("%d" is the pid)
    const char* functions[3];  // module functions that read it, taking the pid
};

constexpr File kFiles[] = {
    {"stat", {"proc_oneshot_info", "proc_name", "proc_num_threads"}},
    {"status", {"proc_oneshot_info", "proc_name", nullptr}},
    {"io", {"proc_oneshot_info", nullptr, nullptr}},
    {"task/%d/stat", {"proc_threads", nullptr, nullptr}},
    {"smaps", {"proc_memory_maps", nullptr, nullptr}},
    {"cmdline", {"proc_cmdline", nullptr, nullptr}},
    {"environ", {"proc_environ", nullptr, nullptr}},
};
constexpr std::size_t kFileCount = sizeof kFiles / sizeof kFiles[0];

std::string rel_of(const File& file) {
    char rel[64];
    std::snprintf(rel, sizeof rel, file.name, static_cast<int>(getpid()));
    return rel;
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The captured tree: proc/<pid>/ with this process's files, removed at exit.
struct Tree {
    fs::path root;
    fs::path proc;
    std::string original[kFileCount];

    Tree() {
        char templ[] = "/dev/shm/norvik-fuzz-XXXXXX";
        if (mkdtemp(templ) == nullptr) std::abort();
        root = templ;
        const std::string pid = std::to_string(getpid());
        proc = root / "proc" / pid;
        for (std::size_t i = 0; i < kFileCount; ++i) {
            const std::string rel = rel_of(kFiles[i]);
            fs::create_directories((proc / rel).parent_path());
            original[i] = read_all(fs::path("/proc/self") / rel);
            fuzz::write_file(proc / rel, original[i].data(), original[i].size());
        }
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
    fuzz::module();
    tree();
    if (const char* dir = std::getenv("NORVIK_FUZZ_SEEDS")) write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t index = data[0] % kFileCount;
    const File& file = kFiles[index];
    const fs::path path = tree().proc / rel_of(file);
    fuzz::write_file(path, data + 1, size - 1);
    {
        fuzz::ScriptReset reset;
        norvik_script_set_root(tree().root.c_str());
        for (const char* function : file.functions)
            if (function != nullptr) fuzz::call(function, getpid());
    }
    fuzz::write_file(path, tree().original[index].data(), tree().original[index].size());
    return 0;
}

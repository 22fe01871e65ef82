// A captured host tree for the stand-in's readers: a temporary folder the
// test writes /proc files into, removed (and the root put back) afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "freebsd/sys/sysctl.h"
#include "script/script.h"

// A node's answer, read as a caller does: into a buffer of the size the node
// answers first (given in *size_answer when asked). call(buf, &len) is the
// sysctl call. Returns 0, or the errno of the call that failed.
template <typename Call>
int read_answer(Call call, std::string& out, std::size_t* size_answer) {
    std::size_t len = 0;
    if (call(nullptr, &len) != 0) return errno;
    if (size_answer != nullptr) *size_answer = len;
    out.assign(len, '\0');
    if (call(out.data(), &len) != 0) return errno;
    out.resize(len);
    return 0;
}

inline int read_sysctl(std::vector<int> mib, std::string& out, std::size_t* size_answer = nullptr) {
    return read_answer(
        [&](void* buf, std::size_t* len) {
            return freebsd::sysctl(mib.data(), static_cast<unsigned>(mib.size()), buf, len, nullptr, 0);
        },
        out, size_answer);
}

inline int read_sysctl(const char* name, std::string& out, std::size_t* size_answer = nullptr) {
    return read_answer(
        [&](void* buf, std::size_t* len) { return freebsd::sysctlbyname(name, buf, len, nullptr, 0); }, out,
        size_answer);
}

class CapturedTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/norvik-tree-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root_ = templ;
        std::filesystem::create_directories(root_ / "proc");
    }
    void TearDown() override {
        norvik_script_reset();
        std::filesystem::remove_all(root_);
    }
    // Writes a file below the root, making its folders.
    void write_file(const std::filesystem::path& rel, const std::string& text) {
        const std::filesystem::path path = root_ / rel;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    // The stand-in reads its host files from this tree from now on.
    void use_as_root() { ASSERT_EQ(norvik_script_set_root(root_.c_str()), 0); }

    std::filesystem::path root_;
};

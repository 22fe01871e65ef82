// A captured host tree for the stand-in's readers: a temporary folder the
// test writes /proc files into, removed (and the root put back) afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "script/script.h"

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

#pragma once
// A machine file in a fresh folder per test, with explicit file times so changes need no sleep.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace bm::platform::sim {

class TempMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string dir = (std::filesystem::temp_directory_path() / "bm_sim.XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
        dir_ = dir;
        path_ = dir_ + "/machine.json";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Each write gets a later mtime than the one before it.
    void Write(const std::string& text) {
        {
            std::ofstream out(path_, std::ios::binary | std::ios::trunc);
            out << text;
        }
        const timespec times[2] = {{1'000'000 + tick_, 0}, {1'000'000 + tick_, 0}};
        ++tick_;
        ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    }
    std::string Read() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string dir_;
    std::string path_;
    long tick_ = 0;
};

}  // namespace bm::platform::sim

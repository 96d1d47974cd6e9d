// A fresh test machine plus a scratch folder on Z: that is the current directory while a test
// runs; helpers to build Windows paths to both.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/host/machine/machine.h"
#include "platform/host/runtime/codepage.h"

namespace tarnel::test {

inline std::u16string W(const std::string& utf8) {
    return tarnel::host::Utf8ToWide(utf8);
}
inline std::string U(const std::u16string& wide) {
    return tarnel::host::WideToUtf8(wide);
}

class HostFixture : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnel-z-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        scratch_ = pattern;
        previousDirectory_ = std::filesystem::current_path();
        std::filesystem::current_path(scratch_);
        driveC_ = machine_.machine().driveC().string();
    }
    void TearDown() override {
        std::filesystem::current_path(previousDirectory_);
        std::error_code ec;
        std::filesystem::remove_all(scratch_, ec);
    }

    // The scratch folder as Z:\tmp\tarnel-z-XXXXXX.
    std::u16string ScratchZ() const {
        std::string z = "Z:" + scratch_;
        for (char& c : z) {
            if (c == '/')
                c = '\\';
        }
        return W(z);
    }
    static void WriteText(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadText(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    tarnel::host::TestMachine machine_;
    std::string scratch_;
    std::string driveC_;
    std::filesystem::path previousDirectory_;
};

}  // namespace tarnel::test

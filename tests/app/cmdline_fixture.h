// A test machine with the tool's program folder, and what a command-line run wrote to its
// "CMDLine" trace files there.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/host/machine/machine.h"
#include "tests/support/text_util.h"
#include "tool/support/program_path.h"
#include "tool/support/trace.h"

class CommandLineTraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = std::make_unique<tarnel::host::TestMachine>();
        programDir_ = machine_->machine().driveC() / "Tarnel";
        std::filesystem::create_directories(programDir_);
        tarnel::host::SetProgramPath((programDir_ / "Tarnel_Configuration.exe").string());
    }
    void TearDown() override {
        TraceRemove(TRACE_ID_CMDLINE);
        tarnel::host::SetProgramPath("");
        machine_.reset();
    }
    // Everything written to the "CMDLine" files so far, readable; the target is closed and the
    // files removed, so the next run starts empty.
    std::string TakeTrace() {
        TraceRemove(TRACE_ID_CMDLINE);
        std::string all;
        const std::filesystem::path log = programDir_ / "Log";
        if (std::filesystem::exists(log))
            for (auto& entry : std::filesystem::directory_iterator(log))
                if (entry.path().filename().string().rfind("CMDLine_", 0) == 0)
                    all += Utf16File(entry.path());
        std::filesystem::remove_all(log);
        return all;
    }

    std::unique_ptr<tarnel::host::TestMachine> machine_;
    std::filesystem::path programDir_;

  private:
    static std::string Utf16File(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::u16string text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        return Show(text.data(), static_cast<int>(text.size()));
    }
};

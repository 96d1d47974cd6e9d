// A serial device living in the test, for the tool's port objects: it keeps the settings it was
// given, reports the modem lines and received bytes the test sets, records every write (and can
// write a part short), and answers the model request with a scripted reply.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <cstring>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/windows.h"

namespace tarnel::test {

struct ScriptedSerialState {
    std::mutex mutex;
    std::map<ULONG, std::vector<UCHAR>> settings;  // get code -> what its set stored
    std::vector<ULONG> codes;                      // every control code, in order
    ULONG modem = 0x30;                            // CTS and DSR on
    std::string inbound;                           // bytes the port has received
    std::vector<std::string> writes;               // every write, whole
    int shortWrite = -1;                           // this write (0-based) takes only
    size_t shortLength = 0;                        // this many bytes
    std::string reply;                             // answered to 1D 49 43
    int creates = 0;
    int closes = 0;
    bool holdReads = false;  // a stubborn device: reads wait, purges do not end them
    PIRP heldRead = nullptr;
};

class ScriptedSerialTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a DOS name for the device (COM21, COM12, ...).
    void Link(const char16_t* name);
    template <typename T>
    T Setting(ULONG getCode) {
        std::lock_guard<std::mutex> lock(device_.mutex);
        T value{};
        auto it = device_.settings.find(getCode);
        if (it != device_.settings.end() && it->second.size() >= sizeof(T))
            std::memcpy(&value, it->second.data(), sizeof(T));
        return value;
    }
    bool Saw(ULONG code);
    void Receive(const std::string& bytes);
    void SetModem(ULONG lines);
    std::vector<std::string> Writes();
    // Completes the held read with the bytes waiting; false when no read is held.
    bool ReleaseHeldRead();
    int Closes();
    // Every trace line written so far under the program's Log folder, as UTF-8.
    std::string TraceText();
    static int Count(const std::string& text, const std::string& what);

    std::unique_ptr<host::TestMachine> machine_;
    std::filesystem::path programDir_;
    ScriptedSerialState device_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    std::vector<std::u16string> links_;
};

}  // namespace tarnel::test

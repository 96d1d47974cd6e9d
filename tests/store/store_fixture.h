// Store tests: a fresh machine per test, the main trace target writing into a folder of the
// machine, and the lines read back without their times and source line numbers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/win32.h"
#include "tool/support/xstring.h"

namespace tarnel::storetest {

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { Boot(true, true); }
    void TearDown() override;

    // A fresh machine with these settings; the main trace target starts empty.
    void Boot(bool os64, bool toolWow64, unsigned major = 10, unsigned minor = 0);

    // Each line as "Location text" or "Location <ERROR> text"; blank lines are dropped.
    std::vector<std::string> TraceLines() const;
    void ClearTrace();

    std::unique_ptr<host::TestMachine> machine_;
};

// Raw registry access for setting up and checking, always in the 64-bit view.
HKEY CreateKey64(const std::u16string& path);
bool KeyExists64(const std::u16string& path);
bool KeyExists32(const std::u16string& path);
void SetRaw64(const std::u16string& path, const char16_t* name, DWORD type,
              const std::vector<BYTE>& data);
struct RawValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    std::vector<BYTE> data;
};
RawValue ReadRaw64(const std::u16string& path, const char16_t* name);
std::vector<std::u16string> SubKeys64(const std::u16string& path);

std::vector<BYTE> Bytes(std::initializer_list<int> bytes);
std::vector<BYTE> TextBytes(std::u16string_view text, bool terminated = true);
std::string Narrow(std::u16string_view text);
std::string Narrow(const XStringW& text);

}  // namespace tarnel::storetest

// Driver tests with a printer (see printer_port_fixture.h).
#include "tests/driver/printer_port_fixture.h"

#include <algorithm>
#include <thread>

namespace tarnel::test {

namespace hk = host::kernel;

void PrinterPortTest::SetUp() {
    DriverTest::SetUp();
    std::string error;
    ASSERT_TRUE(printer_.start(error)) << error;
}

void PrinterPortTest::TearDown() {
    for (HANDLE h : handles_)
        CloseHandle(h);
    DriverTest::TearDown();
}

std::u16string PrinterPortTest::Port(const std::u16string& name, bool assign) {
    std::u16string id = AddPort(name);
    if (assign)
        Assign(name, {127, 0, 0, 1}, printer_.port());
    EXPECT_EQ(hk::StartDeviceInstance(id), STATUS_SUCCESS);
    hk::ClearDebugLines();
    return id;
}

void PrinterPortTest::SetValue(const std::u16string& name, const char16_t* value, DWORD type,
                               std::vector<BYTE> data) {
    HKEY key = nullptr;
    std::u16string path = u"SOFTWARE\\Morvik\\TARNEL\\" + name;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, value, 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void PrinterPortTest::Assign(const std::u16string& name, std::vector<BYTE> octets, uint16_t port) {
    SetValue(name, u"IPAddress", REG_DWORD, octets);
    SetValue(name, u"Port", REG_DWORD,
             {static_cast<BYTE>(port >> 8), static_cast<BYTE>(port & 0xFF), 0, 0});
}

HANDLE PrinterPortTest::Open(const char16_t* name, DWORD flags) {
    HANDLE h =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        handles_.push_back(h);
    return h;
}

void PrinterPortTest::Close(HANDLE h) {
    std::erase(handles_, h);
    EXPECT_TRUE(CloseHandle(h));
}

bool PrinterPortTest::WaitForLine(const std::string& line) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
        for (auto& l : hk::DebugLines())
            if (l == line)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace tarnel::test

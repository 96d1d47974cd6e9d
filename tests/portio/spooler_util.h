// Print queues for tests, made and read through the spooler calls as a person's tool would.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"

namespace tarnel::test {

struct Queue {
    std::u16string port;
    DWORD attributes = 0;
};

// The Local Port monitor's answer to AddPort.
inline DWORD AddSpoolerPort(const char16_t* port) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    WCHAR monitor[] = u",XcvMonitor Local Port";
    HANDLE xcv = nullptr;
    EXPECT_TRUE(OpenPrinterW(monitor, &xcv, &defaults)) << GetLastError();
    std::u16string name = port;
    DWORD needed = 0, status = 0xFFFF;
    EXPECT_TRUE(XcvDataW(xcv, u"AddPort", reinterpret_cast<BYTE*>(name.data()),
                         static_cast<DWORD>((name.size() + 1) * 2), nullptr, 0, &needed, &status));
    EXPECT_TRUE(ClosePrinter(xcv));
    return status;
}

inline void AddQueue(const char16_t* name, const char16_t* port, DWORD attributes) {
    AddSpoolerPort(port);  // may exist already
    std::u16string n = name, p = port, driver = u"Generic / Text Only";
    PRINTER_INFO_2W info{};
    info.pPrinterName = n.data();
    info.pPortName = p.data();
    info.pDriverName = driver.data();
    info.Attributes = attributes;
    HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    ASSERT_NE(h, nullptr) << GetLastError();
    ClosePrinter(h);
}

inline Queue GetQueue(const char16_t* name) {
    std::u16string n = name;
    HANDLE h = nullptr;
    EXPECT_TRUE(OpenPrinterW(n.data(), &h, nullptr)) << GetLastError();
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(GetPrinterW(h, 2, buffer.data(), needed, &needed)) << GetLastError();
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    Queue q{info->pPortName, info->Attributes};
    EXPECT_EQ(std::u16string(info->pPrinterName), n);
    ClosePrinter(h);
    return q;
}

}  // namespace tarnel::test

// Driver tests with a printer: the printer simulator on loopback, ports assigned to it in the
// store as the configuration tool writes them, and handles closed at the end of each test.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/win32/windows.h"
#include "tests/driver/driver_fixture.h"
#include "tools/printer-sim/printer_sim.h"

namespace tarnel::test {

// Generous: sanitizer builds on a shared machine.
constexpr std::chrono::seconds kWait{20};

class PrinterPortTest : public DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A started port; its store key points at the simulator unless `assign` is false.
    std::u16string Port(const std::u16string& name, bool assign = true);
    // As the tool writes it: the octets in order, the port's two bytes big-endian then zeros.
    static void Assign(const std::u16string& name, std::vector<BYTE> octets, uint16_t port);
    static void SetValue(const std::u16string& name, const char16_t* value, DWORD type,
                         std::vector<BYTE> data);

    // Opens a port; the handle is closed at the end of the test unless Close takes it first.
    HANDLE Open(const char16_t* name, DWORD flags = FILE_ATTRIBUTE_NORMAL);
    void Close(HANDLE h);
    static bool WaitForLine(const std::string& line);

    printersim::PrinterSimulator printer_;
    std::vector<HANDLE> handles_;
};

}  // namespace tarnel::test

// An installer's script on a host machine: tarnel-host runs the tool's command line headless in
// processes of its own (uninstall, install a port renamed to COM9 and assigned to the printer),
// and this process, as an application, prints through COM9 to the printer simulator. Twice in
// a row, with the same result; and the exit codes of a rejected line and a failed step.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "tests/install/install_fixture.h"
#include "tests/store/store_fixture.h"
#include "tests/support/host_tool_process.h"
#include "tool/install/virtual_ports.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"
#include "tools/printer-sim/printer_sim.h"

namespace fs = std::filesystem;

extern char** environ;

namespace tarnel::storetest {
namespace {

namespace hk = host::kernel;

class ToolCommandTest : public StoreTest {
  protected:
    void SetUp() override {
        Boot(true, true);  // the 32-bit tool's machine; tarnel-host acts as its 64-bit build
        package_ = host::Machine::current().driveC() / "Package";
        fs::create_directories(package_);
        fs::copy_file(TARNEL_PACKAGE_DIR "/Tarnel.INF", package_ / "Tarnel.INF");
        fs::copy_file(TARNEL_HOST_DRIVER, package_ / "Tarnel.sys");
    }
    void TearDown() override {
        hk::ShutdownMachine();
        StoreTest::TearDown();
    }
    // tarnel-host tool --dir PACKAGE LINE: the exit code the tool printed (the process status
    // carries only its low byte).
    int Tool(const std::string& line) {
        std::vector<std::string> args = {TARNEL_HOST_TOOL, "tool", "--dir", package_.string(),
                                         line};
        const fs::path out = machine_->machine().root() / "tool.out";
        const int status = test::RunHostProgram(std::move(args),
                                                machine_->machine().root().string(), out.string());
        std::ifstream in(out);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        int code = -1;
        if (std::sscanf(text.c_str(), "exit code %d", &code) != 1 || status != (code & 0xFF))
            return -1;
        return code;
    }
    static std::vector<std::string> Ports() { return VirtualPorts(); }
    fs::path package_;
};

TEST_F(ToolCommandTest, InstallerScriptTwiceInARow) {
    printersim::PrinterSimulator printer;
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    const std::string line = "/u /i9 /n 127.0.0.1:" + std::to_string(printer.port());
    std::string printed;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        hk::ShutdownMachine();  // this process lets go of the driver before the uninstall
        ASSERT_EQ(Tool(line), 0);
        EXPECT_EQ(Ports(), std::vector<std::string>{"COM9"});
        EXPECT_EQ(SubKeys64(u"SOFTWARE\\Morvik\\TARNEL"), std::vector<std::u16string>{u"COM9"});
        EXPECT_EQ(Narrow(GetAssignedPortName(kProductKey, TEXT("127.0.0.1"), printer.port())),
                  "COM9");
        EXPECT_EQ(ReadRaw64(u"SOFTWARE\\Morvik\\TARNEL\\COM9", u"DisplayName").data,
                  TextBytes(u"Tarnel Virtual Serial Port (COM9)"));

        HANDLE com1 = CreateFileW(u"COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(com1, INVALID_HANDLE_VALUE) << "the port the install gave is renamed";
        HANDLE h = CreateFileW(u"COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        const std::string page = "installer run " + std::to_string(run) + "\r\n";
        printed += page;
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, page.data(), DWORD(page.size()), &written, nullptr));
        EXPECT_TRUE(printer.waitForBytes(printed.size(), std::chrono::seconds(20)));
        CloseHandle(h);
    }
    EXPECT_EQ(printer.received(), printed);
}

TEST_F(ToolCommandTest, ExitCodes) {
    EXPECT_EQ(Tool("/I5"), 1639);
    EXPECT_EQ(Tool("/i /n 10.0.0.5:abc"), 1639);
    EXPECT_TRUE(Ports().empty()) << "nothing ran";
    EXPECT_EQ(Tool("/pid12AB"), 1) << "no USB printer attached";
    EXPECT_EQ(Tool("/n 127.0.0.1"), 1) << "no port to assign";
    EXPECT_EQ(Tool("/i /rs"), 3010);
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM1"});
    EXPECT_EQ(Tool("/i3 /rs1"), 3010) << "nobody to ask: the installer restarts";
    EXPECT_EQ(Ports(), (std::vector<std::string>{"COM1", "COM3"}));
    EXPECT_EQ(Tool("/n 127.0.0.1"), 1) << "two ports";
    hk::ShutdownMachine();
    EXPECT_EQ(Tool("/u"), 1) << "nothing left to assign";
    EXPECT_TRUE(Ports().empty());
}

}  // namespace
}  // namespace tarnel::storetest

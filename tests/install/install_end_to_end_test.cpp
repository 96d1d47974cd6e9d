// The driver package installed and removed by the tool's own code on a host machine: a new
// port instance with its COM name, an application printing through it to the printer
// simulator, a second port, the uninstall leaving nothing behind, and the failures.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "tests/install/install_fixture.h"
#include "tests/store/store_fixture.h"
#include "tests/support/host_tool_process.h"
#include "tool/install/port_assignment.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/install/win_helper.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"
#include "tools/printer-sim/printer_sim.h"

namespace fs = std::filesystem;

extern char** environ;

namespace tarnel::storetest {
namespace {

namespace hk = host::kernel;

class InstallTest : public StoreTest {
  protected:
    void SetUp() override {
        Boot(true, false);  // the 64-bit build of the tool on 64-bit Windows
        Package(true);
    }
    void TearDown() override {
        hk::ShutdownMachine();
        for (auto& usage : hk::PoolUsage())
            ADD_FAILURE() << "pool left: '" << usage.tag << "' x" << usage.allocations;
        host::SetProgramPath("");
        host::ResetMessageBoxes();
        CVPInstall::SetWindowless(false);
        StoreTest::TearDown();
    }
    // The tool's folder with the package beside it (the host build of Tarnel.sys).
    void Package(bool withDriver) { PlacePackage(withDriver); }
    static fs::path Windows() { return WindowsFolder(); }
    static std::vector<std::string> Ports() { return VirtualPorts(); }
    void Uninstall() {
        CVPInstall::UninstallAll(TEXT("Tarnel.sys"), TEXT("TARNEL"), kHardwareId,
                                 TEXT("Pellor.Manufacturer"), kProductKey, TEXT("Morvik"));
    }
};

TEST_F(InstallTest, InstallPrintAndUninstallLeaveNothingBehind) {
    ASSERT_EQ(CVPInstall::ChooseInf(), XStringW(TEXT("Tarnel.INF")));
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    ASSERT_EQ(Ports(), std::vector<std::string>{"COM1"});
    const std::u16string instance = u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
    EXPECT_EQ(ReadRaw64(instance, u"HardwareID").data,
              TextBytes(std::u16string(u"morvik\\tarnel\0", 14)));
    EXPECT_EQ(ReadRaw64(instance, u"Service").data, TextBytes(u"TARNEL"));
    EXPECT_EQ(ReadRaw64(instance, u"FriendlyName").data,
              TextBytes(u"Tarnel Virtual Serial Port (COM1)"));
    EXPECT_EQ(ReadRaw64(instance + u"\\Device Parameters", u"PortName").data, TextBytes(u"COM1"));
    RawValue comDb = ReadRaw64(u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", u"ComDB");
    ASSERT_FALSE(comDb.data.empty());
    EXPECT_EQ(comDb.data[0], 0x01);
    EXPECT_EQ(OemInfs(), (std::vector<std::string>{"oem0.PNF", "oem0.inf"}));
    EXPECT_TRUE(fs::exists(Windows() / "System32" / "drivers" / "Tarnel.sys"));
    EXPECT_EQ(ReadRaw64(u"SYSTEM\\CurrentControlSet\\Services\\TARNEL", u"ImagePath").data,
              TextBytes(u"\\SystemRoot\\System32\\drivers\\Tarnel.sys"));
    // The driver published the port the way serial ports are published.
    bool listed = false;
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                      KEY_READ | KEY_WOW64_64KEY, &map) == ERROR_SUCCESS) {
        WCHAR name[64];
        BYTE data[64];
        for (DWORD i = 0;; ++i) {
            DWORD nameLength = 64, size = sizeof(data), type = 0;
            if (RegEnumValueW(map, i, name, &nameLength, nullptr, &type, data, &size) !=
                ERROR_SUCCESS)
                break;
            std::u16string text(size / 2, u'\0');
            std::memcpy(text.data(), data, text.size() * 2);
            listed |= text.substr(0, text.find(u'\0')) == u"COM1";
        }
        RegCloseKey(map);
    }
    EXPECT_TRUE(listed) << "COM1 in SERIALCOMM";

    // A second Add Port: the next COM number, both ports in instance-key order.
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    EXPECT_EQ(Ports(), (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(OemInfs(), (std::vector<std::string>{"oem0.PNF", "oem0.inf"})) << "one copy";

    // An application prints through COM2 to the printer the tool assigned.
    printersim::PrinterSimulator printer;
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    PORT_ASSIGNMENT a;
    a.portName = TEXT("COM2");
    a.address = a.previousAddress = TEXT("127.0.0.1");
    a.port = a.previousPort = printer.port();
    a.releaseChosenPort = true;
    AssignPrinterPort(kProductKey, a);
    EXPECT_EQ(ReadRaw64(u"SOFTWARE\\Morvik\\TARNEL\\COM2", u"DisplayName").data,
              TextBytes(u"Tarnel Virtual Serial Port (COM2)"));
    HANDLE h = CreateFileW(u"\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string page = "installed by the tool\r\n";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, page.data(), DWORD(page.size()), &written, nullptr));
    EXPECT_TRUE(printer.waitForBytes(page.size(), std::chrono::seconds(20)));
    EXPECT_EQ(printer.received(), page);
    CloseHandle(h);

    ClearTrace();
    Uninstall();
    EXPECT_TRUE(Ports().empty());
    EXPECT_TRUE(SubKeys64(u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS").empty());
    EXPECT_TRUE(OemInfs().empty());
    EXPECT_FALSE(fs::exists(Windows() / "System32" / "drivers" / "Tarnel.sys"));
    EXPECT_FALSE(KeyExists64(u"SYSTEM\\CurrentControlSet\\Services\\TARNEL"));
    EXPECT_TRUE(KeyExists64(u"SOFTWARE\\Morvik\\TARNEL"));
    EXPECT_TRUE(SubKeys64(u"SOFTWARE\\Morvik\\TARNEL").empty());
    EXPECT_EQ(ReadRaw64(u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", u"ComDB").data[0],
              0x00);
    const std::vector<std::string> lines = TraceLines();
    for (const char* wanted :
         {"CVPInstall::UninstallAll SystemDirectory : C:\\Windows\\system32",
          "CVPInstall::DeleteDeviceInfo Compare device ID : [morvik\\tarnel]",
          "CVPInstall::DeleteINFFile SetupUninstallOEMInf Success! : 'oem0.inf'",
          "CVPInstall::UninstallAll Sys file path : C:\\Windows\\system32\\drivers\\Tarnel.sys",
          "CVPInstall::UninstallAll Delete Sys file : Success!",
          "CVPInstall::DeleteService <ERROR> ControlService",
          "CVPInstall::DeleteService Service deleted successfully",
          "CVPInstall::DeleteRegistryAllAssignedInfo PORT NAME : COM2",
          "CVPInstall::UninstallAll -END"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "CVPInstall::DeleteDeviceInfo Compare device ID : [morvik\\tarnel]"),
              2);
    EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(InstallTest, FailuresLeaveNothingBehind) {
    struct Case {
        const char* label;
        bool wow64;
        bool withDriver;
        const WCHAR* inf;
        std::string traced;  // a line the failure leaves
    };
    const Case cases[] = {
        {"the package lacks Tarnel.sys", false, false, TEXT("Tarnel.INF"),
         "CVPInstall::InstallRootEnumeratedDriver <ERROR> UpdateDriverForPlugAndPlayDevices"},
        {"a 32-bit tool on 64-bit Windows without its 64-bit build", true, true, TEXT("Tarnel.INF"),
         "CVPInstall::InstallRootEnumeratedDriver <ERROR> CreateProcess : "
         "C:\\Program Files\\Tarnel\\x64\\Tarnel_Configuration.exe, (3)"},
        {"the secure INF is missing", false, true, TEXT("secure\\OstraTarnel.INF"),
         "CVPInstall::Install FindFirstFile : Error code = 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(true, c.wow64);
        Package(c.withDriver);
        EXPECT_EQ(CVPInstall::Install(c.inf, kHardwareId), VP_INSTALL_FAILED);
        const std::vector<std::string> lines = TraceLines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.traced), lines.end()) << c.traced;
        EXPECT_TRUE(SubKeys64(u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS").empty());
        EXPECT_TRUE(OemInfs().empty());
        EXPECT_FALSE(KeyExists64(u"SYSTEM\\CurrentControlSet\\Services\\TARNEL"));
        EXPECT_FALSE(fs::exists(Windows() / "System32" / "drivers" / "Tarnel.sys"));
    }
}

// Windows refuses device removal to a 32-bit program on 64-bit Windows: the removal made in
// the 32-bit process itself fails, is traced and counted (the tool goes through its 64-bit
// build instead, which shows the "Remove Error" box for each such failure).
TEST_F(InstallTest, RemovalRefusedUnderWow64) {
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    host::MachineConfig config = machine_->machine().config();
    config.toolWow64 = true;
    machine_->machine().setConfig(config);
    ClearTrace();
    EXPECT_EQ(CVPInstall::DeleteDeviceInfoCountingFailures(kHardwareId), 1);
    const std::vector<std::string> lines = TraceLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "CVPInstall::DeleteDeviceInfo <ERROR> SetupDiCallClassInstaller"),
              lines.end());
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM1"});
    EXPECT_TRUE(host::MessageBoxes().empty());
    config.toolWow64 = false;
    machine_->machine().setConfig(config);
    Uninstall();
    EXPECT_TRUE(Ports().empty());
}

// tarnel-host runs the tool's install and uninstall in processes of their own; this process,
// as an application, boots the machine and prints through the port they made.
TEST_F(InstallTest, InstallAndUninstallInOtherProcesses) {
    auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), TARNEL_HOST_TOOL);
        return test::RunHostProgram(std::move(args), machine_->root().string());
    };
    Boot(true, true);  // the 32-bit tool's machine; tarnel-host acts as its 64-bit build
    const fs::path package = host::Machine::current().driveC() / "Package";
    fs::create_directories(package);
    fs::copy_file(TARNEL_PACKAGE_DIR "/Tarnel.INF", package / "Tarnel.INF");
    fs::copy_file(TARNEL_HOST_DRIVER, package / "Tarnel.sys");
    ASSERT_EQ(tool({"install-package", package.string()}), 0);
    ASSERT_EQ(Ports(), std::vector<std::string>{"COM1"});

    printersim::PrinterSimulator printer;
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    ASSERT_EQ(tool({"assign", "COM1", "127.0.0.1", std::to_string(printer.port())}), 0);
    HANDLE h = CreateFileW(u"COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string page = "from another process\r\n";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, page.data(), DWORD(page.size()), &written, nullptr));
    EXPECT_TRUE(printer.waitForBytes(page.size(), std::chrono::seconds(20)));
    CloseHandle(h);
    hk::ShutdownMachine();  // this process lets go of the driver before the uninstall

    ASSERT_EQ(tool({"uninstall-package"}), 0);
    EXPECT_TRUE(Ports().empty());
    EXPECT_TRUE(OemInfs().empty());
    EXPECT_FALSE(fs::exists(Windows() / "System32" / "drivers" / "Tarnel.sys"));
    EXPECT_FALSE(KeyExists64(u"SYSTEM\\CurrentControlSet\\Services\\TARNEL"));
    EXPECT_TRUE(SubKeys64(u"SOFTWARE\\Morvik\\TARNEL").empty());
}

// The service of a driver with a started device cannot be stopped and is only marked for
// deletion; once its devices are gone it goes. A stopped one refuses the stop and is deleted.
TEST_F(InstallTest, DeleteServiceRunningStoppedAndMissing) {
    const std::string w = "CVPInstall::DeleteService ";
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\TARNEL";
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    ClearTrace();
    CVPInstall::DeleteService(TEXT("TARNEL"));
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{w + "+ TARNEL", w + "<ERROR> ControlService",
                                                      w + "Service deleted successfully"}));
    EXPECT_TRUE(KeyExists64(key)) << "marked for deletion while the driver runs";
    EXPECT_EQ(ReadRaw64(key, u"DeleteFlag").data, Bytes({1, 0, 0, 0}));
    ClearTrace();
    CVPInstall::DeleteService(TEXT("TARNEL"));
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{w + "+ TARNEL", w + "<ERROR> ControlService",
                                                      w + "<ERROR> DeleteService"}));

    CVPInstall::DeleteDeviceInfo(kHardwareId);
    ClearTrace();
    CVPInstall::DeleteService(TEXT("TARNEL"));
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{w + "+ TARNEL", w + "<ERROR> OpenService"}))
        << "the marked service went with its driver";
    EXPECT_FALSE(KeyExists64(key));
}

TEST_F(InstallTest, SecureBootChoosesTheSecureInf) {
    SetRaw64(u"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State", u"UEFISecureBootEnabled",
             REG_DWORD, Bytes({1, 0, 0, 0}));
    SetRaw64(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"CurrentMajorVersionNumber",
             REG_DWORD, Bytes({10, 0, 0, 0}));
    EXPECT_EQ(Narrow(CVPInstall::ChooseInf()), "secure\\OstraTarnel.INF");
}

TEST_F(InstallTest, DeleteDeviceInfoWithNothingPresent) {
    CVPInstall::DeleteDeviceInfo(kHardwareId);
    EXPECT_EQ(TraceLines(),
              (std::vector<std::string>{"CVPInstall::DeleteDeviceInfo +START",
                                        "CVPInstall::DeleteDeviceInfo call SetupDiGetClassDevs",
                                        "CVPInstall::DeleteDeviceInfo -END"}));
}

}  // namespace
}  // namespace tarnel::storetest

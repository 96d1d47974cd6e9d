// The 32-bit tool under WOW64 installs and removes devices through its 64-bit build, a real
// child process on the same machine; the host's process creation behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/paths.h"
#include "platform/host/win32/program_bitness.h"
#include "tests/install/install_fixture.h"
#include "tests/store/store_fixture.h"
#include "tool/install/port_change.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/install/wow64_relay.h"
#include "tool/store/product.h"

namespace fs = std::filesystem;

namespace tarnel::storetest {
namespace {

namespace hk = host::kernel;

class Wow64RelayTest : public StoreTest {
  protected:
    void SetUp() override { Boot(true, true); }
    void TearDown() override {
        hk::ShutdownMachine();
        host::SetProgramPath("");
        host::ResetMessageBoxes();
        CVPInstall::SetWindowless(false);
        StoreTest::TearDown();
    }
    // The 32-bit tool's folder with the package and, unless left out, the 64-bit build in x64\.
    fs::path Package(bool withDriver, bool with64BitBuild) {
        const fs::path dir = PlacePackage(withDriver);
        fs::remove_all(dir / "x64");
        if (with64BitBuild) {
            fs::create_directories(dir / "x64");
            fs::create_symlink(TARNEL_TOOL64, dir / "x64" / "Tarnel_Configuration.exe");
        }
        return dir;
    }
    static fs::path Windows() { return WindowsFolder(); }
    static std::vector<std::string> Ports() { return VirtualPorts(); }
    static bool Traced(const std::vector<std::string>& lines, const std::string& wanted) {
        return std::find(lines.begin(), lines.end(), wanted) != lines.end();
    }
    void ExpectNothingInstalled() {
        EXPECT_TRUE(SubKeys64(u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS").empty());
        EXPECT_TRUE(OemInfs().empty());
        EXPECT_FALSE(KeyExists64(u"SYSTEM\\CurrentControlSet\\Services\\TARNEL"));
        EXPECT_FALSE(fs::exists(Windows() / "System32" / "drivers" / "Tarnel.sys"));
        EXPECT_FALSE(fs::exists(Windows() / "SysWOW64" / "drivers" / "Tarnel.sys"));
    }
};

TEST_F(Wow64RelayTest, InstallAndUninstallThroughThe64BitBuild) {
    Package(true, true);
    // The host refuses device installation to this (32-bit, WOW64) process itself.
    BOOL reboot = FALSE;
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId,
                                                    TEXT("C:\\Program Files\\Tarnel\\Tarnel.INF"),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IN_WOW64));

    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    std::vector<std::string> lines = TraceLines();
    EXPECT_TRUE(Traced(lines, "CVPInstall::Install Install Success, no reboot required."));
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& l) { return l.find("<ERROR>") != std::string::npos; }),
        0);
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM1"});
    EXPECT_EQ(OemInfs(), (std::vector<std::string>{"oem0.PNF", "oem0.inf"}));
    EXPECT_TRUE(fs::exists(Windows() / "System32" / "drivers" / "Tarnel.sys"));
    // A restart the machine asks for reaches the 32-bit tool as the install's result.
    host::MachineConfig config = machine_->machine().config();
    config.installNeedsRestart = true;
    machine_->machine().setConfig(config);
    ClearTrace();
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_REBOOT)
        << ::testing::PrintToString(TraceLines());
    EXPECT_EQ(Ports(), (std::vector<std::string>{"COM1", "COM2"}));
    hk::ShutdownMachine();  // this process lets go of the driver before the uninstall

    ClearTrace();
    CVPInstall::UninstallAll(TEXT("Tarnel.sys"), kServiceName, kHardwareId,
                             TEXT("Pellor.Manufacturer"), kProductKey, TEXT("Morvik"));
    ExpectNothingInstalled();
    EXPECT_TRUE(Ports().empty());
    lines = TraceLines();
    const std::string pnf =
        "CVPInstall::DeleteINFFile DeleteFile failed : C:\\Windows\\inf\\oem0.PNF, (2)";
    for (const std::string& wanted :
         {std::string("CVPInstall::UninstallAll SystemDirectory : C:\\Windows\\system32"),
          std::string("CVPInstall::DeleteDeviceInfo +START"),
          std::string("CVPInstall::DeleteDeviceInfo -END"),
          std::string("CVPInstall::DeleteINFFile SetupUninstallOEMInf Success! : 'oem0.inf'"),
          // SetupUninstallOEMInfW took the PNF with the INF; the deletion that follows fails.
          pnf,
          std::string("CVPInstall::UninstallAll Sys file path : "
                      "C:\\Windows\\system32\\drivers\\Tarnel.sys"),
          std::string("CVPInstall::UninstallAll Delete Sys file : Success!"),
          std::string("CVPInstall::DeleteService <ERROR> ControlService"),
          std::string("CVPInstall::DeleteService Service deleted successfully"),
          std::string("CVPInstall::UninstallAll -END")})
        EXPECT_TRUE(Traced(lines, wanted)) << wanted;
    // The 64-bit build's lines sit in the caller's log in their place.
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "CVPInstall::DeleteDeviceInfo Compare device ID : [morvik\\tarnel]"),
              2);
    const auto end = std::find(lines.begin(), lines.end(), "CVPInstall::DeleteDeviceInfo -END");
    const auto system =
        std::find(lines.begin(), lines.end(),
                  "CVPInstall::UninstallAll SystemDirectory : C:\\Windows\\system32");
    EXPECT_LT(system, end);
    EXPECT_LT(end, std::find(lines.begin(), lines.end(), pnf));
    EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(Wow64RelayTest, FailedInstallsLeaveNothingBehind) {
    struct Case {
        const char* label;
        bool withDriver;
        bool with64BitBuild;
        std::string traced;
    };
    const Case cases[] = {
        {"the package lacks Tarnel.sys: the 64-bit build removes its instance", false, true,
         "CVPInstall::InstallRootEnumeratedDriver <ERROR> UpdateDriverForPlugAndPlayDevices"},
        {"the 64-bit build is missing", true, false,
         "CVPInstall::InstallRootEnumeratedDriver <ERROR> CreateProcess : "
         "C:\\Program Files\\Tarnel\\x64\\Tarnel_Configuration.exe, (3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(true, true);
        Package(c.withDriver, c.with64BitBuild);
        EXPECT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_FAILED);
        const std::vector<std::string> lines = TraceLines();
        EXPECT_TRUE(Traced(lines, c.traced)) << c.traced;
        EXPECT_FALSE(Traced(lines, "CVPInstall::Install Install Success, no reboot required."));
        ExpectNothingInstalled();
        EXPECT_TRUE(Ports().empty());
    }
}

// Renaming restarts the device, so under WOW64 it runs in the 64-bit build; without that build
// nothing changes.
TEST_F(Wow64RelayTest, RenameThroughThe64BitBuild) {
    Package(true, true);
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    ASSERT_EQ(Ports(), std::vector<std::string>{"COM1"});
    const std::u16string params =
        u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device Parameters";

    Package(true, false);
    ClearTrace();
    EXPECT_FALSE(CPortChange::RelinkPort(TEXT("COM1"), TEXT("COM9")));
    EXPECT_EQ(TraceLines(), std::vector<std::string>{
                                "CPortChange::RelinkPort <ERROR> CreateProcess : "
                                "C:\\Program Files\\Tarnel\\x64\\Tarnel_Configuration.exe, (3)"});
    EXPECT_EQ(ReadRaw64(params, u"PortName").data, TextBytes(u"COM1"));

    Package(true, true);
    ClearTrace();
    EXPECT_TRUE(CPortChange::RelinkPort(TEXT("COM1"), TEXT("COM9")));
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM9"});
    EXPECT_EQ(ReadRaw64(params, u"PortName").data, TextBytes(u"COM9"));
    // The 64-bit build's lines sit in the caller's log.
    EXPECT_TRUE(Traced(TraceLines(), "CPortChange::RelinkPort szPortNameVal : COM1"))
        << ::testing::PrintToString(TraceLines());
    // A failure there is the caller's failure.
    EXPECT_FALSE(CPortChange::RelinkPort(TEXT("COM1"), TEXT("COM3")));
    EXPECT_TRUE(
        Traced(TraceLines(), "CPortChange::RelinkPort <ERROR> not exist current port number"));
    // This process's machine, booted now, publishes the new name.
    hk::EnsureMachineBooted();
    std::vector<std::string> dosNames;
    for (const auto& link : hk::SymbolicLinks())
        if (link.first.rfind("\\??\\COM", 0) == 0)
            dosNames.push_back(link.first.substr(4));
    std::sort(dosNames.begin(), dosNames.end());
    EXPECT_EQ(dosNames, (std::vector<std::string>{"COM9", "COM9:"}));
}

// A removal the 64-bit build cannot make is the windowed tool's "Remove Error", once.
TEST_F(Wow64RelayTest, RemovalWithoutThe64BitBuild) {
    Package(true, false);
    for (bool windowless : {false, true}) {
        SCOPED_TRACE(windowless ? "without a window" : "windowed");
        CVPInstall::SetWindowless(windowless);
        host::ResetMessageBoxes();
        ClearTrace();
        CVPInstall::DeleteDeviceInfo(kHardwareId);
        EXPECT_TRUE(Traced(TraceLines(),
                           "CVPInstall::DeleteDeviceInfo <ERROR> CreateProcess : "
                           "C:\\Program Files\\Tarnel\\x64\\Tarnel_Configuration.exe, (3)"));
        const auto boxes = host::MessageBoxes();
        ASSERT_EQ(boxes.size(), windowless ? 0u : 1u);
        if (!windowless) {
            EXPECT_EQ(Narrow(boxes[0].text), "Remove Error");
        }
    }
}

// WOW64 file-system redirection: the 32-bit tool's System32 is SysWOW64 for file calls, so the
// driver file the package copied is out of its reach; its 64-bit build deletes it.
TEST_F(Wow64RelayTest, System32IsRedirectedForThe32BitTool) {
    Package(true, true);
    const fs::path system32 = Windows() / "System32";
    const fs::path syswow64 = Windows() / "SysWOW64";
    fs::copy_file(TARNEL_HOST_DRIVER, system32 / "drivers" / "Tarnel.sys");
    fs::create_directories(system32 / "drivers" / "etc");
    std::ofstream(system32 / "drivers" / "etc" / "hosts") << "shared";
    std::ofstream(syswow64 / "only32.txt") << "32";

    WCHAR folder[MAX_PATH] = {};
    ASSERT_EQ(GetSystemDirectoryW(folder, MAX_PATH), 19u);
    EXPECT_EQ(Narrow(std::u16string(folder)), "C:\\Windows\\system32");
    struct Case {
        const WCHAR* path;
        bool visible32;  // to the 32-bit tool under WOW64
        bool visible64;  // to its 64-bit build
    };
    const Case cases[] = {
        {TEXT("C:\\Windows\\system32\\drivers\\Tarnel.sys"), false, true},
        {TEXT("c:/windows/SYSTEM32/only32.txt"), true, false},
        {TEXT("C:\\Windows\\System32\\drivers\\etc\\hosts"), true, true},
        {TEXT("C:\\Windows\\SysWOW64\\only32.txt"), true, true},
        {TEXT("C:\\Windows\\System32x\\only32.txt"), false, false},
    };
    for (bool is64 : {false, true}) {
        host::SetProgramIs64Bit(is64);
        for (const Case& c : cases) {
            SCOPED_TRACE(Narrow(XStringW(c.path)) + (is64 ? " (64-bit build)" : " (32-bit tool)"));
            WIN32_FIND_DATAW found = {};
            HANDLE search = FindFirstFileW(c.path, &found);
            EXPECT_EQ(search != INVALID_HANDLE_VALUE, is64 ? c.visible64 : c.visible32);
            if (search != INVALID_HANDLE_VALUE)
                FindClose(search);
        }
    }
    host::SetProgramIs64Bit(false);

    // Part of the uninstall: the 32-bit tool's own deletion misses the file, the relay's does not.
    EXPECT_FALSE(DeleteFileW(TEXT("C:\\Windows\\system32\\drivers\\Tarnel.sys")));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(fs::exists(system32 / "drivers" / "Tarnel.sys"));
    EXPECT_TRUE(RelayDeleteFile(TEXT("C:\\Windows\\system32\\drivers\\Tarnel.sys")));
    EXPECT_FALSE(fs::exists(system32 / "drivers" / "Tarnel.sys"));
    EXPECT_FALSE(RelayDeleteFile(TEXT("C:\\Windows\\system32\\drivers\\Tarnel.sys")));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << "the 64-bit build's error code";
}

TEST(Wow64RelayCommandLine, OnlyTheInternalCommandRuns) {
    struct Case {
        const WCHAR* line;
        bool internal;
        int exitCode;
    };
    const Case cases[] = {
        {TEXT("Tarnel_Configuration.exe"), false, 0},
        {TEXT("Tarnel_Configuration.exe /install"), false, 0},
        {TEXT("\"C:\\x y\\Tarnel_Configuration.exe\" /wow64relay remove 0 \"\" \"\" \"a\""), false,
         0},
        {TEXT("x /Wow64Relay"), true, 87},
        {TEXT("x /Wow64Relay remove 0 \"\" \"\""), true, 87},
        {TEXT("x /Wow64Relay format 0 \"\" \"\" \"C:\\\""), true, 87},
        {TEXT("x /Wow64Relay delete-file 0 \"\" \"\" \"C:\\missing\\x.sys\""), true, 3},
    };
    host::TestMachine machine;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(XStringW(c.line)));
        int exitCode = 0;
        EXPECT_EQ(RunInternalCommand(XStringW(c.line), exitCode), c.internal);
        EXPECT_EQ(exitCode, c.exitCode);
    }
}

// CreateProcessW on the host: the child's exit code through waits from several threads, both
// handles, and the refusals.
TEST(HostCreateProcess, ChildRunsWaitsAndExits) {
    host::TestMachine machine;
    std::u16string image;
    ASSERT_TRUE(host::ToWindowsPath(TARNEL_TOOL64, image));
    std::u16string line = u"\"" + image + u"\" no-relay";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &process))
        << GetLastError();
    EXPECT_NE(process.hProcess, process.hThread);
    std::vector<std::thread> waiters;
    std::vector<DWORD> waits(4, WAIT_FAILED);
    for (size_t i = 0; i < waits.size(); ++i)
        waiters.emplace_back([&, i] { waits[i] = WaitForSingleObject(process.hProcess, 20000); });
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(waits, std::vector<DWORD>(4, WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(process.hThread, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, 87u) << "a start without the internal command";
    EXPECT_TRUE(CloseHandle(process.hThread));
    EXPECT_TRUE(CloseHandle(process.hProcess));
    EXPECT_FALSE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    struct Refusal {
        const char* label;
        const WCHAR* image;
        DWORD flags;
        const WCHAR* folder;
        DWORD error;
    };
    const Refusal refusals[] = {
        {"missing image", TEXT("C:\\Tarnel\\none.exe"), 0, nullptr, ERROR_PATH_NOT_FOUND},
        {"missing image in an existing folder", TEXT("C:\\Windows\\none.exe"), 0, nullptr,
         ERROR_FILE_NOT_FOUND},
        {"suspended start", image.c_str(), 0x4 /* CREATE_SUSPENDED */, nullptr,
         ERROR_NOT_SUPPORTED},
        {"a folder of its own", image.c_str(), 0, TEXT("C:\\"), ERROR_NOT_SUPPORTED},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.label);
        process = {};
        EXPECT_FALSE(CreateProcessW(r.image, nullptr, nullptr, nullptr, FALSE, r.flags, nullptr,
                                    r.folder, &startup, &process));
        EXPECT_EQ(GetLastError(), r.error);
        EXPECT_EQ(process.hProcess, nullptr);
    }
}

}  // namespace
}  // namespace tarnel::storetest

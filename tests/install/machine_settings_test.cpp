// What the machine settings put on a host machine for the tool to find: the version values and
// the secure-boot state in the registry, and drivers whose stop hangs.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/kernel/pnp.h"
#include "tests/install/install_fixture.h"
#include "tests/store/store_fixture.h"
#include "tool/install/vp_install.h"
#include "tool/install/win_helper.h"
#include "tool/store/product.h"

namespace fs = std::filesystem;

namespace tarnel::storetest {
namespace {

namespace hk = host::kernel;
using host::ProductType;

const std::u16string kCurrentVersion = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

class MachineSettingsTest : public StoreTest {
  protected:
    void TearDown() override {
        hk::ShutdownMachine();
        host::SetProgramPath("");
        host::SetManifestSupportsWindows10(false);
        CVPInstall::SetStopWait(30, 1000);
        StoreTest::TearDown();
    }
    void Configure(unsigned major, unsigned minor, unsigned build, ProductType product,
                   bool versionNumbers, bool secureBoot) {
        Boot(true, true, major, minor);
        host::MachineConfig config = machine_->machine().config();
        config.windowsBuild = build;
        config.product = product;
        config.versionNumbers = versionNumbers;
        config.secureBoot = secureBoot;
        machine_->machine().setConfig(config);
        CWinHelper::LoadVersionCalls();
    }
};

// The tool's version code and INF choice from the machine settings alone, through the values
// the machine wrote where Windows keeps them (both registry views).
TEST_F(MachineSettingsTest, VersionAndSecureBootFromTheSettings) {
    struct Case {
        const char* label;
        unsigned major, minor, build;
        ProductType product;
        bool versionNumbers, secureBoot, manifested;
        const char* currentVersion;
        const char* productName;
        int code;
        const char* inf;
    };
    const Case cases[] = {
        {"Windows 10, unmanifested tool", 10, 0, 19045, ProductType::Workstation, true, true, false,
         "6.3", "Windows 10 Pro", 2017, "secure\\OstraTarnel.INF"},
        {"Windows 10 without the version numbers", 10, 0, 19045, ProductType::Workstation, false,
         true, false, "6.3", "Windows 10 Pro", 2017, "secure\\OstraTarnel.INF"},
        // Only the verification's 2013 counts as a workstation in the refinement: a manifested
        // tool on Windows 10 gets the server code.
        {"Windows 10, manifested tool, secure boot off", 10, 0, 19045, ProductType::Workstation,
         true, false, true, "6.3", "Windows 10 Pro", 2016, "Tarnel.INF"},
        // The verification sees 6.2 without asking for the product type.
        {"Windows Server 2019", 10, 0, 17763, ProductType::Server, true, true, false, "6.3",
         "Windows Server 2019 Standard", 2017, "secure\\OstraTarnel.INF"},
        // Without the numbers the server's 6.3 carries no "Windows 10" to refine it by.
        {"Windows Server 2019 without the version numbers", 10, 0, 17763, ProductType::Server,
         false, true, false, "6.3", "Windows Server 2019 Standard", 2015, "Tarnel.INF"},
        {"Windows 8.1, manifested tool, secure boot on", 6, 3, 9600, ProductType::Workstation, true,
         true, true, "6.3", "Windows 8.1 Pro", 2014, "Tarnel.INF"},
        {"Windows 8", 6, 2, 9200, ProductType::Workstation, true, false, false, "6.2",
         "Windows 8 Pro", 2013, "Tarnel.INF"},
        {"Windows 7", 6, 1, 7601, ProductType::Workstation, true, false, false, "6.1",
         "Windows 7 Professional", 2011, "Tarnel.INF"},
        {"Windows XP", 5, 1, 2600, ProductType::Workstation, true, false, false, "5.1",
         "Microsoft Windows XP", 2005, "Tarnel.INF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        host::SetManifestSupportsWindows10(c.manifested);
        Configure(c.major, c.minor, c.build, c.product, c.versionNumbers, c.secureBoot);
        for (const std::u16string& key :
             {kCurrentVersion,
              std::u16string(u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion")}) {
            EXPECT_EQ(ReadRaw64(key, u"CurrentVersion").data,
                      TextBytes(std::u16string(c.currentVersion,
                                               c.currentVersion + std::strlen(c.currentVersion))));
            EXPECT_EQ(ReadRaw64(key, u"ProductName").data,
                      TextBytes(std::u16string(c.productName,
                                               c.productName + std::strlen(c.productName))));
            const RawValue number = ReadRaw64(key, u"CurrentMajorVersionNumber");
            if (c.major >= 10 && c.versionNumbers) {
                EXPECT_EQ(number.type, DWORD(REG_DWORD));
                EXPECT_EQ(number.data, Bytes({int(c.major), 0, 0, 0}));
            } else {
                EXPECT_EQ(number.status, LSTATUS(ERROR_FILE_NOT_FOUND));
            }
        }
        const RawValue secure = ReadRaw64(u"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State",
                                          u"UEFISecureBootEnabled");
        if (c.major * 10 + c.minor >= 62)
            EXPECT_EQ(secure.data, Bytes({c.secureBoot ? 1 : 0, 0, 0, 0}));
        else
            EXPECT_EQ(secure.status, LSTATUS(ERROR_FILE_NOT_FOUND)) << "no secure boot before 8";
        EXPECT_EQ(CWinHelper::GetOSVersion(), c.code);
        EXPECT_EQ(CWinHelper::IsSecureBootEnabled(), c.secureBoot && c.major * 10 + c.minor >= 62);
        EXPECT_EQ(Narrow(CVPInstall::ChooseInf()), c.inf);
    }
    // A change of settings rewrites the values: the numbers go when switched off.
    host::MachineConfig config = machine_->machine().config();
    config.windowsMajor = 10;
    config.windowsMinor = 0;
    config.versionNumbers = true;
    machine_->machine().setConfig(config);
    EXPECT_EQ(ReadRaw64(kCurrentVersion, u"CurrentMajorVersionNumber").data, Bytes({10, 0, 0, 0}));
    config.versionNumbers = false;
    machine_->machine().setConfig(config);
    EXPECT_EQ(ReadRaw64(kCurrentVersion, u"CurrentMajorVersionNumber").status,
              LSTATUS(ERROR_FILE_NOT_FOUND));
}

// A driver whose stop hangs: the tool waits its bounded number of looks, traces the error and
// goes on to delete the service, which is marked until the driver's devices are gone.
TEST_F(MachineSettingsTest, StopPendingWaitIsBounded) {
    Boot(true, false);
    PlacePackage(true);
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    host::MachineConfig config = machine_->machine().config();
    config.driverStopPending = true;
    machine_->machine().setConfig(config);
    CVPInstall::SetStopWait(3, 10);

    const std::string w = "CVPInstall::DeleteService ";
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\TARNEL";
    ClearTrace();
    CVPInstall::DeleteService(TEXT("TARNEL"));
    EXPECT_EQ(TraceLines(),
              (std::vector<std::string>{
                  w + "+ TARNEL", w + "SERVICE_STOP_PENDING...", w + "SERVICE_STOP_PENDING...",
                  w + "SERVICE_STOP_PENDING...", w + "<ERROR> SERVICE_CONTROL_STOP",
                  w + "Service deleted successfully"}));
    EXPECT_EQ(ReadRaw64(key, u"DeleteFlag").data, Bytes({1, 0, 0, 0}));

    // A stop already pending takes no second control.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, TEXT("TARNEL"), SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    // Once the devices are removed the pending stop ends, and the marked service goes.
    CVPInstall::DeleteDeviceInfo(kHardwareId);
    ClearTrace();
    CVPInstall::DeleteService(TEXT("TARNEL"));
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{w + "+ TARNEL", w + "<ERROR> OpenService"}));
    EXPECT_FALSE(KeyExists64(key));
}

}  // namespace
}  // namespace tarnel::storetest

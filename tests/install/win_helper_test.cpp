// CWinHelper on machines of every Windows version: the OS code from the version-verification
// calls and from the older version record, the refinement through the registry, secure boot,
// WOW64, the restart and the system folder.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/store/store_fixture.h"
#include "tool/install/win_helper.h"

namespace tarnel::storetest {
namespace {

const std::u16string kCurrentVersion = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

class WinHelperTest : public StoreTest {
  protected:
    void TearDown() override {
        host::SetManifestSupportsWindows10(false);
        host::SetExportHidden("VerifyVersionInfoW", false);
        host::ResetShutdownState();
        StoreTest::TearDown();
    }
    void Machine(unsigned major, unsigned minor, host::ProductType product, bool wow64 = true) {
        Boot(true, wow64, major, minor);
        host::MachineConfig config = machine_->machine().config();
        config.product = product;
        machine_->machine().setConfig(config);
        CWinHelper::LoadVersionCalls();
        ClearTrace();
    }
    // CurrentVersion values as Windows keeps them, in both registry views.
    // The machine has written its own values there; a value left out here is removed, and with
    // neither version nor product the key goes too.
    void Registry(std::optional<DWORD> major, std::optional<DWORD> minor, const char16_t* version,
                  const char16_t* product) {
        for (const std::u16string& key :
             {kCurrentVersion,
              std::u16string(u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion")}) {
            if (!version && !product) {
                SHDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
                continue;
            }
            HKEY open = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              &open) == ERROR_SUCCESS) {
                for (const char16_t* name :
                     {u"CurrentMajorVersionNumber", u"CurrentMinorVersionNumber", u"CurrentVersion",
                      u"ProductName"})
                    RegDeleteValueW(open, name);
                RegCloseKey(open);
            }
            if (major)
                SetRaw64(key, u"CurrentMajorVersionNumber", REG_DWORD,
                         Bytes({int(*major), 0, 0, 0}));
            if (minor)
                SetRaw64(key, u"CurrentMinorVersionNumber", REG_DWORD,
                         Bytes({int(*minor), 0, 0, 0}));
            if (version)
                SetRaw64(key, u"CurrentVersion", REG_SZ, TextBytes(version));
            if (product)
                SetRaw64(key, u"ProductName", REG_SZ, TextBytes(product));
        }
    }
};

using host::ProductType;
constexpr ProductType kWs = ProductType::Workstation;
constexpr ProductType kSrv = ProductType::Server;

TEST_F(WinHelperTest, CheckOSFromTheVersionVerification) {
    struct Case {
        unsigned major, minor;
        ProductType product;
        bool manifested;  // the program sees versions above 6.2
        int code;
        bool notNt;  // "OS is not NT" traced
    };
    const Case cases[] = {
        {5, 0, kWs, false, 2004, false},  {5, 1, kWs, false, 2005, false},
        {5, 2, kSrv, false, 2006, false}, {6, 0, kWs, false, 2008, false},
        {6, 0, kSrv, false, 2008, false}, {6, 1, kWs, false, 2011, false},
        {6, 2, kWs, false, 2013, false},  {6, 3, kWs, true, 2015, false},
        {6, 4, kWs, true, 2017, false},   {10, 0, kWs, true, 2017, false},
        {10, 0, kWs, false, 2013, false},  // Windows reports 6.2 to an unmanifested program
        {6, 3, kSrv, false, 2013, false}, {6, 5, kWs, true, 2011, true},
        {11, 0, kWs, true, 2011, true},   {4, 0, kWs, false, 2003, true},  // no VerifyVersionInfoW
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) +
                     (c.manifested ? " manifested" : ""));
        host::SetManifestSupportsWindows10(c.manifested);
        Machine(c.major, c.minor, c.product);
        EXPECT_EQ(CWinHelper::CheckOS(), c.code);
        std::vector<std::string> expected;
        if (c.notNt)
            expected.push_back("CWinHelper::CheckOS OS is not NT");
        EXPECT_EQ(TraceLines(), expected);
    }
}

// Without VerifyVersionInfoW the older version record decides, product type included.
TEST_F(WinHelperTest, CheckOSFromTheVersionRecord) {
    struct Case {
        unsigned major, minor;
        ProductType product;
        int code;
    };
    const Case cases[] = {
        {3, 51, kWs, 2003}, {4, 0, kSrv, 2003}, {5, 0, kWs, 2004},  {5, 1, kWs, 2005},
        {5, 2, kSrv, 2006}, {6, 0, kWs, 2008},  {6, 0, kSrv, 2009}, {6, 1, kSrv, 2010},
        {6, 1, kWs, 2011},  {6, 2, kSrv, 2012}, {6, 2, kWs, 2013},  {6, 3, kSrv, 2014},
        {6, 3, kWs, 2015},  {6, 4, kWs, 2011},  {5, 3, kWs, 2011},  {7, 0, kWs, 2011},
    };
    host::SetManifestSupportsWindows10(true);
    host::SetExportHidden("VerifyVersionInfoW", true);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        Machine(c.major, c.minor, c.product);
        EXPECT_EQ(CWinHelper::CheckOS(), c.code);
        EXPECT_EQ(TraceLines(), std::vector<std::string>{"CWinHelper::CheckOS OS is not NT"});
    }
}

TEST_F(WinHelperTest, GetOSVersionRefinesThroughTheRegistry) {
    struct Case {
        const char* label;
        unsigned major, minor;
        bool manifested;
        std::optional<DWORD> regMajor, regMinor;
        const char16_t* version;
        const char16_t* product;
        int code;
        std::vector<std::string> majorVerLines;
    };
    const std::string where = "CWinHelper::GetMajorVer ";
    const std::string kNoKey = "CRegHelper::GetValueType <ERROR> RegOpenKeyEx(GetLastError:2)";
    const Case cases[] = {
        {"Windows 10: 6.2 reported, 10 in the registry",
         10,
         0,
         false,
         10,
         0,
         u"6.3",
         u"Windows 10 Pro",
         2017,
         {where + "CurrentMajorVersionNumber:10, CurrentVersion:6.3, ProductName:Windows 10 Pro",
          where + "Get Major and Minor version:10.0"}},
        {"6.3 reported (2015), 10 in the registry",
         6,
         3,
         true,
         10,
         0,
         u"6.3",
         u"Windows 10 Pro",
         2016,
         {where + "CurrentMajorVersionNumber:10, CurrentVersion:6.3, ProductName:Windows 10 Pro",
          where + "Get Major and Minor version:10.0"}},
        {"Windows 8.1: CurrentVersion 6.3 alone",
         6,
         2,
         false,
         {},
         {},
         u"6.3",
         u"Windows 8.1 Pro",
         2015,
         {where + "CurrentMajorVersionNumber:-1, CurrentVersion:6.3, ProductName:Windows 8.1 Pro"}},
        {"6.3 and a product name with Windows 10",
         6,
         2,
         false,
         {},
         {},
         u"6.3",
         u"Windows 10 Enterprise",
         2017,
         {where +
          "CurrentMajorVersionNumber:-1, CurrentVersion:6.3, ProductName:Windows 10 Enterprise"}},
        {"a CurrentVersion without a dot gives minor 0",
         6,
         2,
         false,
         {},
         {},
         u"6",
         u"X",
         2013,
         {where + "CurrentMajorVersionNumber:-1, CurrentVersion:6, ProductName:X"}},
        {"no CurrentVersion key at all",
         6,
         2,
         false,
         {},
         {},
         nullptr,
         nullptr,
         2013,
         {kNoKey, kNoKey, kNoKey,
          where + "CurrentMajorVersionNumber:-1, CurrentVersion:, ProductName:"}},
        {"Windows 7 is not refined", 6, 1, false, 10, 0, u"6.1", u"Windows 7", 2011, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        host::SetManifestSupportsWindows10(c.manifested);
        Machine(c.major, c.minor, kWs);
        Registry(c.regMajor, c.regMinor, c.version, c.product);
        EXPECT_EQ(CWinHelper::GetOSVersion(), c.code);
        std::vector<std::string> expected = c.majorVerLines;
        expected.push_back("CWinHelper::GetOSVersion - GetOSVersion: " + std::to_string(c.code));
        EXPECT_EQ(TraceLines(), expected);
    }
}

TEST_F(WinHelperTest, SecureBootWow64RestartAndSystemFolder) {
    const std::u16string state = u"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State";
    struct Case {
        const char* label;
        DWORD type;
        std::vector<BYTE> data;  // empty with type 0: no value
        bool enabled;
    };
    const Case cases[] = {
        {"no value", 0, {}, false},
        {"1", REG_DWORD, Bytes({1, 0, 0, 0}), true},
        {"0", REG_DWORD, Bytes({0, 0, 0, 0}), false},
        {"2", REG_DWORD, Bytes({2, 0, 0, 0}), false},
        {"text 1", REG_SZ, TextBytes(u"1"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Machine(10, 0, kWs);
        if (c.type)
            SetRaw64(state, u"UEFISecureBootEnabled", c.type, c.data);
        EXPECT_EQ(CWinHelper::IsSecureBootEnabled(), c.enabled);
    }

    Machine(10, 0, kWs, true);
    EXPECT_TRUE(CWinHelper::IsWow64());
    EXPECT_EQ(Narrow(CWinHelper::GetSystemFolder()), "C:\\Windows\\system32");
    Machine(10, 0, kWs, false);
    EXPECT_FALSE(CWinHelper::IsWow64());

    host::ResetShutdownState(true);
    EXPECT_TRUE(CWinHelper::RebootSystem());
    ASSERT_EQ(host::ShutdownRequests().size(), 1u);
    EXPECT_EQ(host::ShutdownRequests()[0].flags, UINT(EWX_REBOOT | EWX_FORCE));
    EXPECT_EQ(host::ShutdownRequests()[0].reason, 0u);
    host::ResetShutdownState(false);  // a program without the privilege
    EXPECT_FALSE(CWinHelper::RebootSystem());
    EXPECT_TRUE(host::ShutdownRequests().empty());
}

}  // namespace
}  // namespace tarnel::storetest

// The host machine's functions behind the store: inet_addr and htons with Windows' rules, and
// the module table that the tool's run-time lookups go through.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/store/store_fixture.h"

namespace tarnel::storetest {
namespace {

std::vector<BYTE> BytesOf(ULONG value) {
    BYTE b[4];
    std::memcpy(b, &value, 4);
    return {b[0], b[1], b[2], b[3]};
}

TEST(WinsockAddress, InetAddrParsesAsWindowsDoes) {
    struct Case {
        const char* text;
        std::vector<BYTE> octets;  // empty: INADDR_NONE
    };
    const Case cases[] = {
        {"192.168.1.200", {0xC0, 0xA8, 0x01, 0xC8}},
        {"127.0.0.1", {127, 0, 0, 1}},
        {"10.1", {10, 0, 0, 1}},                   // the last part fills three bytes
        {"10.1.258", {10, 1, 1, 2}},               // ... or two
        {"0x7f.0.0.01", {127, 0, 0, 1}},           // hexadecimal and octal parts
        {"3232235976", {0xC0, 0xA8, 0x01, 0xC8}},  // one part: all four bytes
        {"1.2.3.4 trailing words", {1, 2, 3, 4}},
        {"", {}},
        {"printer", {}},
        {"1.2.3.256", {}},
        {"1.2.3.4.5", {}},
        {"1.2.3.", {}},
        {"1..3.4", {}},
        {"1.2.3.4x", {}},
        {"08.1.1.1", {}},     // 8 is no octal digit
        {"4294967296", {}},   // more than 32 bits
        {"10.16777216", {}},  // more than the three bytes left
        {"-1.2.3.4", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ULONG value = inet_addr(c.text);
        if (c.octets.empty())
            EXPECT_EQ(value, ULONG(INADDR_NONE));
        else
            EXPECT_EQ(BytesOf(value), c.octets);
    }
    EXPECT_EQ(inet_addr(nullptr), ULONG(INADDR_NONE));
    const USHORT port = htons(9100);
    BYTE b[2];
    std::memcpy(b, &port, 2);
    EXPECT_EQ(b[0], 0x23);
    EXPECT_EQ(b[1], 0x8C);
}

TEST_F(StoreTest, ModulesAndExportsFollowTheWindowsVersion) {
    struct Machine {
        const char* label;
        unsigned major, minor;
        bool hasDeleteKeyEx;
    };
    const Machine machines[] = {
        {"Windows 10", 10, 0, true},
        {"Windows Server 2003 / XP x64", 5, 2, true},
        {"Windows XP", 5, 1, false},
    };
    for (const Machine& m : machines) {
        SCOPED_TRACE(m.label);
        Boot(true, true, m.major, m.minor);
        HMODULE advapi = LoadLibraryW(TEXT("Advapi32"));
        ASSERT_NE(advapi, nullptr);
        EXPECT_EQ(GetModuleHandleW(TEXT("ADVAPI32.DLL")), advapi);
        EXPECT_EQ(GetModuleHandleW(TEXT("C:\\Windows\\System32\\advapi32.dll")), advapi);
        EXPECT_NE(GetModuleHandleW(TEXT("kernel32")), advapi);

        SetLastError(0);
        FARPROC found = GetProcAddress(advapi, "RegDeleteKeyExW");
        if (m.hasDeleteKeyEx) {
            EXPECT_EQ(reinterpret_cast<void (*)()>(found),
                      reinterpret_cast<void (*)()>(&RegDeleteKeyExW));
        } else {
            EXPECT_EQ(found, nullptr);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        }
        EXPECT_TRUE(FreeLibrary(advapi));
    }

    struct Lookup {
        const char* label;
        const WCHAR* module;
        const char* name;
        DWORD error;
    };
    const Lookup lookups[] = {
        {"names are case-sensitive", TEXT("advapi32"), "regdeletekeyexw", ERROR_PROC_NOT_FOUND},
        {"an export of another module", TEXT("kernel32"), "RegDeleteKeyExW", ERROR_PROC_NOT_FOUND},
        {"an export nobody looks up", TEXT("advapi32"), "RegDeleteKeyExA", ERROR_PROC_NOT_FOUND},
    };
    for (const Lookup& l : lookups) {
        SCOPED_TRACE(l.label);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(GetModuleHandleW(l.module), l.name), nullptr);
        EXPECT_EQ(GetLastError(), l.error);
    }
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(TEXT("nosuch")), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(TEXT("advapi32.dl")), nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1234), "RegDeleteKeyExW"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

}  // namespace
}  // namespace tarnel::storetest

// The Win32 registry API on a test machine: exact value bytes across a reload, the two-step
// reads, views and WOW64 redirection, name rules, enumeration order, rights and deleted keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/machine/hive_text.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/registry_store.h"
#include "platform/host/win32/registry.h"
#include "tests/registry/registry_test_util.h"

namespace tarnel::host {
namespace {

using namespace regtest;

std::vector<std::u16string> subkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD count = 256;
        LSTATUS e = RegEnumKeyExW(key, i, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (e != ERROR_SUCCESS) {
            EXPECT_EQ(e, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(name, count);
    }
    return names;
}

std::vector<std::u16string> valueNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD count = 256;
        LSTATUS e = RegEnumValueW(key, i, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (e != ERROR_SUCCESS) {
            EXPECT_EQ(e, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(name, count);
    }
    return names;
}

// Where a key really is: looked up in the store, below HKLM, with no view involved.
bool existsNative(const std::vector<std::u16string>& path) {
    RegistryStore& store = Machine::current().registry();
    RegKey key;
    return store.openKey(store.root(HiveRoot::LocalMachine), path, key) == RegStatus::Ok;
}

TEST(RegistryWin32, ValuesKeepTypeAndBytesAcrossAReloadFromTheFile) {
    struct Case {
        const char* label;
        std::u16string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const std::vector<Case> cases = {
        {"sz", u"DisplayName", REG_SZ, szBytes(u"Tarnel Port (COM7)")},
        {"sz without null", u"Bare", REG_SZ, bytesOf(u"COM7")},
        {"sz odd length", u"Odd", REG_SZ, {0x41, 0x00, 0x42}},
        {"sz empty data", u"Empty", REG_SZ, {}},
        {"expand", u"Path", REG_EXPAND_SZ, szBytes(u"%SystemRoot%\\System32")},
        {"multi", u"HardwareID", REG_MULTI_SZ, bytesOf(std::u16string(u"morvik\\tarnel\0\0", 15))},
        {"multi empty inside", u"M", REG_MULTI_SZ, bytesOf(std::u16string(u"a\0\0b\0\0", 6))},
        {"dword", u"Port_", REG_DWORD, dwordBytes(9100)},
        {"dword short", u"Short", REG_DWORD, {0x23, 0x8C}},
        {"qword", u"Q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"binary", u"Bin", REG_BINARY, {0x00, 0xFF, 0x7F, 0x80}},
        {"binary empty", u"BinEmpty", REG_BINARY, {}},
        {"exotic type", u"Exotic", 0xDEADBEEF, {9}},
        {"default value", u"", REG_SZ, szBytes(u"default")},
        {"quotes and backslashes", u"a\"b\\c", REG_DWORD, dwordBytes(1)},
        {"control characters", u"tab\tnew\nline\x01", REG_DWORD, dwordBytes(2)},
        {"lone surrogate", std::u16string(u"x\xD800y", 3), REG_DWORD, dwordBytes(3)},
        {"non-ASCII", u"Grüße ключ \xD83D\xDE00", REG_SZ, szBytes(u"ü")},
    };
    TestMachine machine;
    HKEY key = createKey(HKEY_CURRENT_USER, u"Software\\Kinds");
    ASSERT_NE(key, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(setValue(key, c.name.c_str(), c.type, c.data), ERROR_SUCCESS);
    }
    RegCloseKey(key);

    // A new machine object reads everything back from the hive file.
    Machine::use(machine.root());
    key = createKey(HKEY_CURRENT_USER, u"Software\\Kinds");
    ASSERT_NE(key, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ReadValue v = readValue(key, c.name.c_str());
        ASSERT_EQ(v.status, ERROR_SUCCESS);
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.data, c.data);
    }
    EXPECT_EQ(valueNames(key).size(), cases.size());
    RegCloseKey(key);
}

TEST(RegistryWin32, QueryValueFollowsTheTwoStepRules) {
    TestMachine machine;
    HKEY key = createKey(HKEY_CURRENT_USER, u"Software\\Q");
    std::u16string text(300, u'x');
    std::vector<BYTE> long_sz = szBytes(text);
    ASSERT_EQ(setValue(key, u"Long", REG_SZ, long_sz), ERROR_SUCCESS);
    ASSERT_EQ(setValue(key, u"Nothing", REG_BINARY, {}), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    // Size query: no buffer, a size pointer.
    EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 602u);
    // Type only: neither.
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"long", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    // A buffer without its size.
    BYTE buffer[1024];
    EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, &type, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    // The tool's first read: 512 bytes, too small; the size needed comes back.
    size = 512;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 602u);
    EXPECT_EQ(type, DWORD(REG_SZ));
    size = 602;
    EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 602), long_sz);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 602u);
    // Empty data fits any buffer.
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Nothing", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, DWORD(REG_BINARY));
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Long", &reserved, &type, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    // A missing value; the tool traces GetLastError after a failed call.
    SetLastError(0);
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    HKEY missing;
    SetLastError(0);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Nope", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing, nullptr);
    RegCloseKey(key);
}

TEST(RegistryWin32, ViewsRedirectSoftwareForThe32BitView) {
    const std::vector<std::u16string> native = {u"SOFTWARE", u"Morvik", u"TARNEL", u"COM7"};
    const std::vector<std::u16string> wow = {u"SOFTWARE", u"WOW6432Node", u"Morvik", u"TARNEL",
                                             u"COM7"};
    struct Case {
        const char* label;
        bool os64, wow64;
        REGSAM view;
        const char16_t* path;
        std::vector<std::u16string> lands, absent;
    };
    const std::vector<std::u16string> none;
    const Case cases[] = {
        {"WOW64 tool, no flag", true, true, 0, u"SOFTWARE\\Morvik\\TARNEL\\COM7", wow, native},
        {"WOW64 tool, 64-bit view", true, true, KEY_WOW64_64KEY, u"SOFTWARE\\Morvik\\TARNEL\\COM7",
         native, wow},
        {"WOW64 tool, 32-bit view", true, true, KEY_WOW64_32KEY, u"software\\Morvik\\TARNEL\\COM7",
         wow, native},
        {"64-bit program, no flag", true, false, 0, u"SOFTWARE\\Morvik\\TARNEL\\COM7", native, wow},
        {"64-bit program, 32-bit view", true, false, KEY_WOW64_32KEY,
         u"SOFTWARE\\Morvik\\TARNEL\\COM7", wow, native},
        {"32-bit Windows ignores the flag", false, false, KEY_WOW64_32KEY,
         u"SOFTWARE\\Morvik\\TARNEL\\COM7", native, wow},
        {"WOW6432Node named explicitly",
         true,
         true,
         KEY_WOW64_32KEY,
         u"SOFTWARE\\WOW6432Node\\Morvik\\TARNEL\\COM7",
         wow,
         {u"SOFTWARE", u"WOW6432Node", u"WOW6432Node"}},
        {"SYSTEM is shared",
         true,
         true,
         KEY_WOW64_32KEY,
         u"SYSTEM\\CurrentControlSet\\Services\\TARNEL",
         {u"SYSTEM", u"CurrentControlSet", u"Services", u"TARNEL"},
         {u"SOFTWARE", u"WOW6432Node", u"SYSTEM"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TestMachine machine(machineConfig(c.os64, c.wow64));
        HKEY key;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE | c.view, nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
        RegCloseKey(key);
        EXPECT_TRUE(existsNative(c.lands));
        EXPECT_FALSE(existsNative(c.absent));
        // The same view finds it again.
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, KEY_READ | c.view, &key),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    TestMachine machine(machineConfig(true, true));
    HKEY key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0,
                            KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &key),
              ERROR_INVALID_PARAMETER);
    // HKCU is shared too.
    key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Morvik", 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Morvik", 0, KEY_READ | KEY_WOW64_64KEY, &key),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(RegistryWin32, AHandleAtOrBelowSoftwareKeepsItsLocation) {
    TestMachine machine(machineConfig(true, true));
    // SOFTWARE opened in the 64-bit view: relative paths stay there, whatever the call's view.
    HKEY software;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            &software),
              ERROR_SUCCESS);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(software, u"Morvik\\TARNEL", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(existsNative({u"SOFTWARE", u"Morvik", u"TARNEL"}));
    EXPECT_FALSE(existsNative({u"SOFTWARE", u"WOW6432Node", u"Morvik"}));
    RegCloseKey(software);

    // A handle to HKLM itself: the path crosses into SOFTWARE, so the call's view applies.
    HKEY hklm;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &hklm),
        ERROR_SUCCESS);
    ASSERT_EQ(
        RegCreateKeyExW(hklm, u"SOFTWARE\\Other", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(existsNative({u"SOFTWARE", u"WOW6432Node", u"Other"}));
    EXPECT_FALSE(existsNative({u"SOFTWARE", u"Other"}));
    RegCloseKey(hklm);

    // SOFTWARE opened in the 32-bit view is WOW6432Node: enumeration shows its subkeys (Microsoft
    // holds the version values the machine keeps in both views).
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &software),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeyNames(software), (std::vector<std::u16string>{u"Microsoft", u"Other"}));
    RegCloseKey(software);
}

TEST(RegistryWin32, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    TestMachine machine;
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\Tarnel");
    ASSERT_NE(key, nullptr);
    HKEY again;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\MORVIK\\TARNEL\\", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    HKEY morvik;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\morvik", 0, KEY_READ | KEY_WOW64_64KEY,
                            &morvik),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeyNames(morvik), std::vector<std::u16string>{u"Tarnel"});

    ASSERT_EQ(setValue(key, u"DisplayName", REG_SZ, szBytes(u"one")), ERROR_SUCCESS);
    ASSERT_EQ(setValue(again, u"DISPLAYNAME", REG_SZ, szBytes(u"two")), ERROR_SUCCESS);
    EXPECT_EQ(valueNames(key), std::vector<std::u16string>{u"DisplayName"});
    EXPECT_EQ(readValue(key, u"displayname").data, szBytes(u"two"));
    EXPECT_EQ(RegDeleteValueW(again, u"DISPLAYname"), ERROR_SUCCESS);
    EXPECT_TRUE(valueNames(key).empty());
    for (HKEY h : {key, again, morvik})
        RegCloseKey(h);
}

TEST(RegistryWin32, SubkeysEnumerateInWindowsOrder) {
    TestMachine machine;
    HKEY store = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL");
    for (const char16_t* name : {u"COM2", u"COM10", u"COM1", u"com3", u"COM3", u"Com_X", u"ComA"}) {
        HKEY k = createKey(store, name);
        ASSERT_NE(k, nullptr);
        RegCloseKey(k);
    }
    // By upper-cased name: '1' < '10' < '2', and 'A' (0x41) < '_' (0x5F); "COM3" is the key
    // first created as "com3".
    const std::vector<std::u16string> expected = {u"COM1", u"COM10", u"COM2",
                                                  u"com3", u"ComA",  u"Com_X"};
    EXPECT_EQ(subkeyNames(store), expected);
    WCHAR name[256];
    EXPECT_EQ(RegEnumKeyW(store, 1, name, 256), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"COM10");
    EXPECT_EQ(RegEnumKeyW(store, 6, name, 256), ERROR_NO_MORE_ITEMS);
    // The order survives a reload from the file.
    RegCloseKey(store);
    Machine::use(machine.root());
    store = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL");
    EXPECT_EQ(subkeyNames(store), expected);
    RegCloseKey(store);
}

TEST(RegistryWin32, EnumerationReportsNamesAndDataThatDoNotFit) {
    TestMachine machine;
    HKEY key = createKey(HKEY_CURRENT_USER, u"Software\\E");
    HKEY child = createKey(key, u"COM10");
    RegCloseKey(child);
    ASSERT_EQ(setValue(key, u"Port_", REG_DWORD, dwordBytes(9100)), ERROR_SUCCESS);

    WCHAR name[16];
    DWORD count = 5;  // "COM10" needs 6 with its null
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 5), ERROR_MORE_DATA);
    count = 6;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::u16string(name), u"COM10");
    DWORD reserved = 0;
    count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, &reserved, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    count = 5;
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, &type, nullptr, &size), ERROR_MORE_DATA);
    count = 6;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(size, 4u);
    BYTE data[4];
    size = 3;
    count = 6;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    count = 6;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), dwordBytes(9100));
    count = 6;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &count, nullptr, &type, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST(RegistryWin32, ValuesEnumerateInCreationOrder) {
    TestMachine machine;
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7");
    for (const char16_t* name : {u"DisplayName", u"IPAddress", u"Port_", u"Port", u"PortName"})
        ASSERT_EQ(setValue(key, name, REG_DWORD, dwordBytes(1)), ERROR_SUCCESS);
    ASSERT_EQ(setValue(key, u"IPADDRESS", REG_DWORD, dwordBytes(2)), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(key, u"Port_"), ERROR_SUCCESS);
    ASSERT_EQ(setValue(key, u"Port_", REG_DWORD, dwordBytes(3)), ERROR_SUCCESS);
    const std::vector<std::u16string> expected = {u"DisplayName", u"IPAddress", u"Port",
                                                  u"PortName", u"Port_"};
    EXPECT_EQ(valueNames(key), expected);
    RegCloseKey(key);
    Machine::use(machine.root());
    key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7");
    EXPECT_EQ(valueNames(key), expected);
    EXPECT_EQ(readValue(key, u"IPAddress").data, dwordBytes(2));
    RegCloseKey(key);
}

TEST(RegistryWin32, HandlesHoldTheRightsTheyWereOpenedWith) {
    TestMachine machine;
    HKEY setup = createKey(HKEY_CURRENT_USER, u"Software\\R");
    HKEY sub = createKey(setup, u"Sub");
    RegCloseKey(sub);
    ASSERT_EQ(setValue(setup, u"v", REG_DWORD, dwordBytes(1)), ERROR_SUCCESS);
    RegCloseKey(setup);

    enum Op { Query, Set, DeleteValue, EnumKeys, EnumValues };
    struct Case {
        const char* label;
        REGSAM access;
        Op op;
        LSTATUS expected;
    };
    const Case cases[] = {
        {"KEY_READ cannot set", KEY_READ, Set, ERROR_ACCESS_DENIED},
        {"KEY_READ cannot delete a value", KEY_READ, DeleteValue, ERROR_ACCESS_DENIED},
        {"KEY_READ queries", KEY_READ, Query, ERROR_SUCCESS},
        {"KEY_READ enumerates keys", KEY_READ, EnumKeys, ERROR_SUCCESS},
        {"KEY_SET_VALUE cannot query", KEY_SET_VALUE, Query, ERROR_ACCESS_DENIED},
        {"KEY_SET_VALUE sets", KEY_SET_VALUE, Set, ERROR_SUCCESS},
        {"KEY_WRITE cannot enumerate keys", KEY_WRITE, EnumKeys, ERROR_ACCESS_DENIED},
        {"KEY_WRITE cannot enumerate values", KEY_WRITE, EnumValues, ERROR_ACCESS_DENIED},
        {"KEY_QUERY_VALUE cannot enumerate keys", KEY_QUERY_VALUE, EnumKeys, ERROR_ACCESS_DENIED},
        {"KEY_QUERY_VALUE enumerates values", KEY_QUERY_VALUE, EnumValues, ERROR_SUCCESS},
        {"GENERIC_READ is KEY_READ", GENERIC_READ, Set, ERROR_ACCESS_DENIED},
        {"GENERIC_WRITE is KEY_WRITE", GENERIC_WRITE, Set, ERROR_SUCCESS},
        {"MAXIMUM_ALLOWED sets", MAXIMUM_ALLOWED, Set, ERROR_SUCCESS},
        {"view flags grant nothing", KEY_WOW64_64KEY, Query, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\R", 0, c.access, &key),
                  ERROR_SUCCESS);
        WCHAR name[64];
        DWORD count = 64;
        DWORD one = 1;
        LSTATUS e = ERROR_INVALID_FUNCTION;
        switch (c.op) {
            case Query:
                e = RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, nullptr);
                break;
            case Set:
                e = RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
                break;
            case DeleteValue:
                e = RegDeleteValueW(key, u"other");
                break;
            case EnumKeys:
                e = RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr);
                break;
            case EnumValues:
                e = RegEnumValueW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr);
                break;
        }
        EXPECT_EQ(e, c.expected);
        RegCloseKey(key);
    }
    // Predefined keys have every right.
    DWORD one = 1;
    EXPECT_EQ(
        RegSetValueExW(HKEY_CURRENT_USER, u"top", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
        ERROR_SUCCESS);
}

TEST(RegistryWin32, AHandleToADeletedKeyReportsKeyDeleted) {
    TestMachine machine;
    HKEY key = createKey(HKEY_CURRENT_USER, u"Software\\Gone");
    HKEY child = createKey(key, u"Child");
    ASSERT_EQ(setValue(key, u"v", REG_DWORD, dwordBytes(1)), ERROR_SUCCESS);
    ASSERT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Gone"), ERROR_SUCCESS);

    for (HKEY h : {key, child}) {
        DWORD type;
        WCHAR name[16];
        DWORD count = 16;
        HKEY other;
        EXPECT_EQ(RegQueryValueExW(h, u"v", nullptr, &type, nullptr, nullptr), ERROR_KEY_DELETED);
        EXPECT_EQ(setValue(h, u"v", REG_DWORD, dwordBytes(2)), ERROR_KEY_DELETED);
        EXPECT_EQ(RegEnumKeyExW(h, 0, name, &count, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegOpenKeyExW(h, u"Child", 0, KEY_READ, &other), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyExW(h, u"New", 0, nullptr, 0, KEY_READ, nullptr, &other, nullptr),
                  ERROR_KEY_DELETED);
    }
    // A key of the same name created afterwards is another key.
    HKEY fresh = createKey(HKEY_CURRENT_USER, u"Software\\Gone");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(setValue(key, u"v", REG_DWORD, dwordBytes(2)), ERROR_KEY_DELETED);
    EXPECT_EQ(setValue(fresh, u"v", REG_DWORD, dwordBytes(3)), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    RegCloseKey(fresh);
}

TEST(RegistryWin32, DeletingKeys) {
    TestMachine machine(machineConfig(true, true));
    HKEY parent = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7\\Deeper");
    RegCloseKey(parent);
    // Like Windows, RegDeleteKeyEx refuses a key that has subkeys.
    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL", KEY_WOW64_64KEY, 0),
              ERROR_ACCESS_DENIED);
    EXPECT_TRUE(existsNative({u"SOFTWARE", u"Morvik", u"TARNEL", u"COM7"}));
    // Without the 64-bit flag a WOW64 caller looks in WOW6432Node, where nothing is.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7\\Deeper"),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7\\Deeper",
                              KEY_WOW64_64KEY, 0),
              ERROR_SUCCESS);
    EXPECT_FALSE(existsNative({u"SOFTWARE", u"Morvik", u"TARNEL", u"COM7", u"Deeper"}));
    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, nullptr, KEY_WOW64_64KEY, 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);

    // SHDeleteKey removes a whole tree (in the caller's own view).
    HKEY wowKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\A\\B", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &wowKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(wowKey);
    EXPECT_TRUE(existsNative({u"SOFTWARE", u"WOW6432Node", u"Tree", u"A", u"B"}));
    EXPECT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree"), ERROR_SUCCESS);
    EXPECT_FALSE(existsNative({u"SOFTWARE", u"WOW6432Node", u"Tree"}));
    EXPECT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree"), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryWin32, CreateKeyMakesMissingParentsAndChecksPaths) {
    TestMachine machine;
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);
    EXPECT_TRUE(existsNative({u"SOFTWARE", u"Morvik", u"TARNEL", u"COM7"}));

    struct Case {
        const char* label;
        std::u16string path;
        LSTATUS expected;
    };
    const Case cases[] = {
        {"leading backslash", u"\\SOFTWARE\\X", ERROR_BAD_PATHNAME},
        {"empty name inside", u"SOFTWARE\\\\X", ERROR_BAD_PATHNAME},
        {"name of 256 characters", u"SOFTWARE\\" + std::u16string(256, u'n'),
         ERROR_INVALID_PARAMETER},
        {"name of 255 characters", u"SOFTWARE\\" + std::u16string(255, u'n'), ERROR_SUCCESS},
        {"trailing backslash", u"SOFTWARE\\Trailing\\", ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.path.c_str(), 0, nullptr, 0,
                                  KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                  c.expected);
        if (key)
            RegCloseKey(key);
    }
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(RegistryWin32, ClosingKeys) {
    TestMachine machine;
    HKEY key = createKey(HKEY_CURRENT_USER, u"Software\\C");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST(RegistryWin32, HandlesOfAnEarlierMachineAreRefused) {
    HKEY key;
    {
        TestMachine first;
        key = createKey(HKEY_CURRENT_USER, u"Software\\Old");
        ASSERT_NE(key, nullptr);
    }
    TestMachine second;
    EXPECT_EQ(setValue(key, u"v", REG_DWORD, dwordBytes(1)), ERROR_INVALID_HANDLE);
    RegCloseKey(key);
}

}  // namespace
}  // namespace tarnel::host

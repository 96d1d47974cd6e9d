// The store operations and the assignment procedure on a test machine: lookups, the bytes the
// driver reads, deletions in both registry views, stale keys and the uninstall wipe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"
#include "tool/install/port_assignment.h"
#include "tool/install/vp_install.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"

namespace tarnel::storetest {
namespace {

const std::u16string kProduct = u"SOFTWARE\\Morvik\\TARNEL";

std::u16string PortKey(const std::u16string& port) {
    return kProduct + u"\\" + port;
}

void Assign64(const std::u16string& port, std::initializer_list<int> octets, DWORD plainPort) {
    SetRaw64(PortKey(port), u"IPAddress", REG_DWORD, Bytes(octets));
    SetRaw64(PortKey(port), u"Port_", REG_DWORD,
             Bytes({int(plainPort & 0xFF), int(plainPort >> 8), 0, 0}));
}

std::vector<std::string> Names(const std::vector<std::u16string>& names) {
    std::vector<std::string> out;
    for (const auto& n : names)
        out.push_back(Narrow(n));
    return out;
}

TEST_F(StoreTest, SetAssignedInfoWritesTheLayoutTheDriverReads) {
    SetAssignedInfo(kProductKey, TEXT("COM7"), TEXT("192.168.1.200"), 9100,
                    TEXT("Tarnel Virtual Port (COM7)"));
    struct Case {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const Case cases[] = {
        {u"DisplayName", REG_SZ, TextBytes(u"Tarnel Virtual Port (COM7)")},
        {u"IPAddress", REG_DWORD, Bytes({0xC0, 0xA8, 0x01, 0xC8})},
        {u"Port_", REG_DWORD, Bytes({0x8C, 0x23, 0x00, 0x00})},
        {u"Port", REG_DWORD, Bytes({0x23, 0x8C, 0x00, 0x00})},
        {u"PortName", REG_SZ, TextBytes(u"COM7")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(std::u16string_view(c.name)));
        RawValue v = ReadRaw64(PortKey(u"COM7"), c.name);
        EXPECT_EQ(v.status, ERROR_SUCCESS);
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.data, c.data);
    }
    EXPECT_FALSE(KeyExists32(PortKey(u"COM7"))) << "nothing under the redirected 32-bit SOFTWARE";
    EXPECT_EQ(Narrow(GetAssignedPortName(kProductKey, TEXT("192.168.1.200"), 9100)), "COM7");
}

TEST_F(StoreTest, GetAssignedPortNameMatchesAddressAndPlainPort) {
    struct Case {
        const char* label;
        void (*setup)();
        const WCHAR* address;
        int port;
        std::string expected;  // "first" = the first matching subkey in enumeration order
    };
    const Case cases[] = {
        {"assigned port found",
         [] {
             Assign64(u"COM7", {192, 168, 1, 200}, 9100);
         },
         TEXT("192.168.1.200"), 9100, "COM7"},
        {"same address, different port",
         [] {
             Assign64(u"COM7", {192, 168, 1, 200}, 9100);
         },
         TEXT("192.168.1.200"), 9101, "Not Assigned"},
        {"different address",
         [] {
             Assign64(u"COM7", {192, 168, 1, 200}, 9100);
         },
         TEXT("192.168.1.201"), 9100, "Not Assigned"},
        {"no product key", [] {}, TEXT("192.168.1.200"), 9100, "Not Assigned"},
        {"two matches: the first in enumeration order",
         [] {
             Assign64(u"COM9", {10, 0, 0, 5}, 9100);
             Assign64(u"COM10", {10, 0, 0, 5}, 9100);
         },
         TEXT("10.0.0.5"), 9100, "first"},
        {"only Port, never Port_, is compared",
         [] {
             SetRaw64(PortKey(u"COM4"), u"IPAddress", REG_DWORD, Bytes({10, 0, 0, 5}));
             SetRaw64(PortKey(u"COM4"), u"Port", REG_DWORD, Bytes({0x8C, 0x23, 0, 0}));
         },
         TEXT("10.0.0.5"), 9100, "Not Assigned"},
        {"address stored as text never matches",
         [] {
             SetRaw64(PortKey(u"COM4"), u"IPAddress", REG_SZ, TextBytes(u"10.0.0.5"));
             SetRaw64(PortKey(u"COM4"), u"Port_", REG_DWORD, Bytes({0x8C, 0x23, 0, 0}));
         },
         TEXT("10.0.0.5"), 9100, "Not Assigned"},
        {"QWORD values are read by their low 32 bits",
         [] {
             SetRaw64(PortKey(u"COM4"), u"IPAddress", REG_QWORD,
                      Bytes({10, 0, 0, 5, 0xFF, 0, 0, 0}));
             SetRaw64(PortKey(u"COM4"), u"Port_", REG_QWORD, Bytes({0x8C, 0x23, 0, 0, 1, 0, 0, 0}));
         },
         TEXT("10.0.0.5"), 9100, "COM4"},
        {"not an address: compared as 255.255.255.255",
         [] {
             Assign64(u"COM4", {255, 255, 255, 255}, 9100);
         },
         TEXT("printer"), 9100, "COM4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(true, true);
        c.setup();
        std::string expected = c.expected;
        if (expected == "first")
            expected = Narrow(SubKeys64(kProduct).at(0));
        EXPECT_EQ(Narrow(GetAssignedPortName(kProductKey, c.address, c.port)), expected);
        EXPECT_TRUE(TraceLines().empty());
    }
}

// Deletion goes through RegDeleteKeyExW in the 64-bit view under WOW64, else SHDeleteKeyW.
TEST_F(StoreTest, DeleteAssignedInfoInEveryViewAndItsRefusals) {
    struct Machine {
        const char* label;
        bool os64, wow64;
        unsigned major, minor;
        bool deletes;  // false: RegDeleteKeyExW cannot be found on this Windows
    };
    const Machine machines[] = {
        {"32-bit tool on 64-bit Windows 10", true, true, 10, 0, true},
        {"64-bit tool on 64-bit Windows 10", true, false, 10, 0, true},
        {"32-bit Windows XP", false, false, 5, 1, true},
        {"WOW64 without RegDeleteKeyExW", true, true, 5, 1, false},
    };
    struct Case {
        const char* label;
        const WCHAR* name;
        bool result;
        std::vector<std::string> left;  // subkeys of the product key afterwards
    };
    for (const Machine& m : machines) {
        SCOPED_TRACE(m.label);
        const std::vector<std::string> all = {"COM10", "COM7", "LPT1"};
        const Case cases[] = {
            {"Not Assigned deletes nothing", TEXT("Not Assigned"), true, all},
            {"a port without a key", TEXT("COM9"), true, all},
            {"an assigned port", TEXT("COM7"), true,
             m.deletes ? std::vector<std::string>{"COM10", "LPT1"} : all},
            {"names compare without regard to case", TEXT("com10"), true,
             m.deletes ? std::vector<std::string>{"COM7", "LPT1"} : all},
            {"a printer port name", TEXT("LPT1"), true,
             m.deletes ? std::vector<std::string>{"COM10", "COM7"} : all},
            {"the empty name would be the product key", TEXT(""), false, all},
            {"not a port name", TEXT("Morvik"), false, all},
            {"no digits", TEXT("COM"), false, all},
            {"a path below a port", TEXT("COM7\\..\\COM10"), false, all},
            {"trailing text", TEXT("COM7 "), false, all},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            Boot(m.os64, m.wow64, m.major, m.minor);
            for (const char16_t* port : {u"COM7", u"COM10", u"LPT1"})
                Assign64(port, {10, 0, 0, 1}, 9100);
            EXPECT_EQ(DeleteAssignedInfo(c.name, kProductKey), c.result);
            std::vector<std::string> left = Names(SubKeys64(kProduct));
            std::sort(left.begin(), left.end());
            EXPECT_EQ(left, c.left);
        }
    }
}

TEST_F(StoreTest, StaleAssignmentsGoAndCaseIsIgnored) {
    struct Case {
        const char* label;
        std::vector<std::u16string> keys;
        std::vector<const WCHAR*> existing;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"COM12 no longer exists", {u"COM3", u"COM12"}, {TEXT("COM3")}, {"COM3"}},
        {"com3 is COM3", {u"com3", u"COM12"}, {TEXT("COM3")}, {"com3"}},
        {"no ports: every key goes", {u"COM3", u"COM12"}, {}, {}},
        {"every key has its port",
         {u"COM3", u"COM12"},
         {TEXT("COM12"), TEXT("COM3")},
         {"COM12", "COM3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(true, true);
        for (const auto& key : c.keys)
            Assign64(key, {10, 0, 0, 1}, 9100);
        XStringWList existing;
        for (const WCHAR* port : c.existing)
            existing.Add(port);
        DeleteStaleAssignedInfo(kProductKey, existing);
        std::vector<std::string> left = Names(SubKeys64(kProduct));
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(StoreTest, DeleteAllEmptiesTheStoreAndKeepsTheProductKey) {
    const std::string where = "CVPInstall::DeleteRegistryAllAssignedInfo";
    struct Case {
        const char* label;
        bool os64, wow64;
    };
    const Case cases[] = {
        {"32-bit tool on 64-bit Windows", true, true},
        {"64-bit tool", true, false},
        {"32-bit Windows", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(c.os64, c.wow64);
        for (const char16_t* port : {u"COM3", u"COM4", u"COM5"})
            Assign64(port, {10, 0, 0, 1}, 9100);
        const std::vector<std::string> names = Names(SubKeys64(kProduct));
        CVPInstall::DeleteRegistryAllAssignedInfo(kProductKey);
        std::vector<std::string> expected = {where, where + " Delete_AllAssignedReg BEGIN"};
        for (const std::string& name : names)
            expected.push_back(where + " PORT NAME : " + name);
        expected.push_back(where + " Delete_AllAssignedReg END");
        EXPECT_EQ(TraceLines(), expected);
        EXPECT_TRUE(KeyExists64(kProduct));
        EXPECT_TRUE(SubKeys64(kProduct).empty());
    }
}

// A key that cannot be deleted, or whose name is longer than the 20-character buffer, is passed
// over and traced; the others still go and the wipe ends.
TEST_F(StoreTest, DeleteAllStepsOverKeysItCannotDelete) {
    const std::string where = "CVPInstall::DeleteRegistryAllAssignedInfo";
    const std::u16string longName = u"COM123456789012345678";  // 21 characters
    struct Case {
        const char* label;
        bool wow64;
        unsigned major, minor;
        std::vector<std::string> left;
        std::vector<std::string> failures;
    };
    const Case cases[] = {
        // RegDeleteKeyExW removes only keys without subkeys (Windows answers access denied).
        {"WOW64: a port key with a subkey stays",
         true,
         10,
         0,
         {"COM123456789012345678", "COM4"},
         {where + " Delete key failed (err code = 5)"}},
        {"native: SHDeleteKeyW takes the subkey too", false, 10, 0, {"COM123456789012345678"}, {}},
        {"WOW64 without RegDeleteKeyExW: error -1 for each",
         true,
         5,
         1,
         {"COM123456789012345678", "COM3", "COM4", "COM5"},
         {where + " Delete key failed (err code = -1)",
          where + " Delete key failed (err code = -1)",
          where + " Delete key failed (err code = -1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(true, c.wow64, c.major, c.minor);
        for (const char16_t* port : {u"COM3", u"COM4", u"COM5"})
            Assign64(port, {10, 0, 0, 1}, 9100);
        Assign64(longName, {10, 0, 0, 1}, 9100);
        RegCloseKey(CreateKey64(PortKey(u"COM4") + u"\\Extra"));
        CVPInstall::DeleteRegistryAllAssignedInfo(kProductKey);
        std::vector<std::string> left = Names(SubKeys64(kProduct));
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.left);
        std::vector<std::string> lines = TraceLines();
        std::vector<std::string> failures;
        int tooLong = 0;
        for (const std::string& line : lines) {
            if (line.find("Delete key failed") != std::string::npos)
                failures.push_back(line);
            if (line.find("name longer than 19 characters") != std::string::npos)
                ++tooLong;
        }
        EXPECT_EQ(failures, c.failures);
        EXPECT_EQ(tooLong, 1);
        EXPECT_EQ(lines.back(), where + " Delete_AllAssignedReg END");
    }
}

// The printer configuration dialog and the command line: the earlier assignments go, the
// chosen port gets the printer with its friendly name.
TEST_F(StoreTest, AssignmentProcedure) {
    const std::u16string instance = u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
    struct Case {
        const char* label;
        bool dialog;  // else the command line
        std::vector<std::string> left;
        bool extraValueKept;  // a further value of the chosen port's earlier key
    };
    const Case cases[] = {
        {"dialog", true, {"COM6"}, true},
        {"command line", false, {"COM3", "COM6"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(true, true);
        SetRaw64(instance, u"HardwareID", REG_MULTI_SZ,
                 TextBytes(std::u16string(u"morvik\\tarnel\0", 14)));
        SetRaw64(instance, u"Service", REG_SZ, TextBytes(u"TARNEL"));
        SetRaw64(instance, u"FriendlyName", REG_SZ, TextBytes(u"Tarnel Virtual Port (COM6)"));
        SetRaw64(instance + u"\\Device Parameters", u"PortName", REG_SZ, TextBytes(u"COM6"));
        Assign64(u"COM3", {10, 0, 0, 3}, 9100);  // shown for the printer when the dialog opened
        Assign64(u"COM5", {10, 0, 0, 5}, 9100);  // the printer at its previous address
        Assign64(u"COM6", {10, 0, 0, 6}, 9100);  // another printer on the chosen port
        SetRaw64(PortKey(u"COM6"), u"Extra", REG_DWORD, Bytes({1, 0, 0, 0}));

        PORT_ASSIGNMENT a;
        a.portName = TEXT("COM6");
        a.previousAddress = TEXT("10.0.0.5");
        a.previousPort = 9100;
        a.address = TEXT("10.0.0.50");
        a.port = 9101;
        if (c.dialog)
            a.shownPort = TEXT("COM3");
        else
            a.releaseChosenPort = true;
        AssignPrinterPort(kProductKey, a);

        std::vector<std::string> left = Names(SubKeys64(kProduct));
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(ReadRaw64(PortKey(u"COM6"), u"DisplayName").data,
                  TextBytes(u"Tarnel Virtual Port (COM6)"));
        EXPECT_EQ(ReadRaw64(PortKey(u"COM6"), u"IPAddress").data, Bytes({10, 0, 0, 50}));
        EXPECT_EQ(ReadRaw64(PortKey(u"COM6"), u"Port").data, Bytes({0x23, 0x8D, 0, 0}));
        EXPECT_EQ(ReadRaw64(PortKey(u"COM6"), u"Extra").status == ERROR_SUCCESS, c.extraValueKept);
        EXPECT_EQ(Narrow(GetAssignedPortName(kProductKey, TEXT("10.0.0.50"), 9101)), "COM6");
    }
}

}  // namespace
}  // namespace tarnel::storetest

// The print-queue hand-over against the host spooler: printers on the port move to "FILE:" and
// come back with their own port and attributes; others stay; "FILE:" is made once. Also the
// spooler calls themselves, as the hand-over and tarnel-host use them.
#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/win32.h"
#include "tests/portio/spooler_util.h"
#include "tool/portio/printer_handover.h"

namespace tarnel::test {
namespace {

class HandOverTest : public ::testing::Test {
  protected:
    void SetUp() override { machine_ = std::make_unique<host::TestMachine>(); }
    void TearDown() override {
        DeleteHandOverMap();
        machine_.reset();
    }

    static DWORD AddPort(const char16_t* port) { return AddSpoolerPort(port); }
    static void AddPrinter(const char16_t* name, const char16_t* port, DWORD attributes) {
        AddQueue(name, port, attributes);
    }
    static Queue Get(const char16_t* name) { return GetQueue(name); }
    static int FilePorts() {
        DWORD needed = 0, count = 0;
        EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
        std::vector<BYTE> buffer(needed + 1);
        EXPECT_TRUE(EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &count));
        auto* ports = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
        int n = 0;
        for (DWORD i = 0; i < count; ++i)
            n += std::u16string(ports[i].pPortName) == u"FILE:";
        return n;
    }

    std::unique_ptr<host::TestMachine> machine_;
};

TEST_F(HandOverTest, PrintersOnThePortGoToFileAndComeBack) {
    const DWORD kBidiShared = PRINTER_ATTRIBUTE_ENABLE_BIDI | PRINTER_ATTRIBUTE_SHARED |
                              PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_LOCAL;
    const DWORD kPlain = PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_QUEUED;
    AddPrinter(u"Receipt", u"COM5:", kBidiShared);
    AddPrinter(u"Kitchen", u"COM5:", kPlain);
    AddPrinter(u"Far", u"COM15:", kPlain);
    AddPrinter(u"Plain", u"COM1", kPlain);
    EXPECT_FALSE(HasFilePort());

    struct Case {
        const char16_t* printer;
        Queue before, during;
    } cases[] = {
        {u"Receipt", {u"COM5:", kBidiShared}, {u"FILE:", PRINTER_ATTRIBUTE_RAW_ONLY}},
        {u"Kitchen", {u"COM5:", kPlain}, {u"FILE:", kPlain}},
        {u"Far", {u"COM15:", kPlain}, {u"COM15:", kPlain}},
        {u"Plain", {u"COM1", kPlain}, {u"COM1", kPlain}},
    };
    CHandOverMap& map = GetHandOverMap();
    XStringW failure;
    EXPECT_TRUE(moveDriverPort(map, XStringW(u"COM5"), failure));
    EXPECT_TRUE(failure.IsEmpty());
    EXPECT_EQ(FilePorts(), 1) << "made through the Local Port monitor";
    EXPECT_EQ(map.GetCount(), 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(
            std::string(c.printer, c.printer + std::char_traits<char16_t>::length(c.printer)));
        Queue q = Get(c.printer);
        EXPECT_EQ(q.port, c.during.port);
        EXPECT_EQ(q.attributes, c.during.attributes);
    }
    // Another port's move finds "FILE:" there and leaves the COM5 records alone.
    EXPECT_TRUE(moveDriverPort(map, XStringW(u"COM1"), failure));
    EXPECT_EQ(FilePorts(), 1);
    EXPECT_EQ(Get(u"Plain").port, u"FILE:");
    EXPECT_TRUE(RestoreDriverPort(map, XStringW(u"COM1")));
    EXPECT_EQ(Get(u"Plain").port, u"COM1");
    EXPECT_EQ(map.GetCount(), 2) << "the COM5 printers still wait for their port";

    EXPECT_TRUE(RestoreDriverPort(map, XStringW(u"COM5")));
    EXPECT_TRUE(map.IsEmpty());
    for (const auto& c : cases) {
        SCOPED_TRACE(
            std::string(c.printer, c.printer + std::char_traits<char16_t>::length(c.printer)));
        Queue q = Get(c.printer);
        EXPECT_EQ(q.port, c.before.port);
        EXPECT_EQ(q.attributes, c.before.attributes);
    }
    // An empty map restores nothing and succeeds.
    EXPECT_TRUE(RestoreDriverPort(map, XStringW(u"COM5")));
}

TEST_F(HandOverTest, OnlyPrintersThatMovedAreRemembered) {
    AddPrinter(u"Receipt", u"COM5:", PRINTER_ATTRIBUTE_LOCAL);
    // A queue the spooler lists but will not open (a name it refuses to open by).
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Odd,Name", 0,
                              nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char16_t port[] = u"COM5:";
    ASSERT_EQ(
        RegSetValueExW(key, u"Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port),
        ERROR_SUCCESS);
    RegCloseKey(key);

    CHandOverMap& map = GetHandOverMap();
    XStringW failure;
    moveDriverPort(map, XStringW(u"COM5"), failure);
    EXPECT_TRUE(failure == u"moveDriverPort : failed to OpenPrinter ");
    EXPECT_EQ(map.GetCount(), 1);
    EXPECT_NE(map.Find(XStringW(u"Receipt")), nullptr);
    EXPECT_EQ(map.Find(XStringW(u"Odd,Name")), nullptr);
    EXPECT_EQ(Get(u"Receipt").port, u"FILE:");
    EXPECT_TRUE(RestoreDriverPort(map, XStringW(u"COM5")));
    EXPECT_EQ(Get(u"Receipt").port, u"COM5:");
}

TEST_F(HandOverTest, PortNamesAreComparedWholeBeforeTheColon) {
    struct Case {
        const char16_t* text;
        const char16_t* bare;
    } cases[] = {
        {u"COM5:", u"COM5"},  {u"COM15:", u"COM15"}, {u"COM5", u"COM5"},
        {u":COM5", u":COM5"}, {u"FILE:", u"FILE"},   {u"COM5:9600:8", u"COM5"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(BarePortName(XStringW(c.text)) == c.bare);
}

TEST_F(HandOverTest, TheSpoolerKeepsWindowsRules) {
    AddPrinter(u"Receipt", u"COM5:", PRINTER_ATTRIBUTE_LOCAL);
    // The monitor says so when a port exists; a deleted port is gone from the list.
    EXPECT_EQ(AddPort(u"COM5:"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(AddPort(u"FILE:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(FilePorts(), 1);

    std::u16string name = u"Receipt", missing = u"Nobody";
    HANDLE h = nullptr;
    EXPECT_FALSE(OpenPrinterW(missing.data(), &h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

    // A handle for use only reads; setting needs administer access.
    ASSERT_TRUE(OpenPrinterW(name.data(), &h, nullptr));
    DWORD needed = 0;
    GetPrinterW(h, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(GetPrinterW(h, 2, buffer.data(), needed, &needed));
    EXPECT_FALSE(SetPrinterW(h, 2, buffer.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(GetPrinterW(h, 1, buffer.data(), needed, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    ClosePrinter(h);

    // A port the spooler does not know is refused and changes nothing.
    PRINTER_DEFAULTSW all{nullptr, nullptr, PRINTER_ALL_ACCESS};
    ASSERT_TRUE(OpenPrinterW(name.data(), &h, &all));
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    std::u16string unknown = u"COM99:";
    info->pPortName = unknown.data();
    EXPECT_FALSE(SetPrinterW(h, 2, buffer.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
    EXPECT_EQ(Get(u"Receipt").port, u"COM5:");
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_FALSE(ClosePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The enumeration's two steps; a second printer of the same name is refused.
    DWORD count = 0;
    EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> list(needed);
    ASSERT_TRUE(
        EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, list.data(), needed, &needed, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::u16string(reinterpret_cast<PRINTER_INFO_2W*>(list.data())->pPortName), u"COM5:");
    PRINTER_INFO_2W again{};
    again.pPrinterName = name.data();
    std::u16string port = u"COM5:";
    again.pPortName = port.data();
    EXPECT_EQ(AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&again)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
}

}  // namespace
}  // namespace tarnel::test

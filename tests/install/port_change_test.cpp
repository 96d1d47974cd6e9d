// COM port renaming on a host machine: a virtual port moved from COM5 to COM9 is COM9 in its
// device parameters, friendly name, COM port database, serial device map and DOS names, an
// application prints through COM9 and COM5 no longer opens; and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "tests/install/install_fixture.h"
#include "tests/store/store_fixture.h"
#include "tool/install/port_assignment.h"
#include "tool/install/port_change.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/store/product.h"
#include "tools/printer-sim/printer_sim.h"

namespace fs = std::filesystem;

namespace tarnel::storetest {
namespace {

namespace hk = host::kernel;

const std::u16string kInstance = u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";

class PortChangeTest : public StoreTest {
  protected:
    void SetUp() override {
        Boot(true, false);
        PlacePackage(true);
        // COM1 to COM4 belong to other devices, so the new port is COM5.
        HANDLE db = nullptr;
        ASSERT_EQ(ComDBOpen(&db), ERROR_SUCCESS);
        for (DWORD n = 1; n <= 4; ++n)
            ASSERT_EQ(ComDBClaimPort(db, n, FALSE, nullptr), ERROR_SUCCESS);
        ComDBClose(db);
        ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
        ASSERT_EQ(Ports(), std::vector<std::string>{"COM5"});
        ClearTrace();
    }
    void TearDown() override {
        hk::ShutdownMachine();
        for (auto& usage : hk::PoolUsage())
            ADD_FAILURE() << "pool left: '" << usage.tag << "' x" << usage.allocations;
        host::SetProgramPath("");
        StoreTest::TearDown();
    }
    static std::vector<std::string> Ports() { return VirtualPorts(); }
    static bool ComDbUsed(int number) {
        const RawValue v =
            ReadRaw64(u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", u"ComDB");
        return size_t(number - 1) / 8 < v.data.size() &&
               (v.data[size_t(number - 1) / 8] >> ((number - 1) % 8)) & 1;
    }
    static std::vector<std::string> SerialMap() {
        std::vector<std::string> names;
        HKEY map = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                          KEY_READ | KEY_WOW64_64KEY, &map) != ERROR_SUCCESS)
            return names;
        for (DWORD i = 0;; ++i) {
            WCHAR name[64];
            BYTE data[64] = {};
            DWORD nameLength = 64, size = sizeof(data) - 2, type = 0;
            if (RegEnumValueW(map, i, name, &nameLength, nullptr, &type, data, &size) !=
                ERROR_SUCCESS)
                break;
            names.push_back(Narrow(std::u16string(reinterpret_cast<const char16_t*>(data))));
        }
        RegCloseKey(map);
        return names;
    }
    // The device answers to COM`number` in every place a name is kept.
    static void ExpectNamedEverywhere(int number) {
        const std::string name = "COM" + std::to_string(number);
        const std::u16string wide(name.begin(), name.end());
        EXPECT_EQ(Ports(), std::vector<std::string>{name});
        EXPECT_EQ(ReadRaw64(kInstance + u"\\Device Parameters", u"PortName").data, TextBytes(wide));
        EXPECT_EQ(ReadRaw64(kInstance, u"FriendlyName").data,
                  TextBytes(u"Tarnel Virtual Serial Port (" + wide + u")"));
        EXPECT_TRUE(ComDbUsed(number));
        EXPECT_EQ(SerialMap(), std::vector<std::string>{name});
        EXPECT_EQ(DosNames(), (std::vector<std::string>{name, name + ":"}));
    }
    // The port assigned to the printer and opened by an application.
    static HANDLE OpenAssigned(const char16_t* portName,
                               const printersim::PrinterSimulator& printer) {
        PORT_ASSIGNMENT a;
        a.portName = portName;
        a.address = a.previousAddress = TEXT("127.0.0.1");
        a.port = a.previousPort = printer.port();
        a.releaseChosenPort = true;
        AssignPrinterPort(kProductKey, a);
        return CreateFileW(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    // Writes a page through the handle; true when the printer received exactly it.
    static bool Prints(HANDLE h, const printersim::PrinterSimulator& printer,
                       const std::string& page) {
        DWORD written = 0;
        return WriteFile(h, page.data(), DWORD(page.size()), &written, nullptr) &&
               printer.waitForBytes(page.size(), std::chrono::seconds(20)) &&
               printer.received() == page;
    }
    static std::vector<std::string> DosNames() {
        std::vector<std::string> names;
        for (const auto& link : hk::SymbolicLinks())
            if (link.first.rfind("\\??\\COM", 0) == 0)
                names.push_back(link.first.substr(4));
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(PortChangeTest, Com5BecomesCom9Everywhere) {
    ASSERT_EQ(DosNames(), (std::vector<std::string>{"COM5", "COM5:"}));
    ASSERT_EQ(SerialMap(), std::vector<std::string>{"COM5"});
    ASSERT_TRUE(ComDbUsed(5));

    ASSERT_TRUE(CPortChange::RelinkPort(TEXT("COM5"), TEXT("COM9")));
    ExpectNamedEverywhere(9);
    EXPECT_FALSE(ComDbUsed(5));
    EXPECT_TRUE(ComDbUsed(4)) << "other devices' numbers stay";
    const std::vector<std::string> lines = TraceLines();
    for (const char* wanted :
         {"CPortChange::RelinkPort szPortNameVal : COM5",
          "CPortChange::RelinkPort old name=Tarnel Virtual Serial Port (COM5), new name=Tarnel "
          "Virtual Serial Port (COM9)"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("<ERROR>"), std::string::npos) << line;

    // COM5 is gone; an application prints through COM9 to the printer assigned to it.
    HANDLE old = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(old, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    printersim::PrinterSimulator printer;
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    HANDLE h = OpenAssigned(u"COM9", printer);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Prints(h, printer, "renamed to COM9\r\n"));
    CloseHandle(h);

    // A later boot of the machine (another process, a restart) publishes COM9 again.
    hk::ShutdownMachine();
    hk::EnsureMachineBooted();
    EXPECT_EQ(DosNames(), (std::vector<std::string>{"COM9", "COM9:"}));
}

// An application holding the port open vetoes the restart: every name goes back to COM5 and
// the application goes on printing through its handle; once it closes, the rename succeeds.
TEST_F(PortChangeTest, OpenPortKeepsItsNameUntilClosed) {
    printersim::PrinterSimulator printer;
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    HANDLE h = OpenAssigned(u"COM5", printer);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();

    EXPECT_FALSE(CPortChange::RelinkPort(TEXT("COM5"), TEXT("COM9")));
    ExpectNamedEverywhere(5);
    EXPECT_FALSE(ComDbUsed(9));
    const std::vector<std::string> lines = TraceLines();
    const std::string vetoed = "CPortChange::RelinkPort <ERROR> Failed to restart the device : " +
                               std::to_string(CR_REMOVE_VETOED);
    EXPECT_NE(std::find(lines.begin(), lines.end(), vetoed), lines.end())
        << ::testing::PrintToString(lines);

    EXPECT_TRUE(Prints(h, printer, "still COM5\r\n"));
    CloseHandle(h);

    ASSERT_TRUE(CPortChange::RelinkPort(TEXT("COM5"), TEXT("COM9")));
    ExpectNamedEverywhere(9);
}

TEST_F(PortChangeTest, RefusalsChangeNothing) {
    struct Case {
        const char* label;
        const WCHAR* from;
        const WCHAR* to;
        bool result;
        std::string line;
    };
    const std::string w = "CPortChange::RelinkPort ";
    const Case cases[] = {
        {"same name in another case", TEXT("COM5"), TEXT("com5"), true,
         w + "Same portName : COM5, newPortName : com5"},
        {"no device has the name", TEXT("COM12"), TEXT("COM14"), false,
         w + "<ERROR> not exist current port number"},
        {"empty current name", TEXT(""), TEXT("COM9"), false,
         w + "<ERROR> Invalid portName : , newPortName : COM9"},
        {"empty new name", TEXT("COM5"), TEXT(""), false,
         w + "<ERROR> Invalid portName : COM5, newPortName :"}  // the line ends trimmed,
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ClearTrace();
        EXPECT_EQ(CPortChange::RelinkPort(c.from, c.to), c.result);
        EXPECT_EQ(TraceLines(), std::vector<std::string>{c.line});
        EXPECT_EQ(Ports(), std::vector<std::string>{"COM5"});
        EXPECT_EQ(DosNames(), (std::vector<std::string>{"COM5", "COM5:"}));
        EXPECT_TRUE(ComDbUsed(5));
    }
}

// The "PortName" is read only as REG_SZ and never past the 260-byte buffer.
TEST_F(PortChangeTest, CheckExistPortReadsOnlyWhatFits) {
    const std::u16string params = kInstance + u"\\Device Parameters";
    struct Case {
        const char* label;
        DWORD type;
        std::vector<BYTE> data;
        bool found;
    };
    std::u16string longName = u"COM5";
    longName.append(200, u'X');
    const Case cases[] = {
        {"the text", REG_SZ, TextBytes(u"COM5"), true},
        {"other letter case", REG_SZ, TextBytes(u"com5"), true},
        {"not a text", REG_BINARY, TextBytes(u"COM5"), false},
        {"expandable text", REG_EXPAND_SZ, TextBytes(u"COM5"), false},
        {"longer than the buffer", REG_SZ, TextBytes(longName), false},
        {"without its terminator", REG_SZ, TextBytes(u"COM5", false), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetRaw64(params, u"PortName", c.type, c.data);
        DWORD count = 0;
        GUID guid{};
        ASSERT_TRUE(SetupDiClassGuidsFromNameW(u"Ports", &guid, 1, &count));
        HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA device{};
        XStringW value;
        HKEY key = CPortChange::CheckExistPort(set, TEXT("COM5"), device, value);
        EXPECT_EQ(key != nullptr, c.found);
        if (key) {
            EXPECT_EQ(Narrow(value), c.found
                                         ? Narrow(std::u16string(
                                               reinterpret_cast<const char16_t*>(c.data.data()), 4))
                                         : "");
            RegCloseKey(key);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
}

TEST(PortNames, NumbersAndNormalForms) {
    struct Case {
        const WCHAR* name;
        int number;
        const char* normal;
    };
    const Case cases[] = {
        {TEXT("COM7"), 7, "COM7"}, {TEXT("LPT1"), 1, "LPT1"}, {TEXT("COM5:"), 5, "COM5"},
        {TEXT("9"), 9, "COM9"},    {TEXT("3"), 3, "COM3"},    {TEXT("0"), 0, ""},
        {TEXT(""), -1, ""},        {TEXT("com7"), 0, ""},     {TEXT("COM"), -1, "COM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(XStringW(c.name)));
        EXPECT_EQ(GetPortNumber(c.name), c.number);
        EXPECT_EQ(Narrow(NormalizePortName(c.name)), c.normal);
    }
}

}  // namespace
}  // namespace tarnel::storetest

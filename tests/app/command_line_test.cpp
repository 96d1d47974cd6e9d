// The installer's command line: every option alone and in the combinations installers use,
// each malformed form with its trace line, and the USB conditions against a fixed printer set.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "tests/app/cmdline_fixture.h"
#include "tests/support/text_util.h"
#include "tool/app/command_line.h"
#include "tool/support/program_path.h"
#include "tool/support/trace.h"

namespace fs = std::filesystem;

namespace {

class FixedUsbPrinters : public CUsbPrinterSource {
  public:
    std::vector<const WCHAR*> ids;
    std::vector<const WCHAR*> paths;
    XStringWList GetProductIds() override { return List(ids); }
    XStringWList GetDevicePaths() override { return List(paths); }

  private:
    static XStringWList List(const std::vector<const WCHAR*>& items) {
        XStringWList list;
        for (const WCHAR* item : items)
            list.Add(XStringW(item));
        return list;
    }
};

class CommandLineTest : public CommandLineTraceTest {
  protected:
    FixedUsbPrinters usb_;
};

struct ParseCase {
    const char* label;
    const WCHAR* line;
    int result;
    const char* errorLine;  // the "<ERROR>" line's message, or "" when none is written
};

TEST_F(CommandLineTest, ResultsAndErrorLines) {
    usb_.ids = {TEXT("12ab"), TEXT("0e20")};
    usb_.paths = {TEXT("\\\\?\\usb#vid_0dd4&pid_12ab#sn4711#{a5dcbf10}")};
    const ParseCase cases[] = {
        {"empty", TEXT(""), 0, ""},
        {"only slashes and spaces", TEXT("//"), 0, ""},
        {"install", TEXT("/i"), 3, ""},
        {"install with a number and spaces", TEXT("/i 5 "), 3, ""},
        {"a blank before the first option", TEXT(" /i5"), 1, "Invalid command line : / "},
        {"capital I is no option", TEXT("/I5"), 1, "Invalid command line : /I5"},
        {"port 0", TEXT("/i0"), 1, "Out of range port number : 0"},
        {"port 256", TEXT("/i256"), 1, "Out of range port number : 256"},
        {"port text reads as 0", TEXT("/iabc"), 1, "Out of range port number : 0"},
        {"port number too large for an int", TEXT("/i99999999999"), 1,
         "Out of range port number : 2147483647"},
        {"message mode missing", TEXT("/i/m"), 1, "Invalid message option : -1"},
        {"message mode 3", TEXT("/m3"), 1, "Invalid message option : 3"},
        {"stray word before the first option", TEXT("setup /i"), 1,
         "Invalid command line : /setup "},
        {"address without port", TEXT("/n 10.0.0.5"), 3, ""},
        {"address with port", TEXT("/n10.0.0.5:9101"), 3, ""},
        {"address with empty port", TEXT("/n 10.0.0.5:"), 1, "Invalid address : 10.0.0.5:"},
        {"address with letters as port", TEXT("/n 10.0.0.5:abc"), 1,
         "Invalid address : 10.0.0.5:abc"},
        {"address with port 0", TEXT("/n 10.0.0.5:0"), 1, "Invalid address : 10.0.0.5:0"},
        {"address with port 65536", TEXT("/n 10.0.0.5:65536"), 1,
         "Invalid address : 10.0.0.5:65536"},
        {"three-part address", TEXT("/n 10.0.0"), 1, "Invalid address : 10.0.0"},
        {"empty address", TEXT("/n"), 1, "Invalid address : "},
        {"pid not four characters", TEXT("/pid12A"), 1, "Invalid PID : /12A"},
        {"pid not hexadecimal", TEXT("/pid12AG"), 1, "Invalid PID : /12AG"},
        {"pid with no match", TEXT("/pid12AB"), 2, "No printers match usb pid."},
        {"pid that matches", TEXT("/pid12ab"), 3, ""},
        {"pid without value and two printers", TEXT("/pid"), 2,
         "One or more printers are available. Please connect only one."},
        {"serial number required", TEXT("/sn"), 1, "USB Serial Number is cannot skip : /sn"},
        {"serial number found", TEXT("/sn sn4711"), 3, ""},
        {"serial number not found", TEXT("/snSN4711"), 2, "No printers match usb serial number."},
        {"installer combination", TEXT("/u /i5 /m2 /n 192.168.1.200:9100 /rs1"), 3, ""},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.label);
        CVPCommandLine cl(usb_);
        EXPECT_EQ(cl.ParseCommand(XStringW(c.line)), c.result);
        EXPECT_EQ(cl.m_valid, c.result == 3);
        std::string trace = TakeTrace();
        if (*c.errorLine) {
            EXPECT_NE(trace.find(std::string(") CVPCommandLine::ParseCommand(")), std::string::npos)
                << trace;
            EXPECT_NE(trace.find(std::string("<ERROR> ") + c.errorLine + "\\u000D\\u000A"),
                      std::string::npos)
                << trace;
        } else {
            EXPECT_EQ(trace.find("<ERROR>"), std::string::npos) << trace;
        }
    }
}

TEST_F(CommandLineTest, FieldsOfAnAcceptedLine) {
    usb_.ids = {TEXT("12ab")};
    CVPCommandLine cl(usb_);
    ASSERT_EQ(cl.ParseCommand(XStringW(TEXT("/u /i5 /m1 /pid /n 10.0.0.5:9101 /rs1"))), 3);
    EXPECT_TRUE(cl.m_uninstall);
    EXPECT_TRUE(cl.m_install);
    EXPECT_EQ(cl.m_portNumber, 5);
    EXPECT_EQ(cl.m_messageMode, 1);
    EXPECT_EQ(Show(cl.m_usbProductId), "12ab");
    EXPECT_EQ(Show(cl.GetPrinterAddress()), "10.0.0.5:9101");
    EXPECT_TRUE(cl.m_restart);
    EXPECT_TRUE(cl.m_askBeforeRestart);

    // A repeated "i" without a number keeps the earlier number; "rs" other than 1 does not ask.
    CVPCommandLine again(usb_);
    ASSERT_EQ(again.ParseCommand(XStringW(TEXT("/i7/i/rs2"))), 3);
    EXPECT_EQ(again.m_portNumber, 7);
    EXPECT_TRUE(again.m_restart);
    EXPECT_FALSE(again.m_askBeforeRestart);
}

TEST_F(CommandLineTest, RejectionKeepsEarlierFieldsAndStopsReading) {
    // No USB printer: "pid" fails even though "i" came first, and nothing after it is read.
    CVPCommandLine cl(usb_);
    EXPECT_EQ(cl.ParseCommand(XStringW(TEXT("/i3 /pid12AB /u"))), 2);
    EXPECT_FALSE(cl.m_valid);
    EXPECT_TRUE(cl.m_install);
    EXPECT_EQ(cl.m_portNumber, 3);
    EXPECT_FALSE(cl.m_uninstall);
    EXPECT_NE(TakeTrace().find("no available printer."), std::string::npos);
}

TEST(PrinterAddress, SplitsAddressAndPort) {
    struct Case {
        const WCHAR* text;
        bool ok;
        const char* ip;
        int port;
    } cases[] = {
        {TEXT("10.0.0.5"), true, "10.0.0.5", 9100},
        {TEXT("10.0.0.5:1"), true, "10.0.0.5", 1},
        {TEXT("10.0.0.5:65535"), true, "10.0.0.5", 65535},
        {TEXT("10.0.0.5:4294967397"), false, "", 0},
        {TEXT("10.0.0.5:-1"), false, "", 0},
        {TEXT("10.0.0.5:91 00"), false, "", 0},
        {TEXT("a.b.c.d"), false, "", 0},
        {TEXT("1..2.3.4"), false, "", 0},
        {TEXT("256.0.0.1"), false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.text));
        XStringW ip;
        int port = 0;
        EXPECT_EQ(SplitPrinterAddress(XStringW(c.text), ip, port), c.ok);
        if (c.ok) {
            EXPECT_EQ(Show(ip), c.ip);
            EXPECT_EQ(port, c.port);
        }
    }
}

}  // namespace

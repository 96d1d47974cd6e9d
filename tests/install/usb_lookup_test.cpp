// USB printer lookup against the attached printers of the machine settings: which interfaces
// count, their order and letter case, the known-id table's wildcards, and the command line's
// "pid" and "sn" conditions over them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "tool/app/command_line.h"
#include "tool/app/command_run.h"
#include "tool/install/usb_lookup.h"
#include "tool/support/trace.h"

namespace {

std::string Narrow(const XStringW& text) {
    return std::string(text.GetString(), text.GetString() + text.GetLength());
}

std::vector<std::string> Items(const XStringWList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.GetCount(); ++i)
        out.push_back(Narrow(list.GetAt(i)));
    return out;
}

const char kUsbGuid[] = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char kHidGuid[] = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class UsbLookupTest : public ::testing::Test {
  protected:
    void Attach(std::vector<tarnel::host::MachineConfig::UsbInterface> printers) {
        tarnel::host::MachineConfig config;
        config.usbPrinters = std::move(printers);
        machine_ = std::make_unique<tarnel::host::TestMachine>(config);
    }
    void TearDown() override {
        TraceRemove(TRACE_ID_CMDLINE);
        machine_.reset();
    }
    std::unique_ptr<tarnel::host::TestMachine> machine_;
};

TEST_F(UsbLookupTest, AttachedPrintersInOrder) {
    const std::string hid = std::string("\\\\?\\HID#VID_0DD4&PID_12AB#SN4711") + kHidGuid;
    const std::string usb = std::string("\\\\?\\usb#vid_0dd4&pid_12ab#SN4711") + kUsbGuid;
    Attach({
        {"usb", usb, false},
        {"usb", std::string("\\\\?\\usb#vid_1234&pid_0e20#x1") + kUsbGuid,
         false},  // unknown vendor
        {"usb", std::string("\\\\?\\usb#vid_04b8&pid_0e20#busy9") + kUsbGuid, true},  // held open
        {"usb", std::string("\\\\?\\usb#vid_04b8&pid_0e21#b2") + kUsbGuid, false},  // other product
        {"hid", hid, false},
        {"usb", std::string("\\\\?\\usb#vid_0483&pid_5743#st1") + kUsbGuid, false},
    });
    auto lower = [](std::string s) {
        for (char& c : s)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    EXPECT_EQ(
        Items(GetUsbDevicePathList()),
        (std::vector<std::string>{lower(hid), lower(usb),
                                  std::string("\\\\?\\usb#vid_0483&pid_5743#st1") + kUsbGuid}));
    EXPECT_EQ(Items(GetUsbProductIdList()), (std::vector<std::string>{"12ab", "12ab", "5743"}));
}

TEST_F(UsbLookupTest, NothingAttached) {
    Attach({});
    EXPECT_TRUE(Items(GetUsbDevicePathList()).empty());
    EXPECT_TRUE(Items(GetUsbProductIdList()).empty());
}

TEST_F(UsbLookupTest, KnownIdsAndWildcards) {
    Attach({});
    CRegistUsb table;                                       // the built-in rows
    CFindUsbList::Add(TEXT(""), TEXT("BEEF"));              // any vendor, product beef
    CFindUsbList::Add(TEXT("vid_0483"), TEXT("pid_5743"));  // already there: not added again
    const std::vector<std::string> entries = Items(CFindUsbList::Entries());
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "vid_0483&pid_5743"), 1);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "vid_0000&pid_beef"), 1);
    struct Case {
        const WCHAR* path;
        bool known;
    };
    const Case cases[] = {
        {TEXT("\\\\?\\usb#vid_0dd4&pid_9999#1"), true},   // vendor row with product 0000
        {TEXT("\\\\?\\USB#VID_0DD4&PID_0001#1"), true},   // letter case does not matter
        {TEXT("\\\\?\\usb#vid_0483&pid_5743#1"), true},   // vendor and product
        {TEXT("\\\\?\\usb#vid_0483&pid_5744#1"), false},  // product differs
        {TEXT("\\\\?\\usb#vid_7777&pid_beef#1"), true},   // any vendor
        {TEXT("\\\\?\\usb#vid_7777&pid_0000#1"), false},  // a path's own 0000 is no wildcard
        {TEXT("\\\\?\\usb#vid_0dd"), false},              // ids cut short
        {TEXT("no ids at all"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(XStringW(c.path)));
        EXPECT_EQ(IsKnownUsbDevice(c.path), c.known);
    }
}

// The command line's conditions over the attached printers: one printer with both interfaces
// is listed twice, so "/pid" alone refuses it.
TEST_F(UsbLookupTest, CommandLineConditions) {
    Attach({{"hid", std::string("\\\\?\\hid#vid_0dd4&pid_12ab#sn4711") + kHidGuid, false},
            {"usb", std::string("\\\\?\\usb#vid_0dd4&pid_12ab#sn4711") + kUsbGuid, false},
            {"usb", std::string("\\\\?\\usb#vid_0519&pid_2013#zx81") + kUsbGuid, false}});
    struct Case {
        const WCHAR* line;
        int result;
    };
    const Case cases[] = {
        {TEXT("/pid2013"), 3}, {TEXT("/pid12ab"), 2}, {TEXT("/pid"), 2},
        {TEXT("/pid0e20"), 2}, {TEXT("/sn zx81"), 3}, {TEXT("/sn ZX81"), 2},
    };
    CSystemUsbPrinters usb;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(XStringW(c.line)));
        CVPCommandLine cl(usb);
        EXPECT_EQ(cl.ParseCommand(c.line), c.result);
        TraceRemove(TRACE_ID_CMDLINE);
    }
}

}  // namespace

// The test print end to end on the host: the port facade opens a Tarnel port through the driver
// to the printer simulator, which records the exact test page; the port's print queues are on
// "FILE:" while the tool holds the port and back on it afterwards.
#include <gmock/gmock.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/driver/printer_port_fixture.h"
#include "tests/portio/spooler_util.h"
#include "tool/app/test_print.h"
#include "tool/portio/port_facade.h"
#include "tool/portio/port_list_mng.h"

namespace tarnel::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

const std::string kRequest("\x1D\x49\x43", 3);
const std::string kCentreOn("\x1B\x61\x01", 3);
const std::string kCentreOff("\x1B\x61\x00", 3);
const char kLabelPage[] =
    "T50,50,2,1,1,0,0,N,N,'==================='\r\n"
    "T50,100,2,1,1,0,0,N,N,'Brisant'\r\n"
    "T50,150,2,1,1,0,0,N,N,'    Test is OK   '\r\n"
    "T50,200,2,1,1,0,0,N,N,'==================='\r\nP1\r\n";

std::string Receipt(const std::string& model, const std::string& port) {
    const std::string equals(31, '=');
    return equals + "\nBrisant Test\nTest is OK\n" + model + " <-> " + port + "\n" + equals + "\n";
}

struct RecordingUi : TestPrintUi {
    std::vector<std::string> messages;
    std::vector<TestPrintIcon> icons;
    void ShowMessage(const WCHAR* text, TestPrintIcon icon) override {
        messages.emplace_back(text, text + std::char_traits<char16_t>::length(text));
        icons.push_back(icon);
    }
};

class TestPrintTest : public PrinterPortTest {
  protected:
    void SetUp() override {
        PrinterPortTest::SetUp();
        Port(u"COM5");
        AddQueue(u"Receipt", u"COM5:", PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_ENABLE_BIDI);
        AddQueue(u"Kitchen", u"COM5:", PRINTER_ATTRIBUTE_LOCAL);
        AddQueue(u"Far", u"COM15:", PRINTER_ATTRIBUTE_LOCAL);
        // What the spooler says of the queues while the printer is being printed to.
        printer_.setObserver([this](const printersim::Event& e) {
            if (e.kind != printersim::Event::Kind::Received)
                return;
            std::lock_guard<std::mutex> lock(mutex_);
            if (portsWhilePrinting_.empty())
                for (auto* q : {u"Receipt", u"Kitchen", u"Far"})
                    portsWhilePrinting_.push_back(Narrow(GetQueue(q).port));
        });
    }
    TestPrintSelection Selection(TestPrinterType type) {
        TestPrintSelection s;
        s.selected = 1;
        s.rowCount = 1;
        s.assignInfo = XStringW(u"COM5");
        s.assigned = 1;
        s.type = type;
        return s;
    }
    // Everything the printer received once the tool let go of the port.
    std::string Received() {
        EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
        return printer_.received();
    }
    std::vector<std::string> PortsWhilePrinting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return portsWhilePrinting_;
    }
    void ExpectQueuesBack() {
        EXPECT_EQ(GetQueue(u"Receipt").port, u"COM5:");
        EXPECT_EQ(GetQueue(u"Receipt").attributes,
                  static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_ENABLE_BIDI));
        EXPECT_EQ(GetQueue(u"Kitchen").port, u"COM5:");
        EXPECT_EQ(GetQueue(u"Far").port, u"COM15:");
    }

    std::mutex mutex_;
    std::vector<std::string> portsWhilePrinting_;
};

TEST_F(TestPrintTest, PosPrinterThatAnswersItsModelGetsTheReceipt) {
    RecordingUi ui;
    EXPECT_EQ(RunTestPrint(Selection(TestPrinterType::Pos), ui), TestPrintResult::Printed);
    EXPECT_THAT(ui.messages, ElementsAre("Printer Test Success!!!"));
    EXPECT_THAT(ui.icons, ElementsAre(TestPrintIcon::Information));
    EXPECT_EQ(Received(), kRequest + kCentreOn + Receipt("TARNEL-SIM", "COM5") + kCentreOff);
    EXPECT_THAT(PortsWhilePrinting(), ElementsAre("FILE:", "FILE:", "COM15:"));
    ExpectQueuesBack();
}

TEST_F(TestPrintTest, LabelPrinterGetsThePageInOneWrite) {
    RecordingUi ui;
    EXPECT_EQ(RunTestPrint(Selection(TestPrinterType::Label), ui), TestPrintResult::Printed);
    EXPECT_THAT(ui.messages, ElementsAre("Printer Test Success!!!"));
    EXPECT_EQ(Received(), kLabelPage);
    EXPECT_THAT(PortsWhilePrinting(), ElementsAre("FILE:", "FILE:", "COM15:"));
    ExpectQueuesBack();
}

TEST_F(TestPrintTest, SilentPosPrinterGetsOnlyTheRequestAndOneFailureMessage) {
    printer_.setReplyDelay(60s);  // answers long after the tool stopped waiting
    RecordingUi ui;
    EXPECT_EQ(RunTestPrint(Selection(TestPrinterType::Pos), ui),
              TestPrintResult::BiDirectionFailed);
    EXPECT_THAT(ui.messages, ElementsAre("bi-direction Test fail!!!"));
    EXPECT_EQ(Received(), kRequest);
    ExpectQueuesBack();
}

TEST_F(TestPrintTest, BytesBeforeTheReplyHeaderAreIgnored) {
    printer_.setEcho(true);  // the request comes back before the model reply
    RecordingUi ui;
    EXPECT_EQ(RunTestPrint(Selection(TestPrinterType::Pos), ui), TestPrintResult::Printed);
    EXPECT_EQ(Received(), kRequest + kCentreOn + Receipt("TARNEL-SIM", "COM5") + kCentreOff);
}

TEST_F(TestPrintTest, RowsWithoutAPortOpenNothing) {
    struct Case {
        const char* label;
        int selected, rows;
        const char16_t* assignInfo;
        DWORD_PTR assigned;
        TestPrintResult result;
        std::vector<std::string> messages;
    } cases[] = {
        {"no row", -1, 2, u"COM5", 1, TestPrintResult::NoSelection, {"Select mac address at list"}},
        {"past the last row",
         3,
         2,
         u"COM5",
         1,
         TestPrintResult::NoSelection,
         {"Select mac address at list"}},
        {"Not Assigned",
         1,
         2,
         u"Not Assigned",
         0,
         TestPrintResult::NotAssigned,
         {"Not assigned!!!"}},
        {"a port that does not exist", 1, 2, u"COM9", 1, TestPrintResult::OpenFailed, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        RecordingUi ui;
        TestPrintSelection s = Selection(TestPrinterType::Pos);
        s.selected = c.selected;
        s.rowCount = c.rows;
        s.assignInfo = XStringW(c.assignInfo);
        s.assigned = c.assigned;
        EXPECT_EQ(RunTestPrint(s, ui), c.result);
        EXPECT_EQ(ui.messages, c.messages);
        if (c.result != TestPrintResult::OpenFailed) {
            EXPECT_EQ(ui.icons, std::vector<TestPrintIcon>{TestPrintIcon::Exclamation});
        }
    }
    EXPECT_EQ(printer_.connectionCount(), 0u);
    ExpectQueuesBack();
}

TEST_F(TestPrintTest, AFailedOpenGivesTheQueuesBackAtOnce) {
    AddQueue(u"Nowhere", u"COM9:", PRINTER_ATTRIBUTE_LOCAL);
    CPortListMng* manager = CPortListMng::GetInstance();
    int id = manager->Create(XStringW(u"COM9"), 0);
    ASSERT_NE(id, 0);
    EXPECT_EQ(manager->OpenPort(id, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetQueue(u"Nowhere").port, u"COM9:");
    EXPECT_EQ(manager->Remove(id), 0);
    CPortListMng::ReleaseInstanceIfEmpty();
}

TEST_F(TestPrintTest, QueuesStayOnFileWhileTheFacadeHoldsThePort) {
    {
        CPortFacade facade;
        ASSERT_TRUE(facade.Open(XStringW(u"COM5"), 0, 0, true, true));
        EXPECT_EQ(GetQueue(u"Receipt").port, u"FILE:");
        EXPECT_EQ(GetQueue(u"Receipt").attributes, static_cast<DWORD>(PRINTER_ATTRIBUTE_RAW_ONLY));
        EXPECT_EQ(GetQueue(u"Kitchen").port, u"FILE:");
        EXPECT_EQ(GetQueue(u"Far").port, u"COM15:");
        // A second opener of the same port shares it; the queues wait for the last close.
        CPortFacade second;
        ASSERT_TRUE(second.Open(XStringW(u"COM5"), 0, 0, true, true));
        EXPECT_EQ(second.GetPortId(), facade.GetPortId());
        EXPECT_TRUE(second.Close());
        EXPECT_EQ(GetQueue(u"Kitchen").port, u"FILE:");
        const BYTE hello[] = {'h', 'i'};
        EXPECT_EQ(facade.Write(hello, 2), 2);
        EXPECT_TRUE(facade.Close());
    }
    ExpectQueuesBack();
    EXPECT_EQ(Received(), "hi");
}

}  // namespace
}  // namespace tarnel::test

// CSearchDlg with the real scanner and printers of the simulator on this process's loopback
// address, used in the main dialog's order: members, clear the table, StartScan with a found
// callback that keeps a copy and tells the dialog, the modal run, StopScan, the list.
#include <mutex>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tests/ui/ui_fixture.h"
#include "tool/app/res/resource.h"
#include "tool/discovery/search_dlg.h"
#include "tool/discovery/udp_scanner.h"
#include "tools/printer-sim/udp_responder.h"

namespace tarnel::test {
namespace {

using printersim::DiscoveryPrinter;
using printersim::PrinterKind;
using printersim::UdpResponder;

struct Search {
    std::mutex lock;
    std::vector<_DISCOVERY_DEVICE_INFO_> found;
    CSearchDlg* dlg = nullptr;

    static void Found(const _DISCOVERY_DEVICE_INFO_* device, void* context) {
        auto* self = static_cast<Search*>(context);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->found.push_back(*device);
        }
        self->dlg->OnPrinterFound();
    }
};

class SearchScanTest : public WinsockTest {
  protected:
    void SetUp() override {
        WinsockTest::SetUp();
        ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
        printersim::ResponderOptions options;
        options.address = here_;
        responder_ = std::make_unique<UdpResponder>(options);
        _LOCAL_INTERFACE_INFO_ info{IFF_UP | IFF_BROADCAST, Address(here_), Address(here_)};
        scanner_ = new COstraUdpScanner({info});
    }
    void TearDown() override {
        scanner_->StopScan();
        scanner_->Release();
        responder_.reset();
        WinsockTest::TearDown();
    }
    void AddPrinters(int count) {
        for (int i = 1; i <= count; ++i) {
            DiscoveryPrinter p;
            p.kind = PrinterKind::Ethernet;
            p.mac = {0x00, 0x1B, 0xAC, 0x00, 0x00, static_cast<std::uint8_t>(i)};
            p.address = {192, 168, 0, static_cast<std::uint8_t>(i)};
            p.tcpPort = 9100;
            responder_->addPrinter(p);
        }
        std::string error;
        ASSERT_TRUE(responder_->start(error)) << error;
    }
    // The caller's order; `during` acts on the open dialog.
    INT_PTR Run(CSearchDlg& dlg, Search& search, std::function<void()> during = nullptr) {
        dlg.remaining = dlg.remaining ? dlg.remaining : 1500;
        dlg.elapsed = 0;
        dlg.SetFoundCount(0);
        dlg.statusText = TEXT("Now Searching.");
        search.dlg = &dlg;
        scanner_->ClearDeviceTable();
        scanner_->StartScan(&Search::Found, &search, PRINTER_KIND_ETHERNET);
        INT_PTR result;
        {
            ModalThread run([&] { return dlg.DoModal(); });
            if (during)
                during();
            result = run.Join();
        }
        scanner_->StopScan();
        return result;
    }

    const std::string here_ = ProcessLoopbackText();
    std::unique_ptr<UdpResponder> responder_;
    COstraUdpScanner* scanner_ = nullptr;
};

class CountAtClose : public CSearchDlg {
  public:
    std::string shownAtLastTick;

  protected:
    void OnTimer(UINT_PTR id) override {
        shownAtLastTick = Narrow(GetItemText(IDC_SEARCH_COUNT));
        CSearchDlg::OnTimer(id);
    }
};

TEST_F(SearchScanTest, PrintersFoundDuringTheSearchAreCountedShownAndListed) {
    AddPrinters(3);
    CountAtClose dlg;
    Search search;
    EXPECT_EQ(Run(dlg, search), ui::kIdCancel);
    EXPECT_EQ(dlg.GetFoundCount(), 3);
    EXPECT_EQ(dlg.shownAtLastTick, "3");
    EXPECT_EQ(search.found.size(), 3u);
    EXPECT_EQ(dlg.elapsed, 1600);
}

TEST_F(SearchScanTest, CancelEndsTheSearchAndKeepsWhatWasFound) {
    AddPrinters(2);
    CSearchDlg dlg;
    Search search;
    Run(dlg, search, [&] {
        ui::host::WindowRef w = ui::host::WaitForDialog(IDD_SEARCH_DIALOG);
        ASSERT_TRUE(w);
        for (int i = 0; i < 500; ++i) {
            auto count = ui::host::ReadControl(w, IDC_SEARCH_COUNT);
            if (count && Narrow(count->text) == "2")
                break;
            Sleep(5);
        }
        ASSERT_TRUE(ui::host::Press(w, ui::kIdCancel));
    });
    EXPECT_TRUE(dlg.IsFinished());
    EXPECT_LT(dlg.elapsed, 1600);
    EXPECT_EQ(search.found.size(), 2u);
    EXPECT_EQ(dlg.GetFoundCount(), 2);
}

// The dialog closes at its first tick while printers still answer; StopScan then waits for the
// socket threads that may be calling OnPrinterFound at that very moment.
TEST_F(SearchScanTest, PrintersFoundWhileTheDialogClosesNeitherRaceNorHang) {
    AddPrinters(40);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        CSearchDlg dlg;
        dlg.remaining = -1;  // closes at the first tick (Run keeps a non-zero value)
        Search search;
        EXPECT_EQ(Run(dlg, search), ui::kIdCancel);
        EXPECT_EQ(static_cast<int>(search.found.size()), dlg.GetFoundCount());
    }
}

}  // namespace
}  // namespace tarnel::test

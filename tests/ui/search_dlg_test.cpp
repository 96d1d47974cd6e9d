// CSearchDlg: the sixteen ticks of a search with no printer, the dots starting over at the fifth
// and fifteenth tick, printers counted from other threads, Cancel, and printers found from a
// socket thread while the dialog closes and the caller then joins that thread (run many times).
#include <thread>
#include <vector>

#include "tests/ui/ui_fixture.h"
#include "tool/app/res/resource.h"
#include "tool/discovery/search_dlg.h"

namespace {

using ui::host::WindowRef;

struct Tick {
    std::string status;
    std::string count;
    bool finished;
};

class RecordingSearchDlg : public CSearchDlg {
  public:
    RecordingSearchDlg() {
        remaining = 1500;
        elapsed = 0;
        statusText = TEXT("Now Searching.");
        SetFoundCount(0);
    }
    std::vector<Tick> ticks;  // dialog thread; read after the run

  protected:
    void OnTimer(UINT_PTR id) override {
        CSearchDlg::OnTimer(id);
        ticks.push_back({Narrow(GetItemText(IDC_SEARCH_STATUS)),
                         Narrow(GetItemText(IDC_SEARCH_COUNT)), IsFinished()});
    }
};

std::string Dots(int n) {
    return "Now Searching" + std::string(n, '.');
}

class SearchDlgTest : public UiTest {};

TEST_F(SearchDlgTest, NoPrinterClosesAfterTheSixteenthTick) {
    RecordingSearchDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_SEARCH_DIALOG);
    ASSERT_TRUE(w);
    auto progress = ui::host::ReadControl(w, IDC_SEARCH_PROGRESS);
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->high, 1500);
    EXPECT_EQ(run.Join(), ui::kIdCancel);
    ASSERT_EQ(dlg.ticks.size(), 16u);
    // Shown status after each tick: one more dot, back to one dot when 1000 and 0 ms remain.
    const int dots[16] = {2, 3, 4, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, 0};
    for (int i = 0; i < 15; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(dlg.ticks[i].status, Dots(dots[i]));
        EXPECT_EQ(dlg.ticks[i].count, "0");
        EXPECT_FALSE(dlg.ticks[i].finished);
    }
    // The last tick closes without showing the members again.
    EXPECT_EQ(dlg.ticks[15].status, Dots(1));
    EXPECT_TRUE(dlg.ticks[15].finished);
    EXPECT_EQ(Narrow(ui::String(dlg.statusText.GetString())), Dots(2));
    EXPECT_EQ(dlg.remaining, -100);
    EXPECT_EQ(dlg.elapsed, 1600);
    EXPECT_EQ(dlg.GetFoundCount(), 0);
}

TEST_F(SearchDlgTest, PrintersFoundOnOtherThreadsAreCountedAndShown) {
    RecordingSearchDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_SEARCH_DIALOG);
    ASSERT_TRUE(w);
    std::vector<std::thread> sockets;
    for (int t = 0; t < 3; ++t)
        sockets.emplace_back([&] { dlg.OnPrinterFound(); });
    for (auto& t : sockets)
        t.join();
    ASSERT_TRUE(ui::host::Settle(w));
    // Shown at once, before the next tick.
    EXPECT_EQ(Narrow(ui::host::ReadControl(w, IDC_SEARCH_COUNT)->text), "3");
    EXPECT_EQ(run.Join(), ui::kIdCancel);
    EXPECT_EQ(dlg.GetFoundCount(), 3);
    EXPECT_EQ(dlg.ticks.size(), 16u);
    EXPECT_EQ(dlg.ticks[14].count, "3");
}

TEST_F(SearchDlgTest, CancelEndsTheSearchAndKeepsTheCount) {
    RecordingSearchDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_SEARCH_DIALOG);
    ASSERT_TRUE(w);
    dlg.OnPrinterFound();
    dlg.OnPrinterFound();
    ASSERT_TRUE(ui::host::Press(w, ui::kIdCancel));
    EXPECT_EQ(run.Join(), ui::kIdCancel);
    EXPECT_TRUE(dlg.IsFinished());
    EXPECT_LT(dlg.ticks.size(), 16u);
    // Found after the close: counted, nothing shown.
    dlg.OnPrinterFound();
    EXPECT_EQ(dlg.GetFoundCount(), 3);
}

// The caller's order: the dialog closes while socket threads still report printers; then the
// caller stops the scan, which waits for those threads. Neither side may wait for the other.
TEST_F(SearchDlgTest, PrinterFoundWhileTheDialogClosesDoesNotDeadlock) {
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        CSearchDlg dlg;
        dlg.remaining = 0;  // closes at the first tick
        dlg.statusText = TEXT("Now Searching.");
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::vector<std::thread> sockets;
        for (int t = 0; t < 2; ++t) {
            sockets.emplace_back([&] {
                while (!stop) {
                    dlg.OnPrinterFound();
                    ++calls;
                    std::this_thread::yield();
                }
            });
        }
        ModalThread run([&] { return dlg.DoModal(); });
        EXPECT_EQ(run.Join(), ui::kIdCancel);
        // StopScan: the socket threads are joined after the dialog has returned.
        stop = true;
        for (auto& t : sockets)
            t.join();
        EXPECT_EQ(dlg.GetFoundCount(), calls.load());
        EXPECT_TRUE(dlg.IsFinished());
    }
}

}  // namespace

// CSearchDlg: the "Searching..." window shown while the scanner broadcasts: a 100 ms timer that
// moves the progress bar, animates the status text and closes the dialog when the time is up.
#pragma once

#include <atomic>

#include "platform/ui/ui.h"
#include "tool/support/xstring.h"

class CSearchDlg : public ui::Dialog {
  public:
    static constexpr UINT_PTR kTimerId = 1000;
    static constexpr UINT kTick = 100;

    CSearchDlg();

    // Set by the caller before the dialog runs.
    int remaining = 0;  // ms of search left
    int elapsed = 0;    // ms passed: the progress position
    XStringW statusText;

    // Called once per new printer on a socket's event thread. Counts, and asks the dialog's
    // thread to show the count; never waits for that thread, which may be stopping the very
    // sockets whose threads call here.
    void OnPrinterFound();

    void SetFoundCount(int count) { foundCount_ = count; }
    int GetFoundCount() const { return foundCount_; }
    bool IsFinished() const { return finished_; }

  protected:
    bool OnInitDialog() override;
    void OnTimer(UINT_PTR id) override;
    void OnCancel() override;

  private:
    void ShowMembers();
    void ShowCount();
    void Finish();

    // Written by socket threads, read by the dialog's thread.
    std::atomic<int> foundCount_{0};
    std::atomic<bool> finished_{false};
    // A count update is queued for the dialog's thread: one is enough, since it shows the count
    // as it is when it runs, and a burst of printers cannot crowd the timer out of the queue.
    std::atomic<bool> countQueued_{false};
};

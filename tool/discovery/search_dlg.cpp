// CSearchDlg: timer ticks, the found count and the close.
#include "tool/discovery/search_dlg.h"

#include "tool/app/res/resource.h"

CSearchDlg::CSearchDlg() : ui::Dialog(IDD_SEARCH_DIALOG) {}

bool CSearchDlg::OnInitDialog() {
    ShowMembers();
    SetTimer(kTimerId, kTick);
    ProgressSetRange(IDC_SEARCH_PROGRESS, 0, 1500);
    ProgressSetPos(IDC_SEARCH_PROGRESS, elapsed);
    finished_ = false;
    return true;
}

void CSearchDlg::ShowMembers() {
    SetItemText(IDC_SEARCH_STATUS, statusText);
}

void CSearchDlg::ShowCount() {
    XStringW count;
    count.Format(TEXT("%d"), foundCount_.load());
    SetItemText(IDC_SEARCH_COUNT, count);
}

void CSearchDlg::OnTimer(UINT_PTR id) {
    if (id != kTimerId)
        return;
    remaining -= kTick;
    elapsed += kTick;
    statusText += TEXT(".");
    if (remaining % 1000 == 0)
        statusText = TEXT("Now Searching.");
    ProgressSetPos(IDC_SEARCH_PROGRESS, elapsed);
    if (remaining < 0) {
        Finish();
        return;
    }
    ShowCount();
    ShowMembers();
}

void CSearchDlg::OnCancel() {
    Finish();
}

void CSearchDlg::Finish() {
    finished_ = true;
    KillTimer(kTimerId);
    EndDialog(ui::kIdCancel);
}

void CSearchDlg::OnPrinterFound() {
    ++foundCount_;
    if (!finished_ && !countQueued_.exchange(true))
        Post([this] {
            countQueued_ = false;
            ShowCount();
        });
}

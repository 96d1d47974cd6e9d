// CMainBannerDlg: the banner set up as the main dialog sets it: Verdana 14 bold in the button
// face colour, the window title at the left, "V" and the version at the right.
#include "tool/app/main_banner_dlg.h"

#include "tool/app/res/resource.h"
#include "tool/install/win_helper.h"

CMainBannerDlg::CMainBannerDlg() : ui::Dialog(IDD_TARNEL_CONFIGURATION_DIALOG) {
    banner.fontName = TEXT("Verdana");
    banner.fontHeight = 14;
    banner.fontWeight = ui::kFwBold;
    banner.textColor = ui::SysColor(ui::kColorBtnFace);
    BindDrawn(IDC_BANNER, banner);
}

bool CMainBannerDlg::OnInitDialog() {
    const WCHAR* title = TEXT("Tarnel Configuration");
    SetWindowText(title);
    banner.subtitle = XStringW(TEXT("V")) + CWinHelper::GetVersionText(XStringW());
    SetItemText(IDC_BANNER, title);
    return true;
}

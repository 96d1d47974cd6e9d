// The main window's frame as the program shows it until the workflow dialog takes its place:
// template 102 with the banner across its top, closed by EXIT.
#pragma once

#include "platform/ui/ui.h"
#include "tool/app/prefs_static.h"

class CMainBannerDlg : public ui::Dialog {
  public:
    CMainBannerDlg();
    CPrefsStatic banner;

  protected:
    bool OnInitDialog() override;
};

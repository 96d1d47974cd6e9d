// CWinHelper::GetVersionText: the product version (not the file version) as the banner shows it.
#include "platform/ui/ui.h"
#include "tool/install/win_helper.h"

XStringW CWinHelper::GetVersionText(const XStringW& path) {
    DWORD ms = 0, ls = 0;
    if (!ui::GetProductVersion(path.GetString(), ms, ls))
        return XStringW();
    const int a = HIWORD(ms), b = LOWORD(ms), c = HIWORD(ls), d = LOWORD(ls);
    XStringW text;
    if (d == 0) {
        text.Format(TEXT("%d.%d.%d"), a, b, c);
    } else {
        text.Format(TEXT("%d.%d.%d.P%02d"), a, b, c, d);
    }
    return text;
}

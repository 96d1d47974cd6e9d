// ui_gallery.exe DIALOG OUTDIR: shows one of the tool's dialogs as a real window (msg0, msg1,
// msg4, search, banner, main, config, ports), writes OUTDIR\DIALOG.txt with the dialog's base
// units, client origin and every control's rectangle on the screen, then OUTDIR\DIALOG.ready;
// closes when OUTDIR\DIALOG.done appears (or after 60 s).
#include <cstdio>
#include <string>

#include "platform/win32.h"
#include "platform/ui/ui.h"
#include "tool/app/main_banner_dlg.h"
#include "tool/app/message_dlg.h"
#include "tool/app/res/resource.h"
#include "tool/app/resources_text.h"
#include "tool/app/tarnel_configuration_dlg.h"
#include "tool/discovery/printer_config_dlg.h"
#include "tool/discovery/search_dlg.h"
#include "tool/discovery/udp_scanner.h"
#include "tool/install/port_manage_dlg.h"

#include <shellapi.h>

namespace {

std::wstring g_out;
std::wstring g_name;

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Describe(HWND dialog) {
    RECT units{0, 0, 4, 8};
    MapDialogRect(dialog, &units);
    RECT client{};
    GetClientRect(dialog, &client);
    POINT origin{0, 0};
    ClientToScreen(dialog, &origin);
    FILE* f = _wfopen((g_out + L"\\" + g_name + L".txt").c_str(), L"w");
    if (!f)
        return;
    std::fprintf(f, "units %ld %ld\n", units.right, units.bottom);
    std::fprintf(f, "client %ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        GetWindowRect(child, &r);
        std::fprintf(f, "control %d %ld %ld %ld %ld %d\n", GetDlgCtrlID(child), r.left, r.top,
                     r.right, r.bottom, IsWindowVisible(child) ? 1 : 0);
    }
    std::fclose(f);
    FILE* ready = _wfopen((g_out + L"\\" + g_name + L".ready").c_str(), L"w");
    if (ready)
        std::fclose(ready);
}

// Adds the describe-and-wait timer to a dialog class.
template <typename Base>
class Shown : public Base {
  protected:
    bool OnInitDialog() override {
        bool focus = Base::OnInitDialog();
        this->SetTimer(kTimer, 300);
        return focus;
    }
    void OnTimer(UINT_PTR id) override {
        if (id != kTimer) {
            Base::OnTimer(id);
            return;
        }
        HWND hwnd = GetActiveWindow();
        if (!described_ && hwnd) {
            Describe(hwnd);
            described_ = true;
        } else if (Exists(g_out + L"\\" + g_name + L".done") || ++waited_ > 200) {
            this->KillTimer(kTimer);
            this->EndDialog(ui::kIdCancel);
        }
    }

  private:
    static constexpr UINT_PTR kTimer = 4711;
    bool described_ = false;
    int waited_ = 0;
};

// The main window listing two printers as a search would have found them. Its discovery client
// has no interfaces and its search never starts: nothing is sent on the machine's network.
class GalleryMain : public CTarnel_ConfigurationDlg {
  public:
    GalleryMain() : CTarnel_ConfigurationDlg(XStringW(), Services()) {}

  protected:
    bool OnInitDialog() override {
        bool focus = CTarnel_ConfigurationDlg::OnInitDialog();
        KillTimer(kSearchTimer);
        for (BYTE n = 1; n <= 2; ++n) {
            _DISCOVERY_DEVICE_INFO_ d{};
            d.kind = PRINTER_KIND_ETHERNET;
            const BYTE record[] = {0x00, 0x1B, 0xAC, 0x00, 0x00, n,   192, 168, 0,    n,
                                   255,  255,  255,  0,    192,  168, 0,   254, 0x23, 0x8C};
            memcpy(d.rawReply, record, sizeof(record));
            memcpy(d.mac, record, sizeof(record));
            OnDeviceFound(&d, this);
        }
        UpdatePrinterList();
        return focus;
    }

  private:
    static MainDlgServices Services() {
        MainDlgServices services;
        services.createScanner = [] {
            return new COstraUdpScanner(std::vector<_LOCAL_INTERFACE_INFO_>());
        };
        return services;
    }
};

// A printer as a search reports it: the Ethernet record with its settings.
_DISCOVERY_DEVICE_INFO_ FoundPrinter() {
    _DISCOVERY_DEVICE_INFO_ d{};
    d.kind = PRINTER_KIND_ETHERNET;
    const BYTE record[DISCOVERY_ETHERNET_RECORD] = {0x00, 0x1B, 0xAC, 0x00, 0x00, 0x01,  // MAC
                                                    192,  168,  0,    1,                 // address
                                                    255,  255,  255,  0,                 // mask
                                                    192,  168,  0,    254,               // gateway
                                                    0x23, 0x8C,  // local port 9100
                                                    3,           // baud rate 9600
                                                    2,    7,     // firmware 2.7
                                                    0,           // no DHCP
                                                    0x00, 0x1E,  // inactivity 30 s
                                                    0,    0};
    memcpy(d.rawReply, record, sizeof(record));
    memcpy(d.mac, record, 6);
    return d;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3)
        return 2;
    g_name = argv[1];
    g_out = argv[2];
    ui::InitCommonControls(0xFF);
    if (g_name == L"msg0" || g_name == L"msg1" || g_name == L"msg4") {
        Shown<CMessageDlg> dlg;
        int set = g_name == L"msg0" ? 0 : g_name == L"msg1" ? 1 : 4;
        dlg.Setup(XStringW(TEXT("Morvik Lumaport")),
                  XStringW(TEXT("Restart the computer can take effect. \nPlease restart the "
                                "computer.\n\n[Yes] I want to restart my computer now.")),
                  set, set == 4 ? 20 : 24, set == 4 ? 400 : 700, set == 4 ? 36 : 37);
        dlg.DoModal();
    } else if (g_name == L"search") {
        Shown<CSearchDlg> dlg;
        dlg.remaining = 1000000;
        dlg.statusText = TEXT("Now Searching.");
        dlg.DoModal();
    } else if (g_name == L"banner") {
        Shown<CMainBannerDlg> dlg;
        dlg.DoModal();
    } else if (g_name == L"main") {
        Shown<GalleryMain> dlg;
        dlg.DoModal();
    } else if (g_name == L"config") {
        // The ports it offers are the installed port instances the registry lists; with none
        // the dialog says so and closes, as it does for a user.
        Shown<CPrinterConfigDlg> dlg;
        dlg.SetPrinterInfo(FoundPrinter(), XStringW(TEXT("COM7")));
        dlg.createScanner = [] {
            return new COstraUdpScanner(std::vector<_LOCAL_INTERFACE_INFO_>());
        };
        dlg.DoModal();
    } else if (g_name == L"ports") {
        Shown<CPortManageDlg> dlg;
        dlg.DoModal();
    } else {
        return 2;
    }
    LocalFree(argv);
    return 0;
}

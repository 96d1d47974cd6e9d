// CTarnel_ConfigurationDlg: the main window. Start-up (traces, stale assignments, the installer's
// command line), then the three steps: search the printers, configure one and assign it a
// virtual port, print a test page; beside them port management and detaching a port.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/ui/ui.h"
#include "tool/app/command_line.h"
#include "tool/app/prefs_static.h"
#include "tool/discovery/discovery_protocol.h"
#include "tool/discovery/search_dlg.h"
#include "tool/support/xstring.h"

class COstraUdpScanner;
class CTarnel_ConfigurationDlg;

// What the main window hands to parts of the program built beside it. Each may be left empty.
struct MainDlgServices {
    // A new discovery client (released by its user); empty: one over the system's interfaces.
    std::function<COstraUdpScanner*()> createScanner;
    // The installer's command-line run, given an accepted command line.
    std::function<void(CVPCommandLine&, CTarnel_ConfigurationDlg&)> runInstallerCommand;
    // The connected USB printers the command line's conditions look at; none when empty.
    CUsbPrinterSource* usbPrinters = nullptr;
    // The port management dialog run modally; its result (OK asks for a restart).
    std::function<INT_PTR(CTarnel_ConfigurationDlg&)> portManage;
    std::function<bool()> rebootSystem;
};

class CTarnel_ConfigurationDlg : public ui::Dialog {
  public:
    static constexpr UINT_PTR kSearchTimer = 101;
    static constexpr UINT kSearchDelay = 300;
    static constexpr int kSearchTime = 1500;
    static constexpr int kPrinterPos = 20;
    static constexpr int kPrinterLabel = 10;

    // `commandLine`: the program's argument text.
    explicit CTarnel_ConfigurationDlg(XStringW commandLine = XStringW(),
                                      MainDlgServices services = MainDlgServices());
    ~CTarnel_ConfigurationDlg() override;

    void SearchPrinters();
    void UpdatePrinterList();
    void OnConfigAssign();
    void OnTestPrint();
    void OnPortManage();
    void OnDetachPort();

    // The discovery's found callback; `context` is the dialog. Runs on socket event threads.
    static void OnDeviceFound(const _DISCOVERY_DEVICE_INFO_* device, void* context);

    // A copy of the printers of the last search, in arrival order.
    std::vector<_DISCOVERY_DEVICE_INFO_> GetFoundPrinters() const;
    // The printer type the test print uses, from the two hidden radio buttons.
    bool IsPosChecked() const;
    bool IsLabelChecked() const;

    CSearchDlg searchDlg;
    CPrefsStatic banner;

    // Rounds a stored "PrinterType" down to a multiple of 10.
    static int RoundPrinterType(UINT stored) { return static_cast<int>(stored / 10 * 10); }
    // Whether every port instance could be read: only then may assignments of ports that are
    // not there be taken for stale.
    static bool PortInstancesReadable();

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    void OnTimer(UINT_PTR id) override;
    void OnNotify(int id, const ui::Notification& n) override;
    void OnDestroy() override;

  private:
    void InitControls();
    void ClearFoundPrinters();
    // The 1-based number of the row the list view has selected, 0 when none.
    int SelectedNumber() const;
    void ConfigureRow(int number);
    void RunStartupCommand();

    XStringW commandLine_;
    MainDlgServices services_;
    COstraUdpScanner* scanner_ = nullptr;

    // Written by socket event threads while a search runs, read on the dialog thread.
    mutable std::mutex foundLock_;
    std::vector<_DISCOVERY_DEVICE_INFO_> found_;
};

// The profile section and value of the printer type.
inline constexpr const WCHAR* kProfileSection = TEXT("Config");
inline constexpr const WCHAR* kProfilePrinterType = TEXT("PrinterType");

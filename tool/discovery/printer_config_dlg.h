// CPrinterConfigDlg: "Printer Configuration Setup". Shows the network settings a printer reported,
// sends changed ones with "SETT", finds the printer again until it reports them, and assigns the
// chosen virtual port to it.
#pragma once

#include <functional>

#include "platform/ui/ui.h"
#include "tool/discovery/discovery_protocol.h"
#include "tool/support/xstring.h"

class COstraUdpScanner;

class CPrinterConfigDlg : public ui::Dialog {
  public:
    static constexpr UINT_PTR kCloseTimer = 11;
    static constexpr UINT kCloseDelay = 50;
    static constexpr DWORD kConfirmTime = 18000;
    static constexpr int kProgressEnd = 180;

    CPrinterConfigDlg();

    // The printer as found and the port shown for it ("Not Assigned" when none).
    void SetPrinterInfo(const _DISCOVERY_DEVICE_INFO_& device, const XStringW& portName);
    // A new discovery client for the save (released by the dialog); empty: the system's.
    std::function<COstraUdpScanner*()> createScanner;
    // How long the save searches for the printer reporting the settings sent.
    DWORD confirmTime = kConfirmTime;

    // The Ethernet reply record as last known: edited when settings are sent, and taking the
    // printer's own address and port when it is found again with DHCP on.
    const BYTE* Record() const { return record_; }

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    void OnTimer(UINT_PTR id) override;

  private:
    void OnDhcpClicked();
    void OnSaveToPrinter();
    void EnableControls(bool enable);
    void ShowMembers();
    void ShowAddressControls();
    // Finds the printer again until it reports the settings just sent; false after 18 s.
    bool ConfirmSettings(COstraUdpScanner& scanner);
    void SaveAssignment(const XStringW& selectedPort);
    void Warn(const WCHAR* text);

    BYTE record_[DISCOVERY_ETHERNET_RECORD] = {};
    XStringW openedAddress_;
    int openedPort_ = 0;
    XStringW portName_;
    int localPort_ = 0;
    int inactivity_ = 0;
    bool dhcp_ = false;
    ui::Font portFont_;
};

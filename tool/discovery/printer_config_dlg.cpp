// CPrinterConfigDlg: opening, the DHCP box, and the save with its confirmation by search.
#include "tool/discovery/printer_config_dlg.h"

#include <algorithm>
#include <cstring>

#include "tool/app/res/resource.h"
#include "tool/discovery/udp_scanner.h"
#include "tool/install/port_assignment.h"
#include "tool/install/virtual_ports.h"
#include "tool/store/product.h"
#include "tool/support/trace.h"

namespace {

constexpr int kBnClicked = 0;

const WCHAR* const kSaveLocation = TEXT("CPrinterConfigDlg::OnSaveToPrinter");
const WCHAR* const kSucceeded = TEXT("Succeeded to save information!");
const WCHAR* const kFailed = TEXT(
    "Failed to configure the information related to communication port \r\nwhen trying to "
    "apply it because the printer does send a response to the host.\r\n\r\nPlease try it "
    "again if the error occurs.");

const WCHAR* const kBaudTexts[] = {TEXT("1200"),  TEXT("2400"),   TEXT("4800"),
                                   TEXT("9600"),  TEXT("19200"),  TEXT("38400"),
                                   TEXT("57600"), TEXT("115200"), TEXT("230400")};

DWORD ReadAddress(const BYTE* bytes) {
    return (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
}

void WriteAddress(BYTE* bytes, DWORD address) {
    bytes[0] = BYTE(address >> 24);
    bytes[1] = BYTE(address >> 16);
    bytes[2] = BYTE(address >> 8);
    bytes[3] = BYTE(address);
}

int ReadWord(const BYTE* bytes) {
    return (bytes[0] << 8) | bytes[1];
}

void WriteWord(BYTE* bytes, int value) {
    bytes[0] = BYTE(value >> 8);
    bytes[1] = BYTE(value);
}

XStringW DottedText(const BYTE* bytes) {
    XStringW text;
    text.Format(TEXT("%d.%d.%d.%d"), bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

}  // namespace

CPrinterConfigDlg::CPrinterConfigDlg() : ui::Dialog(IDD_CONFIG_DIALOG) {}

void CPrinterConfigDlg::SetPrinterInfo(const _DISCOVERY_DEVICE_INFO_& device,
                                       const XStringW& portName) {
    std::memcpy(record_, device.rawReply, sizeof(record_));
    Trace(TEXT("CPrinterConfigDlg::SetPrinterInfo"), __LINE__, TEXT("local interface num : %d"),
          record_[RECORD_INTERFACE_INDEX]);
    openedAddress_ = DottedText(record_ + RECORD_ADDRESS);
    openedPort_ = ReadWord(record_ + RECORD_LOCAL_PORT);
    portName_ = portName;
}

bool CPrinterConfigDlg::OnInitDialog() {
    ui::FontSpec spec;
    spec.height = 14;
    spec.face = TEXT("Arial");
    portFont_ = ui::Font(spec);
    SetItemFont(IDC_CFG_PORT_LIST, portFont_);
    SetItemFont(IDC_CFG_PORT_LABEL, portFont_);

    for (const WCHAR* rate : kBaudTexts)
        ComboAddString(IDC_CFG_BAUD, rate);
    ComboSetCurSel(IDC_CFG_BAUD, DiscoveryBaudPosition(record_[RECORD_BAUD]));

    localPort_ = ReadWord(record_ + RECORD_LOCAL_PORT);
    inactivity_ = ReadWord(record_ + RECORD_INACTIVITY);
    dhcp_ = record_[RECORD_DHCP] == 1;
    ShowMembers();
    XStringW firmware;
    firmware.Format(TEXT("%d.%d"), record_[RECORD_FIRMWARE_MAJOR], record_[RECORD_FIRMWARE_MINOR]);
    SetItemText(IDC_CFG_FIRMWARE, firmware);

    const XStringWList ports = GetVirtualPortList(kHardwareId, kServiceName);
    if (ports.GetCount() == 0) {
        ui::MessageBox(this, TEXT("Cadrel don't installed."), nullptr,
                       ui::kMbOk | ui::kMbIconWarning);
        EndDialog(ui::kIdCancel);
        return true;
    }
    for (int i = 0; i < ports.GetCount(); ++i) {
        if (ports.GetAt(i).IsEmpty())
            continue;
        const int index = ComboAddString(IDC_CFG_PORT_LIST, ports.GetAt(i));
        if (ports.GetAt(i) == portName_)
            ComboSetCurSel(IDC_CFG_PORT_LIST, index);
    }
    return true;
}

void CPrinterConfigDlg::ShowMembers() {
    IpSetAddress(IDC_CFG_IP, ReadAddress(record_ + RECORD_ADDRESS));
    IpSetAddress(IDC_CFG_MASK, ReadAddress(record_ + RECORD_MASK));
    IpSetAddress(IDC_CFG_GATEWAY, ReadAddress(record_ + RECORD_GATEWAY));
    XStringW number;
    number.Format(TEXT("%d"), localPort_);
    SetItemText(IDC_CFG_LOCAL_PORT, number);
    number.Format(TEXT("%d"), inactivity_);
    SetItemText(IDC_CFG_INACTIVITY, number);
    CheckItem(IDC_CFG_DHCP, dhcp_);
    ShowAddressControls();
}

void CPrinterConfigDlg::ShowAddressControls() {
    EnableItem(IDC_CFG_IP, !dhcp_);
    EnableItem(IDC_CFG_MASK, !dhcp_);
    EnableItem(IDC_CFG_GATEWAY, !dhcp_);
}

void CPrinterConfigDlg::OnCommand(int id, int code) {
    if (id == IDC_CFG_DHCP && code == kBnClicked) {
        OnDhcpClicked();
        return;
    }
    if (id == IDC_CFG_SAVE && code == kBnClicked) {
        OnSaveToPrinter();
        return;
    }
    ui::Dialog::OnCommand(id, code);
}

void CPrinterConfigDlg::OnDhcpClicked() {
    dhcp_ = IsItemChecked(IDC_CFG_DHCP);
    ShowAddressControls();
}

void CPrinterConfigDlg::OnTimer(UINT_PTR id) {
    if (id != kCloseTimer)
        return;
    KillTimer(kCloseTimer);
    OnCommand(ui::kIdOk, kBnClicked);
}

void CPrinterConfigDlg::EnableControls(bool enable) {
    EnableItem(IDC_CFG_SAVE, enable);
    EnableItem(ui::kIdCancel, enable);
    EnableItem(IDC_CFG_LOCAL_PORT, enable);
    EnableItem(IDC_CFG_INACTIVITY, enable);
    EnableItem(IDC_CFG_DHCP, enable);
    EnableItem(IDC_CFG_PORT_LIST, enable);
    if (enable) {
        ShowAddressControls();
    } else {
        EnableItem(IDC_CFG_IP, false);
        EnableItem(IDC_CFG_MASK, false);
        EnableItem(IDC_CFG_GATEWAY, false);
    }
}

void CPrinterConfigDlg::Warn(const WCHAR* text) {
    ui::MessageBox(this, text, nullptr, ui::kMbOk | ui::kMbIconWarning);
    EnableControls(true);
}

void CPrinterConfigDlg::OnSaveToPrinter() {
    ui::WaitCursor wait;
    EnableControls(false);
    ui::Dialog::ProgressSetRange(IDC_CFG_PROGRESS, 0, kProgressEnd);
    ProgressSetPos(IDC_CFG_PROGRESS, 0);
    dhcp_ = IsItemChecked(IDC_CFG_DHCP);

    const int selection = ComboGetCurSel(IDC_CFG_PORT_LIST);
    if (selection < 0) {
        // Closing as saved would drop the user's edits without a word.
        Warn(TEXT("Please select a port"));
        return;
    }
    const XStringW selectedPort(ComboGetText(IDC_CFG_PORT_LIST, selection).c_str());

    const XStringW portText(GetItemText(IDC_CFG_LOCAL_PORT).c_str());
    const XStringW inactivityText(GetItemText(IDC_CFG_INACTIVITY).c_str());
    const int port = portText.ToInt();
    const int inactivity = inactivityText.IsEmpty() ? 0xFFFF : inactivityText.ToInt();
    DWORD address = 0, mask = 0, gateway = 0;
    const bool addressEmpty = IpGetAddress(IDC_CFG_IP, address) == 0;
    const bool maskEmpty = IpGetAddress(IDC_CFG_MASK, mask) == 0;
    const bool gatewayEmpty = IpGetAddress(IDC_CFG_GATEWAY, gateway) == 0;
    // Two bytes go to the printer: a value outside them would arrive truncated.
    if (addressEmpty || maskEmpty || gatewayEmpty || port < 1 || port > 0xFFFF || inactivity < 0 ||
        inactivity > 0xFFFF) {
        Warn(TEXT("Please check Network Address or Port Number"));
        return;
    }

    BYTE changed[DISCOVERY_ETHERNET_RECORD];
    std::memcpy(changed, record_, sizeof(changed));
    WriteAddress(changed + RECORD_ADDRESS, address);
    WriteAddress(changed + RECORD_MASK, mask);
    WriteAddress(changed + RECORD_GATEWAY, gateway);
    WriteWord(changed + RECORD_LOCAL_PORT, port);
    changed[RECORD_BAUD] = DiscoveryBaudCode(ComboGetCurSel(IDC_CFG_BAUD));
    changed[RECORD_DHCP] = dhcp_ ? 1 : 0;
    WriteWord(changed + RECORD_INACTIVITY, inactivity);
    localPort_ = port;
    inactivity_ = inactivity;

    if (std::memcmp(changed + RECORD_ADDRESS, record_ + RECORD_ADDRESS,
                    RECORD_FIRMWARE_MAJOR - RECORD_ADDRESS) == 0 &&
        changed[RECORD_DHCP] == record_[RECORD_DHCP] &&
        std::memcmp(changed + RECORD_INACTIVITY, record_ + RECORD_INACTIVITY, 2) == 0) {
        Trace(kSaveLocation, __LINE__, TEXT("Not changed network info."));
        SaveAssignment(selectedPort);
        ui::MessageBox(this, kSucceeded, TEXT("Success"), ui::kMbOk | ui::kMbIconInformation);
        SetTimer(kCloseTimer, kCloseDelay);
        return;
    }

    std::memcpy(record_, changed, sizeof(record_));
    Trace(kSaveLocation, __LINE__, TEXT("changed network info."));
    COstraUdpScanner* scanner = createScanner ? createScanner() : new COstraUdpScanner();
    scanner->SetPrinterConfig(record_);
    const bool confirmed = ConfirmSettings(*scanner);
    scanner->Release();
    if (confirmed) {
        SaveAssignment(selectedPort);
        ui::MessageBox(this, kSucceeded, TEXT("Success"), ui::kMbOk | ui::kMbIconInformation);
        SetTimer(kCloseTimer, kCloseDelay);
        return;
    }
    Trace(kSaveLocation, __LINE__, TEXT("searching... but no found printer ip."));
    ui::MessageBox(this, kFailed, nullptr, ui::kMbOk);
    EnableControls(true);
    ProgressSetPos(IDC_CFG_PROGRESS, kProgressEnd);
    localPort_ = ReadWord(record_ + RECORD_LOCAL_PORT);
    inactivity_ = ReadWord(record_ + RECORD_INACTIVITY);
    ShowMembers();
}

bool CPrinterConfigDlg::ConfirmSettings(COstraUdpScanner& scanner) {
    const DWORD start = GetTickCount();
    const bool dhcp = record_[RECORD_DHCP] == 1;
    while (GetTickCount() - start < confirmTime) {
        scanner.ClearDeviceTable();
        scanner.SearchOnce();
        ProgressSetPos(IDC_CFG_PROGRESS,
                       static_cast<int>(std::min<DWORD>(GetTickCount() - start, confirmTime) *
                                        kProgressEnd / confirmTime));
        for (const _DISCOVERY_DEVICE_INFO_& d : scanner.GetDevices()) {
            if (d.kind != PRINTER_KIND_ETHERNET ||
                std::memcmp(d.rawReply + RECORD_MAC, record_ + RECORD_MAC, 6) != 0)
                continue;
            // A printer still answering with its old settings has not taken the new ones.
            const BYTE* r = d.rawReply;
            if (dhcp) {
                if (r[RECORD_DHCP] != 1 ||
                    std::memcmp(r + RECORD_LOCAL_PORT, record_ + RECORD_LOCAL_PORT, 2) != 0)
                    continue;
                // The address is the one the printer was given, not the one in the dialog.
                std::memcpy(record_ + RECORD_ADDRESS, r + RECORD_ADDRESS, 4);
                return true;
            }
            if (r[RECORD_DHCP] == 0 && std::memcmp(r + RECORD_ADDRESS, record_ + RECORD_ADDRESS,
                                                   RECORD_BAUD - RECORD_ADDRESS) == 0)
                return true;
        }
    }
    return false;
}

void CPrinterConfigDlg::SaveAssignment(const XStringW& selectedPort) {
    PORT_ASSIGNMENT a;
    a.portName = selectedPort;
    a.previousAddress = openedAddress_;
    a.previousPort = openedPort_;
    a.address = DottedText(record_ + RECORD_ADDRESS);
    a.port = ReadWord(record_ + RECORD_LOCAL_PORT);
    a.shownPort = portName_;
    AssignPrinterPort(kProductKey, a);
}

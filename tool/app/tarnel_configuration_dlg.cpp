// CTarnel_ConfigurationDlg: start-up, the printer list and the three steps.
#include "tool/app/tarnel_configuration_dlg.h"

#include "tool/app/app.h"
#include "tool/app/command_run.h"
#include "tool/app/message_dlg.h"
#include "tool/app/res/resource.h"
#include "tool/app/test_print.h"
#include "tool/discovery/printer_config_dlg.h"
#include "tool/discovery/udp_scanner.h"
#include "tool/install/port_manage_dlg.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/install/win_helper.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"
#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

namespace {

constexpr int kCommandLineTarget = 8888;
// List-view extended styles: grid lines, full-row selection; column format: centred.
constexpr DWORD kLvsExGridLines = 0x1;
constexpr DWORD kLvsExFullRowSelect = 0x20;
constexpr int kLvcfmtCenter = 0x2;

constexpr int kColumnNo = 0;
constexpr int kColumnMac = 1;
constexpr int kColumnAddress = 2;
constexpr int kColumnPort = 3;
constexpr int kColumnAssign = 4;

const WCHAR* const kSelectRow = TEXT("Select mac address at list");
const WCHAR* const kNotConfiguration = TEXT("Not Configuration");

XStringW MacText(const _DISCOVERY_DEVICE_INFO_& d) {
    XStringW text;
    text.Format(TEXT("%02x:%02x:%02x:%02x:%02x:%02x"), d.mac[0], d.mac[1], d.mac[2], d.mac[3],
                d.mac[4], d.mac[5]);
    return text;
}

XStringW AddressText(const _DISCOVERY_DEVICE_INFO_& d) {
    XStringW text;
    text.Format(TEXT("%d.%d.%d.%d"), d.address[0], d.address[1], d.address[2], d.address[3]);
    return text;
}

// No USB printers: the command line's "pid" and "sn" conditions then fail as on a machine
// without one.
class CNoUsbPrinters : public CUsbPrinterSource {
  public:
    XStringWList GetProductIds() override { return XStringWList(); }
    XStringWList GetDevicePaths() override { return XStringWList(); }
};

class CMainTestPrintUi : public TestPrintUi {
  public:
    explicit CMainTestPrintUi(ui::Dialog& owner) : owner_(owner) {}
    void ShowMessage(const WCHAR* text, TestPrintIcon icon) override {
        (void)icon;  // the message window has no icons
        CMessageDlg box;
        box.Setup(owner_.GetWindowText().c_str(), text, CMessageDlg::kButtonsOk, 20, ui::kFwNormal,
                  CMessageDlg::kFormatCentred);
        box.DoModal(&owner_);
    }

  private:
    ui::Dialog& owner_;
};

// The tool's own command-line run: nothing is shown but what the command asks for (the result
// dialog of "m", the question of "rs1"); the exit code tells the installer how it went.
void RunCommandAndSetExitCode(CVPCommandLine& command, CTarnel_ConfigurationDlg&) {
    CommandRunServices run = DefaultCommandRunServices(false);
    const CommandRunServices shown = DefaultCommandRunServices(true);
    run.showResult = shown.showResult;
    run.askRestart = shown.askRestart;
    const CommandOutcome outcome = RunInstallerCommand(command, run);
    if (CTarnel_ConfigurationApp* app = CTarnel_ConfigurationApp::Current())
        app->SetExitCode(CommandLineExitCode(CVPCommandLine::kAccepted, outcome));
}

}  // namespace

CTarnel_ConfigurationDlg::CTarnel_ConfigurationDlg(XStringW commandLine, MainDlgServices services)
    : ui::Dialog(IDD_TARNEL_CONFIGURATION_DIALOG),
      commandLine_(std::move(commandLine)),
      services_(std::move(services)) {
    scanner_ = services_.createScanner ? services_.createScanner() : new COstraUdpScanner();
    if (!services_.runInstallerCommand)
        services_.runInstallerCommand = RunCommandAndSetExitCode;
    if (!services_.usbPrinters) {
        static CSystemUsbPrinters systemUsb;
        services_.usbPrinters = &systemUsb;
    }
    if (!services_.portManage)
        services_.portManage = [](CTarnel_ConfigurationDlg& owner) {
            CPortManageDlg dlg;
            return dlg.DoModal(&owner);
        };
    banner.fontName = TEXT("Verdana");
    banner.fontHeight = 14;
    banner.fontWeight = ui::kFwBold;
    banner.textColor = ui::SysColor(ui::kColorBtnFace);
    BindDrawn(IDC_BANNER, banner);
}

CTarnel_ConfigurationDlg::~CTarnel_ConfigurationDlg() {
    if (scanner_) {
        scanner_->StopScan();
        scanner_->Release();
    }
    ClearFoundPrinters();
}

bool CTarnel_ConfigurationDlg::PortInstancesReadable() {
    HKEY root = nullptr;
    LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstanceRoot, 0, KEY_READ | KEY_WOW64_64KEY, &root);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;  // no instance at all: every assignment is stale
    if (status != ERROR_SUCCESS)
        return false;
    bool readable = true;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        status = RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            readable = false;
            break;
        }
        HKEY instance = nullptr;
        if (RegOpenKeyExW(root, name, 0, KEY_READ | KEY_WOW64_64KEY, &instance) != ERROR_SUCCESS) {
            readable = false;
            break;
        }
        RegCloseKey(instance);
    }
    RegCloseKey(root);
    return readable;
}

bool CTarnel_ConfigurationDlg::OnInitDialog() {
    TraceInit();
    const WCHAR* where = TEXT("CTarnel_ConfigurationDlg::OnInitDialog");
    Trace(where, __LINE__, TEXT("Current execute mode is Wow64=%d"), CWinHelper::IsWow64() ? 1 : 0);
    const int os = CWinHelper::GetOSVersion();
    Trace(where, __LINE__, TEXT("Current windows os version=%d"), os);
    if (os == 2017) {
        Trace(where, __LINE__, TEXT("Secure boot option=%d"),
              CWinHelper::IsSecureBootEnabled() ? 1 : 0);
    }
    const XStringWList installed = GetVirtualPortList(kHardwareId, kServiceName);
    if (PortInstancesReadable())
        DeleteStaleAssignedInfo(kProductKey, installed);
    else
        TraceError(where, __LINE__, TEXT("port instances unreadable; assignments kept"));

    RunStartupCommand();
    return true;
}

void CTarnel_ConfigurationDlg::RunStartupCommand() {
    CNoUsbPrinters noUsb;
    int result;
    {
        CVPCommandLine command(services_.usbPrinters ? *services_.usbPrinters : noUsb);
        result = command.ParseCommand(commandLine_);
        if (result == CVPCommandLine::kAccepted) {
            services_.runInstallerCommand(command, *this);
        } else if (result != CVPCommandLine::kNoCommand) {
            if (CTarnel_ConfigurationApp* app = CTarnel_ConfigurationApp::Current())
                app->SetExitCode(CommandLineExitCode(result, CommandOutcome()));
        }
    }
    TraceRemove(kCommandLineTarget);
    if (result != CVPCommandLine::kNoCommand) {
        EndDialog(ui::kIdOk);
        return;
    }
    InitControls();
    SetTimer(kSearchTimer, kSearchDelay);
}

void CTarnel_ConfigurationDlg::InitControls() {
    XStringW title;
    title.Format(TEXT("%s Configuration Tool"), TEXT("Morvik Lumaport"));
    XStringW version;
    version.Format(TEXT("V%s"), CWinHelper::GetVersionText(XStringW()));
    SetWindowText(title);
    banner.subtitle = version;
    SetItemText(IDC_BANNER, title);

    ListViewSetExtendedStyle(IDC_PRINTER_LIST, kLvsExGridLines | kLvsExFullRowSelect);
    ListViewInsertColumn(IDC_PRINTER_LIST, kColumnNo, TEXT("No"), 30, kLvcfmtCenter);
    ListViewInsertColumn(IDC_PRINTER_LIST, kColumnMac, TEXT("Mac Address"), 118, kLvcfmtCenter);
    ListViewInsertColumn(IDC_PRINTER_LIST, kColumnAddress, TEXT("IP Address"), 118, kLvcfmtCenter);
    ListViewInsertColumn(IDC_PRINTER_LIST, kColumnPort, TEXT("Port"), 54, kLvcfmtCenter);
    ListViewInsertColumn(IDC_PRINTER_LIST, kColumnAssign, TEXT("Assign Info"), 86, kLvcfmtCenter);

    UINT stored = kPrinterPos;
    if (CTarnel_ConfigurationApp* app = CTarnel_ConfigurationApp::Current())
        stored = app->GetProfileInt(kProfileSection, kProfilePrinterType, kPrinterPos);
    const int type = RoundPrinterType(stored);
    CheckItem(IDC_RADIO_POS, type == kPrinterPos);
    CheckItem(IDC_RADIO_LABEL, type == kPrinterLabel);
}

void CTarnel_ConfigurationDlg::OnCommand(int id, int code) {
    switch (id) {
        case IDC_BTN_SEARCH:
            SearchPrinters();
            return;
        case IDC_BTN_CONFIG:
            OnConfigAssign();
            return;
        case IDC_BTN_TEST_PRINT:
            OnTestPrint();
            return;
        case IDC_BTN_PORT_MANAGE:
            OnPortManage();
            return;
        case IDC_BTN_DETACH:
            OnDetachPort();
            return;
        default:
            ui::Dialog::OnCommand(id, code);
    }
}

void CTarnel_ConfigurationDlg::OnTimer(UINT_PTR id) {
    if (id != kSearchTimer)
        return;
    KillTimer(kSearchTimer);
    SearchPrinters();
}

void CTarnel_ConfigurationDlg::OnNotify(int id, const ui::Notification& n) {
    if (id != IDC_PRINTER_LIST || n.code != ui::kNmDblClk)
        return;
    // A double-click below the rows chooses nothing.
    if (n.row >= 0)
        OnConfigAssign();
}

void CTarnel_ConfigurationDlg::OnDestroy() {
    if (CTarnel_ConfigurationApp* app = CTarnel_ConfigurationApp::Current()) {
        app->WriteProfileInt(kProfileSection, kProfilePrinterType,
                             IsLabelChecked() ? kPrinterLabel : kPrinterPos);
    }
}

bool CTarnel_ConfigurationDlg::IsPosChecked() const {
    return IsItemChecked(IDC_RADIO_POS);
}

bool CTarnel_ConfigurationDlg::IsLabelChecked() const {
    return IsItemChecked(IDC_RADIO_LABEL);
}

void CTarnel_ConfigurationDlg::ClearFoundPrinters() {
    std::lock_guard<std::mutex> guard(foundLock_);
    for (auto& d : found_)
        SupportWipe(&d, sizeof(d));
    found_.clear();
}

std::vector<_DISCOVERY_DEVICE_INFO_> CTarnel_ConfigurationDlg::GetFoundPrinters() const {
    std::lock_guard<std::mutex> guard(foundLock_);
    return found_;
}

void CTarnel_ConfigurationDlg::OnDeviceFound(const _DISCOVERY_DEVICE_INFO_* device, void* context) {
    auto* self = static_cast<CTarnel_ConfigurationDlg*>(context);
    self->searchDlg.OnPrinterFound();
    std::lock_guard<std::mutex> guard(self->foundLock_);
    self->found_.push_back(*device);
}

void CTarnel_ConfigurationDlg::SearchPrinters() {
    searchDlg.remaining = kSearchTime;
    searchDlg.elapsed = 0;
    searchDlg.SetFoundCount(0);
    searchDlg.statusText = TEXT("Now Searching.");
    ClearFoundPrinters();
    scanner_->ClearDeviceTable();
    scanner_->StartScan(&CTarnel_ConfigurationDlg::OnDeviceFound, this, PRINTER_KIND_ETHERNET);
    searchDlg.DoModal(this);
    scanner_->StopScan();
    UpdatePrinterList();
}

void CTarnel_ConfigurationDlg::UpdatePrinterList() {
    ListViewDeleteAllItems(IDC_PRINTER_LIST);
    const std::vector<_DISCOVERY_DEVICE_INFO_> printers = GetFoundPrinters();
    int n = 1;
    for (const auto& d : printers) {
        XStringW number, port;
        number.Format(TEXT("%d"), n);
        port.Format(TEXT("%d"), DiscoveryLocalPort(d));
        XStringW address, assign;
        LONG_PTR data = 0;
        if (d.address[0] != 0) {
            address = AddressText(d);
            assign = GetAssignedPortName(kProductKey, address, DiscoveryLocalPort(d));
            data = assign == kNotAssigned ? 0 : 1;
        } else {
            address = kNotConfiguration;
        }
        const int row = ListViewInsertItem(IDC_PRINTER_LIST, n - 1, number);
        ListViewSetItemText(IDC_PRINTER_LIST, row, kColumnMac, MacText(d));
        ListViewSetItemText(IDC_PRINTER_LIST, row, kColumnAddress, address);
        ListViewSetItemText(IDC_PRINTER_LIST, row, kColumnPort, port);
        ListViewSetItemText(IDC_PRINTER_LIST, row, kColumnAssign, assign);
        ListViewSetItemData(IDC_PRINTER_LIST, row, data);
        ++n;
    }
}

int CTarnel_ConfigurationDlg::SelectedNumber() const {
    return ListViewGetSelection(IDC_PRINTER_LIST) + 1;
}

void CTarnel_ConfigurationDlg::OnConfigAssign() {
    const int number = SelectedNumber();
    if (number < 1 || number > ListViewGetItemCount(IDC_PRINTER_LIST)) {
        ui::MessageBox(this, kSelectRow, nullptr, ui::kMbOk | ui::kMbIconWarning);
        return;
    }
    if (GetVirtualPortList(kHardwareId, kServiceName).GetCount() == 0) {
        const bool secure = CWinHelper::GetOSVersion() >= 2017 && CWinHelper::IsSecureBootEnabled();
        CVPInstall::Install(secure ? TEXT("secure\\OstraTarnel.INF") : TEXT("Tarnel.INF"),
                            kHardwareId);
    }
    ConfigureRow(number);
}

void CTarnel_ConfigurationDlg::ConfigureRow(int number) {
    const int row = number - 1;
    const XStringW assign(ListViewGetItemText(IDC_PRINTER_LIST, row, kColumnAssign).c_str());
    const XStringW mac(ListViewGetItemText(IDC_PRINTER_LIST, row, kColumnMac).c_str());
    const XStringW address(ListViewGetItemText(IDC_PRINTER_LIST, row, kColumnAddress).c_str());

    const std::vector<_DISCOVERY_DEVICE_INFO_> printers = GetFoundPrinters();
    const _DISCOVERY_DEVICE_INFO_* match = nullptr;
    for (const auto& d : printers) {
        if (MacText(d) == mac && (address == kNotConfiguration || AddressText(d) == address)) {
            match = &d;
            break;
        }
    }
    if (!match)
        return;

    CPrinterConfigDlg config;
    config.createScanner = services_.createScanner;
    config.SetPrinterInfo(*match, assign);
    if (config.DoModal(this) == ui::kIdOk)
        SetTimer(kSearchTimer, kSearchDelay);
}

void CTarnel_ConfigurationDlg::OnTestPrint() {
    TestPrintSelection selection;
    selection.selected = SelectedNumber();
    selection.rowCount = ListViewGetItemCount(IDC_PRINTER_LIST);
    if (selection.selected >= 1 && selection.selected <= selection.rowCount) {
        const int row = selection.selected - 1;
        selection.assignInfo = ListViewGetItemText(IDC_PRINTER_LIST, row, kColumnAssign).c_str();
        selection.assigned = static_cast<DWORD_PTR>(ListViewGetItemData(IDC_PRINTER_LIST, row));
    }
    // Neither button checked (a stored type that is neither) prints the label page.
    selection.type = IsPosChecked() ? TestPrinterType::Pos : TestPrinterType::Label;
    CMainTestPrintUi messages(*this);
    RunTestPrint(selection, messages);
}

void CTarnel_ConfigurationDlg::OnPortManage() {
    if (!services_.portManage) {
        TraceError(TEXT("CTarnel_ConfigurationDlg::OnPortManage"), __LINE__,
                   TEXT("no port management in this build"));
        return;
    }
    if (services_.portManage(*this) == ui::kIdOk) {
        Trace(TEXT("CTarnel_ConfigurationDlg::OnPortManage"), __LINE__,
              TEXT("PortManage - SystemReboot"));
        EndDialog(ui::kIdOk);
        if (services_.rebootSystem)
            services_.rebootSystem();
        else
            CWinHelper::RebootSystem();
        return;
    }
    SearchPrinters();
}

void CTarnel_ConfigurationDlg::OnDetachPort() {
    const int number = SelectedNumber();
    if (number < 1 || number > ListViewGetItemCount(IDC_PRINTER_LIST)) {
        ui::MessageBox(this, kSelectRow, nullptr, ui::kMbOk);
        return;
    }
    const int row = number - 1;
    if (ListViewGetItemData(IDC_PRINTER_LIST, row) == 0) {
        ui::MessageBox(this, TEXT("Not assigned!!!"), nullptr, ui::kMbOk);
        return;
    }
    const XStringW port(ListViewGetItemText(IDC_PRINTER_LIST, row, kColumnAssign).c_str());
    if (DeleteAssignedInfo(port, kProductKey)) {
        ListViewSetItemText(IDC_PRINTER_LIST, row, kColumnAssign, kNotAssigned);
        ListViewSetItemData(IDC_PRINTER_LIST, row, 0);
    }
}

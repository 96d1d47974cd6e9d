// The port management dialog: list, "Add Port", "Delete All Port" and the restart question.
#include "tool/install/port_manage_dlg.h"

#include "tool/app/message_dlg.h"
#include "tool/app/res/resource.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/store/product.h"

namespace {

const WCHAR kCaption[] = TEXT("Morvik Lumaport");
const WCHAR kRestartQuestion[] =
    TEXT("Restart the computer can take effect. \nPlease restart the computer.") TEXT(
        "\n\n[Yes] I want to restart my computer now.\n[No] I will restart my computer later.");

CPortManageDlg::Services DefaultServices() {
    CPortManageDlg::Services s;
    s.install = [] { return CVPInstall::Install(CVPInstall::ChooseInf(), kHardwareId); };
    s.uninstallAll = [] {
        CVPInstall::UninstallAll(TEXT("Tarnel.sys"), kServiceName, kHardwareId,
                                 TEXT("Pellor.Manufacturer"), kProductKey, TEXT("Morvik"));
    };
    s.virtualPorts = [] { return GetVirtualPortList(kHardwareId, kServiceName); };
    s.message = [](const XStringW& text, int buttonSet, int fontHeight, int fontWeight,
                   UINT textFormat) {
        CMessageDlg dlg;
        dlg.Setup(kCaption, text, buttonSet, fontHeight, fontWeight, textFormat);
        dlg.DoModal();
        return dlg.GetResult();
    };
    return s;
}

}  // namespace

CPortManageDlg::CPortManageDlg() : CPortManageDlg(DefaultServices()) {}

CPortManageDlg::CPortManageDlg(Services services)
    : ui::Dialog(IDD_PORT_MANAGE_DIALOG), services_(std::move(services)) {
    Services defaults = DefaultServices();
    if (!services_.install)
        services_.install = defaults.install;
    if (!services_.uninstallAll)
        services_.uninstallAll = defaults.uninstallAll;
    if (!services_.virtualPorts)
        services_.virtualPorts = defaults.virtualPorts;
    if (!services_.message)
        services_.message = defaults.message;
}

bool CPortManageDlg::OnInitDialog() {
    RefreshList();
    return true;
}

void CPortManageDlg::OnCommand(int id, int code) {
    switch (id) {
        case IDC_BTN_ADD_PORT:
            OnAddPort();
            return;
        case IDC_BTN_DELETE_ALL:
            OnDeleteAllPort();
            return;
        default:
            ui::Dialog::OnCommand(id, code);
    }
}

// The list box mirrors the virtual ports; it sorts them as text.
void CPortManageDlg::RefreshList() {
    const XStringWList ports = services_.virtualPorts();
    ListBoxResetContent(IDC_PORT_LIST);
    for (int i = 0; i < ports.GetCount(); ++i)
        if (!ports.GetAt(i).IsEmpty())
            ListBoxAddString(IDC_PORT_LIST, ports.GetAt(i).GetString());
    if (ListBoxGetCount(IDC_PORT_LIST) > 0)
        ListBoxSetCurSel(IDC_PORT_LIST, 0);
}

void CPortManageDlg::OnAddPort() {
    ui::WaitCursor wait;
    const int result = services_.install();
    const WCHAR* text = result == VP_INSTALL_REBOOT
                            ? TEXT("Reboot Required!\r\nReset and Again Add Port")
                        : result == VP_INSTALL_FAILED ? TEXT("Error : Fail to add port!")
                                                      : TEXT("Add port Success!");
    services_.message(text, CMessageDlg::kButtonsOk, 24, 700, CMessageDlg::kFormatCentred);
    RefreshList();
}

void CPortManageDlg::OnDeleteAllPort() {
    {
        ui::WaitCursor wait;
        services_.uninstallAll();
        RefreshList();
    }
    const int answer = services_.message(kRestartQuestion, CMessageDlg::kButtonsYesNo, 20, 400,
                                         CMessageDlg::kFormatLeft);
    if (answer == ui::kIdYes)
        EndDialog(ui::kIdOk);
}

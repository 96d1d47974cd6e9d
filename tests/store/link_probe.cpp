// A Windows program that reaches every store and installer entry point, so that the image's
// import table lists the system functions they use.
#include "platform/win32.h"
#include "tool/install/port_assignment.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/install/win_helper.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"
#include "tool/store/reg_helper.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 2;
    CWinHelper::LoadVersionCalls();
    if (CWinHelper::GetOSVersion() >= 2017 && CWinHelper::IsSecureBootEnabled() &&
        CWinHelper::GetSystemFolder().IsEmpty() && CWinHelper::IsWow64())
        return CWinHelper::RebootSystem() ? 3 : 4;
    const XStringW port(argv[1]);
    const XStringW address(argv[2]);
    XStringWList ports = GetVirtualPortList(kHardwareId, kServiceName);
    DeleteStaleAssignedInfo(kProductKey, ports);
    PORT_ASSIGNMENT assignment;
    assignment.portName = port;
    assignment.address = address;
    assignment.port = 9100;
    AssignPrinterPort(kProductKey, assignment);
    const XStringW found = GetAssignedPortName(kProductKey, address, 9100);
    DWORD number = 0;
    CRegHelper::GetNumberValue(false, XStringW(kProductKey) + TEXT("\\") + port, TEXT("Port"),
                               number);
    const bool deleted = DeleteAssignedInfo(found, kProductKey);
    CVPInstall::DeleteRegistryAllAssignedInfo(kProductKey);
    if (argc > 3 && CVPInstall::Install(CVPInstall::ChooseInf(), kHardwareId) == VP_INSTALL_FAILED)
        CVPInstall::UninstallAll(TEXT("Tarnel.sys"), kServiceName, kHardwareId,
                                 TEXT("Pellor.Manufacturer"), kProductKey, TEXT("Morvik"));
    return deleted && number != 0 ? 0 : 1;
}

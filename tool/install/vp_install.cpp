// CVPInstall: installing the driver package with a new port, and uninstalling everything.
#include "tool/install/vp_install.h"

#include "platform/win32.h"
#include "tool/install/win_helper.h"
#include "tool/install/wow64_relay.h"
#include "tool/support/program_path.h"
#include "tool/support/trace.h"

namespace {

// The stop of a service is awaited this long in all, then given up with an error line.
int g_stopWaitSteps = 30;
int g_stopWaitStepMs = 1000;

}  // namespace

XStringW CVPInstall::ChooseInf() {
    return CWinHelper::GetOSVersion() > 2016 && CWinHelper::IsSecureBootEnabled()
               ? XStringW(TEXT("secure\\OstraTarnel.INF"))
               : XStringW(TEXT("Tarnel.INF"));
}

int CVPInstall::Install(const XStringW& infName, const XStringW& hardwareId) {
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::Install");
    const XStringW path = GetProgramDirectory() + TEXT("\\") + infName;
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        Trace(kWhere, __LINE__, TEXT("FindFirstFile : Error code = %d"),
              static_cast<int>(GetLastError()));
        return VP_INSTALL_FAILED;
    }
    FindClose(search);
    BOOL reboot = FALSE;
    if (!InstallRootEnumeratedDriver(hardwareId, path, reboot))
        return VP_INSTALL_FAILED;
    if (reboot) {
        Trace(kWhere, __LINE__, TEXT("Install Success, reboot required."));
        return VP_INSTALL_REBOOT;
    }
    Trace(kWhere, __LINE__, TEXT("Install Success, no reboot required."));
    return VP_INSTALL_OK;
}

void CVPInstall::UninstallAll(const XStringW& files, const XStringW& services,
                              const XStringW& hardwareId, const XStringW& infKey,
                              const XStringW& productKey, const XStringW& manufacturer) {
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::UninstallAll");
    WCHAR system[520] = {};
    GetSystemDirectoryW(system, 520);
    Trace(kWhere, __LINE__, TEXT("SystemDirectory : %s"), static_cast<const WCHAR*>(system));
    DeleteDeviceInfo(hardwareId);
    DeleteINFFile(infKey, manufacturer);
    // Under WOW64 System32 would be redirected to SysWOW64: the 64-bit build deletes the files.
    const bool relayed = Wow64RelayNeeded();
    const XStringWList fileNames = files.Split(TEXT("|"), true);
    for (int i = 0; i < fileNames.GetCount(); ++i) {
        XStringW path;
        path.Format(TEXT("%s\\drivers\\%s"), static_cast<const WCHAR*>(system), fileNames.GetAt(i));
        Trace(kWhere, __LINE__, TEXT("Sys file path : %s"), path);
        if (relayed ? RelayDeleteFile(path) : DeleteFileW(path))
            Trace(kWhere, __LINE__, TEXT("Delete Sys file : Success!"));
        else
            TraceError(kWhere, __LINE__, TEXT("Delete Sys file"));
    }
    const XStringWList serviceNames = services.Split(TEXT("|"), true);
    for (int i = 0; i < serviceNames.GetCount(); ++i)
        DeleteService(serviceNames.GetAt(i));
    DeleteRegistryAllAssignedInfo(productKey);
    Trace(kWhere, __LINE__, TEXT("-END"));
}

void CVPInstall::SetStopWait(int steps, int stepMs) {
    g_stopWaitSteps = steps;
    g_stopWaitStepMs = stepMs;
}

void CVPInstall::DeleteService(const XStringW& name) {
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::DeleteService");
    Trace(kWhere, __LINE__, TEXT("+ %s"), name);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        TraceError(kWhere, __LINE__, TEXT("OpenSCManager"));
        return;
    }
    SC_HANDLE service =
        OpenServiceW(manager, name, DELETE | SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service) {
        TraceError(kWhere, __LINE__, TEXT("OpenService"));
        CloseServiceHandle(manager);
        return;
    }
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        Sleep(static_cast<DWORD>(g_stopWaitStepMs));
        bool queried = QueryServiceStatus(service, &status) != FALSE;
        for (int waited = 0;
             queried && status.dwCurrentState == SERVICE_STOP_PENDING && waited < g_stopWaitSteps;
             ++waited) {
            Trace(kWhere, __LINE__, TEXT("SERVICE_STOP_PENDING..."));
            Sleep(static_cast<DWORD>(g_stopWaitStepMs));
            queried = QueryServiceStatus(service, &status) != FALSE;
        }
        if (queried && status.dwCurrentState == SERVICE_STOPPED)
            Trace(kWhere, __LINE__, TEXT("%s stopped."), name);
        else
            TraceError(kWhere, __LINE__, TEXT("SERVICE_CONTROL_STOP"));
    } else {
        TraceError(kWhere, __LINE__, TEXT("ControlService"));
    }
    if (::DeleteService(service))
        Trace(kWhere, __LINE__, TEXT("Service deleted successfully"));
    else
        TraceError(kWhere, __LINE__, TEXT("DeleteService"));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

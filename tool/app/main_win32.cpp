// The Windows entry point of Tarnel_Configuration.exe: the application object with Windows
// Sockets, the forced restart and the main window given the program's arguments.
#include <memory>

#include "platform/win32.h"
#include "tool/app/app.h"
#include "tool/app/tarnel_configuration_dlg.h"
#include "tool/install/wow64_relay.h"

namespace {

bool StartSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

// The shutdown privilege, then a forced restart; running programs are not asked to save.
bool RestartWindows() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueW(nullptr, TEXT("SeShutdownPrivilege"), &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (error != 0)
        return false;
    return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) != FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR arguments, int) {
    // The 64-bit build started by the 32-bit tool under WOW64 for a device step: run it, end.
    int internalExitCode = 0;
    if (RunInternalCommand(XStringW(GetCommandLineW()), internalExitCode))
        return internalExitCode;
    const XStringW commandLine(arguments ? arguments : TEXT(""));
    CTarnel_ConfigurationApp app(
        {StartSockets, RestartWindows,
         [commandLine] { return std::make_unique<CTarnel_ConfigurationDlg>(commandLine); }});
    return app.Run();
}

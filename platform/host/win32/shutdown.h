// Restarting Windows on the host machine: the process token with the shutdown privilege and the
// restart requests, which the machine records and never carries out.
#pragma once

#include <vector>

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
using PLUID = LUID*;
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_SHUTDOWN_NAME TEXT("SeShutdownPrivilege")
#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#ifndef ERROR_NOT_ALL_ASSIGNED
#define ERROR_NOT_ALL_ASSIGNED 1300L
#endif
#ifndef ERROR_NO_SUCH_PRIVILEGE
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#endif

// The current process only; the tool runs elevated, so it holds the shutdown privilege, which
// starts disabled.
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
// Sets the last error: ERROR_SUCCESS, or ERROR_NOT_ALL_ASSIGNED for a privilege not held.
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
// A restart or shutdown needs the enabled privilege (ERROR_PRIVILEGE_NOT_HELD); it is recorded.
BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason);

namespace tarnel::host {

struct ShutdownRequest {
    UINT flags;
    DWORD reason;
};
std::vector<ShutdownRequest> ShutdownRequests();
// Forgets the requests and disables the privilege again; with `held` false the process is not
// elevated (AdjustTokenPrivileges then reports ERROR_NOT_ALL_ASSIGNED).
void ResetShutdownState(bool held = true);

}  // namespace tarnel::host

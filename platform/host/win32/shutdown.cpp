// The shutdown privilege of the process token and the recorded restart requests.
#include "platform/host/win32/shutdown.h"

#include <mutex>
#include <string>

#include "platform/host/win32/process.h"

namespace {

constexpr DWORD kShutdownLuid = 19;  // SE_SHUTDOWN_PRIVILEGE
const HANDLE kToken = reinterpret_cast<HANDLE>(ULONG_PTR(0x544F4B00));

struct State {
    std::mutex mutex;
    bool held = true;
    bool enabled = false;
    std::vector<tarnel::host::ShutdownRequest> requests;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

namespace tarnel::host {

std::vector<ShutdownRequest> ShutdownRequests() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().requests;
}

void ResetShutdownState(bool held) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().requests.clear();
    state().enabled = false;
    state().held = held;
}

}  // namespace tarnel::host

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    if (ProcessHandle != GetCurrentProcess() || !TokenHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *TokenHandle = kToken;
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    if (lpSystemName && *lpSystemName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!lpName || !lpLuid || std::u16string(lpName) != u"SeShutdownPrivilege") {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = kShutdownLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    UNREFERENCED_PARAMETER(BufferLength);
    UNREFERENCED_PARAMETER(PreviousState);
    if (ReturnLength)
        *ReturnLength = 0;
    if (TokenHandle != kToken) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    if (DisableAllPrivileges) {
        state().enabled = false;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (!NewState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool all = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = NewState->Privileges[i];
        if (p.Luid.LowPart != kShutdownLuid || p.Luid.HighPart != 0 || !state().held) {
            all = false;
            continue;
        }
        state().enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    // Success either way; the last error tells whether every privilege was changed.
    SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) {
        if (!state().enabled) {
            SetLastError(ERROR_PRIVILEGE_NOT_HELD);
            return FALSE;
        }
    }
    state().requests.push_back({uFlags, dwReason});
    return TRUE;
}

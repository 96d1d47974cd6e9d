// Process facts: pseudo-handles, ids, WOW64 from the machine's settings and the program's path.
#include "platform/host/win32/process.h"

#include <climits>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/paths.h"
#include "platform/host/win32/program_bitness.h"

namespace {

std::mutex g_programMutex;
std::string g_programPath;

std::string programLinuxPath() {
    {
        std::lock_guard<std::mutex> lock(g_programMutex);
        if (!g_programPath.empty())
            return g_programPath;
    }
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

}  // namespace

namespace tarnel::host {

void SetProgramPath(const std::string& linuxPath) {
    std::lock_guard<std::mutex> lock(g_programMutex);
    g_programPath = linuxPath;
}

}  // namespace tarnel::host

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(LONG_PTR(-1));
}
HANDLE GetCurrentThread() {
    return reinterpret_cast<HANDLE>(LONG_PTR(-2));
}
DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

BOOL IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    if (hProcess != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Wow64Process) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    tarnel::host::MachineConfig config = tarnel::host::Machine::current().config();
    *Wow64Process =
        config.os64 && config.toolWow64 && !tarnel::host::ProgramIs64Bit() ? TRUE : FALSE;
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::u16string path;
    if (!tarnel::host::ToWindowsPath(programLinuxPath(), path)) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < nSize) {
        path.copy(lpFilename, path.size());
        lpFilename[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

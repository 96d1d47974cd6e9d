// Process facts of the host machine: the program's own path (on Z:) and WOW64.
#pragma once

#include <string>

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"

using HMODULE = struct HINSTANCE__*;
using HINSTANCE = HMODULE;

#define MAX_PATH 260

// The pseudo-handles Windows gives for the calling process and thread.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
// TRUE in *Wow64Process when the machine runs the tool as a 32-bit program on 64-bit Windows.
// Only the current process is known: other handles fail with ERROR_INVALID_HANDLE.
BOOL IsWow64Process(HANDLE hProcess, PBOOL Wow64Process);
// Only the calling program's module (NULL) is known; other modules fail with ERROR_MOD_NOT_FOUND.
// Truncates like Windows XP and later: the result is nSize-1 characters, terminated, the return
// value nSize, with ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

namespace tarnel::host {

// The Linux path GetModuleFileNameW reports for the program; empty (the default) means the
// executable itself (/proc/self/exe). Tests of programs that look beside themselves for files
// place the program in a folder of their own with this.
void SetProgramPath(const std::string& linuxPath);

}  // namespace tarnel::host

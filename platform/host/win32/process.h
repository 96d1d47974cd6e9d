// Process facts of the host machine: the program's own path (on Z:) and WOW64.
#pragma once

#include "platform/host/types.h"
#include "platform/host/win32/errors.h"

using HMODULE = struct HINSTANCE__*;
using HINSTANCE = HMODULE;

#define MAX_PATH 260

// The pseudo-handle Windows gives for the calling process.
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
// TRUE in *Wow64Process when the machine runs the tool as a 32-bit program on 64-bit Windows.
BOOL IsWow64Process(HANDLE hProcess, PBOOL Wow64Process);
// Only the calling program's module (NULL) is known. Truncates like Windows: the result is
// nSize-1 characters, terminated, with ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

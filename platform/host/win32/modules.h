// Loaded modules of the host machine and the exports the tool looks up by name at run time.
// The system modules the tool imports count as loaded; an export exists only from the Windows
// version that introduced it, so a lookup fails on an older machine exactly as on Windows.
#pragma once

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/win32/process.h"

using FARPROC = INT_PTR (*)();

// A name without an extension gets ".dll"; names compare without regard to case. Unknown
// modules fail with ERROR_MOD_NOT_FOUND.
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
BOOL FreeLibrary(HMODULE hLibModule);
// An export missing from the module (or from this machine's Windows version) fails with
// ERROR_PROC_NOT_FOUND; names compare case-sensitively, as on Windows.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

namespace tarnel::host {
// Tests: an export that this Windows lacks (as a trimmed or very old system would).
void SetExportHidden(const char* name, bool hidden);
}  // namespace tarnel::host

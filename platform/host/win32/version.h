// Windows version queries of the host machine: VerifyVersionInfoW, VerSetConditionMask,
// GetVersionExW and GetSystemMetrics(SM_SERVERR2), answered from the machine's settings.
// Like Windows, the answers depend on the program's compatibility manifest: the tool's declares
// no supported OS, so on a machine above 6.2 both calls report 6.2 (build 9200), while the
// registry's CurrentVersion values tell the truth. A program that declares Windows 10 support
// sees the machine's own version.
#pragma once

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"

struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOW) == 276 && sizeof(OSVERSIONINFOEXW) == 284);
using LPOSVERSIONINFOW = OSVERSIONINFOW*;
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;
using DWORDLONG = ULONGLONG;

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

#define VER_MINORVERSION 0x0000001
#define VER_MAJORVERSION 0x0000002
#define VER_BUILDNUMBER 0x0000004
#define VER_PLATFORMID 0x0000008
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_SUITENAME 0x0000040
#define VER_PRODUCT_TYPE 0x0000080
#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5

#define ERROR_OLD_WIN_VERSION 1150L
#ifndef ERROR_BAD_ARGUMENTS
#define ERROR_BAD_ARGUMENTS 160L
#endif
#define SM_SERVERR2 89

namespace tarnel::host {
// Whether the running program's manifest declares support for Windows 10 (default: no).
void SetManifestSupportsWindows10(bool supported);
}  // namespace tarnel::host

// Every tested field must meet its condition; FALSE with ERROR_OLD_WIN_VERSION otherwise, or
// ERROR_BAD_ARGUMENTS for an empty type mask.
BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                        DWORDLONG dwlConditionMask);
// Three bits of condition per field, the field's bit number times three from the bottom.
ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition);
// The record's size decides how much is filled (276 or 284 bytes); else ERROR_INSUFFICIENT_BUFFER.
BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);
// SM_SERVERR2 only (0: the machine is no Server 2003 R2); other indices give 0.
int GetSystemMetrics(int nIndex);

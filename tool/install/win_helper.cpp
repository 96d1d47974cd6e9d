// CWinHelper: the OS version code from the version-verification calls (the older GetVersionExW
// when they are missing or match nothing), refined through the registry's CurrentVersion values.
#include "tool/install/win_helper.h"

#include "platform/win32.h"
#include "tool/store/reg_helper.h"
#include "tool/support/trace.h"

namespace {

using VerifyVersionFn = BOOL(WINAPI*)(LPOSVERSIONINFOEXW, DWORD, DWORDLONG);
using ConditionMaskFn = ULONGLONG(WINAPI*)(ULONGLONG, DWORD, BYTE);

struct VersionCalls {
    VerifyVersionFn verify = nullptr;
    ConditionMaskFn mask = nullptr;
};

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(found));
}

VersionCalls g_calls;
bool g_loaded = false;

const VersionCalls& Calls() {
    if (!g_loaded)
        CWinHelper::LoadVersionCalls();
    return g_calls;
}

constexpr int kAny = -1;

// True when Windows confirms every given value (kAny: not tested) with an "equal" condition.
bool Verify(int platform, int major, int minor) {
    const VersionCalls& calls = Calls();
    if (!calls.verify || !calls.mask)
        return false;
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    DWORD types = 0;
    ULONGLONG conditions = 0;
    if (platform != kAny) {
        info.dwPlatformId = static_cast<DWORD>(platform);
        types |= VER_PLATFORMID;
        conditions = calls.mask(conditions, VER_PLATFORMID, VER_EQUAL);
    }
    if (major != kAny) {
        info.dwMajorVersion = static_cast<DWORD>(major);
        types |= VER_MAJORVERSION;
        conditions = calls.mask(conditions, VER_MAJORVERSION, VER_EQUAL);
    }
    if (minor != kAny) {
        info.dwMinorVersion = static_cast<DWORD>(minor);
        types |= VER_MINORVERSION;
        conditions = calls.mask(conditions, VER_MINORVERSION, VER_EQUAL);
    }
    return calls.verify(&info, types, conditions) == 1;
}

int Server2003Code() {
    return GetSystemMetrics(SM_SERVERR2) != 0 ? 2007 : 2006;
}

int FromVerification() {
    if (!Calls().verify || !Verify(VER_PLATFORM_WIN32_NT, kAny, kAny))
        return 0;
    struct Row {
        int major, minor, code;
    };
    const Row rows[] = {{5, 0, 2004}, {5, 1, 2005}, {5, 2, 2006}, {6, 0, 2008}, {6, 1, 2011},
                        {6, 2, 2013}, {6, 3, 2015}, {6, 4, 2017}, {10, 0, 2017}};
    for (const Row& row : rows) {
        if (Verify(kAny, row.major, row.minor))
            return row.code == 2006 ? Server2003Code() : row.code;
    }
    return 0;
}

int FromVersionRecord() {
    Trace(TEXT("CWinHelper::CheckOS"), __LINE__, TEXT("OS is not NT"));
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info)))
        return 2011;
    const DWORD major = info.dwMajorVersion, minor = info.dwMinorVersion;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && major == 4) {
        if (minor == 0)
            return 2000;
        if (minor == 10)
            return 2001;
        if (minor == 90)
            return 2002;
        return 2011;
    }
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return 2011;
    const bool workstation = info.wProductType == VER_NT_WORKSTATION;
    if (major == 6) {
        switch (minor) {
            case 0:
                return workstation ? 2008 : 2009;
            case 1:
                return workstation ? 2011 : 2010;
            case 2:
                return workstation ? 2013 : 2012;
            case 3:
                return workstation ? 2015 : 2014;
        }
        return 2011;
    }
    if (major == 5) {
        switch (minor) {
            case 0:
                return 2004;
            case 1:
                return 2005;
            case 2:
                return Server2003Code();
        }
        return 2011;
    }
    return major <= 4 ? 2003 : 2011;
}

const WCHAR* const kCurrentVersion = TEXT("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");

}  // namespace

void CWinHelper::LoadVersionCalls() {
    HMODULE kernel = GetModuleHandleW(TEXT("kernel32.dll"));
    g_calls.verify = Resolve<VerifyVersionFn>(kernel, "VerifyVersionInfoW");
    g_calls.mask = Resolve<ConditionMaskFn>(kernel, "VerSetConditionMask");
    g_loaded = true;
}

int CWinHelper::CheckOS() {
    const int code = FromVerification();
    return code != 0 ? code : FromVersionRecord();
}

int CWinHelper::GetMajorVer(int& major, int& minor) {
    const bool view32 = IsWow64();
    DWORD number = 0;
    const int value = CRegHelper::GetNumberValue(view32, kCurrentVersion,
                                                 TEXT("CurrentMajorVersionNumber"), number)
                          ? static_cast<int>(number)
                          : -1;
    const XStringW version = CRegHelper::GetStringValue(kCurrentVersion, TEXT("CurrentVersion"));
    const XStringW product = CRegHelper::GetStringValue(kCurrentVersion, TEXT("ProductName"));
    Trace(TEXT("CWinHelper::GetMajorVer"), __LINE__,
          TEXT("CurrentMajorVersionNumber:%d, CurrentVersion:%s, ProductName:%s"), value, version,
          product);
    if (value == -1) {
        const XStringWList parts = version.Split(TEXT("."), true);
        // No CurrentVersion at all gives 0.0.
        major = parts.GetCount() > 0 ? parts.GetAt(0).ToInt() : 0;
        minor = parts.GetCount() > 1 ? parts.GetAt(1).ToInt() : 0;
        if (major == 6 && minor == 3 && product.Find(TEXT("Windows 10")) >= 0) {
            major = 10;
            minor = 0;
        }
    } else {
        major = value;
        DWORD minorNumber = 0;
        minor = CRegHelper::GetNumberValue(view32, kCurrentVersion,
                                           TEXT("CurrentMinorVersionNumber"), minorNumber)
                    ? static_cast<int>(minorNumber)
                    : 0;
        Trace(TEXT("CWinHelper::GetMajorVer"), __LINE__, TEXT("Get Major and Minor version:%d.%d"),
              major, minor);
    }
    return major;
}

int CWinHelper::GetOSVersion() {
    int code = CheckOS();
    if (code >= 2013) {
        const int workstation = code == 2013 ? 1 : 0;
        int major = 0, minor = 0;
        if (GetMajorVer(major, minor) > 0) {
            if (major == 6 && minor == 2)
                code = 2012 + workstation;
            else if (major == 6 && minor == 3)
                code = 2014 + workstation;
            else if (major == 6 && minor == 4)
                code = 2016 + workstation;
            else if (major == 10)
                code = 2016 + workstation;
        }
    }
    Trace(TEXT("CWinHelper::GetOSVersion"), __LINE__, TEXT("- GetOSVersion: %d"), code);
    return code;
}

bool CWinHelper::IsSecureBootEnabled() {
    DWORD enabled = 0;
    return CRegHelper::GetNumberValue(IsWow64(),
                                      TEXT("SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State"),
                                      TEXT("UEFISecureBootEnabled"), enabled) &&
           enabled == 1;
}

bool CWinHelper::IsWow64() {
    return CRegHelper::RunsUnderWow64();
}

bool CWinHelper::RebootSystem() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges = {};
    LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    if (GetLastError() != ERROR_SUCCESS)
        return false;
    return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) != FALSE;
}

XStringW CWinHelper::GetSystemFolder() {
    WCHAR folder[520] = {};
    GetSystemDirectoryW(folder, 520);
    return XStringW(folder);
}

// Version queries answered from the machine's settings (see version.h).
#include "platform/host/win32/version.h"

#include <atomic>
#include <cstring>

#include "platform/host/machine/machine.h"

namespace {

std::atomic<bool> g_manifested{false};

struct Version {
    DWORD major, minor, build, platform;
    BYTE product;
};

// What Windows reports to the program, as its manifest decides.
Version reported() {
    const tarnel::host::MachineConfig c = tarnel::host::Machine::current().config();
    Version v{c.windowsMajor, c.windowsMinor, c.windowsBuild, VER_PLATFORM_WIN32_NT,
              VER_NT_WORKSTATION};
    if (!g_manifested && (v.major > 6 || (v.major == 6 && v.minor > 2))) {
        v.major = 6;
        v.minor = 2;
        v.build = 9200;
    }
    if (c.product == tarnel::host::ProductType::Server)
        v.product = VER_NT_SERVER;
    else if (c.product == tarnel::host::ProductType::DomainController)
        v.product = VER_NT_DOMAIN_CONTROLLER;
    return v;
}

bool meets(DWORD actual, DWORD wanted, BYTE condition) {
    switch (condition) {
        case VER_EQUAL:
            return actual == wanted;
        case VER_GREATER:
            return actual > wanted;
        case VER_GREATER_EQUAL:
            return actual >= wanted;
        case VER_LESS:
            return actual < wanted;
        case VER_LESS_EQUAL:
            return actual <= wanted;
    }
    return false;
}

BYTE conditionOf(DWORDLONG mask, DWORD type) {
    int bit = 0;
    while (!(type & (1u << bit)))
        ++bit;
    return static_cast<BYTE>((mask >> (bit * 3)) & 7);
}

}  // namespace

namespace tarnel::host {
void SetManifestSupportsWindows10(bool supported) {
    g_manifested = supported;
}
}  // namespace tarnel::host

ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition) {
    if (!TypeMask)
        return ConditionMask;
    for (int bit = 0; bit < 8; ++bit) {
        if (!(TypeMask & (1u << bit)))
            continue;
        ConditionMask &= ~(ULONGLONG(7) << (bit * 3));
        ConditionMask |= ULONGLONG(Condition & 7) << (bit * 3);
    }
    return ConditionMask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                        DWORDLONG dwlConditionMask) {
    if (!lpVersionInformation || !dwTypeMask) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    const Version v = reported();
    const OSVERSIONINFOEXW& want = *lpVersionInformation;
    struct Field {
        DWORD type, actual, wanted;
    };
    const Field fields[] = {
        {VER_PLATFORMID, v.platform, want.dwPlatformId},
        {VER_MAJORVERSION, v.major, want.dwMajorVersion},
        {VER_MINORVERSION, v.minor, want.dwMinorVersion},
        {VER_BUILDNUMBER, v.build, want.dwBuildNumber},
        {VER_SERVICEPACKMAJOR, 0, want.wServicePackMajor},
        {VER_SERVICEPACKMINOR, 0, want.wServicePackMinor},
        {VER_PRODUCT_TYPE, v.product, want.wProductType},
    };
    for (const Field& f : fields) {
        if ((dwTypeMask & f.type) &&
            !meets(f.actual, f.wanted, conditionOf(dwlConditionMask, f.type))) {
            SetLastError(ERROR_OLD_WIN_VERSION);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (!lpVersionInformation) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const Version v = reported();
    lpVersionInformation->dwMajorVersion = v.major;
    lpVersionInformation->dwMinorVersion = v.minor;
    lpVersionInformation->dwBuildNumber = v.build;
    lpVersionInformation->dwPlatformId = v.platform;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = ex->wServicePackMinor = ex->wSuiteMask = 0;
        ex->wProductType = v.product;
        ex->wReserved = 0;
    }
    return TRUE;
}

int GetSystemMetrics(int nIndex) {
    UNREFERENCED_PARAMETER(nIndex);
    return 0;
}

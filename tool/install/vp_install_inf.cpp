// CVPInstall::DeleteINFFile: the copies Windows made of the product's INF ("oem" INFs whose
// manufacturer string is ours) go through SetupUninstallOEMInfW, or on Windows 2000 and older
// by deleting the INF and its precompiled .PNF directly.
#include <vector>

#include "platform/win32.h"
#include "tool/install/vp_install.h"
#include "tool/install/win_helper.h"
#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

namespace {

using UninstallOemInfFn = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);

UninstallOemInfFn g_uninstallOemInf = nullptr;
bool g_setupCallsLoaded = false;

constexpr const WCHAR* kWhere = TEXT("CVPInstall::DeleteINFFile");

// At most `capacity` - 1 characters of `text`, as a fixed buffer of that size holds them.
XStringW Bounded(const XStringW& text, int capacity) {
    return text.GetLength() < capacity ? text : text.Left(capacity - 1);
}

bool StartsWithNoCase(const XStringW& text, const XStringW& prefix) {
    if (text.GetLength() < prefix.GetLength())
        return false;
    XStringW head = text.Left(prefix.GetLength());
    XStringW wanted = prefix;
    head.MakeLower();
    wanted.MakeLower();
    return head == wanted;
}

void DeleteWithTrace(const XStringW& path) {
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path)) {
        Trace(kWhere, __LINE__, TEXT("'%s' has been deleted successfully."), path);
    } else {
        Trace(kWhere, __LINE__, TEXT("DeleteFile failed : %s, (%d)"), path,
              static_cast<int>(GetLastError()));
    }
}

// One "oem" INF: 1 when it is the product's and was removed (or is to be removed by file
// deletion), else 0.
int UninstallIfOurs(const WCHAR* name, const XStringW& key, const XStringW& manufacturer,
                    bool wow64, int& osCode) {
    HINF inf = SetupOpenInfFileW(name, nullptr, INF_STYLE_OLDNT | INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE)
        return 0;
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, TEXT("Strings"), key, &context)) {
        SetupCloseInfFile(inf);
        return 0;
    }
    WCHAR field0[260] = {};
    WCHAR field1[260] = {};
    int removal = 0;
    if (!SetupGetStringFieldW(&context, 0, field0, 260, nullptr)) {
        Trace(kWhere, __LINE__, TEXT("SetupGetStringField[0], err code(%d)"),
              static_cast<int>(GetLastError()));
    } else if (!SetupGetStringFieldW(&context, 1, field1, 260, nullptr)) {
        Trace(kWhere, __LINE__, TEXT("SetupGetStringField[1], err code(%d)"),
              static_cast<int>(GetLastError()));
    } else {
        Trace(kWhere, __LINE__, TEXT("Name = %s"), static_cast<const WCHAR*>(field0));
        Trace(kWhere, __LINE__, TEXT("Value = %s"), static_cast<const WCHAR*>(field1));
        if (StartsWithNoCase(XStringW(field1), manufacturer)) {
            removal = 1;
            if (osCode == 0 && !wow64)
                osCode = CWinHelper::GetOSVersion();
            if (wow64 || osCode >= 2005) {
                if (g_uninstallOemInf) {
                    if (g_uninstallOemInf(name, SUOI_FORCEDELETE, nullptr)) {
                        Trace(kWhere, __LINE__, TEXT("SetupUninstallOEMInf Success! : '%s'"), name);
                        removal = 1;
                    } else {
                        Trace(kWhere, __LINE__, TEXT("SetupUninstallOEMInf failed, %s, %d"), name,
                              static_cast<int>(GetLastError()));
                        removal = 0;
                    }
                } else {
                    Trace(kWhere, __LINE__, TEXT("fnSetupUninstallOEMInf is NULL"));
                    removal = 0;
                }
            }
        }
    }
    SupportWipe(field0, sizeof(field0));
    SupportWipe(field1, sizeof(field1));
    SetupCloseInfFile(inf);
    return removal;
}

}  // namespace

void CVPInstall::LoadSetupCalls() {
    HMODULE setupapi = GetModuleHandleW(TEXT("setupapi"));
    FARPROC found = setupapi ? GetProcAddress(setupapi, "SetupUninstallOEMInfW") : nullptr;
    g_uninstallOemInf = reinterpret_cast<UninstallOemInfFn>(reinterpret_cast<void (*)()>(found));
    g_setupCallsLoaded = true;
}

void CVPInstall::DeleteINFFile(const XStringW& infKey, const XStringW& manufacturer) {
    if (!g_setupCallsLoaded)
        LoadSetupCalls();
    Trace(kWhere, __LINE__, TEXT("\r\n"));
    Trace(kWhere, __LINE__, TEXT("Delete_INFFile START"));
    const XStringW maker = Bounded(manufacturer, 260);
    const XStringW key = Bounded(infKey, 256);
    const XStringW section(TEXT("Strings"));
    Trace(kWhere, __LINE__, TEXT("MANUFACTURER : %s"), maker);
    Trace(kWhere, __LINE__, TEXT("SECTION : %s"), section);
    Trace(kWhere, __LINE__, TEXT("KEY : %s"), key);

    DWORD size = 0;
    SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, nullptr, 0, &size);
    std::vector<WCHAR> list(static_cast<size_t>(size) + 1, 0);
    if (SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, list.data(), size + 1, nullptr)) {
        const bool wow64 = CWinHelper::IsWow64();
        int osCode = 0;  // asked for once, when an INF of ours needs it
        for (const WCHAR* name = list.data(); *name; name += XStringW(name).GetLength() + 1) {
            if (wcsncmp(name, TEXT("oem"), 3) != 0)
                continue;
            if (UninstallIfOurs(name, key, maker, wow64, osCode) != 1)
                continue;
            WCHAR windows[256] = {};
            GetWindowsDirectoryW(windows, 256);
            XStringW path;
            path.Format(TEXT("%s\\inf\\%s"), static_cast<const WCHAR*>(windows), name);
            if (!wow64 && osCode < 2005)
                DeleteWithTrace(path);
            path.Replace(TEXT(".inf"), TEXT(".PNF"));
            DeleteWithTrace(path);
        }
    }
    SupportWipe(list.data(), list.size() * sizeof(WCHAR));
    Trace(kWhere, __LINE__, TEXT("Delete_INFFile END"));
}

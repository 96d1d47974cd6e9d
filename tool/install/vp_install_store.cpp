// CVPInstall::DeleteRegistryAllAssignedInfo: always subkey 0 next, so a key that cannot be
// deleted, or whose name does not fit the 20-character buffer, is stepped over and traced;
// the loop ends with the subkeys.
#include "platform/win32.h"
#include "tool/install/vp_install.h"
#include "tool/store/reg_helper.h"
#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

void CVPInstall::DeleteRegistryAllAssignedInfo(const XStringW& productKey) {
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::DeleteRegistryAllAssignedInfo");
    Trace(kWhere, __LINE__, TEXT("\r\n"));
    Trace(kWhere, __LINE__, TEXT("Delete_AllAssignedReg BEGIN"));
    const bool wow64 = CRegHelper::RunsUnderWow64();
    HKEY product = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, productKey, 0,
                      KEY_ALL_ACCESS | (wow64 ? KEY_WOW64_64KEY : 0), &product) != ERROR_SUCCESS)
        return;
    using DeleteKeyEx = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    DeleteKeyEx deleteKeyEx = nullptr;
    if (wow64) {
        HMODULE advapi = GetModuleHandleW(TEXT("Advapi32"));
        FARPROC found = advapi ? GetProcAddress(advapi, "RegDeleteKeyExW") : nullptr;
        deleteKeyEx = reinterpret_cast<DeleteKeyEx>(reinterpret_cast<void (*)()>(found));
    }
    WCHAR name[20];
    for (DWORD index = 0;;) {
        const LSTATUS rc = RegEnumKeyW(product, index, name, 20);
        if (rc == ERROR_MORE_DATA) {
            TraceError(kWhere, __LINE__, TEXT("Subkey %u: name longer than 19 characters, kept"),
                       index);
            ++index;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        Trace(kWhere, __LINE__, TEXT("PORT NAME : %s"), static_cast<const WCHAR*>(name));
        LSTATUS deleted;
        if (wow64)
            deleted = deleteKeyEx ? deleteKeyEx(product, name, KEY_WOW64_64KEY, 0) : -1;
        else
            deleted = SHDeleteKeyW(product, name);
        if (deleted != ERROR_SUCCESS) {
            Trace(kWhere, __LINE__, TEXT("Delete key failed (err code = %d)"),
                  static_cast<int>(deleted));
            ++index;
        }
    }
    SupportWipe(name, sizeof(name));
    RegCloseKey(product);
    Trace(kWhere, __LINE__, TEXT("Delete_AllAssignedReg END\r\n"));
}

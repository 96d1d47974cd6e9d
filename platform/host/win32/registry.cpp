// Win32 registry API of the host machine: HKEY handles, the WOW64 views and Windows' argument
// and error rules, over the machine's registry store.
//
// Views. A call's view is KEY_WOW64_32KEY or KEY_WOW64_64KEY when it names one, else the
// process's own (32-bit for a WOW64 tool); on a 32-bit machine both flags are ignored.
// Redirection happens where a path crosses from HKLM into SOFTWARE: in the 32-bit view
// HKLM\SOFTWARE\x becomes HKLM\SOFTWARE\WOW6432Node\x (a path that names WOW6432Node itself
// is left alone). A handle already at or below SOFTWARE keeps the location it was opened at:
// relative opens from it are never redirected again, whatever view they ask for. SYSTEM,
// HARDWARE and HKCU are shared by both views.
//
// Access. A handle holds the rights it was opened with (generic rights mapped, MAXIMUM_ALLOWED
// as KEY_ALL_ACCESS); querying and enumerating values needs KEY_QUERY_VALUE, setting and
// deleting values KEY_SET_VALUE, enumerating subkeys KEY_ENUMERATE_SUB_KEYS. Opening,
// creating or deleting a subkey checks nothing on the parent handle, as on Windows for an
// administrator (the tool always runs elevated). Failures also set the thread's last error.
#include "platform/host/win32/registry.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/host/machine/handle_values.h"
#include "platform/host/machine/hive_text.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/registry_store.h"
#include "platform/host/win32/program_bitness.h"

namespace {

using tarnel::host::HiveRoot;
using tarnel::host::HiveValue;
using tarnel::host::Machine;
using tarnel::host::RegistryStore;
using tarnel::host::RegKey;
using tarnel::host::RegKeyInfo;
using tarnel::host::RegStatus;

constexpr std::size_t kMaxKeyNameLength = 255;

struct OpenKey {
    RegKey key;
    REGSAM access = 0;
};

// HKEY values of real handles have a range of their own.
tarnel::host::HandleValues<OpenKey>& handles() {
    static tarnel::host::HandleValues<OpenKey> table(0x52470000);
    return table;
}

LSTATUS done(LSTATUS status) {
    if (status != ERROR_SUCCESS)
        SetLastError(static_cast<DWORD>(status));
    return status;
}

LSTATUS toWin32(RegStatus s) {
    switch (s) {
        case RegStatus::Ok:
            return ERROR_SUCCESS;
        case RegStatus::NotFound:
            return ERROR_FILE_NOT_FOUND;
        case RegStatus::KeyDeleted:
            return ERROR_KEY_DELETED;
        case RegStatus::HasSubkeys:
            return ERROR_ACCESS_DENIED;
        case RegStatus::RootKey:
            return ERROR_ACCESS_DENIED;
        case RegStatus::NoMoreItems:
            return ERROR_NO_MORE_ITEMS;
        case RegStatus::InvalidName:
            return ERROR_INVALID_PARAMETER;
        case RegStatus::Corrupt:
            return ERROR_REGISTRY_CORRUPT;
        case RegStatus::IoFailed:
            return ERROR_REGISTRY_IO_FAILED;
        case RegStatus::ForeignKey:
            return ERROR_INVALID_HANDLE;
    }
    return ERROR_INVALID_FUNCTION;
}

RegistryStore& store() {
    return Machine::current().registry();
}

// The key and rights behind a handle; predefined keys have every right.
LSTATUS resolve(HKEY h, OpenKey& out) {
    if (h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER) {
        out.key =
            store().root(h == HKEY_LOCAL_MACHINE ? HiveRoot::LocalMachine : HiveRoot::CurrentUser);
        out.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    return handles().find(h, out) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

REGSAM grantedAccess(REGSAM sam) {
    REGSAM granted = sam & ~static_cast<REGSAM>(KEY_WOW64_RES);
    if (granted & MAXIMUM_ALLOWED)
        granted |= KEY_ALL_ACCESS;
    if (granted & GENERIC_READ)
        granted |= KEY_READ;
    if (granted & GENERIC_WRITE)
        granted |= KEY_WRITE;
    if (granted & GENERIC_EXECUTE)
        granted |= KEY_EXECUTE;
    if (granted & GENERIC_ALL)
        granted |= KEY_ALL_ACCESS;
    return granted & KEY_ALL_ACCESS;
}

bool has(const OpenKey& k, REGSAM right) {
    return (k.access & right) == right;
}

// A key handle that carries `access`: ERROR_ACCESS_DENIED otherwise.
LSTATUS resolveFor(HKEY h, REGSAM access, OpenKey& out) {
    if (LSTATUS e = resolve(h, out); e != ERROR_SUCCESS)
        return e;
    return has(out, access) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Whether the call works in the 32-bit view; both view flags at once are refused.
LSTATUS viewOf(REGSAM sam, bool& view32) {
    if ((sam & KEY_WOW64_RES) == KEY_WOW64_RES)
        return ERROR_INVALID_PARAMETER;
    auto config = Machine::current().config();
    if (!config.os64) {
        view32 = false;
    } else if (sam & KEY_WOW64_32KEY) {
        view32 = true;
    } else if (sam & KEY_WOW64_64KEY) {
        view32 = false;
    } else {
        view32 = config.toolWow64 && !tarnel::host::ProgramIs64Bit();
    }
    return ERROR_SUCCESS;
}

std::size_t length(LPCWSTR s) {
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

// Splits "a\b\c" (a trailing '\' is allowed; a leading one or an empty name is not).
LSTATUS splitPath(LPCWSTR sub, std::vector<std::u16string>& out) {
    out.clear();
    if (!sub || !*sub)
        return ERROR_SUCCESS;
    std::u16string_view rest(sub, length(sub));
    if (rest.front() == u'\\')
        return ERROR_BAD_PATHNAME;
    if (rest.back() == u'\\')
        rest.remove_suffix(1);
    while (true) {
        std::size_t sep = rest.find(u'\\');
        std::u16string_view name = rest.substr(0, sep);
        if (name.empty())
            return ERROR_BAD_PATHNAME;
        if (name.size() > kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        out.emplace_back(name);
        if (sep == std::u16string_view::npos)
            return ERROR_SUCCESS;
        rest.remove_prefix(sep + 1);
    }
}

void redirect(const RegKey& base, bool view32, std::vector<std::u16string>& path) {
    if (!view32 || path.empty() || !store().isRoot(base, HiveRoot::LocalMachine))
        return;
    if (!tarnel::host::RegistryNamesEqual(path[0], u"SOFTWARE"))
        return;
    if (path.size() > 1 && tarnel::host::RegistryNamesEqual(path[1], u"WOW6432Node"))
        return;
    path.insert(path.begin() + 1, u"WOW6432Node");
}

// Resolves handle, view and path of a call that names a subkey.
LSTATUS locate(HKEY h, LPCWSTR sub, REGSAM sam, OpenKey& base, std::vector<std::u16string>& path) {
    bool view32 = false;
    if (LSTATUS e = resolve(h, base); e != ERROR_SUCCESS)
        return e;
    if (LSTATUS e = viewOf(sam, view32); e != ERROR_SUCCESS)
        return e;
    if (LSTATUS e = splitPath(sub, path); e != ERROR_SUCCESS)
        return e;
    redirect(base.key, view32, path);
    return ERROR_SUCCESS;
}

std::u16string_view valueName(LPCWSTR name) {
    return name ? std::u16string_view(name, length(name)) : std::u16string_view();
}

// Copies value data with RegQueryValueExW's rules for lpData/lpcbData.
LSTATUS deliverData(const HiveValue& v, LPBYTE data, LPDWORD cbData) {
    if (!cbData)
        return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(v.data.size());
    if (data) {
        if (*cbData < size) {
            *cbData = size;
            return ERROR_MORE_DATA;
        }
        if (size)
            std::memcpy(data, v.data.data(), size);
    }
    *cbData = size;
    return ERROR_SUCCESS;
}

LSTATUS deleteKey(HKEY hKey, LPCWSTR sub, REGSAM view, bool recursive) {
    OpenKey base;
    std::vector<std::u16string> path;
    if (LSTATUS e = locate(hKey, sub, view, base, path); e != ERROR_SUCCESS)
        return done(e);
    return done(toWin32(store().deleteKey(base.key, path, recursive)));
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
    UNREFERENCED_PARAMETER(ulOptions);
    if (!phkResult)
        return done(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    OpenKey base;
    std::vector<std::u16string> path;
    if (LSTATUS e = locate(hKey, lpSubKey, samDesired, base, path); e != ERROR_SUCCESS)
        return done(e);
    RegKey key;
    if (LSTATUS e = toWin32(store().openKey(base.key, path, key)); e != ERROR_SUCCESS)
        return done(e);
    *phkResult = handles().insert<HKEY>(OpenKey{key, grantedAccess(samDesired)});
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    // Classes and security are not kept; volatile keys are kept like the others (the host's
    // "boot" is every process start, so nothing would ever clear them).
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(lpClass);
    UNREFERENCED_PARAMETER(dwOptions);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    if (!phkResult || !lpSubKey)
        return done(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    OpenKey base;
    std::vector<std::u16string> path;
    if (LSTATUS e = locate(hKey, lpSubKey, samDesired, base, path); e != ERROR_SUCCESS)
        return done(e);
    RegKey key;
    bool created = false;
    if (LSTATUS e = toWin32(store().createKey(base.key, path, true, key, &created));
        e != ERROR_SUCCESS)
        return done(e);
    *phkResult = handles().insert<HKEY>(OpenKey{key, grantedAccess(samDesired)});
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData))
        return done(ERROR_INVALID_PARAMETER);
    OpenKey k;
    if (LSTATUS e = resolveFor(hKey, KEY_QUERY_VALUE, k); e != ERROR_SUCCESS)
        return done(e);
    HiveValue v;
    if (LSTATUS e = toWin32(store().queryValue(k.key, valueName(lpValueName), v));
        e != ERROR_SUCCESS)
        return done(e);
    if (lpType)
        *lpType = v.type;
    return done(deliverData(v, lpData, lpcbData));
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
    UNREFERENCED_PARAMETER(Reserved);
    OpenKey k;
    if (LSTATUS e = resolveFor(hKey, KEY_SET_VALUE, k); e != ERROR_SUCCESS)
        return done(e);
    if (!lpData && cbData)
        return done(ERROR_NOACCESS);
    return done(toWin32(store().setValue(k.key, valueName(lpValueName), dwType, lpData, cbData)));
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved)
        return done(ERROR_INVALID_PARAMETER);
    OpenKey k;
    if (LSTATUS e = resolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, k); e != ERROR_SUCCESS)
        return done(e);
    RegKeyInfo info;
    if (LSTATUS e = toWin32(store().enumKey(k.key, dwIndex, info)); e != ERROR_SUCCESS)
        return done(e);
    // The count stays as given when the name does not fit.
    if (info.name.size() + 1 > *lpcchName)
        return done(ERROR_MORE_DATA);
    std::memcpy(lpName, info.name.data(), info.name.size() * sizeof(WCHAR));
    lpName[info.name.size()] = 0;
    *lpcchName = static_cast<DWORD>(info.name.size());
    if (lpClass && lpcchClass && *lpcchClass)
        lpClass[0] = 0;
    if (lpcchClass)
        *lpcchClass = 0;
    if (lpftLastWriteTime)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
    DWORD count = cchName;
    return RegEnumKeyExW(hKey, dwIndex, lpName, &count, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return done(ERROR_INVALID_PARAMETER);
    OpenKey k;
    if (LSTATUS e = resolveFor(hKey, KEY_QUERY_VALUE, k); e != ERROR_SUCCESS)
        return done(e);
    HiveValue v;
    if (LSTATUS e = toWin32(store().enumValue(k.key, dwIndex, v)); e != ERROR_SUCCESS)
        return done(e);
    if (v.name.size() + 1 > *lpcchValueName)
        return done(ERROR_MORE_DATA);
    std::memcpy(lpValueName, v.name.data(), v.name.size() * sizeof(WCHAR));
    lpValueName[v.name.size()] = 0;
    *lpcchValueName = static_cast<DWORD>(v.name.size());
    if (lpType)
        *lpType = v.type;
    return done(deliverData(v, lpData, lpcbData));
}

LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
    UNREFERENCED_PARAMETER(Reserved);
    if (!lpSubKey)
        return done(ERROR_INVALID_PARAMETER);
    return deleteKey(hKey, lpSubKey, samDesired & KEY_WOW64_RES, false);
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return RegDeleteKeyExW(hKey, lpSubKey, 0, 0);
}

LSTATUS SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey) {
    return deleteKey(hKey, pszSubKey, 0, true);
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    OpenKey k;
    if (LSTATUS e = resolveFor(hKey, KEY_SET_VALUE, k); e != ERROR_SUCCESS)
        return done(e);
    return done(toWin32(store().deleteValue(k.key, valueName(lpValueName))));
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT ||
        hKey == HKEY_USERS)
        return ERROR_SUCCESS;
    return handles().remove(hKey) ? ERROR_SUCCESS : done(ERROR_INVALID_HANDLE);
}

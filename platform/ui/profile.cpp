// The application's per-user profile: integers below the company and program key of the
// current user, as the framework keeps them once a registry key has been chosen.
#include "platform/ui/ui.h"

namespace ui {

String App::SectionKey(const WCHAR* section) const {
    String key = TEXT("Software\\");
    key += registryKey_;
    key += TEXT("\\");
    key += profileName_;
    key += TEXT("\\");
    key += section;
    return key;
}

UINT App::GetProfileInt(const WCHAR* section, const WCHAR* entry, int fallback) const {
    if (registryKey_.empty() || profileName_.empty())
        return static_cast<UINT>(fallback);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SectionKey(section).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return static_cast<UINT>(fallback);
    DWORD value = 0, type = 0, size = sizeof(value);
    const LSTATUS status =
        RegQueryValueExW(key, entry, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value))
        return static_cast<UINT>(fallback);
    return value;
}

bool App::WriteProfileInt(const WCHAR* section, const WCHAR* entry, int value) const {
    if (registryKey_.empty() || profileName_.empty())
        return false;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SectionKey(section).c_str(), 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD data = static_cast<DWORD>(value);
    const LSTATUS status = RegSetValueExW(key, entry, 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&data), sizeof(data));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace ui

// Compiles the tool's switch header: types, TEXT, registry, files, time and wide text.
#include "platform/win32.h"

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(DWORD) == 4, "DWORD is 32-bit");

LONG TarnelProbeReadStore(DWORD* port) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Morvik\\TARNEL\\COM7"), 0,
                            KEY_READ | KEY_WOW64_64KEY, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD type = 0;
    DWORD size = sizeof(*port);
    rc = RegQueryValueExW(key, TEXT("Port_"), nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
    RegCloseKey(key);
    return rc;
}

int TarnelProbeFormat(WCHAR* out, size_t count) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return _snwprintf(out, count, TEXT("(%02d:%02d:%02d.%03d) %s %lu"), now.wHour, now.wMinute,
                      now.wSecond, now.wMilliseconds, path, GetTickCount());
}

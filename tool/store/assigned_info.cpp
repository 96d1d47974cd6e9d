// The store operations of the configuration tool.
#include "tool/store/assigned_info.h"

#include "platform/win32.h"
#include "tool/store/product.h"
#include "tool/store/reg_helper.h"

namespace {

constexpr bool kView64 = false;  // the 32-bit-view flag of CRegHelper, always clear here

XStringW SubKey(const XStringW& productKey, const XStringW& name) {
    return productKey + TEXT("\\") + name;
}

// "COM" or "LPT" (any case, as Windows names them) followed by one or more decimal digits.
bool IsPortName(const XStringW& name) {
    XStringW prefix = name.Left(3);
    prefix.MakeLower();
    if (name.GetLength() < 4 || (!(prefix == TEXT("com")) && !(prefix == TEXT("lpt"))))
        return false;
    for (int i = 3; i < name.GetLength(); ++i) {
        if (name.GetString()[i] < '0' || name.GetString()[i] > '9')
            return false;
    }
    return true;
}

ULONG AddressOf(const XStringW& text) {
    const char* narrow = text.GetMultiByte();
    return narrow ? inet_addr(narrow) : INADDR_NONE;
}

}  // namespace

XStringW GetAssignedPortName(const XStringW& productKey, const XStringW& address, int port) {
    const DWORD wanted = static_cast<DWORD>(AddressOf(address));
    const XStringWList names = CRegHelper::GetSubKeyList(kView64, productKey);
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW key = SubKey(productKey, names.GetAt(i));
        DWORD stored = 0;
        if (!CRegHelper::GetNumberValue(kView64, key, TEXT("IPAddress"), stored) ||
            stored != wanted)
            continue;
        DWORD storedPort = 0;
        if (CRegHelper::GetNumberValue(kView64, key, TEXT("Port_"), storedPort) &&
            storedPort == static_cast<DWORD>(port))
            return names.GetAt(i);
    }
    return XStringW(kNotAssigned);
}

void SetAssignedInfo(const XStringW& productKey, const XStringW& portName, const XStringW& address,
                     int port, const XStringW& displayName) {
    const XStringW key = SubKey(productKey, portName);
    CRegHelper::SetValue(kView64, displayName, key, TEXT("DisplayName"));
    CRegHelper::SetValue(kView64, key, TEXT("IPAddress"), static_cast<DWORD>(AddressOf(address)));
    CRegHelper::SetValue(kView64, key, TEXT("Port_"), static_cast<DWORD>(port));
    CRegHelper::SetValue(kView64, key, TEXT("Port"),
                         static_cast<DWORD>(htons(static_cast<USHORT>(port))));
    CRegHelper::SetValue(kView64, portName, key, TEXT("PortName"));
}

bool DeleteAssignedInfo(const XStringW& portName, const XStringW& productKey) {
    if (portName == kNotAssigned)
        return true;
    if (!IsPortName(portName))
        return false;
    const XStringW key = SubKey(productKey, portName);
    if (CRegHelper::RunsUnderWow64()) {
        // Not every Windows that runs 32-bit programs on 64 bits has it: looked up each time.
        using DeleteKeyEx = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
        HMODULE advapi = GetModuleHandleW(TEXT("Advapi32"));
        FARPROC found = advapi ? GetProcAddress(advapi, "RegDeleteKeyExW") : nullptr;
        if (found) {
            auto deleteKeyEx = reinterpret_cast<DeleteKeyEx>(reinterpret_cast<void (*)()>(found));
            deleteKeyEx(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
        }
    } else {
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    }
    return true;
}

void DeleteStaleAssignedInfo(const XStringW& productKey, const XStringWList& existingPorts) {
    const XStringWList names = CRegHelper::GetSubKeyList(kView64, productKey);
    for (int i = 0; i < names.GetCount(); ++i) {
        XStringW name = names.GetAt(i);
        name.MakeLower();
        bool exists = false;
        for (int j = 0; j < existingPorts.GetCount() && !exists; ++j) {
            XStringW port = existingPorts.GetAt(j);
            port.MakeLower();
            exists = port == name;
        }
        if (!exists)
            DeleteAssignedInfo(names.GetAt(i), productKey);
    }
}

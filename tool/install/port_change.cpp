// COM port renaming through SetupAPI, the configuration manager and the COM port database.
#include "tool/install/port_change.h"

#include <vector>

#include "tool/install/wow64_relay.h"
#include "tool/support/trace.h"

namespace {

const WCHAR kRelink[] = TEXT("CPortChange::RelinkPort");
const WCHAR kCheck[] = TEXT("CPortChange::CheckExistPort");
const WCHAR kComDb[] = TEXT("CPortChange::UpdateComDB");
constexpr int kPortNameBytes = 260;

bool EqualNoCase(XStringW a, XStringW b) {
    a.MakeLower();
    b.MakeLower();
    return a == b;
}

// The COM port database lives in msports.dll, which has no import library everywhere.
using ComDBOpenFn = LONG(WINAPI*)(HANDLE*);
using ComDBCloseFn = LONG(WINAPI*)(HANDLE);
using ComDBClaimPortFn = LONG(WINAPI*)(HANDLE, DWORD, BOOL, BOOL*);
using ComDBReleasePortFn = LONG(WINAPI*)(HANDLE, DWORD);

struct ComDbCalls {
    ComDBOpenFn open = nullptr;
    ComDBCloseFn close = nullptr;
    ComDBClaimPortFn claim = nullptr;
    ComDBReleasePortFn release = nullptr;
};

template <typename F>
F Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool LoadComDb(ComDbCalls& calls) {
    HMODULE module = LoadLibraryW(TEXT("msports.dll"));
    if (!module)
        return false;
    calls.open = Lookup<ComDBOpenFn>(module, "ComDBOpen");
    calls.close = Lookup<ComDBCloseFn>(module, "ComDBClose");
    calls.claim = Lookup<ComDBClaimPortFn>(module, "ComDBClaimPort");
    calls.release = Lookup<ComDBReleasePortFn>(module, "ComDBReleasePort");
    return calls.open && calls.close && calls.claim && calls.release;
}

// The device's friendly name; empty when it has none or it cannot be read.
XStringW ReadFriendlyName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr, nullptr, 0,
                                      &size);
    std::vector<BYTE> buffer(size * 2 < 2 ? 2 : size * 2 + 2, 0);
    XStringW name;
    DWORD type = 0;
    if (size &&
        SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, &type,
                                          buffer.data(), static_cast<DWORD>(buffer.size() - 2),
                                          nullptr) &&
        type == REG_SZ) {
        const WCHAR* chars = reinterpret_cast<const WCHAR*>(buffer.data());
        int length = 0;
        while (static_cast<size_t>(length) < buffer.size() / 2 - 1 && chars[length])
            ++length;
        name.Append(chars, length);
    }
    return name;
}

bool WriteFriendlyName(HDEVINFO devices, SP_DEVINFO_DATA& device, const XStringW& name) {
    return SetupDiSetDeviceRegistryPropertyW(
               devices, &device, SPDRP_FRIENDLYNAME,
               reinterpret_cast<const BYTE*>(name.GetString()),
               static_cast<DWORD>((name.GetLength() + 1) * sizeof(WCHAR))) != FALSE;
}

LSTATUS WritePortName(HKEY key, const XStringW& name) {
    return RegSetValueExW(key, TEXT("PortName"), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(name.GetString()),
                          static_cast<DWORD>((name.GetLength() + 1) * sizeof(WCHAR)));
}

// The device's driver stack goes and comes back, and its driver publishes the names from
// "PortName" again: DOS name, serial device map entry, interface. A refusal (the port is open)
// leaves the old names in place.
bool RestartDevice(const SP_DEVINFO_DATA& device, CONFIGRET& result) {
    result =
        CM_Query_And_Remove_SubTreeW(device.DevInst, nullptr, nullptr, 0, CM_REMOVE_NO_RESTART);
    if (result != CR_SUCCESS)
        return false;
    result = CM_Setup_DevNode(device.DevInst, CM_SETUP_DEVNODE_READY);
    return result == CR_SUCCESS;
}

}  // namespace

int GetPortNumber(const XStringW& name) {
    if (name.IsEmpty())
        return -1;
    if (name.StartsWith(TEXT("COM")) || name.StartsWith(TEXT("LPT"))) {
        XStringW number = name.Mid(3);
        if (name.GetLength() <= 3)
            number.Empty();
        if (number.EndsWith(TEXT(":")))
            number = number.Left(number.GetLength() - 1);
        return number.ToInt();
    }
    return name.ToInt();
}

XStringW NormalizePortName(const XStringW& name) {
    if (name.StartsWith(TEXT("COM")) || name.StartsWith(TEXT("LPT"))) {
        if (name.EndsWith(TEXT(":")))
            return name.Left(name.GetLength() - 1);
        return name;
    }
    XStringW result;
    const int number = name.ToInt();
    if (number > 0)
        result.Format(TEXT("COM%d"), number);
    return result;
}

HKEY CPortChange::CheckExistPort(HDEVINFO devices, const XStringW& name, SP_DEVINFO_DATA& device,
                                 XStringW& portNameValue) {
    for (DWORD index = 0;; ++index) {
        device = {};
        device.cbSize = sizeof(device);
        if (!SetupDiEnumDeviceInfo(devices, index, &device))
            break;
        HKEY key =
            SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
        if (key == nullptr || key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
            TraceError(kCheck, __LINE__, TEXT("INVALID HKEY"));
            continue;
        }
        // One character of the buffer stays zero so the text always ends inside it.
        WCHAR buffer[kPortNameBytes / sizeof(WCHAR)] = {};
        DWORD size = sizeof(buffer) - sizeof(WCHAR);
        DWORD type = 0;
        const LSTATUS status = RegQueryValueExW(key, TEXT("PortName"), nullptr, &type,
                                                reinterpret_cast<BYTE*>(buffer), &size);
        if (status == ERROR_SUCCESS && type == REG_SZ) {
            const XStringW value(buffer);
            if (EqualNoCase(value, name)) {
                portNameValue = value;
                return key;
            }
        }
        RegCloseKey(key);
    }
    return nullptr;
}

bool CPortChange::UpdateComDB(const XStringW& current, const XStringW& newName) {
    ComDbCalls db;
    HANDLE handle = nullptr;
    LONG result = ERROR_PROC_NOT_FOUND;
    if (!LoadComDb(db) || (result = db.open(&handle)) != ERROR_SUCCESS) {
        TraceError(kComDb, __LINE__, TEXT("Failed ComDBOpen : %d,  GetLastError:%d"),
                   static_cast<int>(result), static_cast<int>(GetLastError()));
        return false;
    }
    result = db.release(handle, static_cast<DWORD>(GetPortNumber(current)));
    if (result == ERROR_NOT_CONNECTED)
        TraceError(kComDb, __LINE__,
                   TEXT("Failed ComDBReleasePort (ERROR_NOT_CONNECTED), GetLastError:%d"),
                   static_cast<int>(GetLastError()));
    else if (result != ERROR_SUCCESS)
        TraceError(kComDb, __LINE__, TEXT("Failed ComDBReleasePort : %d, GetLastError:%d"),
                   static_cast<int>(result), static_cast<int>(GetLastError()));
    result = db.claim(handle, static_cast<DWORD>(GetPortNumber(newName)), TRUE, nullptr);
    if (result != ERROR_SUCCESS)
        TraceError(kComDb, __LINE__, TEXT("Failed ComDBClaimPort : %d, GetLastError:%d"),
                   static_cast<int>(result), static_cast<int>(GetLastError()));
    db.close(handle);
    return result == ERROR_SUCCESS;
}

bool CPortChange::RelinkPort(const XStringW& current, const XStringW& newName) {
    // A 32-bit process may not restart devices on 64-bit Windows.
    if (Wow64RelayNeeded())
        return RelayRelinkPort(current, newName);
    if (GetPortNumber(current) == -1 || GetPortNumber(newName) == -1) {
        TraceError(kRelink, __LINE__, TEXT("Invalid portName : %s, newPortName : %s"), current,
                   newName);
        return false;
    }
    if (EqualNoCase(current, newName)) {
        Trace(kRelink, __LINE__, TEXT("Same portName : %s, newPortName : %s"), current, newName);
        return true;
    }
    DWORD count = 0;
    SetupDiClassGuidsFromNameW(TEXT("Ports"), nullptr, 0, &count);
    std::vector<GUID> guids(count ? count : 1);
    HDEVINFO devices = INVALID_HANDLE_VALUE;
    if (count && SetupDiClassGuidsFromNameW(TEXT("Ports"), guids.data(), count, &count))
        devices = SetupDiGetClassDevsW(&guids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        TraceError(kRelink, __LINE__, TEXT("ERROR QUERY DEVICE"));
        return false;
    }

    SP_DEVINFO_DATA device{};
    XStringW portNameValue;
    HKEY key = CheckExistPort(devices, current, device, portNameValue);
    if (!key) {
        TraceError(kRelink, __LINE__, TEXT("not exist current port number"));
        SetupDiDestroyDeviceInfoList(devices);
        return false;
    }
    Trace(kRelink, __LINE__, TEXT("szPortNameVal : %s"), portNameValue);
    const XStringW oldFriendly = ReadFriendlyName(devices, device);

    bool ok = false;
    if (LSTATUS status = WritePortName(key, newName); status != ERROR_SUCCESS) {
        TraceError(kRelink, __LINE__, TEXT("Failed RegSetValueEx : %d"), static_cast<int>(status));
    } else {
        // The words before "(" stay; a name without one keeps all of its words.
        const int paren = oldFriendly.Find(TEXT("("));
        XStringW newFriendly = paren >= 0 ? oldFriendly.Left(paren) : oldFriendly;
        if (paren < 0 && !newFriendly.IsEmpty())
            newFriendly.Append(TEXT(" "));
        newFriendly.AppendFormat(TEXT("(%s)"), newName);
        Trace(kRelink, __LINE__, TEXT("old name=%s, new name=%s"), oldFriendly, newFriendly);
        CONFIGRET restart = CR_SUCCESS;
        if (!WriteFriendlyName(devices, device, newFriendly)) {
            TraceError(kRelink, __LINE__, TEXT("Failed SetupDiSetDeviceRegistryProperty : %s"),
                       newFriendly);
        } else if (!RestartDevice(device, restart)) {
            // Every name must agree: the device still answers to the old one, so the registry
            // goes back to it.
            TraceError(kRelink, __LINE__, TEXT("Failed to restart the device : %d"),
                       static_cast<int>(restart));
            WritePortName(key, portNameValue);
            if (!oldFriendly.IsEmpty())
                WriteFriendlyName(devices, device, oldFriendly);
            if (restart != CR_REMOVE_VETOED)
                CM_Setup_DevNode(device.DevInst, CM_SETUP_DEVNODE_READY);
        } else if (!UpdateComDB(current, newName)) {
            TraceError(kRelink, __LINE__, TEXT("Failed to UpdateComDB: %s->%s"), current, newName);
        } else {
            ok = true;
        }
        if (ok)
            Sleep(500);  // Windows finishes starting the device in the background
    }
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(devices);
    return ok;
}

// CVPInstall's device steps: a new root-enumerated port instance with the driver installed on
// it, and the removal of every device of the hardware id.
#include <vector>

#include "platform/win32.h"
#include "tool/install/vp_install.h"
#include "tool/install/wow64_relay.h"
#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

namespace {

bool g_windowless = false;

// MAX_CLASS_NAME_LEN, which not every SDK's setupapi.h defines.
constexpr DWORD kClassNameChars = 32;

}  // namespace

void CVPInstall::SetWindowless(bool windowless) {
    g_windowless = windowless;
}

// Success is decided by the steps' own results; the last-error code read at the end (which a
// trace line in between may have reset) only goes to the trace.
bool CVPInstall::InstallRootEnumeratedDriver(const XStringW& hardwareId, const XStringW& infPath,
                                             BOOL& reboot) {
    if (Wow64RelayNeeded())
        return RelayInstallRootEnumeratedDriver(hardwareId, infPath, reboot);
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::InstallRootEnumeratedDriver");
    GUID classGuid = {};
    WCHAR className[kClassNameChars] = {};
    if (!SetupDiGetINFClassW(infPath, &classGuid, className, kClassNameChars, nullptr)) {
        TraceError(kWhere, __LINE__, TEXT("SetupDiGetINFClass"));
        return false;
    }
    HDEVINFO list = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (list == INVALID_HANDLE_VALUE) {
        TraceError(kWhere, __LINE__, TEXT("SetupDiCreateDeviceInfoList"));
        return false;
    }
    bool installed = false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    // The hardware id alone as a multi-string: the id, its null and the list's null.
    std::vector<WCHAR> ids(static_cast<size_t>(hardwareId.GetLength()) + 2, 0);
    for (int i = 0; i < hardwareId.GetLength(); ++i)
        ids[static_cast<size_t>(i)] = hardwareId.GetString()[i];
    if (!SetupDiCreateDeviceInfoW(list, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                  &device)) {
        TraceError(kWhere, __LINE__, TEXT("SetupDiCreateDeviceInfo"));
    } else if (!SetupDiSetDeviceRegistryPropertyW(list, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids.data()),
                                                  static_cast<DWORD>(ids.size() * sizeof(WCHAR)))) {
        TraceError(kWhere, __LINE__, TEXT("SetupDiSetDeviceRegistryProperty"));
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, &device)) {
        TraceError(kWhere, __LINE__, TEXT("CallClassInstaller(REGISTERDEVICE)"));
    } else if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE,
                                                   &reboot)) {
        TraceError(kWhere, __LINE__, TEXT("UpdateDriverForPlugAndPlayDevices"));
        const DWORD kept = GetLastError();
        if (!SetupDiCallClassInstaller(DIF_REMOVE, list, &device))
            TraceError(kWhere, __LINE__, TEXT("CallClassInstaller(REMOVE)"));
        SetLastError(kept);
    } else {
        installed = true;
    }
    const DWORD error = GetLastError();
    if (!installed)
        TraceError(kWhere, __LINE__, TEXT("GetLastError:%d"), static_cast<int>(error));
    SupportWipe(ids.data(), ids.size() * sizeof(WCHAR));
    SetupDiDestroyDeviceInfoList(list);
    return installed;
}

void CVPInstall::ReportRemoveFailure() {
    if (!g_windowless)
        MessageBoxW(nullptr, TEXT("Remove Error"), nullptr, MB_OK);
}

void CVPInstall::DeleteDeviceInfo(const XStringW& hardwareId) {
    if (Wow64RelayNeeded()) {
        RelayDeleteDeviceInfo(hardwareId);
        return;
    }
    const int failures = DeleteDeviceInfoCountingFailures(hardwareId);
    for (int i = 0; i < failures; ++i)
        ReportRemoveFailure();
}

int CVPInstall::DeleteDeviceInfoCountingFailures(const XStringW& hardwareId) {
    int failures = 0;
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::DeleteDeviceInfo");
    Trace(kWhere, __LINE__, TEXT("+START"));
    Trace(kWhere, __LINE__, TEXT("call SetupDiGetClassDevs"));
    HDEVINFO devices =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool scanning = true;
    for (DWORD index = 0; scanning && SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        std::vector<BYTE> buffer;
        DWORD type = 0, size = 0;
        bool read = false;
        while (!read) {
            if (SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_HARDWAREID, &type,
                                                  buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  &size)) {
                read = true;
            } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
                SupportWipe(buffer.data(), buffer.size());
                buffer.assign(static_cast<size_t>(size) * 2 + sizeof(WCHAR), 0);
            } else {
                break;
            }
        }
        if (!read) {
            // A device without hardware ids is passed over; any other error ends the scan.
            scanning = GetLastError() == ERROR_INVALID_DATA;
            continue;
        }
        // Strings end at their nulls, and the list within the bytes read (plus the zeroed spare).
        const WCHAR* chars = reinterpret_cast<const WCHAR*>(buffer.data());
        const int count = static_cast<int>(size / sizeof(WCHAR));
        for (int start = 0; start < count;) {
            int end = start;
            while (end < count && chars[end] != 0)
                ++end;
            if (end == start)
                break;
            XStringW id;
            id.Append(chars + start, end - start);
            XStringW lowerId = id, lowerWanted = hardwareId;
            lowerId.MakeLower();
            lowerWanted.MakeLower();
            if (lowerId == lowerWanted) {
                Trace(kWhere, __LINE__, TEXT("Compare device ID : [%s]"), id);
                if (!SetupDiCallClassInstaller(DIF_REMOVE, devices, &device)) {
                    TraceError(kWhere, __LINE__, TEXT("SetupDiCallClassInstaller"));
                    ++failures;
                }
            }
            start = end + 1;
        }
        SupportWipe(buffer.data(), buffer.size());
    }
    SetupDiDestroyDeviceInfoList(devices);
    Trace(kWhere, __LINE__, TEXT("-END"));
    return failures;
}

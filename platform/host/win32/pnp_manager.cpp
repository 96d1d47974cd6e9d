// The Win32 personality's way into the host kernel's Plug and Play manager.
#include "platform/host/win32/pnp_manager.h"

#include <algorithm>
#include <cctype>

#include "platform/host/kernel/pnp.h"
#include "platform/host/kernel/user_io.h"
#include "platform/host/runtime/errors.h"

namespace tarnel::host {

namespace hk = tarnel::host::kernel;

DWORD PnpStartDevice(const std::u16string& id) {
    hk::EnsureMachineBooted();
    for (const auto& info : hk::DeviceInstances())
        if (std::u16string(info.instanceId.begin(), info.instanceId.end()) == id)
            return info.state == hk::DeviceState::Started ? ERROR_SUCCESS : ERROR_NOT_READY;
    const NTSTATUS status = hk::StartDeviceInstance(id);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : hk::NtStatusToWin32Error(status);
}

DWORD PnpRemoveDevice(const std::u16string& id) {
    hk::EnsureMachineBooted();
    for (const auto& info : hk::DeviceInstances()) {
        if (std::u16string(info.instanceId.begin(), info.instanceId.end()) != id)
            continue;
        const NTSTATUS status = hk::RemoveDeviceInstance(id);
        return NT_SUCCESS(status) ? ERROR_SUCCESS : hk::NtStatusToWin32Error(status);
    }
    return ERROR_SUCCESS;  // never started in this machine's life: nothing to stop
}

bool PnpServiceRunning(const std::u16string& service) {
    hk::EnsureMachineBooted();
    const std::string narrow(service.begin(), service.end());
    for (const auto& info : hk::DeviceInstances())
        if (info.state == hk::DeviceState::Started && info.service.size() == narrow.size() &&
            std::equal(narrow.begin(), narrow.end(), info.service.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return true;
    return false;
}

}  // namespace tarnel::host

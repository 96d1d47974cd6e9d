// How SetupAPI and the service control manager of the Win32 personality reach the host kernel's
// Plug and Play manager and its drivers.
#pragma once

#include <string>

#include "platform/host/types.h"

namespace tarnel::host {

// Each boots the machine's devices in this process first, unless it already did.
// Start and removal of a root-enumerated instance ("ROOT\PORTS\0000"): a Win32 error code.
DWORD PnpStartDevice(const std::u16string& instanceId);
DWORD PnpRemoveDevice(const std::u16string& instanceId);
// Whether the service's driver has a started device (a loaded driver).
bool PnpServiceRunning(const std::u16string& service);

}  // namespace tarnel::host

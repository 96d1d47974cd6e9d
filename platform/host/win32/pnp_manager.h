// How the Win32 personality reaches the host kernel's Plug and Play manager and its drivers,
// as SetupAPI and the service control manager do on Windows. The kernel library sits above this
// one, so the connection is made at run time by the program (pnp_bridge/pnp_bridge.cpp, linked
// into programs that use both); without it device installation fails with ERROR_NOT_READY.
#pragma once

#include <string>

#include "platform/host/types.h"

namespace tarnel::host {

struct PnpManagerOps {
    // Boots the machine's devices in this process unless it already did.
    void (*ensureBooted)();
    // Start and removal of a root-enumerated instance ("ROOT\PORTS\0000"): a Win32 error code.
    DWORD (*startDevice)(const std::u16string& instanceId);
    DWORD (*removeDevice)(const std::u16string& instanceId);
    // Whether the service's driver has a started device (a loaded driver).
    bool (*serviceRunning)(const std::u16string& service);
};

void SetPnpManager(const PnpManagerOps* ops);
const PnpManagerOps* GetPnpManager();

}  // namespace tarnel::host

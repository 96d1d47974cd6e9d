// The connection to the host kernel's Plug and Play manager (see pnp_manager.h).
#include "platform/host/win32/pnp_manager.h"

#include <atomic>

namespace tarnel::host {

namespace {
std::atomic<const PnpManagerOps*> g_ops{nullptr};
}

void SetPnpManager(const PnpManagerOps* ops) {
    g_ops.store(ops);
}

const PnpManagerOps* GetPnpManager() {
    return g_ops.load();
}

}  // namespace tarnel::host

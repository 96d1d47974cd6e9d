// Where CreateFileW finds the host kernel's device opener.
#include <atomic>

#include "platform/host/win32/devices.h"

namespace tarnel::host {

namespace {
std::atomic<DeviceOpener> g_opener{nullptr};
}

void SetDeviceOpener(DeviceOpener opener) {
    g_opener.store(opener);
}
DeviceOpener GetDeviceOpener() {
    return g_opener.load();
}

}  // namespace tarnel::host

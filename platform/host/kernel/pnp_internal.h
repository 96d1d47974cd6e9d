// Plug and Play manager internals shared by its files: the instance table (pnp.cpp), the root
// bus and driver objects (pnp_root_bus.cpp) and the driver loader (pnp_driver_loader.cpp).
// Everything here runs under the manager's lock.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/pnp.h"

namespace tarnel::host::kernel::pnp {

inline const std::u16string kEnumRoot = u"SYSTEM\\CurrentControlSet\\Enum";
inline const std::u16string kServicesRoot = u"SYSTEM\\CurrentControlSet\\Services";

struct LoadedDriver {
    std::u16string service;
    void* module = nullptr;
    PDRIVER_OBJECT object = nullptr;
    UNICODE_STRING registryPath{};
    std::u16string registryPathText;
};

struct Instance {
    std::u16string id;  // "ROOT\PORTS\0000"
    std::u16string service;
    PDEVICE_OBJECT pdo = nullptr;
    LoadedDriver* driver = nullptr;
    DeviceState state = DeviceState::NotStarted;
    NTSTATUS problem = STATUS_SUCCESS;
};

// The manager's lock, held by every public entry point.
std::recursive_mutex& Lock();
std::map<std::u16string, Instance>& Instances();  // by upper-cased instance id

std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);
// The text of a REG_SZ/REG_EXPAND_SZ value under HKLM without its terminator; false when missing.
bool ReadText(const std::u16string& keyPath, const char16_t* valueName, std::u16string& out);

// The root bus driver, which owns the PDOs.
PDRIVER_OBJECT RootBus();
PDRIVER_OBJECT NewDriverObject(const std::u16string& name);
void DeleteDriverObject(PDRIVER_OBJECT driver);
// A synchronous request to the top of the PDO's stack; the request's final status.
NTSTATUS SendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor);
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor);

// The service's driver, loaded and initialised once (DriverEntry); null with `status` on failure.
LoadedDriver* LoadDriver(const std::u16string& service, NTSTATUS& status);
// After the last device of a driver is gone: unload it and make sure it left no pool behind.
void UnloadIfIdle(LoadedDriver* driver);

}  // namespace tarnel::host::kernel::pnp

// The host kernel's Plug and Play manager, as the host machine, tools and tests drive it.
#pragma once

#include <string>
#include <vector>

#include "platform/host/kernel/ntapi.h"

namespace tarnel::host::kernel {

enum class DeviceState { NotStarted, Started, Stopped, SurpriseRemoved, Failed };
const char* DeviceStateName(DeviceState state);

struct DeviceInstanceInfo {
    std::string instanceId;  // "ROOT\PORTS\0000"
    std::string service;
    std::string pdoName;  // "\Device\00000001"
    DeviceState state;
    NTSTATUS problem;  // why it is not started
};

// Starts every root-enumerated instance under Enum\ROOT that names a service: loads the
// service's image (once per driver), DriverEntry, AddDevice with a new PDO, then the start
// request. Returns the first failure; the other instances still start.
NTSTATUS BootMachine();
// Boots the current machine unless this process already did (the first device open does this).
void EnsureMachineBooted();
// Registers one instance ("ROOT\PORTS\0000", already in the registry): PDO, driver, AddDevice,
// then (unless `start` is false) the start request.
NTSTATUS StartDeviceInstance(const std::u16string& instanceId, bool start = true);
// Sends a Plug and Play request (stop, query-stop, query-remove, cancel, surprise removal...)
// to the top of the instance's stack; removal goes through RemoveDeviceInstance.
NTSTATUS SendPnpRequest(const std::u16string& instanceId, UCHAR minor);
// Any other request (power, system control, flush...) to the top of the stack, synchronously.
NTSTATUS SendDeviceRequest(const std::u16string& instanceId, UCHAR major, UCHAR minor);
// The removal request, then the PDO is deleted; a driver left with no device is unloaded and
// must have freed all of its pool.
NTSTATUS RemoveDeviceInstance(const std::u16string& instanceId);
// Removes every device (the end of a test or of a process that booted the machine).
void ShutdownMachine();
std::vector<DeviceInstanceInfo> DeviceInstances();
PDEVICE_OBJECT DeviceInstancePdo(const std::u16string& instanceId);
// Whether an application or driver has a file open on the instance's device stack.
bool DeviceInstanceHasOpenFiles(const std::u16string& instanceId);

// Driver objects for drivers that live in a test rather than in an image.
PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);
void DestroyDriverObject(PDRIVER_OBJECT driver);

// Installs a driver service: copies `image` to C:\Windows\System32\drivers\<file> and writes
// Services\<service> with its ImagePath.
bool InstallDriverService(const std::u16string& service, const std::string& image,
                          const std::string& fileName, std::string& error);
// Creates the next ROOT\<class>\NNNN instance with a hardware id, a service and a
// "Device Parameters\PortName" (none when portName is empty); returns its id.
std::u16string CreateRootInstance(const std::u16string& className, const std::u16string& hardwareId,
                                  const std::u16string& service, const std::u16string& portName);

}  // namespace tarnel::host::kernel

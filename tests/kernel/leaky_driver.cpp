// A test driver that allocates pool in AddDevice and never frees it, so that unloading it must
// bug-check.
#include "platform/nt.h"

namespace {

struct LeakyExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS LeakyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(LeakyExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<LeakyExtension*>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ExAllocatePoolWithTag(NonPagedPool, 64,
                          'L' | ('e' << 8) | ('a' << 16) | (ULONG('k') << 24));  // never freed
    return STATUS_SUCCESS;
}

NTSTATUS LeakyPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<LeakyExtension*>(device->DeviceExtension);
    PDEVICE_OBJECT lower = ext->lower;
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

void LeakyUnload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = LeakyAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = LeakyPnp;
    driver->DriverUnload = LeakyUnload;
    return STATUS_SUCCESS;
}

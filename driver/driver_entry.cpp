// Tarnel driver: entry point and unload. The driver keeps no global state; everything lives in
// the device extensions and goes at removal.
#include "driver/vserial.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    // Non-paged allocations become non-executable where the system offers that.
    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VSERIAL_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VSERIAL_Close;
    DriverObject->MajorFunction[IRP_MJ_READ] = VSERIAL_Read;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VSERIAL_Write;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VSERIAL_DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = VSERIAL_InternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VSERIAL_Cleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VSERIAL_Power;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = VSERIAL_SystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VSERIAL_Dispatch;
    DriverObject->DriverUnload = VSERIAL_Unload;
    DriverObject->DriverExtension->AddDevice = VSERIAL_AddDevice;
    return STATUS_SUCCESS;
}

void VSERIAL_Unload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}

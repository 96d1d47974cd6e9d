// Tarnel driver: power and system-control requests go down the stack unchanged; internal device
// control is not served.
#include "driver/vserial.h"

NTSTATUS VSERIAL_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PVSERIAL_EXTENSION ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    DbgPrint("VSERIAL_Power\n");
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->LowerDeviceObject, Irp);
}

NTSTATUS VSERIAL_SystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!Irp)
        return STATUS_UNSUCCESSFUL;
    PVSERIAL_EXTENSION ext =
        DeviceObject ? static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension) : nullptr;
    if (!ext) {
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->LowerDeviceObject, Irp);
}

NTSTATUS VSERIAL_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Tarnel driver: open, close, read, write, cleanup and serial control are not served yet. Each
// request is completed at once with STATUS_NOT_IMPLEMENTED, so none is ever left outstanding.
#include "driver/vserial.h"

static NTSTATUS VSERIAL_NotImplemented(PIRP Irp) {
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VSERIAL_Create(PDEVICE_OBJECT, PIRP Irp) { return VSERIAL_NotImplemented(Irp); }
NTSTATUS VSERIAL_Close(PDEVICE_OBJECT, PIRP Irp) { return VSERIAL_NotImplemented(Irp); }
NTSTATUS VSERIAL_Read(PDEVICE_OBJECT, PIRP Irp) { return VSERIAL_NotImplemented(Irp); }
NTSTATUS VSERIAL_Write(PDEVICE_OBJECT, PIRP Irp) { return VSERIAL_NotImplemented(Irp); }
NTSTATUS VSERIAL_Cleanup(PDEVICE_OBJECT, PIRP Irp) { return VSERIAL_NotImplemented(Irp); }
NTSTATUS VSERIAL_DeviceControl(PDEVICE_OBJECT, PIRP Irp) { return VSERIAL_NotImplemented(Irp); }

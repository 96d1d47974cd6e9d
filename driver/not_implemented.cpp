// Tarnel driver: serial control requests are not served yet. Each is completed at once with
// STATUS_NOT_IMPLEMENTED, so none is ever left outstanding.
#include "driver/vserial.h"

NTSTATUS VSERIAL_DeviceControl(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

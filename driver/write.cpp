// Tarnel driver: write requests. Each write goes out whole as one TCP send and blocks its caller
// until the send completes; writes never pend. PASSIVE_LEVEL.
#include "driver/connection.h"
#include "driver/tdi_endpoint.h"

static NTSTATUS VSERIAL_CompleteWrite(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS VSERIAL_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.Write.Length;
    if (length == 0)
        return VSERIAL_CompleteWrite(Irp, STATUS_SUCCESS, 0);

    // The connection was lost by an earlier write: this write makes one attempt of its own.
    if (!stack->FileObject->FsContext && !NT_SUCCESS(ReCreate(DeviceObject, Irp))) {
        VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_DSR_OFF);
        VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_CTS_OFF);
        return VSERIAL_CompleteWrite(Irp, STATUS_UNSUCCESSFUL, 0);
    }

    auto* endpoint = static_cast<PVSERIAL_TDI_ENDPOINT>(stack->FileObject->FsContext);
    ULONG sent = 0;
    NTSTATUS status = VSERIAL_TdiSend(endpoint->ConnectionFileObject,
                                      Irp->AssociatedIrp.SystemBuffer, length, &sent);
    if (!NT_SUCCESS(status)) {
        // Torn down here; the next write connects again.
        VSERIAL_PreCleanup(DeviceObject, Irp);
        VSERIAL_CompleteWrite(Irp, STATUS_UNSUCCESSFUL, 0);
        VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_DSR_OFF);
        VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_CTS_OFF);
        return STATUS_UNSUCCESSFUL;
    }
    // STATUS_TIMEOUT is a success: the application sees the bytes actually sent.
    return VSERIAL_CompleteWrite(Irp, status, sent);
}

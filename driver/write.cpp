// Tarnel driver: write requests. Each write goes out whole as one TCP send and blocks its caller
// until the send completes; writes never pend. PASSIVE_LEVEL.
#include "driver/connection.h"
#include "driver/tdi_endpoint.h"

static NTSTATUS VSERIAL_WriteConnected(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG length) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    // The connection was lost by an earlier write: one write reconnects, the others wait for it.
    PVSERIAL_TDI_ENDPOINT endpoint = nullptr;
    if (!NT_SUCCESS(VSERIAL_AcquireConnection(DeviceObject, Irp, &endpoint))) {
        VSERIAL_SetLinesReady(ext, FALSE);
        return VSERIAL_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }

    ULONG sent = 0;
    NTSTATUS status = VSERIAL_TdiSend(endpoint->ConnectionFileObject,
                                      Irp->AssociatedIrp.SystemBuffer, length, &sent);
    if (!NT_SUCCESS(status)) {
        // Torn down here (by the first of several failed writes); the next write connects again.
        VSERIAL_PreCleanup(DeviceObject, Irp, endpoint);
        VSERIAL_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
        VSERIAL_SetLinesReady(ext, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    VSERIAL_ReleaseConnection(endpoint);
    // STATUS_TIMEOUT is a success: the application sees the bytes actually sent.
    return VSERIAL_CompleteRequest(Irp, status, sent);
}

NTSTATUS VSERIAL_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    if (length == 0)
        return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    VSERIAL_EnterWrite(ext);
    const NTSTATUS status = VSERIAL_WriteConnected(DeviceObject, Irp, length);
    VSERIAL_LeaveWrite(ext);
    return status;
}

// Tarnel driver: cleanup (the handle's last close: workers stopped, connection closed) and close.
// PASSIVE_LEVEL; both complete their request before returning.
#include "driver/connection.h"
#include "driver/vserial.h"
#include "driver/wait_queue.h"

NTSTATUS VSERIAL_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    DbgPrint("VSERIAL_Cleanup Start \n");
    // Workers, waits and the connection belong to the handle that holds the open claim; any
    // other handle's cleanup leaves them alone.
    if (VSERIAL_OwnsOpenClaim(ext, file)) {
        // Waits of the closing handle are cancelled before the workers could report on them.
        VSERIAL_CompleteAllWaits(ext, STATUS_CANCELLED);

        VSERIAL_StopWorker(&ext->EmulationPollingExitEvent, &ext->EmulationWake,
                           &ext->EmulationThread);
        // The read thread completes a waiting read (success, 0 bytes) as it ends.
        VSERIAL_StopWorker(&ext->ReadPollingExitEvent, &ext->ReadWake, &ext->ReadThread);
        // A read that came after the thread had already ended (surprise removal) is answered here.
        VSERIAL_CompletePendingRead(ext, STATUS_SUCCESS);

        // Requests still in flight on the connection are cancelled, not waited out.
        VSERIAL_CloseConnection(ext, file);
        // Released last, so an open racing this cleanup is refused rather than sharing the
        // workers.
        VSERIAL_ReleaseOpenClaim(ext, file);
    }
    VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    DbgPrint("VSERIAL_Cleanup End \n");
    return STATUS_SUCCESS;
}

NTSTATUS VSERIAL_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    DbgPrint("VSERIAL_Close Start \n");
    // A close that comes late (a held request kept the file object alive) must not touch the
    // lines or the claim of a newer handle.
    if (VSERIAL_ReleaseOpenClaim(ext, file) || VSERIAL_OwnsOpenClaim(ext, nullptr)) {
        VSERIAL_SetLinesReady(ext, FALSE);
    }
    VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    DbgPrint("VSERIAL_Close End \n");
    return STATUS_SUCCESS;
}

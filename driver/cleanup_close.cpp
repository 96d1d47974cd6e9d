// Tarnel driver: cleanup (the handle's last close: workers stopped, connection closed) and close.
// PASSIVE_LEVEL; both complete their request before returning.
#include "driver/connection.h"
#include "driver/vserial.h"
#include "driver/wait_queue.h"

NTSTATUS VSERIAL_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    DbgPrint("VSERIAL_Cleanup Start \n");
    // Waits of the closing handle are cancelled before the workers could report on them.
    VSERIAL_CompleteAllWaits(ext, STATUS_CANCELLED);

    VSERIAL_StopWorker(&ext->EmulationPollingExitEvent, &ext->EmulationThread);
    // The read thread completes a waiting read (success, 0 bytes) as it ends.
    VSERIAL_StopWorker(&ext->ReadPollingExitEvent, &ext->ReadThread);
    // A read that came after the thread had already ended (surprise removal) is answered here.
    VSERIAL_CompletePendingRead(ext, STATUS_SUCCESS);

    VSERIAL_CloseConnection(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    // Released last, so an open racing this cleanup is refused rather than sharing the workers.
    VSERIAL_StoreRelease(&ext->OpenFlag, 0);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DbgPrint("VSERIAL_Cleanup End \n");
    return STATUS_SUCCESS;
}

NTSTATUS VSERIAL_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    DbgPrint("VSERIAL_Close Start \n");
    VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_DSR_OFF);
    VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_CTS_OFF);
    VSERIAL_StoreRelease(&ext->OpenFlag, 0);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DbgPrint("VSERIAL_Close End \n");
    return STATUS_SUCCESS;
}

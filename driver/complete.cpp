// Tarnel driver: the one way a dispatch routine completes a request it owns.
#include "driver/vserial.h"

NTSTATUS VSERIAL_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                                 CCHAR PriorityBoost) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

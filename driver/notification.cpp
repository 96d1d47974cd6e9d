// Tarnel driver: the held removal-notification request. An application leaves it pending to learn
// of the port's removal; surprise removal completes it with success, a cancel with
// STATUS_CANCELLED. Whoever clears its cancel routine by exchange completes it.
#include "driver/notification.h"

static void VSERIAL_CompleteNotification(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static PVOID* VSERIAL_Slot(PVSERIAL_EXTENSION ext) {
    return reinterpret_cast<PVOID*>(&ext->NotificationIrp);
}

static void VSERIAL_NotificationCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    // Emptied only if it still holds this request: a removal may have taken it already.
    InterlockedCompareExchangePointer(VSERIAL_Slot(ext), nullptr, Irp);
    VSERIAL_CompleteNotification(Irp, STATUS_CANCELLED);
}

NTSTATUS VSERIAL_HoldNotification(PVSERIAL_EXTENSION ext, PIRP Irp) {
    // Pending and cancellable before the slot makes it visible to a removal.
    IoMarkIrpPending(Irp);
    (void)IoSetCancelRoutine(Irp, VSERIAL_NotificationCancel);
    if (InterlockedCompareExchangePointer(VSERIAL_Slot(ext), Irp, nullptr) != nullptr) {
        if (IoSetCancelRoutine(Irp, nullptr))
            VSERIAL_CompleteNotification(Irp, STATUS_DEVICE_BUSY);
        // Otherwise a cancel already runs; it finds the slot not holding this request.
        return STATUS_PENDING;
    }
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        // Cancelled before its routine was set, so no cancel routine will run for it.
        InterlockedCompareExchangePointer(VSERIAL_Slot(ext), nullptr, Irp);
        VSERIAL_CompleteNotification(Irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

void VSERIAL_ReleaseNotification(PVSERIAL_EXTENSION ext, NTSTATUS status) {
    PIRP held = static_cast<PIRP>(InterlockedExchangePointer(VSERIAL_Slot(ext), nullptr));
    if (held && IoSetCancelRoutine(held, nullptr))
        VSERIAL_CompleteNotification(held, status);
}

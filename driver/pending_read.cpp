// Tarnel driver: the slot of the one read waiting for data. A request enters it with its cancel
// routine set and leaves it with the routine cleared by exchange; whoever clears the routine
// completes the request. Up to DISPATCH_LEVEL.
#include "driver/ring.h"
#include "driver/vserial.h"

void VSERIAL_SetPendingRead(PVSERIAL_EXTENSION ext, PIRP irp) {
    __atomic_store_n(&ext->PendingReadIrp, irp, __ATOMIC_RELEASE);
}

PIRP VSERIAL_ClaimPendingRead(PVSERIAL_EXTENSION ext) {
    PIRP read = ext->PendingReadIrp;
    if (!read || !IoSetCancelRoutine(read, nullptr))
        return nullptr;
    VSERIAL_SetPendingRead(ext, nullptr);
    return read;
}

PIRP VSERIAL_FillPendingRead(PVSERIAL_EXTENSION ext, ULONG* taken) {
    *taken = 0;
    PIRP read = VSERIAL_ClaimPendingRead(ext);
    if (read) {
        const ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
        *taken = VSERIAL_RingGet(ext->Ring, read->AssociatedIrp.SystemBuffer, length);
        ext->ReadPolls = 0;
    }
    return read;
}

void VSERIAL_CompleteReadWithBytes(PVSERIAL_EXTENSION ext) {
    PIRP done = nullptr;
    ULONG taken = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    if (VSERIAL_RingCount(ext->Ring))
        done = VSERIAL_FillPendingRead(ext, &taken);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    // Completed after the lock is released: a completion routine may issue again at once.
    if (done)
        VSERIAL_CompleteRequest(done, STATUS_SUCCESS, taken, IO_SERIAL_INCREMENT);
}

void VSERIAL_CompletePendingRead(PVSERIAL_EXTENSION ext, NTSTATUS status) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    PIRP read = VSERIAL_ClaimPendingRead(ext);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    if (read)
        VSERIAL_CompleteRequest(read, status, 0, IO_SERIAL_INCREMENT);
}

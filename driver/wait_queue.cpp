// Tarnel driver: the wait queue's ring of ten slots, the claims that take requests out of it and
// the cancel routine of a queued wait-on-mask request. Callers hold the device lock unless noted.
#include "driver/wait_queue.h"

static ULONG VSERIAL_NextSlot(ULONG index) {
    return index + 1 == VSERIAL_WAIT_SLOTS ? 0 : index + 1;
}

BOOLEAN VSERIAL_WaitQueuePush(PVSERIAL_EXTENSION ext, PIRP irp) {
    const ULONG next = VSERIAL_NextSlot(ext->WaitQueueWriteIndex);
    if (next == ext->WaitQueueReadIndex)
        return FALSE;
    ext->WaitQueue[ext->WaitQueueWriteIndex] = irp;
    ext->WaitQueueWriteIndex = next;
    return TRUE;
}

PIRP VSERIAL_WaitQueuePop(PVSERIAL_EXTENSION ext) {
    if (ext->WaitQueueReadIndex == ext->WaitQueueWriteIndex)
        return nullptr;
    PIRP irp = ext->WaitQueue[ext->WaitQueueReadIndex];
    ext->WaitQueue[ext->WaitQueueReadIndex] = nullptr;
    ext->WaitQueueReadIndex = VSERIAL_NextSlot(ext->WaitQueueReadIndex);
    return irp;
}

ULONG VSERIAL_WaitQueueCount(PVSERIAL_EXTENSION ext) {
    const ULONG w = ext->WaitQueueWriteIndex;
    const ULONG r = ext->WaitQueueReadIndex;
    return r <= w ? w - r : w - r + VSERIAL_WAIT_SLOTS;
}

PIRP VSERIAL_WaitQueueClaimOldest(PVSERIAL_EXTENSION ext) {
    for (ULONG n = VSERIAL_WaitQueueCount(ext); n; --n) {
        PIRP irp = VSERIAL_WaitQueuePop(ext);
        if (IoSetCancelRoutine(irp, nullptr))
            return irp;
        VSERIAL_WaitQueuePush(ext, irp);  // the cancel takes it; room: it was just popped
    }
    return nullptr;
}

ULONG VSERIAL_WaitQueueClaimAll(PVSERIAL_EXTENSION ext, PIRP* claimed) {
    ULONG count = 0;
    for (ULONG n = VSERIAL_WaitQueueCount(ext); n; --n) {
        PIRP irp = VSERIAL_WaitQueuePop(ext);
        if (IoSetCancelRoutine(irp, nullptr))
            claimed[count++] = irp;
        else
            VSERIAL_WaitQueuePush(ext, irp);
    }
    return count;
}

PIRP VSERIAL_WaitQueueServeOldest(PVSERIAL_EXTENSION ext, ULONG (*eventWord)(PVSERIAL_EXTENSION),
                                  ULONG* word) {
    PIRP irp = VSERIAL_WaitQueuePop(ext);
    if (!irp)
        return nullptr;
    *word = eventWord(ext);
    if (*word && IoSetCancelRoutine(irp, nullptr))
        return irp;
    // Nothing to report yet, or a cancel owns it: back to the tail, so waits take turns.
    VSERIAL_WaitQueuePush(ext, irp);
    return nullptr;
}

void VSERIAL_CompleteWait(PIRP irp, NTSTATUS status, ULONG word) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    if (NT_SUCCESS(status)) {
        // Queued only with an output of at least the event word.
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &word, sizeof(word));
        irp->IoStatus.Information = sizeof(word);
    }
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

void VSERIAL_CompleteAllWaits(PVSERIAL_EXTENSION ext, NTSTATUS status) {
    PIRP claimed[VSERIAL_WAIT_QUEUE_CAPACITY];
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    const ULONG count = VSERIAL_WaitQueueClaimAll(ext, claimed);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    for (ULONG i = 0; i < count; ++i)
        VSERIAL_CompleteWait(claimed[i], status, 0);
}

void VSERIAL_CompleteOldestWait(PVSERIAL_EXTENSION ext) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    PIRP irp = VSERIAL_WaitQueueClaimOldest(ext);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    if (irp)
        VSERIAL_CompleteWait(irp, STATUS_SUCCESS, 0);
}

void VSERIAL_WaitCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Released first: the device lock is never taken inside the cancel spin lock.
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    // Rotate once through the queue, keeping every request but this one in its order.
    for (ULONG n = VSERIAL_WaitQueueCount(ext); n; --n) {
        PIRP irp = VSERIAL_WaitQueuePop(ext);
        if (irp != Irp)
            VSERIAL_WaitQueuePush(ext, irp);
    }
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    VSERIAL_CompleteWait(Irp, STATUS_CANCELLED, 0);
}

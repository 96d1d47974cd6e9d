// Tarnel driver: the queue of waiting wait-on-mask requests, ten slots in the device extension.
// Every operation here runs under the device lock, which guards both indices and the slots.
//
// A queued request always has VSERIAL_WaitCancel as its cancel routine. Whoever takes a request
// out to complete it clears that routine by exchange first; when the exchange finds it already
// gone, a cancel is running and waits for the device lock, so the request goes back into the
// queue for the cancel to find and complete.
#pragma once

#include "driver/vserial.h"

// One slot always stays free: at most nine requests.
#define VSERIAL_WAIT_QUEUE_CAPACITY (VSERIAL_WAIT_SLOTS - 1)

// Stores the request at the write index; FALSE (nothing stored) when the queue is full.
BOOLEAN VSERIAL_WaitQueuePush(PVSERIAL_EXTENSION Extension, PIRP Irp);
// The oldest request, or null when the queue is empty.
PIRP VSERIAL_WaitQueuePop(PVSERIAL_EXTENSION Extension);
ULONG VSERIAL_WaitQueueCount(PVSERIAL_EXTENSION Extension);

// Takes the oldest request whose cancel routine could still be cleared; requests a running
// cancel owns stay queued. Null when there is none.
PIRP VSERIAL_WaitQueueClaimOldest(PVSERIAL_EXTENSION Extension);
// Takes every request that can be claimed into Claimed (VSERIAL_WAIT_QUEUE_CAPACITY entries);
// returns how many.
ULONG VSERIAL_WaitQueueClaimAll(PVSERIAL_EXTENSION Extension, PIRP* Claimed);
// Pops the oldest request and computes its event word; a non-zero word claims it (returned),
// otherwise it goes back to the tail. Used by the workers' polls.
PIRP VSERIAL_WaitQueueServeOldest(PVSERIAL_EXTENSION Extension,
                                  ULONG (*EventWord)(PVSERIAL_EXTENSION), ULONG* Word);

// Completes a claimed request: success returns the event word (4 bytes), anything else 0 bytes.
// Called without the device lock.
void VSERIAL_CompleteWait(PIRP Irp, NTSTATUS Status, ULONG Word);
// Completes every claimable request with Status (event word 0 on success); takes the lock.
void VSERIAL_CompleteAllWaits(PVSERIAL_EXTENSION Extension, NTSTATUS Status);
// Completes the oldest claimable request with success and event word 0; takes the lock.
void VSERIAL_CompleteOldestWait(PVSERIAL_EXTENSION Extension);

DRIVER_CANCEL VSERIAL_WaitCancel;

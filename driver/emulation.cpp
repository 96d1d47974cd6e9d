// Tarnel driver: the emulation thread of an open handle, a system thread at priority 16 that
// polls every 10 ms while a wait-on-mask request waits (and otherwise sleeps until one is
// queued) until its stop request (EmulationPollingExitEvent) is signalled. Each poll
// examines the oldest waiting wait-on-mask request; waits therefore take turns.
#include "driver/ring.h"
#include "driver/vserial.h"
#include "driver/wait_queue.h"

#define VSERIAL_EMULATION_PERIOD 100000ULL  // 10 ms, in 100 ns units
// Modem control bits that stand for the CTS and DSR lines' events.
#define VSERIAL_MODEM_CONTROL_CTS 0x10
#define VSERIAL_MODEM_CONTROL_DSR 0x20

// Events are levels, not changes: a condition that holds reports again at every poll. Caller
// holds the device lock, which makes the wait mask and modem control one snapshot.
static ULONG VSERIAL_EmulatedEvents(PVSERIAL_EXTENSION ext) {
    const ULONG mask = ext->WaitMask;
    const ULONG control = ext->ModemControl;
    ULONG word = 0;
    if ((mask & SERIAL_EV_RXCHAR) && VSERIAL_RingCount(ext->Ring))
        word |= SERIAL_EV_RXCHAR;
    if ((mask & SERIAL_EV_CTS) && (control & VSERIAL_MODEM_CONTROL_CTS))
        word |= SERIAL_EV_CTS;
    if ((mask & SERIAL_EV_DSR) && (control & VSERIAL_MODEM_CONTROL_DSR))
        word |= SERIAL_EV_DSR;
    return word;
}

void pEmulationPollingFunction(PVOID context) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(context);
    DbgPrint("pEmulationPollingFunction Start \n");
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);

    VSERIAL_POLL_CLOCK clock;
    VSERIAL_PollClockStart(&clock, VSERIAL_EMULATION_PERIOD);
    for (;;) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
        const BOOLEAN polling = VSERIAL_WaitQueueCount(ext) != 0;
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        const NTSTATUS woken = VSERIAL_WorkerWait(&clock, &ext->EmulationWake, polling);
        if (KeReadStateEvent(&ext->EmulationPollingExitEvent))
            break;
        if (woken != STATUS_TIMEOUT)
            continue;
        ULONG word = 0;
        irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
        PIRP wait = VSERIAL_WaitQueueServeOldest(ext, VSERIAL_EmulatedEvents, &word);
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        if (wait)
            VSERIAL_CompleteWait(wait, STATUS_SUCCESS, word);
    }

    VSERIAL_PollClockStop(&clock);
    KeSetEvent(&ext->EmulationStoppedEvent, IO_NO_INCREMENT, FALSE);
    // Whatever still waits learns of the end with event word 0.
    VSERIAL_CompleteAllWaits(ext, STATUS_SUCCESS);
    DbgPrint("pEmulationPollingFunction Exit\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Tarnel driver: the emulation thread of an open handle, a system thread at priority 16 that
// polls every 10 ms until its stop request (EmulationPollingExitEvent) is signalled.
#include "driver/vserial.h"

#define VSERIAL_EMULATION_PERIOD (-100000LL)  // 10 ms, relative, in 100 ns units

void pEmulationPollingFunction(PVOID context) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(context);
    DbgPrint("pEmulationPollingFunction Start \n");
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);

    LARGE_INTEGER period;
    period.QuadPart = VSERIAL_EMULATION_PERIOD;
    // Each time-out is one poll. Wait-on-mask requests cannot be queued yet (serial control
    // requests are not served), so a poll has nothing to examine.
    while (KeWaitForSingleObject(&ext->EmulationPollingExitEvent, Executive, KernelMode, FALSE,
                                 &period) == STATUS_TIMEOUT) {
    }

    KeSetEvent(&ext->EmulationStoppedEvent, IO_NO_INCREMENT, FALSE);
    DbgPrint("pEmulationPollingFunction Exit\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

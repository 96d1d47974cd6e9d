// Tarnel driver: the per-device record, pool tags and the routines every file of the driver shares.
// Kernel C++: no exceptions, RTTI, STL, global constructors or new/delete.
#pragma once

#include "platform/nt.h"

// Pool tags, as the four bytes lie in memory ("10XB" is '1','0','X','B').
#define VSERIAL_TAG(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define VSERIAL_TAG_RING VSERIAL_TAG('1', '0', 'X', 'B')
#define VSERIAL_TAG_DEVICEMAP VSERIAL_TAG('2', '0', 'X', 'B')
#define VSERIAL_TAG_KEY_INFO VSERIAL_TAG('1', '1', 'X', 'B')
#define VSERIAL_TAG_SUBKEY_NAME VSERIAL_TAG('2', '1', 'X', 'B')
#define VSERIAL_TAG_VALUE VSERIAL_TAG('3', '1', 'X', 'B')
#define VSERIAL_TAG_ENDPOINT VSERIAL_TAG('T', 'd', 'i', 'E')

#define VSERIAL_NAME_CHARS 255
#define VSERIAL_WAIT_SLOTS 10
#define VSERIAL_DEFAULT_BAUD 115200

struct VSERIAL_RING;
struct VSERIAL_TDI_ENDPOINT;

// Non-executable non-paged pool where Windows has it (Windows 8 and later), chosen at entry.
#define VSERIAL_NONPAGED_POOL ExDefaultNonPagedPoolType

// The device's one connection to its printer (connection.cpp). At most one endpoint exists per
// device: the open handle's, made by its open or, after a failed send, by one write at a time.
// Lock guards every field; no transport request is issued while it is held.
struct VSERIAL_CONNECTION_SLOT {
    KSPIN_LOCK Lock;
    VSERIAL_TDI_ENDPOINT* Endpoint;    // connected and usable, or null
    VSERIAL_TDI_ENDPOINT* Connecting;  // being connected: cleanup cancels its connect
    ULONG Establishing;                // an open or one write is making the endpoint
    ULONG Attempts;                    // establishments finished, for writers that waited
    ULONG Closing;                     // the owner's cleanup began: nothing is made or used
    KEVENT Settled;                    // notification; signalled while nothing is establishing
    LONG Writes;                       // write requests inside the driver
    KEVENT WritesGone;                 // notification; signalled when Writes drops to 0 closing
};

// One per device object, zero-filled at creation. Field order is part of the driver's record.
// The device lock guards the wait queue, the pending-read slot and every take from the ring.
// Workers and events belong to the one open handle: started by create, stopped by cleanup.
struct VSERIAL_EXTENSION {
    ULONG OpenFlag;  // 1 while a handle holds the open claim (OpenOwner); 0 after surprise removal
    WCHAR LinkName[VSERIAL_NAME_CHARS];       // \DosDevices\COM7
    WCHAR ColonLinkName[VSERIAL_NAME_CHARS];  // \DosDevices\COM7:
    WCHAR PortName[VSERIAL_NAME_CHARS];       // COM7
    SERIAL_TIMEOUTS Timeouts;
    PDEVICE_OBJECT DeviceObject;
    KEVENT EmulationPollingExitEvent;  // emulation stop request
    KEVENT EmulationStoppedEvent;
    KEVENT ReadStoppedEvent;
    KEVENT ReadPollingExitEvent;  // read stop request
    PVOID EmulationThread;        // referenced thread objects of an open handle's workers
    PVOID ReadThread;
    PIRP NotificationIrp;  // the held removal-notification request
    PIRP PendingReadIrp;   // the one read waiting for data (device lock); its cancel routine is set
    ULONG BaudRate;
    ULONG ModemStatus;  // only SERIAL_CTS_STATE and SERIAL_DSR_STATE are ever set
    ULONG ModemControl;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_HANDFLOW HandFlow;
    ULONG WaitQueueWriteIndex;
    ULONG WaitQueueReadIndex;
    VSERIAL_RING* Ring;  // outlives every handle: bytes left at close are read at the next open
    PDEVICE_OBJECT LowerDeviceObject;
    PIRP WaitQueue[VSERIAL_WAIT_SLOTS];
    ULONG WaitMask;
    PDEVICE_OBJECT PhysicalDeviceObject;
    KSPIN_LOCK DeviceLock;
    UNICODE_STRING InterfaceLinkName;
    // The file object that holds the open claim; only its cleanup or close releases it.
    PFILE_OBJECT OpenOwner;
    ULONG Removed;  // surprise removal came: opens fail with STATUS_DELETE_PENDING
    VSERIAL_CONNECTION_SLOT Connection;
    // The workers' wake events (synchronization). A worker with nothing to poll for sleeps on its
    // own until work comes or its stop request is signalled; see VSERIAL_WorkerWait.
    KEVENT ReadWake;       // a read or wait queued, a purge that made room for held bytes
    KEVENT EmulationWake;  // a wait queued
    ULONG RoomWanted;      // device lock; the transport holds bytes: a take that makes room fetches
    // Device lock: the read thread's polls counted towards the waiting read's time-out. Reset
    // when a read is completed (with bytes or at its time-out); a cancelled read leaves it.
    ULONG ReadPolls;
};
using PVSERIAL_EXTENSION = VSERIAL_EXTENSION*;

extern "C" DRIVER_INITIALIZE DriverEntry;

DRIVER_ADD_DEVICE VSERIAL_AddDevice;
DRIVER_UNLOAD VSERIAL_Unload;
DRIVER_DISPATCH VSERIAL_Dispatch;
DRIVER_DISPATCH VSERIAL_Power;
DRIVER_DISPATCH VSERIAL_SystemControl;
DRIVER_DISPATCH VSERIAL_InternalDeviceControl;
DRIVER_DISPATCH VSERIAL_Create;
DRIVER_DISPATCH VSERIAL_Close;
DRIVER_DISPATCH VSERIAL_Read;
DRIVER_DISPATCH VSERIAL_Write;
DRIVER_DISPATCH VSERIAL_Cleanup;
DRIVER_DISPATCH VSERIAL_DeviceControl;
NTSTATUS VSERIAL_StartDevice(PDEVICE_OBJECT DeviceObject);

DRIVER_CANCEL VSERIAL_ReadCancel;
// Completes the waiting read, if any, with Status and 0 bytes: success for a read left when no
// read thread runs any more, STATUS_CANCELLED for a purge.
void VSERIAL_CompletePendingRead(PVSERIAL_EXTENSION Extension, NTSTATUS Status);
// The waiting read's slot (pending_read.cpp). Set stores atomically (the receive handler peeks
// without the lock); Claim takes the waiting read out if its cancel routine is still ours to
// clear, or gives null. Caller holds the device lock for both.
void VSERIAL_SetPendingRead(PVSERIAL_EXTENSION Extension, PIRP Irp);
PIRP VSERIAL_ClaimPendingRead(PVSERIAL_EXTENSION Extension);
// Claims the waiting read and fills it from the ring; null when none could be claimed. The read
// is completed by the caller, after the device lock (which the caller holds) is released.
PIRP VSERIAL_FillPendingRead(PVSERIAL_EXTENSION Extension, ULONG* Taken);
// From the receive handler once bytes are in the ring: completes the waiting read with them at
// once, as the read thread would at its next pass. Up to DISPATCH_LEVEL.
void VSERIAL_CompleteReadWithBytes(PVSERIAL_EXTENSION Extension);
// The transport holds bytes: a take from the ring that makes room is to fetch them. Up to
// DISPATCH_LEVEL; takes the device lock.
void VSERIAL_WantRoom(PVSERIAL_EXTENSION Extension);
// After a take from the ring made room: whether the read thread asked to hear of it (the
// transport holds bytes) and the ring has drained far enough to refill, in which case the request
// is cleared and the caller wakes the thread. Caller holds the device lock.
BOOLEAN VSERIAL_TakeRoomWanted(PVSERIAL_EXTENSION Extension);
// The two workers of an open handle, system threads at priority 16 with the extension as context.
// Each ends when its stop request is signalled, signalling its "stopped" event on the way out.
// Each polls only while it has something to poll for, and otherwise sleeps until woken.
KSTART_ROUTINE pEmulationPollingFunction;  // every 10 ms: reports events to waiting requests
KSTART_ROUTINE pReadPollingFunction;       // every 1 ms: completes the waiting read

// Gives back the open claim if `FileObject` holds it; false when another file object (or
// nobody) holds it.
BOOLEAN VSERIAL_ReleaseOpenClaim(PVSERIAL_EXTENSION Extension, PFILE_OBJECT FileObject);
// Whether the file object holds the open claim.
inline BOOLEAN VSERIAL_OwnsOpenClaim(PVSERIAL_EXTENSION Extension, PFILE_OBJECT FileObject) {
    return InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(&Extension->OpenOwner),
                                             nullptr, nullptr) == FileObject;
}

// Signals a worker's stop request (and its wake event, so a sleeping worker sees it).
inline void VSERIAL_SignalStop(PKEVENT StopRequest, PKEVENT Wake) {
    KeSetEvent(StopRequest, IO_NO_INCREMENT, FALSE);
    KeSetEvent(Wake, IO_NO_INCREMENT, FALSE);
}
// Signals a worker's stop and waits for its thread (if any) to end; drops the reference.
void VSERIAL_StopWorker(PKEVENT StopRequest, PKEVENT Wake, PVOID* Thread);

// A worker's poll schedule: while there is something to poll for, polls are Period apart
// (interrupt time, 100 ns units), the first a whole period after the worker began polling,
// whether or not the worker was woken in between.
struct VSERIAL_POLL_CLOCK {
    ULONGLONG Period;
    ULONGLONG Due;  // the next poll while Armed
    BOOLEAN Armed;
    BOOLEAN FineTimer;  // this worker holds a 1 ms timer resolution request
};
void VSERIAL_PollClockStart(VSERIAL_POLL_CLOCK* Clock, ULONGLONG Period);
// Gives back the worker's timer resolution request, if it holds one; the worker calls it as it
// ends.
void VSERIAL_PollClockStop(VSERIAL_POLL_CLOCK* Clock);
// Sleeps on Wake until the next poll when Polling, else until Wake alone. STATUS_TIMEOUT means a
// poll is due (and is consumed); STATUS_SUCCESS means the worker was woken. Polls missed while
// the worker was busy are not made up, as a relative period would not make them up either.
// The default clock tick (15.6 ms) is too coarse for the periods: a worker asks for a 1 ms timer
// resolution while it polls and gives it back once it has had nothing to poll for a second
// (then it returns STATUS_SUCCESS, as if woken), so an idle open port leaves the system clock
// alone and a program reading in a loop does not switch it with every read.
NTSTATUS VSERIAL_WorkerWait(VSERIAL_POLL_CLOCK* Clock, PKEVENT Wake, BOOLEAN Polling);

// Emulated modem lines: 1 sets DSR, 2 sets CTS, -2 clears DSR, -3 clears CTS; other codes do
// nothing.
#define VSERIAL_MODEM_DSR_ON 1
#define VSERIAL_MODEM_CTS_ON 2
#define VSERIAL_MODEM_DSR_OFF (-2)
#define VSERIAL_MODEM_CTS_OFF (-3)
void VSERIAL_UpdateModemStatus(PVSERIAL_EXTENSION Extension, LONG Code);
// DSR and CTS together: raised while a handle has its printer, dropped when it loses it.
void VSERIAL_SetLinesReady(PVSERIAL_EXTENSION Extension, BOOLEAN Ready);

// Completes a request with its status and information; returns the status.
NTSTATUS VSERIAL_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                                 CCHAR PriorityBoost = IO_NO_INCREMENT);

// Words shared without a lock between a dispatch routine, the workers and the transport's
// handlers: loads see every store published before them, and are never torn or cached.
inline ULONG VSERIAL_LoadAcquire(const volatile ULONG* Word) {
    return __atomic_load_n(Word, __ATOMIC_ACQUIRE);
}
inline void VSERIAL_StoreRelease(volatile ULONG* Word, ULONG Value) {
    __atomic_store_n(Word, Value, __ATOMIC_RELEASE);
}

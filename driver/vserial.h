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

// One per device object, zero-filled at creation. Field order is part of the driver's record.
// The device lock guards the wait queue, the pending-read slot and every take from the ring.
struct VSERIAL_EXTENSION {
    ULONG OpenFlag;  // 1 while a handle is open with a live connection
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
    PIRP PendingReadIrp;   // the one read waiting for data
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

// Tarnel driver: the one held removal-notification request. The slot in the extension is taken
// and emptied by atomic exchange, without the device lock.
#pragma once

#include "driver/vserial.h"

// Private control codes of the port (device type 0x22, buffered, any access).
#define VSERIAL_IOCTL_REMOVAL_NOTIFY \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define VSERIAL_IOCTL_NO_OPERATION \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(VSERIAL_IOCTL_REMOVAL_NOTIFY == 0x222000, "removal notification code");
static_assert(VSERIAL_IOCTL_NO_OPERATION == 0x222004, "no-operation code");

// Holds the request until removal; a second one while one is held gets STATUS_DEVICE_BUSY.
// Always returns STATUS_PENDING.
NTSTATUS VSERIAL_HoldNotification(PVSERIAL_EXTENSION Extension, PIRP Irp);
// Empties the slot and completes the held request, if any, with Status; a request whose cancel
// is already running is left to that cancel.
void VSERIAL_ReleaseNotification(PVSERIAL_EXTENSION Extension, NTSTATUS Status);

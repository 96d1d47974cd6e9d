// The driver's only window on the kernel: the WDK headers on Windows, the host kernel on Linux.
#pragma once

#if defined(_WIN32)
// mingw-w64's DDK headers define these intrinsics a second time unless told they exist.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
#include <ntddser.h>
#include <tdi.h>
#include <tdikrnl.h>
}
// mingw-w64's ntddser.h lacks the WDK's comm-config codes (serial functions 33 and 34).
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
// mingw-w64's wdm.h lacks the WDK's NX opt-in (an inline of the WDK's, not a kernel export).
#ifndef DrvRtPoolNxOptIn
#define DrvRtPoolNxOptIn 0x00000001
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPool;
inline void ExInitializeDriverRuntime(ULONG RuntimeFlags) {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if ((RuntimeFlags & DrvRtPoolNxOptIn) && NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 ||
         (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)))
        ExDefaultNonPagedPoolType = NonPagedPoolNx;
}
#endif
#ifndef TEXT
#define TARNEL_NT_WIDE_(q) L##q
#define TEXT(q) TARNEL_NT_WIDE_(q)
#endif
#else
#include "platform/host/kernel/ntapi.h"
#endif

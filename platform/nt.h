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
#ifndef TEXT
#define TARNEL_NT_WIDE_(q) L##q
#define TEXT(q) TARNEL_NT_WIDE_(q)
#endif
#else
#include "platform/host/kernel/ntapi.h"
#endif

// Kernel handles to registry keys: the one table of key objects opened through Zw* calls.
// ZwClose closes them through the object manager's hook for foreign handles; the table is kept
// apart so that it can become the manager's key object type without touching the registry calls.
#pragma once

#include "platform/host/kernel/ntdef.h"
#include "platform/host/machine/registry_store.h"

namespace tarnel::host::kernel {

// Handle values have a range of their own (kernel-handle style, high bit set), apart from Win32
// HKEYs and from the object manager's handles, and are never reused within a process.
HANDLE InsertKeyHandle(const RegKey& key);
bool ReferenceKeyHandle(HANDLE handle, RegKey& out);
bool CloseKeyHandle(HANDLE handle);

}  // namespace tarnel::host::kernel

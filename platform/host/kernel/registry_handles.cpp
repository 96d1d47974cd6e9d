// The host kernel's table of registry key handles (see registry_handles.h); ZwClose reaches it
// through the object manager's close hook for handles of other kinds. One mutex guards it.
#include "platform/host/kernel/registry_handles.h"

#include <cstdint>
#include <mutex>

#include "platform/host/kernel/internal.h"
#include "platform/host/machine/handle_values.h"

namespace tarnel::host::kernel {

namespace {

// Kernel handle style: the high bit set, apart from the object manager's own range.
HandleValues<RegKey>& table() {
    static HandleValues<RegKey> t(static_cast<std::uintptr_t>(0xFFFFFFFFA0000000ull));
    return t;
}

bool closeHook(HANDLE handle, NTSTATUS* status) {
    if (!table().remove(handle))
        return false;
    *status = STATUS_SUCCESS;
    return true;
}

}  // namespace

HANDLE InsertKeyHandle(const RegKey& key) {
    static std::once_flag hooked;
    std::call_once(hooked, [] { SetForeignCloseHook(closeHook); });
    return table().insert<HANDLE>(key);
}
bool ReferenceKeyHandle(HANDLE handle, RegKey& out) {
    return table().find(handle, out);
}
bool CloseKeyHandle(HANDLE handle) {
    return table().remove(handle);
}

}  // namespace tarnel::host::kernel

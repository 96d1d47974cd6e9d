// The host kernel's table of registry key handles (see registry_handles.h); ZwClose reaches it
// through the object manager's close hook for handles of other kinds. One mutex guards it.
#include "platform/host/kernel/registry_handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/host/kernel/internal.h"

namespace tarnel::host::kernel {

namespace {

class KeyHandleTable {
  public:
    HANDLE insert(const RegKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uintptr_t value = kFirst + 4 * next_++;
        keys_.emplace(value, key);
        return reinterpret_cast<HANDLE>(value);
    }
    bool reference(HANDLE h, RegKey& out) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = keys_.find(reinterpret_cast<std::uintptr_t>(h));
        if (it == keys_.end())
            return false;
        out = it->second;
        return true;
    }
    bool close(HANDLE h) {
        std::lock_guard<std::mutex> lock(mutex_);
        return keys_.erase(reinterpret_cast<std::uintptr_t>(h)) == 1;
    }

  private:
    static constexpr std::uintptr_t kFirst = static_cast<std::uintptr_t>(0xFFFFFFFFA0000000ull);
    std::mutex mutex_;
    std::uintptr_t next_ = 0;
    std::unordered_map<std::uintptr_t, RegKey> keys_;
};

KeyHandleTable& table() {
    static KeyHandleTable t;
    return t;
}

bool closeHook(HANDLE handle, NTSTATUS* status) {
    if (!table().close(handle))
        return false;
    *status = STATUS_SUCCESS;
    return true;
}

}  // namespace

HANDLE InsertKeyHandle(const RegKey& key) {
    static std::once_flag hooked;
    std::call_once(hooked, [] { SetForeignCloseHook(closeHook); });
    return table().insert(key);
}
bool ReferenceKeyHandle(HANDLE handle, RegKey& out) {
    return table().reference(handle, out);
}
bool CloseKeyHandle(HANDLE handle) {
    return table().close(handle);
}

}  // namespace tarnel::host::kernel

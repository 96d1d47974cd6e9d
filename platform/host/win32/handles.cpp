// The kernel-object handle table and CloseHandle.
#include "platform/host/win32/handles.h"

#include "platform/host/win32/process.h"

namespace tarnel::host {

namespace {

// Windows keeps handle values well below 2^24; so do we, which leaves room to wrap.
constexpr ULONG_PTR kLastHandleValue = 0x00FFFFFC;

}  // namespace

DWORD KernelObject::read(void*, DWORD, DWORD& done, OVERLAPPED*) {
    done = 0;
    return ERROR_INVALID_HANDLE;
}

DWORD KernelObject::write(const void*, DWORD, DWORD& done, OVERLAPPED*) {
    done = 0;
    return ERROR_INVALID_HANDLE;
}

DWORD KernelObject::flush() {
    return ERROR_INVALID_HANDLE;
}

HandleTable& HandleTable::instance() {
    // Never destroyed: handles may be closed by static destructors that run after ours would.
    static HandleTable* table = new HandleTable;
    return *table;
}

HANDLE HandleTable::insert(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::shared_mutex> lock(mutex_);
    for (ULONG_PTR tries = 0; tries < kLastHandleValue / 4; ++tries) {
        ULONG_PTR value = next_;
        next_ = next_ >= kLastHandleValue ? 4 : next_ + 4;
        if (objects_.count(value))
            continue;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<HANDLE>(value);
    }
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
}

std::shared_ptr<KernelObject> HandleTable::lookup(HANDLE handle) const {
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        auto it = objects_.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it != objects_.end())
            return it->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool HandleTable::close(HANDLE handle, const HandleKind* kind) {
    std::shared_ptr<KernelObject> object;
    {
        std::lock_guard<std::shared_mutex> lock(mutex_);
        auto it = objects_.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it != objects_.end() &&
            (kind ? &it->second->kind() == kind : it->second->closedByCloseHandle())) {
            object = std::move(it->second);
            objects_.erase(it);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Outside the lock: cleanup may block (a device completing its requests) or close handles.
    object->cleanup();
    return true;
}

size_t HandleTable::size() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return objects_.size();
}

}  // namespace tarnel::host

BOOL CloseHandle(HANDLE hObject) {
    // Closing a pseudo-handle does nothing and succeeds.
    if (hObject == GetCurrentProcess() || hObject == GetCurrentThread())
        return TRUE;
    return tarnel::host::HandleTable::instance().close(hObject, nullptr) ? TRUE : FALSE;
}

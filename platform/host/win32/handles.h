// The process-wide table of kernel-object handles (files, find handles; later devices, events,
// threads). A kind of object is a subclass of KernelObject with its own HandleKind, nothing more.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/win32/files.h"

namespace tarnel::host {

// Identifies a kind of object; each subclass defines one instance and is looked up by its address.
struct HandleKind {
    const char* name;
};

// An object a handle refers to. The table holds one reference per handle; callers hold more
// while they use the object, so an object outlives a CloseHandle that races with its use.
class KernelObject {
  public:
    explicit KernelObject(const HandleKind& kind) : kind_(kind) {}
    // Runs when the last reference goes (where Windows sends IRP_MJ_CLOSE).
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    const HandleKind& kind() const { return kind_; }

    // Runs once, when CloseHandle removes the handle (where Windows sends IRP_MJ_CLEANUP); other
    // threads may still be using the object.
    virtual void cleanup() {}
    // Find handles close with FindClose only, as on Windows.
    virtual bool closedByCloseHandle() const { return true; }

    // ReadFile, WriteFile and FlushFileBuffers; a Win32 error code (0 on success). Objects that
    // carry no data refuse with ERROR_INVALID_HANDLE.
    virtual DWORD read(void* buffer, DWORD length, DWORD& done, OVERLAPPED* overlapped);
    virtual DWORD write(const void* buffer, DWORD length, DWORD& done, OVERLAPPED* overlapped);
    virtual DWORD flush();

  private:
    const HandleKind& kind_;
};

// Handle values are like Windows': non-null multiples of 4, never the pseudo-handles
// (-1 for the process, -2 for the thread). Values are not reused until the counter wraps, so a
// stale handle is reported as invalid rather than reaching a newer object.
class HandleTable {
  public:
    static HandleTable& instance();

    // A new handle for the object; NULL (ERROR_TOO_MANY_OPEN_FILES) when the table is full.
    HANDLE insert(std::shared_ptr<KernelObject> object);
    // The object behind a handle of any kind; null with ERROR_INVALID_HANDLE when there is none.
    std::shared_ptr<KernelObject> lookup(HANDLE handle) const;
    // The object behind a handle of T's kind (T::kKind); null with ERROR_INVALID_HANDLE for a
    // closed handle or a handle of another kind.
    template <typename T>
    std::shared_ptr<T> lookup(HANDLE handle) const {
        std::shared_ptr<KernelObject> object = lookup(handle);
        if (object && &object->kind() == &T::kKind)
            return std::static_pointer_cast<T>(object);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Removes a handle of `kind` (any kind when null) and runs the object's cleanup; false with
    // ERROR_INVALID_HANDLE when there is no such handle.
    bool close(HANDLE handle, const HandleKind* kind);
    size_t size() const;

  private:
    HandleTable() = default;

    // Lookups, one per call on a handle, share it; only adding and closing handles excludes.
    mutable std::shared_mutex mutex_;
    std::unordered_map<ULONG_PTR, std::shared_ptr<KernelObject>> objects_;
    ULONG_PTR next_ = 4;
};

}  // namespace tarnel::host

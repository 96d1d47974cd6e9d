// Ob: reference-counted kernel objects and the kernel handle table.
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/verifier.h"

namespace tarnel::host::kernel {

OBJECT_TYPE g_threadType{"Thread"};
OBJECT_TYPE g_fileType{"File"};
OBJECT_TYPE g_eventType{"Event"};

namespace {

constexpr ULONG64 kObjectMagic = 0x5443454A424F4854ULL;

std::mutex g_handleMutex;
std::map<HANDLE, void*>& Handles() {
    static auto* handles = new std::map<HANDLE, void*>;
    return *handles;
}
// Kernel handles carry the high bit, as on Windows, so they never meet Win32 handle values.
ULONG_PTR g_nextHandle = 0xFFFFFFFF80000004ULL;
std::atomic<CloseHook> g_foreignClose{nullptr};

}  // namespace

void* CreateObject(POBJECT_TYPE type, size_t bodySize, void (*destroy)(void* body)) {
    auto* header = static_cast<ObjectHeader*>(std::calloc(1, sizeof(ObjectHeader) + bodySize));
    if (!header)
        return nullptr;
    header->references = 1;
    header->type = type;
    header->destroy = destroy;
    header->magic = kObjectMagic;
    return header + 1;
}

ObjectHeader* HeaderOf(void* body) {
    auto* header = static_cast<ObjectHeader*>(body) - 1;
    if (header->magic != kObjectMagic)
        BugCheck("INVALID_OBJECT", "%p is not an object of the object manager", body);
    return header;
}

NTSTATUS InsertHandle(void* body, PHANDLE handle) {
    ObfReferenceObject(body);
    __atomic_add_fetch(&HeaderOf(body)->handles, 1, __ATOMIC_SEQ_CST);
    std::lock_guard<std::mutex> lock(g_handleMutex);
    HANDLE h = reinterpret_cast<HANDLE>(g_nextHandle);
    g_nextHandle += 4;
    Handles()[h] = body;
    *handle = h;
    return STATUS_SUCCESS;
}

void* ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, NTSTATUS* status) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = Handles().find(handle);
    if (it == Handles().end()) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if (type && HeaderOf(it->second)->type != type) {
        *status = STATUS_OBJECT_TYPE_MISMATCH;
        return nullptr;
    }
    // Referenced under the table lock, so a concurrent close cannot free it first.
    ObfReferenceObject(it->second);
    *status = STATUS_SUCCESS;
    return it->second;
}

void SetForeignCloseHook(CloseHook hook) {
    g_foreignClose.store(hook);
}

}  // namespace tarnel::host::kernel

using namespace tarnel::host::kernel;

POBJECT_TYPE g_threadTypePtr = &g_threadType;
POBJECT_TYPE g_fileTypePtr = &g_fileType;
POBJECT_TYPE g_eventTypePtr = &g_eventType;
POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;

LONG_PTR ObfReferenceObject(PVOID object) {
    auto* header = HeaderOf(object);
    LONG_PTR refs = __atomic_add_fetch(&header->references, 1, __ATOMIC_SEQ_CST);
    if (refs <= 1)
        BugCheck("REFERENCE_BY_POINTER", "object %p referenced after its last release", object);
    return refs;
}

LONG_PTR ObfDereferenceObject(PVOID object) {
    auto* header = HeaderOf(object);
    LONG_PTR refs = __atomic_sub_fetch(&header->references, 1, __ATOMIC_SEQ_CST);
    if (refs < 0)
        BugCheck("REFERENCE_BY_POINTER", "object %p released more often than referenced", object);
    if (refs == 0) {
        if (header->destroy)
            header->destroy(object);
        header->magic = 0;
        std::free(header);
    }
    return refs;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type, KPROCESSOR_MODE,
                                   PVOID* object, PVOID) {
    NTSTATUS status;
    void* body = ReferenceByHandle(handle, type, &status);
    if (!body)
        return status;
    *object = body;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
    if (CloseHook hook = g_foreignClose.load()) {
        NTSTATUS status;
        if (hook(handle, &status))
            return status;
    }
    void* body = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        auto it = Handles().find(handle);
        if (it == Handles().end())
            return STATUS_INVALID_HANDLE;
        body = it->second;
        Handles().erase(it);
    }
    ObjectHeader* header = HeaderOf(body);
    if (__atomic_sub_fetch(&header->handles, 1, __ATOMIC_SEQ_CST) == 0 && header->lastHandleClosed)
        header->lastHandleClosed(body);
    ObfDereferenceObject(body);
    return STATUS_SUCCESS;
}

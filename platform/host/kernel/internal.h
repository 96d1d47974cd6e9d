// Declarations shared by the host kernel's own files (not seen by drivers).
#pragma once

#include <string>
#include <vector>

#include "platform/host/kernel/ntapi.h"

namespace tarnel::host::kernel {

// Dispatcher header types: what KeWaitForSingleObject is waiting on.
constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;
constexpr UCHAR kThreadType = 6;

// Signals a dispatcher object for good (threads when they end).
void SignalDispatcherObject(DISPATCHER_HEADER* header);

// "A\\B\\C" as its key names, empty parts dropped.
std::vector<std::u16string> SplitKeyPath(const std::u16string& path);

// Pool allocations made by the kernel on a driver's behalf (strings it hands out).
PVOID AllocateKernelPool(SIZE_T bytes, ULONG tag);
// Tags (with counts) of live pool allocated by code of a loaded module (a dlopen handle).
std::vector<std::string> PoolLeftByModule(void* moduleHandle);

}  // namespace tarnel::host::kernel

// ---- object manager ----

namespace tarnel::host::kernel {

// Every object the object manager hands out has this header in front of its body.
struct ObjectHeader {
    volatile LONG_PTR references;
    POBJECT_TYPE type;
    void (*destroy)(void* body);  // called when the last reference goes
    ULONG64 magic;
    volatile LONG handles;
    void (*lastHandleClosed)(void* body);  // file objects: where IRP_MJ_CLEANUP goes out
};

// A new object with one reference held by the caller.
void* CreateObject(POBJECT_TYPE type, size_t bodySize, void (*destroy)(void* body));
ObjectHeader* HeaderOf(void* body);
// Kernel handles: opening takes a reference, closing drops it.
NTSTATUS InsertHandle(void* body, PHANDLE handle);
// The object behind a handle, with a reference taken for the caller.
void* ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, NTSTATUS* status);
// Handles of other kinds (registry keys) close through this hook before the object table.
using CloseHook = bool (*)(HANDLE handle, NTSTATUS* status);
void SetForeignCloseHook(CloseHook hook);

extern OBJECT_TYPE g_threadType;
extern OBJECT_TYPE g_fileType;
extern OBJECT_TYPE g_eventType;

}  // namespace tarnel::host::kernel

struct OBJECT_TYPE {
    const char* name;
};

// A system thread. Waitable through its header; signalled when its routine ends.
struct KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY priority;
    PKSTART_ROUTINE routine;
    PVOID context;
    NTSTATUS exitStatus;
    void* exitJump;  // jmp_buf of the thread's start frame, for PsTerminateSystemThread
};

namespace tarnel::host::kernel {
// System threads whose routine has not ended yet.
int RunningSystemThreads();
}  // namespace tarnel::host::kernel

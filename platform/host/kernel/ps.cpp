// Ps: system threads on pthreads. A thread object is signalled when its routine returns or calls
// PsTerminateSystemThread; the running thread holds its own reference until then.
#include <pthread.h>

#include <atomic>
#include <csetjmp>
#include <cstdlib>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/verifier.h"

using namespace tarnel::host::kernel;

namespace {

thread_local KTHREAD* t_current = nullptr;
std::atomic<int> g_running{0};

void* ThreadStart(void* arg) {
    auto* thread = static_cast<KTHREAD*>(arg);
    t_current = thread;
    std::jmp_buf exitJump;
    thread->exitJump = &exitJump;
    if (setjmp(exitJump) == 0)
        thread->routine(thread->context);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "system thread %p ended at IRQL %u",
                 static_cast<void*>(thread), KeGetCurrentIrql());
    t_current = nullptr;
    g_running--;
    SignalDispatcherObject(&thread->Header);
    ObfDereferenceObject(thread);
    return nullptr;
}

}  // namespace

int tarnel::host::kernel::RunningSystemThreads() {
    return g_running.load();
}

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread at IRQL %u", KeGetCurrentIrql());
    auto* thread = static_cast<KTHREAD*>(CreateObject(&g_threadType, sizeof(KTHREAD), nullptr));
    if (!thread)
        return STATUS_INSUFFICIENT_RESOURCES;
    thread->Header.Type = kThreadType;
    thread->priority = 8;
    thread->routine = startRoutine;
    thread->context = startContext;
    // The creation reference becomes the running thread's own; the handle takes another.
    InsertHandle(thread, threadHandle);
    g_running++;
    pthread_t tid;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&tid, &attr, ThreadStart, thread);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        g_running--;
        ObfDereferenceObject(thread);
        ZwClose(*threadHandle);
        *threadHandle = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (clientId) {
        clientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        clientId->UniqueThread = thread;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) {
    KTHREAD* thread = t_current;
    if (!thread)
        BugCheck("INVALID_THREAD", "PsTerminateSystemThread called outside a system thread");
    thread->exitStatus = exitStatus;
    std::longjmp(*static_cast<std::jmp_buf*>(thread->exitJump), 1);
}

PKTHREAD KeGetCurrentThread() {
    return t_current;
}

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
    return __atomic_exchange_n(&thread->priority, priority, __ATOMIC_SEQ_CST);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread) {
    return __atomic_load_n(&thread->priority, __ATOMIC_SEQ_CST);
}

// Win32 threads on std::thread: the thread runs detached and signals its handle's object when
// its function returns, so a handle may be closed, waited on or outlive the thread freely.
#include "platform/host/win32/threads.h"

#include <future>
#include <memory>
#include <thread>

#include "platform/host/win32/handles.h"
#include "platform/host/win32/process.h"
#include "platform/host/win32/sync_object.h"

namespace tarnel::host {

namespace {

const HandleKind kThreadKind{"Thread"};
using WaitableThread = WaitableExit<kThreadKind>;

}  // namespace

}  // namespace tarnel::host

using namespace tarnel::host;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto object = std::make_shared<WaitableThread>();
    HANDLE handle = HandleTable::instance().insert(object);
    if (!handle)
        return nullptr;
    // The id is the Linux thread id, as GetCurrentThreadId reports it inside the thread.
    auto idReady = std::make_shared<std::promise<DWORD>>();
    std::future<DWORD> id = idReady->get_future();
    std::thread([object, start, parameter, idReady]() {
        idReady->set_value(GetCurrentThreadId());
        object->finish(start(parameter));
    }).detach();
    DWORD value = id.get();
    if (threadId)
        *threadId = value;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto object = HandleTable::instance().lookup<WaitableThread>(thread);
    if (!object || !exitCode) {
        if (object)
            SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->exitCode();
    return TRUE;
}

// Win32 events on a process-wide condition variable: every state change wakes every waiter,
// which then re-checks the objects it waits for. Simple, and waits on several objects come free.
#include "platform/host/win32/sync.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/win32/handles.h"
#include "platform/host/win32/sync_object.h"
#include "platform/host/win32/time.h"

namespace tarnel::host {

namespace {
// Never destroyed: threads that a program left running (as Windows lets it) may still signal
// their handles while the process runs its exit destructors.
std::mutex& g_waitMutex = *new std::mutex;
std::condition_variable& g_waitChanged = *new std::condition_variable;
}  // namespace

const HandleKind WaitableEvent::kKind{"Event"};

std::mutex& WaitableObject::lock() {
    return g_waitMutex;
}

void WaitableObject::notifyAll() {
    g_waitChanged.notify_all();
}

void WaitableEvent::set() {
    std::lock_guard<std::mutex> guard(lock());
    signalled_ = true;
    notifyAll();
}

void WaitableEvent::reset() {
    std::lock_guard<std::mutex> guard(lock());
    signalled_ = false;
}

bool WaitableEvent::isSignalledLocked() const {
    return signalled_;
}

void WaitableEvent::acquireLocked() {
    if (!manualReset_)
        signalled_ = false;
}

}  // namespace tarnel::host

using namespace tarnel::host;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name && *name) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named events are not part of this personality
        return nullptr;
    }
    auto event = std::make_shared<WaitableEvent>(manualReset != FALSE, initialState != FALSE);
    HANDLE handle = HandleTable::instance().insert(event);
    if (handle)
        SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE handle) {
    auto event = HandleTable::instance().lookup<WaitableEvent>(handle);
    if (!event)
        return FALSE;
    event->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = HandleTable::instance().lookup<WaitableEvent>(handle);
    if (!event)
        return FALSE;
    event->reset();
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<WaitableObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto object =
            std::dynamic_pointer_cast<WaitableObject>(HandleTable::instance().lookup(handles[i]));
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(WaitableObject::lock());
    for (;;) {
        if (waitAll) {
            bool all = true;
            for (auto& o : objects)
                all = all && o->isSignalledLocked();
            if (all) {
                for (auto& o : objects)
                    o->acquireLocked();
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (objects[i]->isSignalledLocked()) {
                    objects[i]->acquireLocked();
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (milliseconds == 0)
            return WAIT_TIMEOUT;
        if (milliseconds == INFINITE) {
            g_waitChanged.wait(guard);
        } else if (g_waitChanged.wait_until(guard, deadline) == std::cv_status::timeout &&
                   std::chrono::steady_clock::now() >= deadline) {
            milliseconds = 0;  // one last look, then time out
        }
    }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

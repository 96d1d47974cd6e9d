// The worker-thread base: the thread's reference, start, and the bounded end that never kills.
#include "tool/discovery/ostra_thread.h"

COstraThread::COstraThread() = default;

COstraThread::~COstraThread() {
    // Only reached with the last reference: any thread this object started has returned.
    HANDLE thread = m_thread.exchange(nullptr);
    if (thread)
        CloseHandle(thread);
}

bool COstraThread::HasThread() const {
    return m_thread.load() != nullptr;
}

bool COstraThread::StartThread() {
    if (m_thread.load())
        return false;
    m_stop = false;
    m_ended = false;
    m_running = true;
    AddRef();  // the thread's own reference
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (!thread) {
        m_running = false;
        m_ended = true;
        Release();
        return false;
    }
    m_thread = thread;
    return true;
}

DWORD WINAPI COstraThread::ThreadMain(LPVOID parameter) {
    auto* self = static_cast<COstraThread*>(parameter);
    self->ThreadLoop();
    self->m_ended = true;
    self->Release();
    return 0;
}

bool COstraThread::EndThread(DWORD milliseconds) {
    HANDLE thread = m_thread.exchange(nullptr);
    bool ended = true;
    if (thread) {
        ended = WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0;
        // Closing the handle of a thread that still runs detaches it; it holds its reference.
        CloseHandle(thread);
    }
    m_running = false;
    return ended;
}

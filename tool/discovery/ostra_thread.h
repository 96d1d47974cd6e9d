// COstraThread: base of every tool object that owns one worker thread.
//
// Objects are reference counted: create them with new and give up the creator's reference with
// Release(), never delete. A running thread holds a reference of its own, so an owner whose
// bounded wait runs out can leave the thread to finish on its own: the object, and everything
// the thread touches through it, stays alive until the thread has returned. No thread is ever
// killed.
#pragma once

#include <atomic>

#include "platform/win32.h"
#include "tool/discovery/ostra_shared.h"

class COstraThread : public COstraShared {
  public:
    // Clears stop and ended, sets running and starts ThreadLoop on a new thread at normal
    // priority with the default stack. Does nothing when a thread exists already.
    bool StartThread();
    // The thread body; the base version does nothing.
    virtual void ThreadLoop() {}

    bool IsEnded() const { return m_ended.load(); }
    bool IsRunning() const { return m_running.load(); }
    bool HasThread() const;

  protected:
    COstraThread();
    virtual ~COstraThread();

    // Waits up to `milliseconds` for the thread to return; then forgets it and clears running.
    // True when it had ended (or there was none); false when it was left running on its own
    // reference. The caller sets the stop flag and wakes the thread first.
    bool EndThread(DWORD milliseconds);

    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};

  private:
    static DWORD WINAPI ThreadMain(LPVOID self);

    std::atomic<HANDLE> m_thread{nullptr};
};

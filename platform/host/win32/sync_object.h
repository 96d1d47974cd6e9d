// Waitable kernel objects of the Win32 personality. All share one lock and one condition
// variable (see sync.cpp); state is read and consumed only under that lock.
#pragma once

#include <mutex>

#include "platform/host/win32/handles.h"
#include "platform/host/win32/threads.h"

namespace tarnel::host {

class WaitableObject : public KernelObject {
  public:
    using KernelObject::KernelObject;
    static std::mutex& lock();
    // Wakes every waiter; call with lock() held or just after changing state under it.
    static void notifyAll();
    virtual bool isSignalledLocked() const = 0;
    // A satisfied wait consumes what it waited for (auto-reset events).
    virtual void acquireLocked() {}
};

// A thread or a process: signalled once it has ended, with its exit code. `Kind` tells the two
// apart in the handle table, as Windows keeps thread and process handles apart.
template <const HandleKind& Kind>
class WaitableExit : public WaitableObject {
  public:
    static constexpr const HandleKind& kKind = Kind;
    WaitableExit() : WaitableObject(Kind) {}

    void finish(DWORD code) {
        std::lock_guard<std::mutex> guard(lock());
        exitCode_ = code;
        ended_ = true;
        notifyAll();
    }
    // STILL_ACTIVE until it has ended.
    DWORD exitCode() const {
        std::lock_guard<std::mutex> guard(lock());
        return ended_ ? exitCode_ : DWORD(STILL_ACTIVE);
    }
    bool isSignalledLocked() const override { return ended_; }

  private:
    bool ended_ = false;
    DWORD exitCode_ = 0;
};

class WaitableEvent : public WaitableObject {
  public:
    static const HandleKind kKind;
    WaitableEvent(bool manualReset, bool signalled)
        : WaitableObject(kKind), manualReset_(manualReset), signalled_(signalled) {}
    void set();
    void reset();
    bool isSignalledLocked() const override;
    void acquireLocked() override;

  private:
    const bool manualReset_;
    bool signalled_;
};

}  // namespace tarnel::host

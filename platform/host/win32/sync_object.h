// Waitable kernel objects of the Win32 personality. All share one lock and one condition
// variable (see sync.cpp); state is read and consumed only under that lock.
#pragma once

#include <mutex>

#include "platform/host/win32/handles.h"

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

// COstraShared: an intrusive reference count for tool objects that a worker thread may outlive
// its owner's interest in. Create with new, give references back with Release(), never delete.
#pragma once

#include <atomic>

class COstraShared {
  public:
    COstraShared(const COstraShared&) = delete;
    COstraShared& operator=(const COstraShared&) = delete;

    void AddRef() { m_references.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

  protected:
    COstraShared() = default;
    virtual ~COstraShared() = default;
    // A thread holding the only reference knows that every owner has let go.
    long ReferenceCount() const { return m_references.load(std::memory_order_acquire); }

  private:
    std::atomic<long> m_references{1};
};

// COstraQueue, the tool's growable byte queue (received datagrams, per-device receive queues),
// and COstraData, the same queue used as a plain data buffer.
#pragma once

#include "platform/win32.h"

// Invariants: the buffer holds `capacity` bytes, the first `length` of them are the content and
// every byte after them is zero. Growth is to the exact size needed; every buffer that is
// replaced or freed is wiped first. No lock of its own: the owner serialises every call.
class COstraQueue {
  public:
    COstraQueue();                       // 64 bytes
    explicit COstraQueue(int capacity);  // a capacity below 1 counts as 1
    virtual ~COstraQueue();
    COstraQueue(const COstraQueue&) = delete;
    COstraQueue& operator=(const COstraQueue&) = delete;

    void Push(BYTE value);
    void Append(const void* bytes, int count);
    void Prepend(const void* bytes, int count);
    // Takes up to `count` bytes from the front into `destination` (dropped when it is null);
    // returns how many were taken.
    int Pop(void* destination, int count);
    // Replaces the buffer by one of exactly length + extra bytes holding the content.
    void Grow(int extra);
    // Wipes the content and sets the length to 0; the buffer is kept.
    void Empty();

    int GetLength() const { return m_length; }
    int GetCapacity() const { return m_capacity; }
    const BYTE* GetBuffer() const { return m_buffer; }

  private:
    void Replace(BYTE* buffer, int capacity);

    BYTE* m_buffer;
    int m_length;
    int m_capacity;
};

class COstraData : public COstraQueue {
  public:
    using COstraQueue::COstraQueue;
};

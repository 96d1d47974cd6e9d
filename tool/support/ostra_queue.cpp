// COstraQueue: push, append, prepend and pop over one exact-fit byte buffer.
#include "tool/support/ostra_queue.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool/support/support_memory.h"

namespace {

int CheckedSum(int a, int b) {
    if (b > INT_MAX - a) {
        std::fputs("Tarnel: queue too large\n", stderr);
        std::abort();
    }
    return a + b;
}

BYTE* AllocBytes(int count) {
    return static_cast<BYTE*>(SupportAllocate(static_cast<size_t>(count)));
}

}  // namespace

COstraQueue::COstraQueue() : COstraQueue(64) {}

COstraQueue::COstraQueue(int capacity)
    : m_buffer(AllocBytes(capacity < 1 ? 1 : capacity)),
      m_length(0),
      m_capacity(capacity < 1 ? 1 : capacity) {}

COstraQueue::~COstraQueue() {
    SupportFree(m_buffer, static_cast<size_t>(m_capacity));
}

void COstraQueue::Replace(BYTE* buffer, int capacity) {
    SupportFree(m_buffer, static_cast<size_t>(m_capacity));
    m_buffer = buffer;
    m_capacity = capacity;
}

// The capacity follows the buffer here, not in the callers: a buffer smaller than the recorded
// capacity would let the next in-place append write past its end.
void COstraQueue::Grow(int extra) {
    if (extra < 0)
        extra = 0;
    int size = CheckedSum(m_length, extra);
    if (size < 1)
        size = 1;
    BYTE* fresh = AllocBytes(size);
    if (m_length > 0)
        std::memcpy(fresh, m_buffer, static_cast<size_t>(m_length));
    Replace(fresh, size);
}

void COstraQueue::Push(BYTE value) {
    if (m_capacity < CheckedSum(m_length, 1))
        Grow(1);
    m_buffer[m_length++] = value;
}

void COstraQueue::Append(const void* bytes, int count) {
    if (bytes == nullptr || count <= 0)
        return;
    const int total = CheckedSum(m_length, count);
    if (m_capacity < total) {
        // The source may be this queue's own buffer: copy before the old one is released.
        BYTE* fresh = AllocBytes(total);
        std::memcpy(fresh, m_buffer, static_cast<size_t>(m_length));
        std::memcpy(fresh + m_length, bytes, static_cast<size_t>(count));
        Replace(fresh, total);
    } else {
        std::memmove(m_buffer + m_length, bytes, static_cast<size_t>(count));
    }
    m_length = total;
}

void COstraQueue::Prepend(const void* bytes, int count) {
    if (bytes == nullptr || count <= 0)
        return;
    const int total = CheckedSum(m_length, count);
    BYTE* built = AllocBytes(total);
    std::memcpy(built, bytes, static_cast<size_t>(count));
    std::memcpy(built + count, m_buffer, static_cast<size_t>(m_length));
    if (m_capacity < total) {
        Replace(built, total);
    } else {
        std::memcpy(m_buffer, built, static_cast<size_t>(total));
        SupportFree(built, static_cast<size_t>(total));
    }
    m_length = total;
}

int COstraQueue::Pop(void* destination, int count) {
    if (m_length == 0 || count <= 0)
        return 0;
    const int taken = count < m_length ? count : m_length;
    if (destination != nullptr)
        std::memcpy(destination, m_buffer, static_cast<size_t>(taken));
    std::memmove(m_buffer, m_buffer + taken, static_cast<size_t>(m_length - taken));
    SupportWipe(m_buffer + m_length - taken, static_cast<size_t>(taken));
    m_length -= taken;
    return taken;
}

void COstraQueue::Empty() {
    SupportWipe(m_buffer, static_cast<size_t>(m_length));
    m_length = 0;
}

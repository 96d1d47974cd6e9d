// CPortInterface (see port_interface.h): parser, chunked writes, queue reads and the read thread.
#include "tool/portio/port_interface.h"

#include <chrono>

#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

namespace {

constexpr int kStopTries = 10;
constexpr auto kStopTryWait = std::chrono::milliseconds(50);
constexpr auto kStopLastWait = std::chrono::milliseconds(1000);

DWORD Elapsed(DWORD start) {
    return GetTickCount() - start;
}

}  // namespace

CPortInterface::CPortInterface() = default;

CPortInterface::~CPortInterface() {
    m_stop = true;
    m_threadSignal.notify_all();
    // The read thread holds a reference: when this runs on it, it is ending; elsewhere it has
    // already let go of the object and only has to be joined.
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_parser.reset();
}

bool CPortInterface::OpenPort() {
    TraceTo(TEXT("CPortInterface::OpenPort"), 103, m_portId, TEXT("+"));
    auto parser = std::make_unique<CPrinterParser>(m_parserDeviceCount);
    parser->SetPortId(m_portId);
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_parser = std::move(parser);
    return true;
}

void CPortInterface::ClosePort() {
    StopReadThread();
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_parser.reset();
    }
    TraceTo(TEXT("CPortInterface::ClosePort"), 121, m_portId, TEXT("-End"));
}

bool CPortInterface::SetPortText(int, const XStringW&) {
    return true;
}

int CPortInterface::ReadPort(BYTE*, int) {
    return 0;
}

int CPortInterface::WritePort(const BYTE*, int, int) {
    return 0;
}

int CPortInterface::Write(const BYTE* bytes, int length) {
    if (!m_open || !bytes || length <= 0) {
        TraceErrorTo(TEXT("CPortInterface::Write"), 155, m_portId,
                     TEXT("-fail to invalid parameters"));
        return 0;
    }
    int total = 0;
    while (total < length) {
        int part = length - total < m_writeChunk ? length - total : m_writeChunk;
        int written = WritePort(bytes + total, part, 0);
        if (written > 0)
            total += written;
        if (written != part) {
            TraceErrorTo(TEXT("CPortInterface::Write"), 181, m_portId, TEXT("Fail(%d/%d)"), total,
                         length);
            break;
        }
    }
    return total;
}

int CPortInterface::Read(BYTE* buffer, int length, int timeoutMs, int deviceId) {
    TraceDetail(TEXT("CPortInterface::Read"), 236, m_portId,
                TEXT("+(reqReadLen : %d, timeout: %d)"), length, timeoutMs);
    // A length below 1 is refused with or without the read thread: nothing could be taken.
    if (!m_open || !buffer || length < 1) {
        TraceErrorTo(TEXT("CPortInterface::Read"), 239, m_portId,
                     TEXT("-fail to invalid parameters"));
        return 0;
    }
    if (m_useReadThread)
        return ReadQueue(buffer, length, timeoutMs, deviceId);

    DWORD start = GetTickCount();
    int last = 0;
    BYTE chunk[kReadBufferSize];
    for (;;) {
        SupportWipe(chunk, sizeof chunk);
        last = ReadPort(chunk, length < kReadBufferSize ? length : kReadBufferSize);
        if (last > 0) {
            std::lock_guard<std::mutex> lock(m_queueLock);
            if (m_parser)
                m_parser->Parse(chunk, last);
        }
        if (QueueLength(deviceId) >= length || Elapsed(start) >= static_cast<DWORD>(timeoutMs))
            break;
        Sleep(static_cast<DWORD>(timeoutMs / 10));
    }
    SupportWipe(chunk, sizeof chunk);
    if (last <= 0 && QueueLength(deviceId) == 0)
        return 0;
    return ReadQueue(buffer, length, timeoutMs, deviceId);
}

int CPortInterface::ReadQueue(BYTE* buffer, int length, int timeoutMs, int deviceId) {
    if (!buffer || length < 1)
        return 0;
    if (QueueLength(deviceId) < length)
        Sleep(30);
    DWORD start = GetTickCount();
    int taken = 0;
    for (;;) {
        bool empty = true;
        {
            std::lock_guard<std::mutex> lock(m_queueLock);
            COstraQueue* queue = m_parser ? m_parser->GetQueue(deviceId) : nullptr;
            if (queue && queue->GetLength() > 0) {
                empty = false;
                taken += queue->Pop(buffer + taken, length - taken);
            }
        }
        if (taken >= length || Elapsed(start) >= static_cast<DWORD>(timeoutMs))
            break;
        if (empty)
            Sleep(static_cast<DWORD>(timeoutMs / 10));
    }
    if (taken < length)
        TraceErrorTo(TEXT("CPortInterface::ReadQueue"), 309, m_portId, TEXT("-fail (%d/%d)"), taken,
                     length);
    return taken;
}

bool CPortInterface::IsConnected() {
    int state = m_state;
    TraceDetail(TEXT("CPortInterface::IsConnected"), 332, m_portId, TEXT(" %d"), state);
    return state == kStateOnline;
}

void CPortInterface::MarkDeviceInUse(int deviceId, bool use) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (m_parser)
        m_parser->SetUseDevice(deviceId, use);
}

bool CPortInterface::HasParser() {
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_parser != nullptr;
}

int CPortInterface::QueueLength(int deviceId) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    COstraQueue* queue = m_parser ? m_parser->GetQueue(deviceId) : nullptr;
    return queue ? queue->GetLength() : 0;
}

void CPortInterface::ClearQueue(int deviceId) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (COstraQueue* queue = m_parser ? m_parser->GetQueue(deviceId) : nullptr)
        queue->Empty();
}

bool CPortInterface::IsReadThreadAlive() const {
    std::lock_guard<std::mutex> lock(m_threadLock);
    return !m_ended;
}

bool CPortInterface::StartReadThread() {
    if (!m_useReadThread) {
        m_stop = false;
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        if (!m_ended)
            return true;  // one is running (or still ending after a detach)
    }
    if (m_thread.joinable())
        m_thread.join();  // ended, not yet joined
    std::shared_ptr<CPortInterface> self = weak_from_this().lock();
    if (!self)
        return false;  // not owned by a shared_ptr: nothing could keep it alive for the thread
    m_stop = false;
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        m_ended = false;
        m_detached = false;
    }
    m_thread = std::thread([self]() mutable {
        self->ThreadMain();
        self.reset();  // may delete the port, here, when everyone else has let go
    });
    return true;
}

void CPortInterface::ThreadMain() {
    ThreadLoop();
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_ended = true;
    m_threadSignal.notify_all();
}

void CPortInterface::ThreadLoop() {
    TraceTo(TEXT("CPortInterface::ThreadLoop"), 438, m_portId,
            TEXT("***************** Port Read Thread Start ***********"));
    BYTE buffer[kReadBufferSize];
    while (!m_stop) {
        SupportWipe(buffer, sizeof buffer);
        int n = ReadPort(buffer, kReadBufferSize);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(m_queueLock);
            if (m_parser)
                m_parser->Parse(buffer, n);
        }
        if (m_stop)
            break;
        // The pause ends early when the thread is told to stop.
        std::unique_lock<std::mutex> lock(m_threadLock);
        m_threadSignal.wait_for(lock, std::chrono::milliseconds(m_readPause),
                                [this] { return m_stop.load(); });
    }
    SupportWipe(buffer, sizeof buffer);
    TraceTo(TEXT("CPortInterface::ThreadLoop"), 460, m_portId,
            TEXT("***************** Port Read Thread End ***********"));
}

void CPortInterface::RequestStop() {
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_stop = true;
    m_threadSignal.notify_all();
}

bool CPortInterface::StopReadThread() {
    if (!m_useReadThread)
        return true;
    TraceDetail(TEXT("CPortInterface::StopReadThread"), 418, m_portId,
                TEXT("stopReadThread : set to m_bTerminateThread flag"));
    std::unique_lock<std::mutex> lock(m_threadLock);
    m_stop = true;
    m_threadSignal.notify_all();
    if (m_detached)
        return m_ended;
    bool ended = m_ended;
    for (int i = 0; i < kStopTries && !ended; ++i) {
        TraceTo(TEXT("CPortInterface::StopReadThread"), 424, m_portId,
                TEXT("wait Terminate Port ReadThread."));
        ended = m_threadSignal.wait_for(lock, kStopTryWait, [this] { return m_ended; });
        if (!ended && i == kStopTries - 1)
            TraceTo(TEXT("CPortInterface::StopReadThread"), 430, m_portId,
                    TEXT("wait Terminate count over."));
    }
    if (!ended)
        ended = m_threadSignal.wait_for(lock, kStopLastWait, [this] { return m_ended; });
    lock.unlock();
    if (!m_thread.joinable())
        return true;
    if (ended) {
        m_thread.join();
        return true;
    }
    // Never killed: it may hold the queue lock or a heap block. It keeps its own reference to
    // this object and ends at its next check of the stop flag.
    TraceErrorTo(TEXT("CPortInterface::StopReadThread"), 446, m_portId,
                 TEXT("read thread did not stop; left to end by itself"));
    m_thread.detach();
    lock.lock();
    m_detached = true;
    return m_ended;
}

// CPortInterface: one printer port of the tool, with its options, its parser and the read thread
// that feeds the parser. The device itself is reached through the virtual operations of a
// subclass (CPortCom). Used from the tool's main thread; the read thread runs beside it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win32.h"
#include "tool/portio/ostra_parser.h"
#include "tool/support/xstring.h"

// Port objects are owned through std::shared_ptr (CPortListMng creates them so): a running read
// thread holds a reference of its own, so a thread that does not stop within its bounded wait is
// left to end by itself (detached) instead of being killed while it may hold the queue lock or a
// heap block, and the object lives until it has ended.
class CPortInterface : public std::enable_shared_from_this<CPortInterface> {
  public:
    static constexpr int kPortTypeCom = 32;
    static constexpr int kStateUnknown = 2000;
    static constexpr int kStateOnline = 2001;
    static constexpr int kStateOffline = 2003;
    static constexpr int kReadBufferSize = 1024;

    CPortInterface();
    virtual ~CPortInterface();
    CPortInterface(const CPortInterface&) = delete;
    CPortInterface& operator=(const CPortInterface&) = delete;

    // ---- device operations a subclass supplies ----
    virtual void SetDeviceSwitch(bool) {}
    virtual void SetModemRequirements(bool, bool) {}
    // The base creates the parser; subclasses open the device after it.
    virtual bool OpenPort();
    // The base stops the read thread and deletes the parser.
    virtual void ClosePort();
    virtual bool SetPortText(int type, const XStringW& text);
    virtual int ReadPort(BYTE* buffer, int length);
    virtual int WritePort(const BYTE* bytes, int length, int pauseAfter);

    // ---- transfers ----
    // In chunks of the write chunk size; stops at the first short chunk.
    int Write(const BYTE* bytes, int length);
    // Bytes of the device's queue, waiting up to `timeoutMs`; a length below 1 is refused.
    int Read(BYTE* buffer, int length, int timeoutMs, int deviceId);
    int ReadQueue(BYTE* buffer, int length, int timeoutMs, int deviceId);
    bool IsConnected();
    // Signals the read thread and waits for it (bounded); true when no thread is left running.
    bool StopReadThread();
    void MarkDeviceInUse(int deviceId, bool use);
    // Queue queries under the queue lock; 0 / nothing without a parser or for a bad device id.
    int QueueLength(int deviceId);
    void ClearQueue(int deviceId);

    // ---- options and bookkeeping (main thread) ----
    int m_portType = 0;
    int m_portId = 0;
    int m_refCount = 0;
    int m_openCount = 0;
    XStringW m_portName;  // bare device name, COM5
    XStringW m_portText;  // as given to CPortListMng::Create
    bool m_handOver = true;
    int m_writeChunk = 4096;
    int m_readPause = 0;  // ms between two reads of the read thread
    bool m_useReadThread = true;
    bool m_useOverlappedIO = true;
    bool m_useWriteNullByte = true;
    int m_pauseAfterWrite = 0;
    int m_connectMode = 0;
    int m_parserDeviceCount = 1;

    bool IsOpen() const { return m_open.load(); }
    int GetState() const { return m_state.load(); }
    bool HasParser();
    // Whether a read thread is running or was left to end by itself.
    bool IsReadThreadAlive() const;

  protected:
    // Starts the read thread when it is used and none runs; false when it cannot be started.
    bool StartReadThread();
    virtual void ThreadLoop();
    bool StopRequested() const { return m_stop.load(); }
    // Sets the stop flag and wakes the thread from its pause; the waiting is StopReadThread's.
    void RequestStop();

    std::atomic<bool> m_open{false};
    std::atomic<int> m_state{kStateUnknown};

  private:
    void ThreadMain();

    std::mutex m_queueLock;                  // guards m_parser and every queue of it
    std::unique_ptr<COstraParser> m_parser;  // created at open, deleted at close

    std::atomic<bool> m_stop{false};
    mutable std::mutex m_threadLock;  // guards m_ended and m_detached
    std::condition_variable m_threadSignal;
    bool m_ended = true;
    bool m_detached = false;  // a thread left to end by itself
    std::thread m_thread;     // main thread only
};

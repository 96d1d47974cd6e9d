// CPortListMng: the process's open printer ports, addressed by integer ids from 100. It creates,
// configures, opens and closes port objects (handing the Windows print queues of a COM or LPT
// port over while it is open) and routes transfers to them. Main thread only; takes no lock.
#pragma once

#include <list>
#include <memory>

#include "platform/win32.h"
#include "tool/portio/port_interface.h"
#include "tool/support/xstring.h"

class CPortListMng {
  public:
    static constexpr int kFirstPortId = 100;

    static CPortListMng* GetInstance();
    // Deletes the manager (and the hand-over map) when no port is left; the next GetInstance
    // starts again at id 100.
    static void ReleaseInstanceIfEmpty();

    int Create(const XStringW& portText, int deviceType);
    int Remove(int portId);
    std::shared_ptr<CPortInterface> FindPort(int portId, const WCHAR* caller);
    void SetConnectMode(int portId, int mode);
    void SetUseReadThread(int portId, bool use);
    void SetUseOverlappedIO(int portId, bool use);
    void SetUseWriteNullByte(int portId, bool use);
    int OpenPort(int portId, int deviceId);
    int ClosePort(int portId);
    int Write(int portId, const BYTE* bytes, int length);
    int Read(int portId, BYTE* buffer, int length, int deviceId);
    void Clear(int portId, int deviceId);
    int ReadAvailable(int portId, int deviceId);

    int GetPortCount() const { return static_cast<int>(m_ports.size()); }
    void SetTraceLevel(int level) { m_traceLevel = level; }

  private:
    CPortListMng() = default;
    ~CPortListMng();

    static bool HandsOver(const CPortInterface& port);

    int m_nextId = kFirstPortId;
    int m_traceLevel = 0;
    bool m_dump = false;
    std::list<std::shared_ptr<CPortInterface>> m_ports;  // newest first
};

// CPortFacade (see port_facade.h).
#include "tool/portio/port_facade.h"

#include "tool/portio/port_list_mng.h"
#include "tool/support/ostra_queue.h"
#include "tool/support/support_memory.h"

namespace {

constexpr DWORD kWaitMs = 500;
constexpr DWORD kPollMs = 50;

}  // namespace

CPortFacade::~CPortFacade() {
    CPortListMng::ReleaseInstanceIfEmpty();
}

bool CPortFacade::Open(const XStringW& portText, int connectMode, int deviceId, bool useReadThread,
                       bool useOverlappedIO) {
    CPortListMng* manager = CPortListMng::GetInstance();
    m_portId = manager->Create(portText, deviceId);
    if (m_portId == 0)
        return false;
    manager->SetConnectMode(m_portId, connectMode);
    manager->SetUseReadThread(m_portId, useReadThread);
    manager->SetUseOverlappedIO(m_portId, useOverlappedIO);
    manager->SetUseWriteNullByte(m_portId, true);
    m_isOpen = manager->OpenPort(m_portId, deviceId) >= 1;
    return m_isOpen;
}

bool CPortFacade::Close() {
    CPortListMng* manager = CPortListMng::GetInstance();
    if (manager->ClosePort(m_portId) == -1)
        return false;
    m_isOpen = false;
    manager->Remove(m_portId);
    return true;
}

int CPortFacade::Write(const BYTE* bytes, int length) {
    if (!m_isOpen)
        return 0;
    return CPortListMng::GetInstance()->Write(m_portId, bytes, length);
}

int CPortFacade::WriteCommand(const BYTE* bytes, int length, int) {
    if (!m_isOpen || !bytes || length <= 0)
        return 0;
    // Mode 0, the only one in use, sends the bytes as they are.
    COstraData data(length);
    data.Append(bytes, length);
    return CPortListMng::GetInstance()->Write(m_portId, data.GetBuffer(), data.GetLength());
}

int CPortFacade::WaitReadAvailable(int deviceId) {
    if (!m_isOpen)
        return 0;
    DWORD start = GetTickCount();
    int available = 0;
    while (m_isOpen) {
        available = CPortListMng::GetInstance()->ReadAvailable(m_portId, deviceId);
        if (available >= 1 || GetTickCount() - start >= kWaitMs)
            break;
        Sleep(kPollMs);
    }
    return available;
}

int CPortFacade::Transact(int mode, const BYTE command[3], int header, int terminator, BYTE* output,
                          int capacity) {
    const int device = 0;
    CPortListMng* manager = CPortListMng::GetInstance();
    if (m_isOpen)
        manager->Clear(m_portId, device);
    WriteCommand(command, 3, mode);
    DWORD start = GetTickCount();
    bool headerSeen = header == kNoByte;
    int stored = 0;
    while (GetTickCount() - start < kWaitMs) {
        if (WaitReadAvailable(device) < 1)
            break;  // nothing more within the wait: the reply (or its absence) is complete
        BYTE received = 0;
        if (manager->Read(m_portId, &received, 1, device) != 1)
            continue;
        if (!headerSeen) {
            headerSeen = received == header;
            continue;
        }
        if (output && stored < capacity)
            output[stored++] = received;
        if (terminator != kNoByte && received == terminator)
            break;
    }
    if (m_isOpen)
        manager->Clear(m_portId, device);
    return stored;
}

XStringW CPortFacade::TransactText(int mode, const BYTE command[3], int header, int terminator) {
    BYTE buffer[kTransactTextMax + 1] = {};
    // One byte short of the buffer: the text always ends with a zero.
    Transact(mode, command, header, terminator, buffer, kTransactTextMax);
    XStringA text;
    text.Format("%s", reinterpret_cast<const char*>(buffer));
    SupportWipe(buffer, sizeof buffer);
    const WCHAR* wide = text.GetWide();
    return XStringW(wide ? wide : TEXT(""));
}

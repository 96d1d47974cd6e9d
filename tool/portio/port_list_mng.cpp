// CPortListMng (see port_list_mng.h).
#include "tool/portio/port_list_mng.h"

#include "tool/portio/port_com.h"
#include "tool/portio/printer_handover.h"
#include "tool/support/trace.h"

namespace {

CPortListMng* g_manager = nullptr;

const WCHAR kDumpTargetName[] = TEXT("ComPRN");

}  // namespace

CPortListMng* CPortListMng::GetInstance() {
    if (!g_manager)
        g_manager = new CPortListMng;
    return g_manager;
}

void CPortListMng::ReleaseInstanceIfEmpty() {
    if (g_manager && g_manager->m_ports.empty()) {
        delete g_manager;
        g_manager = nullptr;
    }
}

CPortListMng::~CPortListMng() {
    DeleteHandOverMap();
}

bool CPortListMng::HandsOver(const CPortInterface& port) {
    return port.m_handOver &&
           (port.m_portText.StartsWith(TEXT("COM")) || port.m_portText.StartsWith(TEXT("LPT")));
}

int CPortListMng::Create(const XStringW& portText, int deviceType) {
    if (TraceMarkerExists(TEXT("trace.bin")))
        m_dump = true;
    for (auto& port : m_ports) {
        if (port->m_portText == portText) {
            TraceTo(TEXT("CPortListMng::Create"), __LINE__, port->m_portId,
                    TEXT("+<portType : %d, portName : %s, deviceType : %d>"),
                    CPortInterface::kPortTypeCom, portText, deviceType);
            TraceTo(TEXT("CPortListMng::Create"), __LINE__, port->m_portId,
                    TEXT("-existing id used <%d>"), port->m_portId);
            ++port->m_refCount;
            return port->m_portId;
        }
    }
    if (portText.Find(TEXT("COM")) < 0) {
        TraceAddTarget(1, TRACE_ID_PORT_TEXT, TEXT("Port"), nullptr, true);
        TraceErrorTo(TEXT("CPortListMng::Create"), __LINE__, TRACE_ID_PORT_TEXT,
                     TEXT("strPort is empty or invalid string."));
        TraceRemove(TRACE_ID_PORT_TEXT);
        return 0;
    }
    int id = m_nextId++;
    TraceAddTarget(m_traceLevel, id, TEXT("Com"), nullptr, true);
    TraceTo(TEXT("CPortListMng::Create"), __LINE__, id,
            TEXT("+<portType : %d, portName : %s, deviceType : %d>"), CPortInterface::kPortTypeCom,
            portText, deviceType);
    auto port = std::make_shared<CPortCom>();
    port->m_refCount = 1;
    port->m_portText = portText;
    port->m_portId = id;
    port->m_portType = CPortInterface::kPortTypeCom;
    port->SetPortText(CPortInterface::kPortTypeCom, portText);
    port->m_openCount = 0;
    m_ports.push_front(port);
    TraceTo(TEXT("CPortListMng::Create"), __LINE__, id, TEXT("- new created id : %d"), id);
    return id;
}

int CPortListMng::Remove(int portId) {
    TraceTo(TEXT("CPortListMng::Remove"), __LINE__, portId, TEXT("+<portId : %d,  deviceId : %d>"),
            portId, 0);
    for (auto it = m_ports.begin(); it != m_ports.end(); ++it) {
        if ((*it)->m_portId != portId)
            continue;
        int left = --(*it)->m_refCount;
        if (left > 0) {
            TraceTo(TEXT("CPortListMng::Remove"), __LINE__, portId,
                    TEXT("-<deviceId=%d> : partial remove. remain port count:%d"), portId, left);
            return left;
        }
        TraceTo(TEXT("CPortListMng::Remove"), __LINE__, portId, TEXT("All Remove. delete port."));
        m_ports.erase(it);  // a read thread left to end by itself keeps the object until then
        TraceRemove(portId);
        return 0;
    }
    return 0;
}

std::shared_ptr<CPortInterface> CPortListMng::FindPort(int portId, const WCHAR* caller) {
    for (auto& port : m_ports)
        if (port->m_portId == portId)
            return port;
    if (caller && *caller)
        TraceErrorTo(TEXT("CPortListMng::SetObject"), __LINE__, portId,
                     TEXT("%s : pPortInterface is NULL"), caller);
    return nullptr;
}

void CPortListMng::SetConnectMode(int portId, int mode) {
    if (auto port = FindPort(portId, TEXT("CPortListMng::SetConnectMode"))) {
        port->m_connectMode = mode;
        TraceTo(TEXT("CPortListMng::SetConnectMode"), __LINE__, portId,
                TEXT("-<portId : %d, connectMode : %d>"), portId, mode);
    }
}

void CPortListMng::SetUseReadThread(int portId, bool use) {
    if (auto port = FindPort(portId, TEXT("CPortListMng::SetUseReadThread"))) {
        port->m_useReadThread = use;
        TraceTo(TEXT("CPortListMng::SetUseReadThread"), __LINE__, portId,
                TEXT("-<portId : %d, useThread : %d>"), portId, use ? 1 : 0);
    }
}

void CPortListMng::SetUseOverlappedIO(int portId, bool use) {
    if (auto port = FindPort(portId, TEXT("CPortListMng::SetUseOverlappedIO"))) {
        port->m_useOverlappedIO = use;
        TraceTo(TEXT("CPortListMng::SetUseOverlappedIO"), __LINE__, portId,
                TEXT("-<portId : %d, useOverlapped : %d>"), portId, use ? 1 : 0);
    }
}

void CPortListMng::SetUseWriteNullByte(int portId, bool use) {
    if (auto port = FindPort(portId, TEXT("CPortListMng::SetUseWriteNullByte"))) {
        port->m_useWriteNullByte = use;
        TraceTo(TEXT("CPortListMng::SetUseWriteNullByte"), __LINE__, portId,
                TEXT("-<portId : %d, useWriteNullByte : %d>"), portId, use ? 1 : 0);
    }
}

int CPortListMng::OpenPort(int portId, int deviceId) {
    auto port = FindPort(portId, TEXT("CPortListMng::OpenPort"));
    if (!port)
        return 0;
    TraceTo(TEXT("CPortListMng::OpenPort"), __LINE__, portId, TEXT("+(portId : %d, deviceId : %d)"),
            portId, deviceId);
    if (port->m_openCount >= 1) {
        ++port->m_openCount;
        port->MarkDeviceInUse(deviceId, true);
        TraceTo(TEXT("CPortListMng::OpenPort"), __LINE__, portId, TEXT("-already port open=%d"),
                port->m_openCount);
        return port->m_openCount;
    }
    if (HandsOver(*port)) {
        XStringW failure;  // the descriptions are neither shown nor logged
        moveDriverPort(GetHandOverMap(), port->m_portName, failure);
    }
    int result = 0;
    DWORD error = ERROR_SUCCESS;
    if (port->OpenPort() && port->IsConnected()) {
        ++port->m_openCount;
        port->MarkDeviceInUse(deviceId, true);
        if (m_dump)
            TraceAddTarget(1, TRACE_ID_DUMP_BASE + portId, kDumpTargetName, nullptr, false);
        result = 1;
    } else {
        error = GetLastError();
        port->ClosePort();
        // The tool does not hold the port: its queues need not wait on "FILE:" for a close.
        if (HandsOver(*port))
            RestoreDriverPort(GetHandOverMap(), port->m_portName);
    }
    TraceTo(TEXT("CPortListMng::OpenPort"), __LINE__, portId, TEXT("-<retVal : %d>"), result);
    if (!result)
        SetLastError(error);  // the open's own error, for the caller's trace
    return result;
}

int CPortListMng::ClosePort(int portId) {
    TraceTo(TEXT("CPortListMng::ClosePort"), __LINE__, portId,
            TEXT("+<portId : %d, deviceId : %d>"), portId, 0);
    auto port = FindPort(portId, TEXT("CPortListMng::ClosePort"));
    if (!port)
        return -1;
    port->MarkDeviceInUse(0, false);
    if (port->m_openCount > 1) {
        --port->m_openCount;
        TraceTo(TEXT("CPortListMng::ClosePort"), __LINE__, portId,
                TEXT("-another device using port=%d."), port->m_openCount);
        return port->m_openCount;
    }
    port->ClosePort();
    port->m_openCount = 0;
    if (HandsOver(*port))
        RestoreDriverPort(GetHandOverMap(), port->m_portName);
    TraceTo(TEXT("CPortListMng::ClosePort"), __LINE__, portId, TEXT("-End"));
    TraceDumpRemove(portId);
    return 0;
}

int CPortListMng::Write(int portId, const BYTE* bytes, int length) {
    auto port = FindPort(portId, TEXT("CPortListMng::Write"));
    if (!port)
        return 0;
    int written = port->Write(bytes, length);
    if (written == length)
        TraceDetail(TEXT("CPortListMng::Write"), __LINE__, portId, TEXT("-<portId : %d, (%d/%d)>"),
                    portId, written, length);
    else
        TraceErrorTo(TEXT("CPortListMng::Write"), __LINE__, portId, TEXT("-<portId : %d, (%d/%d)>"),
                     portId, written, length);
    return written;
}

int CPortListMng::Read(int portId, BYTE* buffer, int length, int deviceId) {
    auto port = FindPort(portId, TEXT("CPortListMng::Read"));
    if (!port)
        return 0;
    TraceDetail(TEXT("CPortListMng::Read"), __LINE__, portId,
                TEXT("+<reqReadLen : %d, portId : %d, deviceId : %d>"), length, portId, deviceId);
    int read = port->Read(buffer, length, 100, deviceId);
    TraceTo(TEXT("CPortListMng::Read"), __LINE__, portId,
            TEXT("-<portId : %d, deviceId : %d, request : %d, ret : %d>"), portId, deviceId, length,
            read);
    return read;
}

void CPortListMng::Clear(int portId, int deviceId) {
    auto port = FindPort(portId, TEXT("CPortListMng::Clear"));
    if (!port)
        return;
    port->ClearQueue(deviceId);
    TraceTo(TEXT("CPortListMng::Clear"), __LINE__, portId, TEXT("-<portId : %d, deviceId : %d>"),
            portId, deviceId);
}

int CPortListMng::ReadAvailable(int portId, int deviceId) {
    auto port = FindPort(portId, TEXT("CPortListMng::ReadAvailable"));
    if (!port)
        return 0;
    TraceDetail(TEXT("CPortListMng::ReadAvailable"), __LINE__, portId,
                TEXT("+<portId : %d, deviceId : %d>"), portId, deviceId);
    int available = port->QueueLength(deviceId);
    TraceDetail(TEXT("CPortListMng::ReadAvailable"), __LINE__, portId,
                TEXT("-<portId : %d, Available : %d>"), portId, available);
    return available;
}

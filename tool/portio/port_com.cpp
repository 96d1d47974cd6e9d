// CPortCom (see port_com.h).
#include "tool/portio/port_com.h"

#include "tool/support/trace.h"

namespace {

const WCHAR kKind[] = TEXT("Serial");

// An overlapped transfer on the port's handle: waits for it when it is pending. The count done.
template <typename Start>
DWORD Overlapped(HANDLE handle, Start start) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return 0;
    DWORD done = 0;
    if (!start(&ov, &done)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            if (!GetOverlappedResult(handle, &ov, &done, TRUE))
                done = 0;
        } else {
            done = 0;
        }
    }
    CloseHandle(ov.hEvent);
    return done;
}

}  // namespace

CPortCom::CPortCom() {
    m_readPause = 100;
}

CPortCom::~CPortCom() {
    TraceTo(TEXT("CPortCom::~CPortCom"), 50, m_portId, TEXT(""));
    // Only when a read thread was left to end by itself and has now let go of the object.
    if (m_handle != INVALID_HANDLE_VALUE)
        CloseHandle(m_handle);
}

void CPortCom::SetModemRequirements(bool requireCts, bool requireDsr) {
    m_requireCts = requireCts;
    m_requireDsr = requireDsr;
}

bool CPortCom::SetPortText(int, const XStringW& text) {
    XStringW upper;
    for (const WCHAR* p = text.GetString(); *p; ++p) {
        WCHAR c = *p >= 'a' && *p <= 'z' ? static_cast<WCHAR>(*p - 'a' + 'A') : *p;
        upper.Append(&c, 1);
    }
    if (!upper.StartsWith(TEXT("COM")))
        return false;
    XStringWList items = upper.Split(TEXT(":"), false);
    if (items.GetCount() == 0)
        return false;
    m_portName = items.GetAt(0);
    int* fields[] = {&m_baudRate, &m_dataBits, &m_parity, &m_stopBits, &m_flowControl};
    for (int i = 1; i < items.GetCount() && i <= 5; ++i)
        if (!items.GetAt(i).IsEmpty())
            *fields[i - 1] = items.GetAt(i).ToInt();
    if (!m_portName.StartsWith(TEXT("COM")))
        return false;
    m_timeouts.ReadIntervalTimeout = 2;
    m_timeouts.ReadTotalTimeoutMultiplier = 0;
    m_timeouts.ReadTotalTimeoutConstant = 50;
    m_timeouts.WriteTotalTimeoutMultiplier = 10;
    m_timeouts.WriteTotalTimeoutConstant = 5000;
    return true;
}

XStringW CPortCom::GetDevicePath() const {
    if (m_portName.GetLength() <= 4)
        return m_portName;
    XStringW path;
    path.Format(TEXT("\\\\.\\%s"), m_portName);
    return path;
}

bool CPortCom::OpenPort() {
    CPortInterface::OpenPort();
    if (!OpenPortSerial())
        return false;
    return StartReadThread();
}

bool CPortCom::OpenPortSerial() {
    TraceTo(TEXT("CPortCom::OpenPortSerial"), 420, m_portId, TEXT("+%s"), kKind);
    if (m_handle != INVALID_HANDLE_VALUE)
        return m_open;
    XStringW path = GetDevicePath();
    m_handle =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    m_useOverlappedIO ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD openError = GetLastError();
    Sleep(50);
    if (m_handle == INVALID_HANDLE_VALUE) {
        TraceErrorTo(TEXT("CPortCom::OpenPortSerial"), 456, m_portId,
                     TEXT("-(%s) : port is INVALID_HANDLE_VALUE, GetLastError(%d)"), kKind,
                     openError);
        SetLastError(openError);
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(m_handle, &dcb)) {
        TraceErrorTo(TEXT("CPortCom::OpenPortSerial"), 467, m_portId,
                     TEXT("-(%s) : fail to GetCommState"), kKind);
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(m_baudRate);
    dcb.ByteSize = static_cast<BYTE>(m_dataBits);
    dcb.Parity = static_cast<BYTE>(m_parity);
    dcb.StopBits = static_cast<BYTE>(m_stopBits);
    dcb.fDsrSensitivity = FALSE;
    if (m_flowControl != 2) {
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    } else {
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
    }
    dcb.fParity = m_parity != 0;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fNull = FALSE;
    if (m_flowControl == 0) {
        TraceTo(TEXT("CPortCom::OpenPortSerial"), 508, m_portId, TEXT("flowControl DTR/DSR"));
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
    } else if (m_flowControl == 1) {
        TraceTo(TEXT("CPortCom::OpenPortSerial"), 514, m_portId, TEXT("flowControl Xon/Xoff"));
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
    } else {
        TraceTo(TEXT("CPortCom::OpenPortSerial"), 520, m_portId, TEXT("flowControl is None"));
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
    }
    if (!SetCommState(m_handle, &dcb)) {
        TraceErrorTo(TEXT("CPortCom::OpenPortSerial"), 527, m_portId,
                     TEXT("-(%s) : fail to SetCommState=%d"), kKind, GetLastError());
        return false;
    }
    if (!SetCommTimeouts(m_handle, &m_timeouts)) {
        TraceErrorTo(TEXT("CPortCom::OpenPortSerial"), 533, m_portId,
                     TEXT("-(%s) : fail to SetCommTimeouts=%d"), kKind, GetLastError());
        return false;
    }
    if (!SetupComm(m_handle, 4096, static_cast<DWORD>(m_writeChunk))) {
        TraceErrorTo(TEXT("CPortCom::OpenPortSerial"), 541, m_portId,
                     TEXT("-(%s) : fail to SetupComm"), kKind);
        return false;
    }
    PurgeComm(m_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (!CheckModemStatus())
        return false;
    m_open = true;
    m_state = kStateOnline;
    TraceTo(TEXT("CPortCom::OpenPortSerial"), 555, m_portId, TEXT("-(%s) success"), kKind);
    return true;
}

bool CPortCom::CheckModemStatus() {
    DWORD status = 0;
    if (!GetCommModemStatus(m_handle, &status)) {
        TraceErrorTo(TEXT("CPortCom::CheckModemStatus"), 615, m_portId,
                     TEXT("fail GetCommModemStatus"));
        return false;
    }
    if (status != m_lastModemStatus) {
        TraceDetail(TEXT("CPortCom::CheckModemStatus"), 621, m_portId,
                    TEXT("change GetCommModemStatus : dwMask=%d"), status);
        m_lastModemStatus = status;
    }
    if (m_requireCts && !(status & MS_CTS_ON))
        return false;
    if (m_requireDsr && !(status & MS_DSR_ON))
        return false;
    return true;
}

int CPortCom::ReadPort(BYTE* buffer, int length) {
    if (StopRequested() || m_handle == INVALID_HANDLE_VALUE || !buffer || length < 1)
        return 0;
    if (CheckModemStatus()) {
        m_state = kStateOnline;
        if (m_lastReportedState != kStateOnline)
            TraceTo(TEXT("CPortCom::ReadPort"), 302, m_portId, TEXT("Serial On-line signal"));
        m_lastReportedState = kStateOnline;
    } else {
        PurgeComm(m_handle, PURGE_TXABORT | PURGE_TXCLEAR);
        m_state = kStateOffline;
        if (m_lastReportedState != kStateOffline)
            TraceTo(TEXT("CPortCom::ReadPort"), 280, m_portId, TEXT("Serial Off-line signal"));
        m_lastReportedState = kStateOffline;
    }
    if (!m_open)
        return 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_handle, &errors, &stat) || stat.cbInQue == 0)
        return 0;
    DWORD count =
        stat.cbInQue < static_cast<DWORD>(length) ? stat.cbInQue : static_cast<DWORD>(length);
    if (!m_useOverlappedIO) {
        DWORD done = 0;
        return ReadFile(m_handle, buffer, count, &done, nullptr) ? static_cast<int>(done) : 0;
    }
    TraceDetail(TEXT("CPortCom::ReadPort"), 377, m_portId,
                TEXT("******Read File start (dwRead=%d) ****************************************"),
                count);
    DWORD done = Overlapped(m_handle, [&](OVERLAPPED* ov, DWORD* n) {
        BOOL ok = ReadFile(m_handle, buffer, count, n, ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            TraceDetail(TEXT("CPortCom::ReadPort"), 382, m_portId, TEXT(" ERROR_IO_PENDING wait"));
        return ok;
    });
    return static_cast<int>(done);
}

int CPortCom::WritePort(const BYTE* bytes, int length, int pauseAfter) {
    TraceDetail(TEXT("CPortCom::WritePort"), 136, m_portId,
                TEXT("+(dwWritten : %d, afterSleep : %d)"), length, pauseAfter);
    if (!m_open || m_handle == INVALID_HANDLE_VALUE || !bytes || length <= 0) {
        TraceErrorTo(TEXT("CPortCom::WritePort"), 139, m_portId,
                     TEXT("-fail to invalid parameters"));
        return 0;
    }
    DWORD done = 0;
    if (m_useOverlappedIO) {
        done = Overlapped(m_handle, [&](OVERLAPPED* ov, DWORD* n) {
            TraceDetail(TEXT("CPortCom::WritePort"), 153, m_portId, TEXT("call WriteFile"));
            BOOL ok = WriteFile(m_handle, bytes, static_cast<DWORD>(length), n, ov);
            DWORD error = GetLastError();
            TraceDetail(TEXT("CPortCom::WritePort"), 157, m_portId, TEXT("GetLastError() : %d"),
                        error);
            if (!ok && error == ERROR_IO_PENDING)
                TraceDetail(TEXT("CPortCom::WritePort"), 162, m_portId, TEXT("ERROR_IO_PENDING"));
            SetLastError(error);
            return ok;
        });
    } else if (!WriteFile(m_handle, bytes, static_cast<DWORD>(length), &done, nullptr)) {
        done = 0;
    }
    if (done > 0)
        TraceDump(m_portId, bytes, static_cast<int>(done));
    if (done == 0)
        return 0;
    if (pauseAfter > 0)
        Sleep(static_cast<DWORD>(pauseAfter));
    else if (m_pauseAfterWrite > 0)
        Sleep(static_cast<DWORD>(m_pauseAfterWrite));
    return static_cast<int>(done);
}

void CPortCom::ClosePort() {
    TraceDetail(TEXT("CPortCom::ClosePort"), 207, m_portId, TEXT("+"));
    m_open = false;
    RequestStop();
    if (m_handle != INVALID_HANDLE_VALUE) {
        // Aborts a read the thread may be waiting for, so that it sees the stop flag soon.
        TraceDetail(TEXT("CPortCom::ClosePort"), 212, m_portId,
                    TEXT("call PurgeComm and CancelIo"));
        PurgeComm(m_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CancelIo(m_handle);
    }
    // The thread stops before the handle goes: a read on a closed handle could reach a new
    // object that reused its value.
    CPortInterface::ClosePort();
    if (m_handle != INVALID_HANDLE_VALUE && !IsReadThreadAlive()) {
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    TraceTo(TEXT("CPortCom::ClosePort"), 219, m_portId, TEXT("-Success"));
}

// The Win32 serial communications API on device handles: each call becomes the IOCTL_SERIAL_*
// requests Windows' kernel32 sends, with the same conversions between the DCB and the driver's
// structures. Runs in the caller's thread; every request is waited for except an overlapped wait.
#include "platform/host/kernel/ntddser.h"
#include "platform/host/win32/devices.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/win32/serial.h"
#include "platform/host/win32/sync.h"

namespace {

// SERIAL_STATUS.Errors and HoldReasons bits; ClearCommError translates them to CE_* and COMSTAT.
constexpr ULONG kSerialErrorBreak = 0x01;
constexpr ULONG kSerialErrorFraming = 0x02;
constexpr ULONG kSerialErrorOverrun = 0x04;
constexpr ULONG kSerialErrorQueueOverrun = 0x08;
constexpr ULONG kSerialErrorParity = 0x10;
constexpr ULONG kHoldWaitingForCts = 0x01;
constexpr ULONG kHoldWaitingForDsr = 0x02;
constexpr ULONG kHoldWaitingForDcd = 0x04;
constexpr ULONG kHoldWaitingForXon = 0x08;
constexpr ULONG kHoldXoffSent = 0x10;

// Handflow bits a DCB expresses; SetCommState keeps every other bit the driver reports.
constexpr ULONG kDcbControlBits = SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                  SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
constexpr ULONG kDcbFlowBits = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                               SERIAL_NULL_STRIPPING | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE;

// Sends one request and waits for it. A private event makes the call work alike on handles
// opened for overlapped I/O and on synchronous ones. Returns the Win32 error, also left as the
// thread's last error.
DWORD Control(HANDLE h, ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength,
              DWORD* returned = nullptr) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return GetLastError();
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    if (!DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &done, &ov)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            error = GetOverlappedResult(h, &ov, &done, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(ov.hEvent);
    if (returned)
        *returned = done;
    SetLastError(error);
    return error;
}

// The four settings a DCB is made of, as the driver keeps them.
struct Settings {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW flow{};
};

DWORD ReadSettings(HANDLE h, Settings& s) {
    DWORD error;
    if ((error = Control(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s.baud, sizeof s.baud)) ||
        (error = Control(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s.line, sizeof s.line)) ||
        (error = Control(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s.chars, sizeof s.chars)) ||
        (error = Control(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s.flow, sizeof s.flow)))
        return error;
    return ERROR_SUCCESS;
}

DWORD WriteSettings(HANDLE h, const Settings& s) {
    DWORD error;
    if ((error = Control(h, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud, nullptr, 0)) ||
        (error = Control(h, IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line, nullptr, 0)) ||
        (error = Control(h, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars, nullptr, 0)) ||
        (error = Control(h, IOCTL_SERIAL_SET_HANDFLOW, &s.flow, sizeof s.flow, nullptr, 0)))
        return error;
    return ERROR_SUCCESS;
}

void SettingsToDcb(const Settings& s, DCB& dcb) {
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baud.BaudRate;
    dcb.fBinary = 1;  // Windows supports no other mode
    dcb.fParity = s.line.Parity != NO_PARITY;
    ULONG control = s.flow.ControlHandShake;
    ULONG replace = s.flow.FlowReplace;
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    switch (control & SERIAL_DTR_MASK) {
        case SERIAL_DTR_CONTROL:
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            break;
        case SERIAL_DTR_HANDSHAKE:
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            break;
        default:
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            break;
    }
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    switch (replace & SERIAL_RTS_MASK) {
        case SERIAL_RTS_CONTROL:
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case SERIAL_RTS_HANDSHAKE:
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        case SERIAL_TRANSMIT_TOGGLE:
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            break;
        default:
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            break;
    }
    dcb.XonLim = static_cast<WORD>(s.flow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(s.flow.XoffLimit);
    dcb.ByteSize = s.line.WordLength;
    dcb.Parity = s.line.Parity;
    dcb.StopBits = s.line.StopBits;
    dcb.XonChar = static_cast<char>(s.chars.XonChar);
    dcb.XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb.EofChar = static_cast<char>(s.chars.EofChar);
    dcb.EvtChar = static_cast<char>(s.chars.EventChar);
}

// The settings for `dcb`, starting from the current ones so that what a DCB cannot say (the
// break character, DCD handshake) stays as it is.
Settings DcbToSettings(const DCB& dcb, const Settings& current) {
    Settings s = current;
    s.baud.BaudRate = dcb.BaudRate;
    s.line.WordLength = dcb.ByteSize;
    s.line.Parity = dcb.Parity;
    s.line.StopBits = dcb.StopBits;
    s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);

    ULONG control = current.flow.ControlHandShake & ~kDcbControlBits;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        control |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        control |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow)
        control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        control |= SERIAL_ERROR_ABORT;

    ULONG replace = current.flow.FlowReplace & ~kDcbFlowBits;
    if (dcb.fOutX)
        replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        replace |= SERIAL_XOFF_CONTINUE;
    switch (dcb.fRtsControl) {
        case RTS_CONTROL_ENABLE:
            replace |= SERIAL_RTS_CONTROL;
            break;
        case RTS_CONTROL_HANDSHAKE:
            replace |= SERIAL_RTS_HANDSHAKE;
            break;
        case RTS_CONTROL_TOGGLE:
            replace |= SERIAL_TRANSMIT_TOGGLE;
            break;
        default:
            break;
    }
    s.flow.ControlHandShake = control;
    s.flow.FlowReplace = replace;
    s.flow.XonLimit = dcb.XonLim;
    s.flow.XoffLimit = dcb.XoffLim;
    return s;
}

BOOL Result(DWORD error) {
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

}  // namespace

BOOL GetCommState(HANDLE h, LPDCB dcb) {
    Settings s;
    DWORD error = ReadSettings(h, s);
    if (error)
        return Result(error);
    SettingsToDcb(s, *dcb);
    return Result(ERROR_SUCCESS);
}

BOOL SetCommState(HANDLE h, LPDCB dcb) {
    Settings before;
    DWORD error = ReadSettings(h, before);
    if (error)
        return Result(error);
    error = WriteSettings(h, DcbToSettings(*dcb, before));
    // The lines follow the control modes; handshake modes leave them to the driver.
    if (!error && dcb->fDtrControl == DTR_CONTROL_ENABLE)
        error = Control(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
    else if (!error && dcb->fDtrControl == DTR_CONTROL_DISABLE)
        error = Control(h, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
    if (!error && dcb->fRtsControl == RTS_CONTROL_ENABLE)
        error = Control(h, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
    else if (!error && dcb->fRtsControl == RTS_CONTROL_DISABLE)
        error = Control(h, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0);
    if (error)
        WriteSettings(h, before);  // a half-applied DCB is worse than the old one
    return Result(error);
}

BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
    SERIAL_TIMEOUTS t{};
    DWORD error = Control(h, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t);
    if (error)
        return Result(error);
    *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return Result(ERROR_SUCCESS);
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    SERIAL_TIMEOUTS t{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                      timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                      timeouts->WriteTotalTimeoutConstant};
    return Result(Control(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0));
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    SERIAL_QUEUE_SIZE size{inQueue, outQueue};
    return Result(Control(h, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0));
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    ULONG mask = flags;  // PURGE_* are the driver's SERIAL_PURGE_* bits
    return Result(Control(h, IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0));
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    SERIAL_STATUS status{};
    DWORD error = Control(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    if (error)
        return Result(error);
    if (errors) {
        DWORD e = 0;
        if (status.Errors & kSerialErrorBreak)
            e |= CE_BREAK;
        if (status.Errors & kSerialErrorFraming)
            e |= CE_FRAME;
        if (status.Errors & kSerialErrorOverrun)
            e |= CE_OVERRUN;
        if (status.Errors & kSerialErrorQueueOverrun)
            e |= CE_RXOVER;
        if (status.Errors & kSerialErrorParity)
            e |= CE_RXPARITY;
        *errors = e;
    }
    if (stat) {
        *stat = COMSTAT{};
        stat->fCtsHold = (status.HoldReasons & kHoldWaitingForCts) != 0;
        stat->fDsrHold = (status.HoldReasons & kHoldWaitingForDsr) != 0;
        stat->fRlsdHold = (status.HoldReasons & kHoldWaitingForDcd) != 0;
        stat->fXoffHold = (status.HoldReasons & kHoldWaitingForXon) != 0;
        stat->fXoffSent = (status.HoldReasons & kHoldXoffSent) != 0;
        stat->fEof = status.EofReceived != 0;
        stat->fTxim = status.WaitForImmediate != 0;
        stat->cbInQue = status.AmountInInQueue;
        stat->cbOutQue = status.AmountInOutQueue;
    }
    return Result(ERROR_SUCCESS);
}

BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStatus) {
    ULONG lines = 0;  // MS_*_ON are the driver's SERIAL_*_STATE bits
    DWORD error = Control(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &lines, sizeof lines);
    if (error)
        return Result(error);
    *modemStatus = lines;
    return Result(ERROR_SUCCESS);
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    ULONG m = mask;  // EV_* are the driver's SERIAL_EV_* bits
    return Result(Control(h, IOCTL_SERIAL_SET_WAIT_MASK, &m, sizeof m, nullptr, 0));
}

BOOL GetCommMask(HANDLE h, LPDWORD mask) {
    ULONG m = 0;
    DWORD error = Control(h, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &m, sizeof m);
    if (error)
        return Result(error);
    *mask = m;
    return Result(ERROR_SUCCESS);
}

BOOL WaitCommEvent(HANDLE h, LPDWORD eventMask, LPOVERLAPPED overlapped) {
    if (overlapped) {
        // The caller's event and mask: completion is reported through them.
        DWORD done = 0;
        return DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, eventMask, sizeof(DWORD),
                               &done, overlapped);
    }
    ULONG events = 0;
    DWORD error = Control(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events);
    if (error)
        return Result(error);
    *eventMask = events;
    return Result(ERROR_SUCCESS);
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
    ULONG code;
    switch (function) {
        case SETXOFF:
            code = IOCTL_SERIAL_SET_XOFF;
            break;
        case SETXON:
            code = IOCTL_SERIAL_SET_XON;
            break;
        case SETRTS:
            code = IOCTL_SERIAL_SET_RTS;
            break;
        case CLRRTS:
            code = IOCTL_SERIAL_CLR_RTS;
            break;
        case SETDTR:
            code = IOCTL_SERIAL_SET_DTR;
            break;
        case CLRDTR:
            code = IOCTL_SERIAL_CLR_DTR;
            break;
        case RESETDEV:
            code = IOCTL_SERIAL_RESET_DEVICE;
            break;
        case SETBREAK:
            code = IOCTL_SERIAL_SET_BREAK_ON;
            break;
        case CLRBREAK:
            code = IOCTL_SERIAL_SET_BREAK_OFF;
            break;
        default:
            return Result(ERROR_INVALID_PARAMETER);
    }
    return Result(Control(h, code, nullptr, 0, nullptr, 0));
}

BOOL SetCommBreak(HANDLE h) {
    return EscapeCommFunction(h, SETBREAK);
}

BOOL ClearCommBreak(HANDLE h) {
    return EscapeCommFunction(h, CLRBREAK);
}

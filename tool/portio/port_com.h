// CPortCom: the serial port of the tool, opened through the Win32 communications API for
// overlapped I/O. CTS and DSR are the printer's on-line signal. Read by the port's read thread,
// written and closed from the main thread.
#pragma once

#include "platform/win32.h"
#include "tool/portio/port_interface.h"

class CPortCom : public CPortInterface {
  public:
    CPortCom();
    ~CPortCom() override;

    void SetDeviceSwitch(bool on) override { m_deviceSwitch = on; }
    void SetModemRequirements(bool requireCts, bool requireDsr) override;
    bool OpenPort() override;
    // Stops the read thread before the handle is closed; a thread that does not stop in time
    // keeps the handle, which is closed when the object goes.
    void ClosePort() override;
    // "COM<n>[:baud[:data bits[:parity[:stop bits[:flow control]]]]]"; letters are upper-cased.
    bool SetPortText(int type, const XStringW& text) override;
    int ReadPort(BYTE* buffer, int length) override;
    int WritePort(const BYTE* bytes, int length, int pauseAfter) override;

    bool OpenPortSerial();
    bool CheckModemStatus();

    // The line settings and time-outs the port text gave.
    int GetBaudRate() const { return m_baudRate; }
    int GetDataBits() const { return m_dataBits; }
    int GetParity() const { return m_parity; }
    int GetStopBits() const { return m_stopBits; }
    int GetFlowControl() const { return m_flowControl; }
    const COMMTIMEOUTS& GetTimeouts() const { return m_timeouts; }
    // The path CreateFileW is given for the bare name.
    XStringW GetDevicePath() const;

  private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS m_timeouts{};
    int m_baudRate = 115200;
    int m_dataBits = 8;
    int m_parity = 0;
    int m_stopBits = 0;
    int m_flowControl = 0;  // 0 DTR/DSR, 1 XON/XOFF, 2 none
    DWORD m_lastModemStatus = 0;
    bool m_requireCts = true;
    bool m_requireDsr = true;
    int m_lastReportedState = kStateUnknown;
    bool m_deviceSwitch = false;  // stored only
};

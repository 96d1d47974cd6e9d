// CVPCommandLine: the installer's command line ("/u /i5 /m2 /n 10.0.0.5:9100 /rs1"), read into
// the steps the tool runs without its window. Errors go to the "CMDLine" trace target.
#pragma once

#include "platform/win32.h"
#include "tool/support/trace.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

// The connected USB printers the "pid" and "sn" conditions look at.
class CUsbPrinterSource {
  public:
    virtual ~CUsbPrinterSource() = default;
    virtual XStringWList GetProductIds() = 0;
    virtual XStringWList GetDevicePaths() = 0;
};

class CVPCommandLine {
  public:
    enum ParseResult { kNoCommand = 0, kMalformed = 1, kUsbConditionNotMet = 2, kAccepted = 3 };

    // Registers the "CMDLine" trace target; `usb` answers the "pid" and "sn" conditions.
    explicit CVPCommandLine(CUsbPrinterSource& usb);

    // The program's argument text (everything after the program name).
    int ParseCommand(XStringW commandLine);

    XStringW GetPrinterAddress() const { return m_printerAddress; }

    bool m_valid = false;
    bool m_install = false;
    int m_messageMode = 0;  // 0, 1 (show a successful install) or 2 (always show)
    int m_portNumber = 0;   // 0: the new port keeps its own number
    XStringW m_usbProductId;
    XStringW m_usbSerialNumber;
    bool m_uninstall = false;
    bool m_restart = false;
    bool m_askBeforeRestart = false;

  private:
    int Reject(int result, const WCHAR* message);
    int Reject(int result, const WCHAR* format, const XStringW& text);
    int Reject(int result, const WCHAR* format, int number);
    int CheckProductId(const XStringW& value);
    int CheckSerialNumber(const XStringW& token, const XStringW& value);

    CUsbPrinterSource& m_usb;
    XStringW m_printerAddress;
};

// "a.b.c.d" or "a.b.c.d:port": the address and the TCP port (9100 when none is given). False
// unless the address is strictly dotted IPv4 and the port a decimal number from 1 to 65535.
bool SplitPrinterAddress(const XStringW& address, XStringW& ip, int& port);

// A decimal number of one or more digits only, without overflow; false otherwise.
bool ReadStrictNumber(const XStringW& text, long long limit, int& value);

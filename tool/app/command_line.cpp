// The installer's command line: tokens cut at "/", each matched by the start of its text against
// the options in a fixed order ("i" first, so every token starting with "i" installs).
#include "tool/app/command_line.h"

#include "tool/discovery/net_helper.h"
#include "tool/support/trace.h"

namespace {

const WCHAR kLocation[] = TEXT("CVPCommandLine::ParseCommand");

bool IsHexDigit(WCHAR c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The option's value: the rest of the token, without white space at either end.
XStringW ValueAfter(const XStringW& token, int nameLength) {
    XStringW value = token.Mid(nameLength);
    if (token.GetLength() <= nameLength)
        value.Empty();
    value.TrimRight();
    value.TrimLeft();
    return value;
}

// Numbers of the "i" and "m" options: decimal, a text without digits reads as 0, and a value too
// large for an int counts as out of range rather than wrapping.
int ReadOptionNumber(const XStringW& text) {
    int value = 0;
    return ReadStrictNumber(text, 0x7FFFFFFF, value) ? value : text.ToInt();
}

}  // namespace

bool ReadStrictNumber(const XStringW& text, long long limit, int& value) {
    if (text.IsEmpty())
        return false;
    long long n = 0;
    for (int i = 0; i < text.GetLength(); ++i) {
        WCHAR c = text.GetString()[i];
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
        if (n > limit)
            return false;
    }
    value = static_cast<int>(n);
    return true;
}

bool SplitPrinterAddress(const XStringW& address, XStringW& ip, int& port) {
    int colon = address.Find(TEXT(":"));
    port = 9100;
    if (colon < 0) {
        ip = address;
    } else {
        ip = address.Left(colon);
        if (colon + 1 >= address.GetLength() ||
            !ReadStrictNumber(address.Mid(colon + 1), 65535, port) || port < 1)
            return false;
    }
    return IsValidIPv4Text(ip);
}

CVPCommandLine::CVPCommandLine(CUsbPrinterSource& usb) : m_usb(usb) {
    TraceRegister(TRACE_ID_CMDLINE, 1, TEXT("CMDLine"), TEXT(""));
}

int CVPCommandLine::Reject(int result, const WCHAR* format, const XStringW& text) {
    m_valid = false;
    TraceErrorTo(kLocation, __LINE__, TRACE_ID_CMDLINE, format, text);
    return result;
}

int CVPCommandLine::Reject(int result, const WCHAR* message) {
    m_valid = false;
    TraceErrorTo(kLocation, __LINE__, TRACE_ID_CMDLINE, TEXT("%s"), message);
    return result;
}

int CVPCommandLine::Reject(int result, const WCHAR* format, int number) {
    m_valid = false;
    TraceErrorTo(kLocation, __LINE__, TRACE_ID_CMDLINE, format, number);
    return result;
}

int CVPCommandLine::CheckProductId(const XStringW& value) {
    if (!value.IsEmpty()) {
        XStringW digits = value;
        digits.Replace(TEXT(" "), TEXT(""));
        bool hex = value.GetLength() == 4 && digits.GetLength() % 2 == 0;
        for (int i = 0; hex && i < digits.GetLength(); ++i)
            hex = IsHexDigit(digits.GetString()[i]);
        if (!hex)
            return Reject(kMalformed, TEXT("Invalid PID : /%s"), value);
    }
    XStringWList ids = m_usb.GetProductIds();
    if (ids.GetCount() == 0)
        return Reject(kUsbConditionNotMet, TEXT("no available printer."));
    if (value.IsEmpty()) {
        if (ids.GetCount() > 1)
            return Reject(kUsbConditionNotMet,
                          TEXT("One or more printers are available. Please connect only one."));
        m_usbProductId = ids.GetAt(0);
        return kAccepted;
    }
    int matches = 0;
    for (int i = 0; i < ids.GetCount(); ++i)
        matches += ids.GetAt(i) == value ? 1 : 0;
    if (matches > 1)
        return Reject(kUsbConditionNotMet,
                      TEXT("One or more printers are available. Please connect only one."));
    if (matches == 0)
        return Reject(kUsbConditionNotMet, TEXT("No printers match usb pid."));
    m_usbProductId = value;
    return kAccepted;
}

int CVPCommandLine::CheckSerialNumber(const XStringW& token, const XStringW& value) {
    if (value.IsEmpty())
        return Reject(kMalformed, TEXT("USB Serial Number is cannot skip : /%s"), token);
    XStringWList paths = m_usb.GetDevicePaths();
    if (paths.GetCount() == 0)
        return Reject(kUsbConditionNotMet, TEXT("no available printer."));
    for (int i = 0; i < paths.GetCount(); ++i) {
        if (paths.GetAt(i).Find(value) >= 0) {
            m_usbSerialNumber = value;
            return kAccepted;
        }
    }
    return Reject(kUsbConditionNotMet, TEXT("No printers match usb serial number."));
}

int CVPCommandLine::ParseCommand(XStringW commandLine) {
    XStringWList tokens = commandLine.Split(TEXT("/"), true);
    if (tokens.GetCount() == 0)
        return kNoCommand;
    m_valid = true;
    for (int t = 0; t < tokens.GetCount(); ++t) {
        const XStringW& token = tokens.GetAt(t);
        if (token.StartsWith(TEXT("i"))) {
            m_install = true;
            XStringW value = ValueAfter(token, 1);
            if (!value.IsEmpty()) {
                int n = ReadOptionNumber(value);
                if (n < 1 || n > 255)
                    return Reject(kMalformed, TEXT("Out of range port number : %d"), n);
                m_portNumber = n;
            }
        } else if (token.StartsWith(TEXT("m"))) {
            XStringW value = ValueAfter(token, 1);
            int mode = value.IsEmpty() ? -1 : ReadOptionNumber(value);
            if (mode != 1 && mode != 2)
                return Reject(kMalformed, TEXT("Invalid message option : %d"), mode);
            m_messageMode = mode;
        } else if (token.StartsWith(TEXT("u"))) {
            m_uninstall = true;
        } else if (token.StartsWith(TEXT("pid"))) {
            int result = CheckProductId(ValueAfter(token, 3));
            if (result != kAccepted)
                return result;
        } else if (token.StartsWith(TEXT("sn"))) {
            int result = CheckSerialNumber(token, ValueAfter(token, 2));
            if (result != kAccepted)
                return result;
        } else if (token.StartsWith(TEXT("n"))) {
            // Checked here, not only when the command runs: an installer learns of a bad address
            // before anything is uninstalled or installed.
            XStringW value = ValueAfter(token, 1);
            XStringW ip;
            int port = 0;
            if (!SplitPrinterAddress(value, ip, port))
                return Reject(kMalformed, TEXT("Invalid address : %s"), value);
            m_printerAddress = value;
        } else if (token.StartsWith(TEXT("rs"))) {
            m_restart = true;
            XStringW value = ValueAfter(token, 2);
            if (!value.IsEmpty() && ReadOptionNumber(value) == 1)
                m_askBeforeRestart = true;
        } else {
            return Reject(kMalformed, TEXT("Invalid command line : /%s"), token);
        }
    }
    return kAccepted;
}

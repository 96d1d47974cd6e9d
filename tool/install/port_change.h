// CPortChange: gives an existing COM port of the "Ports" class another COM name. The device's
// "PortName" and friendly name change, the device restarts so that its driver publishes the new
// DOS name and serial device map entry, and the COM port database follows.
#pragma once

#include "platform/win32.h"
#include "tool/support/xstring.h"

class CPortChange {
  public:
    // True when the port now answers to `newName` (or both names are the same port name).
    static bool RelinkPort(const XStringW& current, const XStringW& newName);
    // True when the new number was claimed; the current one is released first.
    static bool UpdateComDB(const XStringW& current, const XStringW& newName);
    // The open hardware key of the device whose "PortName" (REG_SZ) equals `name` without
    // regard to case, with its device data and "PortName" text; null when none has it. Every
    // other key it opened is closed again.
    static HKEY CheckExistPort(HDEVINFO devices, const XStringW& name, SP_DEVINFO_DATA& device,
                               XStringW& portNameValue);
};

// "COM7" and "LPT1" (a trailing ":" allowed) give their number, any other text reads as a
// number; -1 for the empty name.
int GetPortNumber(const XStringW& name);
// "COM5:" gives "COM5", "3" gives "COM3"; empty for anything else.
XStringW NormalizePortName(const XStringW& name);

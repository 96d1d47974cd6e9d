// The port assignment store: one key per assigned port under the product key, holding the
// printer's address and TCP port. Always the 64-bit registry view, the one the driver reads.
#pragma once

#include "tool/support/xstring.h"

// The port whose "IPAddress" and "Port_" match (the first in enumeration order), or
// "Not Assigned".
XStringW GetAssignedPortName(const XStringW& productKey, const XStringW& address, int port);
// Writes "DisplayName", "IPAddress", "Port_", "Port" and "PortName"; each write stands alone.
void SetAssignedInfo(const XStringW& productKey, const XStringW& portName, const XStringW& address,
                     int port, const XStringW& displayName);
// "Not Assigned" deletes nothing and gives true; a name that is not "COM" or "LPT" followed by
// decimal digits gives false and deletes nothing (an empty name would name the product key
// itself). Otherwise true, whether or not a key was there to delete.
bool DeleteAssignedInfo(const XStringW& portName, const XStringW& productKey);
// Deletes every assignment whose port is not in `existingPorts` (names compared without
// regard to case).
void DeleteStaleAssignedInfo(const XStringW& productKey, const XStringWList& existingPorts);

// The virtual ports as the tool finds them: root-enumerated "Ports" instances whose hardware id
// and service are the product's, read from their device registry keys.
#pragma once

#include "tool/support/xstring.h"

// Instances of every product's root-enumerated ports live here, one subkey each.
inline constexpr const WCHAR* kInstanceRoot = TEXT("SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS");

// The "PortName" of every virtual port in instance-key order, each text once. An instance
// without "PortName" gives one empty entry.
XStringWList GetVirtualPortList(const XStringW& hardwareId, const XStringW& service);
// The "FriendlyName" of the first virtual port called `portName`, or the empty string.
XStringW GetPortFriendlyName(const XStringW& hardwareId, const XStringW& service,
                             const XStringW& portName);

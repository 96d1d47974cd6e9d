// CNetHelper: the local IPv4 interfaces discovery broadcasts on, and the dotted-address check.
#pragma once

#include "platform/win32.h"
#include "tool/support/xstring.h"

// One usable interface; addresses in network byte order.
struct _LOCAL_INTERFACE_INFO_ {
    ULONG flags;  // IFF_* as the system reports them
    ULONG address;
    ULONG broadcast;
};

class CNetHelper {
  public:
    // The interfaces that are up and can broadcast, with an address other than 0.0.0.0 and
    // 127.0.0.1, in the system's order. Without `entries` only counts; otherwise fills at most
    // `capacity` entries, each a new _LOCAL_INTERFACE_INFO_ the caller deletes. 0 on any failure.
    static int GetNetworkInterfaceList(_LOCAL_INTERFACE_INFO_** entries, int capacity);
    // The filter behind the list (flags and address as the system reports them).
    static bool IsUsableInterface(ULONG flags, ULONG address);
};

// Exactly four dot-separated items of one to three decimal digits, each at most 255.
bool IsValidIPv4Text(const XStringW& text);

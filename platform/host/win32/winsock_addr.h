// The address helpers of Windows Sockets that need no socket and no WSAStartup: inet_addr and
// htons, with Windows' widths (32-bit address, 16-bit port).
#pragma once

#include "platform/host/types.h"

#ifndef INADDR_NONE
#define INADDR_NONE 0xFFFFFFFFUL
#endif

// The address in network byte order (the octets in address order in memory). Accepts one to
// four parts, each decimal, octal (leading 0) or hexadecimal (0x), the last part filling the
// remaining bytes; anything else, an empty text or a null pointer gives INADDR_NONE. The text
// may end in a space, after which nothing is looked at.
ULONG inet_addr(const char* cp);
USHORT htons(USHORT hostshort);

// inet_addr of Windows Sockets: the dotted forms Windows accepts.
#include "platform/host/win32/winsock.h"

#include <cstring>

namespace {

// One part of a dotted address: its value, or false when it has no digit, a digit outside its
// base or more than 32 bits.
bool parsePart(const char*& p, ULONGLONG& value) {
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    value = 0;
    int digits = 0;
    for (;; ++p, ++digits) {
        unsigned d;
        if (*p >= '0' && *p <= '9')
            d = unsigned(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            d = unsigned(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            d = unsigned(*p - 'A' + 10);
        else
            break;
        if (d >= base)
            return false;
        value = value * base + d;
        if (value > 0xFFFFFFFFULL)
            return false;
    }
    return digits > 0;
}

}  // namespace

ULONG inet_addr(const char* cp) {
    if (!cp || !*cp)
        return INADDR_NONE;
    ULONGLONG parts[4];
    int count = 0;
    const char* p = cp;
    for (;;) {
        if (count == 4 || !parsePart(p, parts[count]))
            return INADDR_NONE;
        ++count;
        if (*p != '.')
            break;
        ++p;
    }
    if (*p != 0 && *p != ' ')
        return INADDR_NONE;
    // Every part but the last is one byte; the last fills the bytes that remain.
    ULONGLONG host = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF)
            return INADDR_NONE;
        host |= parts[i] << (24 - 8 * i);
    }
    const int lastBits = 32 - 8 * (count - 1);
    if (lastBits < 32 && parts[count - 1] >> lastBits)
        return INADDR_NONE;
    host |= parts[count - 1];
    const BYTE octets[4] = {BYTE(host >> 24), BYTE(host >> 16), BYTE(host >> 8), BYTE(host)};
    ULONG network;
    std::memcpy(&network, octets, 4);
    return network;
}

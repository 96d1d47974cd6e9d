// The baud-rate code table of the printers' settings.
#include "tool/discovery/discovery_protocol.h"

namespace {

struct BaudRow {
    DWORD rate;
    BYTE code;
};
constexpr BaudRow kBaudRows[] = {
    {1200, 0xA0},  {2400, 0xD0},  {4800, 0xE8},   {9600, 0xF4},   {19200, 0xFA},
    {38400, 0xFD}, {57600, 0xFE}, {115200, 0xFF}, {230400, 0xBB},
};
constexpr int kBaudRowCount = sizeof kBaudRows / sizeof kBaudRows[0];

}  // namespace

BYTE DiscoveryBaudCode(int position) {
    return position >= 0 && position < kBaudRowCount ? kBaudRows[position].code : 0xA0;
}

int DiscoveryBaudPosition(BYTE code) {
    for (int i = 0; i < kBaudRowCount; ++i) {
        if (kBaudRows[i].code == code)
            return i;
    }
    return 0;
}

DWORD DiscoveryBaudRate(int position) {
    return position >= 0 && position < kBaudRowCount ? kBaudRows[position].rate : 0;
}

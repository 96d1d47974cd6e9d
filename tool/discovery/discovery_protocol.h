// The printers' UDP discovery and configuration protocol: kinds, ports, command words, the reply
// records the tool keeps, and the baud-rate codes. Multi-byte numbers on the wire are big-endian;
// addresses are four bytes in dotted order.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Printer kinds, also the bits of the kinds a search uses.
constexpr int PRINTER_KIND_ETHERNET = 1;
constexpr int PRINTER_KIND_WIRELESS = 2;

constexpr USHORT DISCOVERY_ETHERNET_LOCAL_PORT = 48780;
constexpr USHORT DISCOVERY_ETHERNET_PRINTER_PORT = 48781;
constexpr USHORT DISCOVERY_WIRELESS_LOCAL_PORT = 9000;
constexpr USHORT DISCOVERY_WIRELESS_PRINTER_PORT = 3337;

// Command words, ASCII, sent and compared without terminator.
inline constexpr char DISCOVERY_WORD_FIND[] = "FIND";
inline constexpr char DISCOVERY_WORD_IMIN[] = "IMIN";
inline constexpr char DISCOVERY_WORD_SETC[] = "SETC";
inline constexpr char DISCOVERY_WORD_SETT[] = "SETT";
inline constexpr char DISCOVERY_WORD_PRT_REG[] = "__[I_F]__[PRT_REG]";
inline constexpr char DISCOVERY_WORD_REG_RSP[] = "__[I_F]__[REG_RSP]";
inline constexpr char DISCOVERY_WORD_SET_RSP[] = "__[I_F]__[SET_RSP]";
constexpr int DISCOVERY_ETHERNET_WORD_LENGTH = 4;
constexpr int DISCOVERY_WIRELESS_WORD_LENGTH = 18;

// "IMIN"/"SETC" replies and the "SETT" request: the word, then 26 bytes of settings (30 bytes);
// replies of 31 bytes or more carry one extra byte.
constexpr int DISCOVERY_ETHERNET_DATAGRAM = 30;
// Reply records: the datagram's bytes after the word, zero-filled, the interface index last.
constexpr int DISCOVERY_ETHERNET_RECORD = 28;  // 27 bytes + interface index
constexpr int DISCOVERY_WIRELESS_RECORD = 94;  // 29 bytes + 64-byte extension + interface index
constexpr int DISCOVERY_WIRELESS_BASE = 29;
constexpr int DISCOVERY_WIRELESS_EXTENSION = 64;
constexpr int DISCOVERY_WIRELESS_FLAGS_OFFSET = 45;      // in the datagram
constexpr int DISCOVERY_WIRELESS_EXTENSION_OFFSET = 47;  // in the datagram
constexpr BYTE DISCOVERY_WIRELESS_EXTENSION_FLAG = 0x80;

// Offsets inside an Ethernet reply record (and, +4, inside "IMIN"/"SETC"/"SETT" datagrams).
constexpr int RECORD_MAC = 0;
constexpr int RECORD_ADDRESS = 6;
constexpr int RECORD_MASK = 10;
constexpr int RECORD_GATEWAY = 14;
constexpr int RECORD_LOCAL_PORT = 18;
constexpr int RECORD_BAUD = 20;
constexpr int RECORD_FIRMWARE_MAJOR = 21;
constexpr int RECORD_FIRMWARE_MINOR = 22;
constexpr int RECORD_DHCP = 23;
constexpr int RECORD_INACTIVITY = 24;
constexpr int RECORD_EXTRA = 26;
constexpr int RECORD_INTERFACE_INDEX = 27;  // Ethernet records only

// One printer found on the network.
struct _DISCOVERY_DEVICE_INFO_ {
    BYTE rawReply[512];  // the reply record, zero-filled
    INT rawLength;       // 28 or 94; 612 in the copies handed to the found callback
    BYTE kind;           // PRINTER_KIND_*
    // From here to wirelessExtension: the reply record's bytes, in order.
    BYTE mac[6];
    BYTE address[4];
    BYTE mask[4];
    BYTE gateway[4];
    BYTE localPort[2];  // big-endian
    BYTE baudCode;
    BYTE firmwareMajor;
    BYTE firmwareMinor;
    BYTE dhcp;           // 1 = on
    BYTE inactivity[2];  // seconds, big-endian
    BYTE extra;
    BYTE wirelessFlags[2];
    BYTE wirelessExtension[64];
    BYTE interfaceIndex;
};
static_assert(sizeof(_DISCOVERY_DEVICE_INFO_) == 612, "the record callers copy is 612 bytes");
static_assert(offsetof(_DISCOVERY_DEVICE_INFO_, mac) == 517 &&
              offsetof(_DISCOVERY_DEVICE_INFO_, extra) == 543 &&
              offsetof(_DISCOVERY_DEVICE_INFO_, interfaceIndex) == 610);

inline int DiscoveryLocalPort(const _DISCOVERY_DEVICE_INFO_& device) {
    return (device.localPort[0] << 8) | device.localPort[1];
}

// Baud-rate codes: list position 0..8 (1200 to 230400 baud) <-> the code in byte 24 of an
// Ethernet reply. An unknown code reads as position 0; a position outside 0..8 gives 0xA0.
BYTE DiscoveryBaudCode(int position);
int DiscoveryBaudPosition(BYTE code);
// The baud rate of a list position, 0 outside 0..8.
DWORD DiscoveryBaudRate(int position);

// Tarnel driver: where the configuration tool keeps each port's printer (one subkey per port name
// under the product key, values in the byte order the transport takes unchanged).
#pragma once

#include "platform/nt.h"

#define VSERIAL_STORE_KEY TEXT("\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik\\TARNEL\\")
#define VSERIAL_STORE_IPADDRESS TEXT("IPAddress")  // REG_DWORD, octets in address order
#define VSERIAL_STORE_PORT TEXT("Port")            // REG_DWORD, TCP port big-endian in low 16 bits
#define VSERIAL_STORE_PORT_PLAIN TEXT("Port_")     // REG_DWORD, the port as a number (tool only)
#define VSERIAL_STORE_DISPLAY_NAME TEXT("DisplayName")
#define VSERIAL_STORE_PORT_NAME TEXT("PortName")

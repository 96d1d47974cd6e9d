// tarnel-host store commands: the configuration tool's own store code, run from the command
// line, so that a person or a test assigns ports exactly as the tool does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool/install/port_assignment.h"
#include "tool/install/vp_install.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"
#include "tools/tarnel-host/commands.h"

namespace tarnel::hosttool {
namespace {

XStringW Wide(const char* text) {
    XStringW out;
    for (const char* p = text; *p; ++p) {
        const WCHAR c = static_cast<WCHAR>(static_cast<unsigned char>(*p));
        out.Append(&c, 1);
    }
    return out;
}

bool ParsePort(const char* text, int& port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *end || value == 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

// Strict dotted IPv4: four decimal parts of at most three digits, each 0-255.
bool IsDottedAddress(const char* text) {
    int parts = 0;
    const char* p = text;
    for (;;) {
        int digits = 0;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + unsigned(*p++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        ++parts;
        if (*p != '.')
            break;
        ++p;
    }
    return parts == 4 && *p == 0;
}

}  // namespace

// tarnel-host assign COMn ADDRESS PORT: the printer's earlier port and the port's earlier
// printer are released, then the port is assigned, as the tool's command line does.
int RunAssign(int argc, char** argv) {
    int port = 0;
    if (argc != 3 || std::strncmp(argv[0], "COM", 3) != 0 || !IsDottedAddress(argv[1]) ||
        !ParsePort(argv[2], port)) {
        std::fprintf(stderr, "usage: tarnel-host assign COMn IPv4-ADDRESS TCP-PORT\n");
        return 2;
    }
    PORT_ASSIGNMENT assignment;
    assignment.portName = Wide(argv[0]);
    assignment.previousAddress = assignment.address = Wide(argv[1]);
    assignment.previousPort = assignment.port = port;
    assignment.releaseChosenPort = true;
    AssignPrinterPort(kProductKey, assignment);
    const XStringW found = GetAssignedPortName(kProductKey, assignment.address, port);
    if (!(found == assignment.portName)) {
        std::fprintf(stderr, "tarnel-host: the store does not hold the assignment\n");
        return 1;
    }
    std::printf("%s assigned to %s:%d\n", argv[0], argv[1], port);
    return 0;
}

// tarnel-host unassign COMn | --all: one assignment, or the whole store as uninstalling does.
int RunUnassign(int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: tarnel-host unassign COMn|--all\n");
        return 2;
    }
    if (!std::strcmp(argv[0], "--all")) {
        CVPInstall::DeleteRegistryAllAssignedInfo(kProductKey);
        return 0;
    }
    if (!DeleteAssignedInfo(Wide(argv[0]), kProductKey)) {
        std::fprintf(stderr, "tarnel-host: '%s' is not a port name\n", argv[0]);
        return 2;
    }
    return 0;
}

}  // namespace tarnel::hosttool

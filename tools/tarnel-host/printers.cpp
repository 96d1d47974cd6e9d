// tarnel-host printers: the machine's print queues and spooler ports, through the spooler calls
// as a person's tool would make them. Exit codes: 0 done, 1 failed, 2 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/runtime/codepage.h"
#include "platform/host/win32/windows.h"
#include "tools/tarnel-host/commands.h"

namespace tarnel::hosttool {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: tarnel-host printers COMMAND [ARGS]\n"
        "  list                          the local print queues: name, port, attributes\n"
        "  ports                         the spooler's ports\n"
        "  add NAME PORT [--attributes N] [--driver TEXT]\n"
        "                                add a queue printing to PORT (COM5:, FILE:, ...);\n"
        "                                the port is added to the Local Port monitor "
        "when missing\n"
        "  add-port PORT                 add a port to the Local Port monitor\n"
        "Attributes are a number (0x hex allowed), e.g. 0x840 for a local bidirectional "
        "queue.\n");
}

std::string Utf8(const WCHAR* text) {
    return text ? host::WideToUtf8(std::u16string(text)) : std::string();
}

// The monitor's answer, or the call's own error.
DWORD AddPort(const std::u16string& port) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    WCHAR monitor[] = u",XcvMonitor Local Port";
    HANDLE xcv = nullptr;
    if (!OpenPrinterW(monitor, &xcv, &defaults))
        return GetLastError();
    std::u16string name = port;
    DWORD needed = 0, status = 0;
    if (!XcvDataW(xcv, u"AddPort", reinterpret_cast<BYTE*>(name.data()),
                  static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)), nullptr, 0, &needed,
                  &status))
        status = GetLastError();
    ClosePrinter(xcv);
    return status;
}

int List() {
    DWORD needed = 0, count = 0;
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        std::fprintf(stderr, "tarnel-host printers: EnumPrinters failed (%u)\n", GetLastError());
        return kFailed;
    }
    std::vector<BYTE> buffer(needed + sizeof(PRINTER_INFO_2W));
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &needed, &count)) {
        std::fprintf(stderr, "tarnel-host printers: EnumPrinters failed (%u)\n", GetLastError());
        return kFailed;
    }
    auto* printers = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        std::printf("%s\t%s\t0x%04X\t%s\n", Utf8(printers[i].pPrinterName).c_str(),
                    Utf8(printers[i].pPortName).c_str(), printers[i].Attributes,
                    Utf8(printers[i].pDriverName).c_str());
    return kOk;
}

int Ports() {
    DWORD needed = 0, count = 0;
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + sizeof(PORT_INFO_2W));
    if (!EnumPortsW(nullptr, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                    &count)) {
        std::fprintf(stderr, "tarnel-host printers: EnumPorts failed (%u)\n", GetLastError());
        return kFailed;
    }
    auto* ports = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        std::printf("%s\t%s\n", Utf8(ports[i].pPortName).c_str(),
                    Utf8(ports[i].pMonitorName).c_str());
    return kOk;
}

int Add(int argc, char** argv) {
    if (argc < 2)
        return usage(stderr), kUsage;
    std::u16string name = host::Utf8ToWide(argv[0]);
    std::u16string port = host::Utf8ToWide(argv[1]);
    std::u16string driver = u"Generic / Text Only";
    DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc)
            return usage(stderr), kUsage;
        if (!std::strcmp(argv[i], "--attributes")) {
            char* end = nullptr;
            unsigned long value = std::strtoul(argv[i + 1], &end, 0);
            if (!end || *end || value > 0xFFFFFFFFul)
                return usage(stderr), kUsage;
            attributes = static_cast<DWORD>(value);
        } else if (!std::strcmp(argv[i], "--driver")) {
            driver = host::Utf8ToWide(argv[i + 1]);
        } else {
            return usage(stderr), kUsage;
        }
    }
    DWORD status = AddPort(port);
    if (status != ERROR_SUCCESS && status != ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "tarnel-host printers: the port %s cannot be added (%u)\n", argv[1],
                     status);
        return kFailed;
    }
    PRINTER_INFO_2W info{};
    info.pPrinterName = name.data();
    info.pPortName = port.data();
    info.pDriverName = driver.data();
    info.Attributes = attributes;
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (!printer) {
        std::fprintf(stderr, "tarnel-host printers: the queue %s cannot be added (%u)\n", argv[0],
                     GetLastError());
        return kFailed;
    }
    ClosePrinter(printer);
    return kOk;
}

}  // namespace

// tarnel-host printers list | ports | add NAME PORT [...] | add-port PORT
int RunPrinters(int argc, char** argv) {
    if (argc < 1 || !std::strcmp(argv[0], "help")) {
        usage(argc < 1 ? stderr : stdout);
        return argc < 1 ? kUsage : kOk;
    }
    std::string command = argv[0];
    if (command == "list" && argc == 1)
        return List();
    if (command == "ports" && argc == 1)
        return Ports();
    if (command == "add")
        return Add(argc - 1, argv + 1);
    if (command == "add-port" && argc == 2) {
        DWORD status = AddPort(host::Utf8ToWide(argv[1]));
        if (status == ERROR_SUCCESS)
            return kOk;
        std::fprintf(stderr, "tarnel-host printers: the port %s cannot be added (%u)\n", argv[1],
                     status);
        return kFailed;
    }
    usage(stderr);
    return kUsage;
}

}  // namespace tarnel::hosttool

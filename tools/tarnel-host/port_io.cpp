// tarnel-host port commands: assign a port to a printer in the store (as the configuration tool
// writes it) and exchange bytes with a printer through a virtual port, as an application would.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/windows.h"
#include "tools/tarnel-host/commands.h"

namespace tarnel::hosttool {
namespace {

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

bool SetValue(HKEY key, const char16_t* name, DWORD type, const void* data, DWORD size) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

bool ParseHex(const std::string& text, std::string& out) {
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v;
        if (std::sscanf(text.c_str() + i, "%2x", &v) != 1)
            return false;
        out += static_cast<char>(v);
    }
    return true;
}

void Show(const std::string& bytes) {
    std::printf("received %zu bytes:", bytes.size());
    for (unsigned char c : bytes)
        std::printf(" %02X", c);
    std::printf("\n  text: ");
    for (unsigned char c : bytes)
        std::putchar(c >= 0x20 && c < 0x7F ? c : '.');
    std::printf("\n");
}

}  // namespace

// tarnel-host assign COMn ADDRESS PORT
int RunAssign(int argc, char** argv) {
    in_addr address{};
    char* end = nullptr;
    unsigned long port = argc == 3 ? std::strtoul(argv[2], &end, 10) : 0;
    if (argc != 3 || std::strncmp(argv[0], "COM", 3) != 0 ||
        inet_pton(AF_INET, argv[1], &address) != 1 || !end || *end || port == 0 || port > 65535) {
        std::fprintf(stderr, "usage: tarnel-host assign COMn IPv4-ADDRESS TCP-PORT\n");
        return 2;
    }
    std::u16string name = Widen(argv[0]);
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (u"SOFTWARE\\Morvik\\TARNEL\\" + name).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "tarnel-host: cannot create the store key (error %ld)\n",
                     static_cast<long>(rc));
        return 1;
    }
    std::u16string display = u"Tarnel Virtual Serial Port (" + name + u")";
    DWORD ip;  // the octets in address order
    std::memcpy(&ip, &address.s_addr, 4);
    DWORD plain = static_cast<DWORD>(port);
    BYTE network[4] = {static_cast<BYTE>(port >> 8), static_cast<BYTE>(port & 0xFF), 0, 0};
    bool ok =
        SetValue(key, u"DisplayName", REG_SZ, display.c_str(), DWORD((display.size() + 1) * 2)) &&
        SetValue(key, u"IPAddress", REG_DWORD, &ip, 4) &&
        SetValue(key, u"Port_", REG_DWORD, &plain, 4) &&
        SetValue(key, u"Port", REG_DWORD, network, 4) &&
        SetValue(key, u"PortName", REG_SZ, name.c_str(), DWORD((name.size() + 1) * 2));
    RegCloseKey(key);
    if (!ok) {
        std::fprintf(stderr, "tarnel-host: cannot write the store values\n");
        return 1;
    }
    std::printf("%s assigned to %s:%lu\n", argv[0], argv[1], port);
    return 0;
}

// tarnel-host send COMn [--text T] [--hex HH..] [--file PATH] [--read-ms N]
int RunSend(int argc, char** argv) {
    if (argc < 1 || std::strncmp(argv[0], "COM", 3) != 0) {
        std::fprintf(
            stderr,
            "usage: tarnel-host send COMn [--text T] [--hex HEX] [--file PATH] [--read-ms N]\n");
        return 2;
    }
    std::vector<std::string> pieces;
    int readMs = 0;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "tarnel-host: %s needs a value\n", option.c_str());
            return 2;
        }
        std::string value = argv[++i];
        if (option == "--text") {
            pieces.push_back(value);
        } else if (option == "--hex") {
            std::string bytes;
            if (!ParseHex(value, bytes)) {
                std::fprintf(stderr, "tarnel-host: bad hex '%s'\n", value.c_str());
                return 2;
            }
            pieces.push_back(bytes);
        } else if (option == "--file") {
            std::ifstream in(value, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "tarnel-host: cannot read %s\n", value.c_str());
                return 2;
            }
            std::stringstream content;
            content << in.rdbuf();
            pieces.push_back(content.str());
        } else if (option == "--read-ms") {
            readMs = std::atoi(value.c_str());
        } else {
            std::fprintf(stderr, "tarnel-host: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    std::u16string port = Widen(argv[0]);
    HANDLE h = CreateFileW(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "tarnel-host: cannot open %s (error %lu%s)\n", argv[0],
                     static_cast<unsigned long>(error),
                     error == ERROR_FILE_NOT_FOUND  ? ": no such port"
                     : error == ERROR_ACCESS_DENIED ? ": the port is already open"
                     : error == ERROR_GEN_FAILURE   ? ": the printer cannot be reached"
                                                    : "");
        tarnel::host::kernel::ShutdownMachine();
        return 1;
    }
    int rc = 0;
    for (auto& piece : pieces) {
        DWORD written = 0;
        if (!WriteFile(h, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr)) {
            std::fprintf(stderr, "tarnel-host: write failed (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            rc = 1;
            break;
        }
        std::printf("wrote %lu bytes to %s\n", static_cast<unsigned long>(written), argv[0]);
    }
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readMs);
    while (rc == 0 && std::chrono::steady_clock::now() < deadline) {
        char buffer[4096];
        DWORD n = 0;
        if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr))
            break;
        received.append(buffer, n);
        if (n == 0)
            Sleep(5);
    }
    if (readMs > 0)
        Show(received);
    CloseHandle(h);
    tarnel::host::kernel::ShutdownMachine();
    return rc;
}

}  // namespace tarnel::hosttool

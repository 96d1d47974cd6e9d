// tarnel-host port commands: exchange bytes with a printer through a virtual port, as an
// application would.
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

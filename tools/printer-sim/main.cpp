// tarnel-printer-sim: runs the network printer simulator until SIGINT or SIGTERM and prints what
// happens on each connection, for demonstrations and for trying the driver by hand.
#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/printer-sim/printer_sim.h"
#include "tools/printer-sim/udp_responder.h"

namespace {

using tarnel::printersim::Event;
using tarnel::printersim::Options;
using tarnel::printersim::PrinterSimulator;

constexpr const char* kProgram = "tarnel-printer-sim";

constexpr const char* kUsage =
    "usage: tarnel-printer-sim [options]\n"
    "  --address A       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port P          TCP port, 0 for any free one (default 9100)\n"
    "  --model NAME      model name answered to 1D 49 43 (default TARNEL-SIM)\n"
    "  --record DIR      write each connection's bytes to DIR/connection-NNNN.bin\n"
    "  --echo            send every received byte back\n"
    "  --close-after N   close a connection after it received N bytes\n"
    "  --reply-delay MS  answer the model request MS milliseconds late\n"
    "  --refuse          refuse every connection\n"
    "discovery over UDP (FIND/IMIN, PRT_REG/REG_RSP, SETT/SETC on ports 48781 and 3337):\n"
    "  --discovery       answer discovery requests\n"
    "  --udp-address A   address the discovery sockets bind to (default: --address)\n"
    "  --mac M           MAC address of the first printer (default 00:1B:AC:00:00:01)\n"
    "  --kind K          ethernet or wireless (default ethernet)\n"
    "  --printers N      play N printers: MACs and announced addresses count up (default 1)\n"
    "  --announce A      address the first printer announces (default: --address)\n"
    "  --discovery-delay MS  answer discovery MS milliseconds late\n"
    "  --silent          listen to discovery but never answer\n";

struct Settings {
    Options options;
    bool discovery = false;
    bool silent = false;
    std::string udpAddress;
    std::string announce;
    std::array<std::uint8_t, 6> mac{0x00, 0x1B, 0xAC, 0x00, 0x00, 0x01};
    tarnel::printersim::PrinterKind kind = tarnel::printersim::PrinterKind::Ethernet;
    unsigned printers = 1;
    unsigned discoveryDelayMs = 0;
    bool echo = false;
    bool refuse = false;
    size_t closeAfter = 0;
    unsigned replyDelayMs = 0;
};

template <typename T>
std::optional<T> parseNumber(std::string_view text, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%s", kProgram, message.c_str(), kUsage);
    return 2;
}

// Fills `settings` from the command line; returns -1 to run, otherwise the exit code.
int parseArguments(int argc, char** argv, Settings& settings) {
    settings.options.port = 9100;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const std::string name(arg);
        auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            return std::string_view(argv[++i]);
        };

        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (name == "--echo" || name == "--refuse" || name == "--discovery" || name == "--silent") {
            if (inlineValue) {
                return usageError("option " + name + " takes no value");
            }
            (name == "--echo"        ? settings.echo
             : name == "--refuse"    ? settings.refuse
             : name == "--discovery" ? settings.discovery
                                     : settings.silent) = true;
            continue;
        }
        if (name != "--address" && name != "--port" && name != "--model" && name != "--record" &&
            name != "--close-after" && name != "--reply-delay" && name != "--udp-address" &&
            name != "--mac" && name != "--kind" && name != "--printers" && name != "--announce" &&
            name != "--discovery-delay") {
            return usageError("unknown option '" + std::string(argv[i]) + "'");
        }
        auto v = value();
        if (!v) {
            return usageError("option " + name + " needs a value");
        }
        const std::string text(*v);
        if (name == "--address") {
            in_addr probe{};
            if (::inet_pton(AF_INET, text.c_str(), &probe) != 1) {
                return usageError("--address: '" + text + "' is not an IPv4 address");
            }
            settings.options.address = text;
        } else if (name == "--port") {
            auto port = parseNumber<unsigned>(text, 65535);
            if (!port) {
                return usageError("--port: '" + text + "' is not a port number (0-65535)");
            }
            settings.options.port = static_cast<std::uint16_t>(*port);
        } else if (name == "--model") {
            if (text.empty()) {
                return usageError("--model: the model name is empty");
            }
            settings.options.model = text;
        } else if (name == "--record") {
            if (text.empty()) {
                return usageError("--record: the folder name is empty");
            }
            settings.options.recordDir = text;
        } else if (name == "--close-after") {
            auto n = parseNumber<size_t>(text, SIZE_MAX);
            if (!n || *n == 0) {
                return usageError("--close-after: '" + text + "' is not a positive byte count");
            }
            settings.closeAfter = *n;
        } else if (name == "--reply-delay") {
            auto ms = parseNumber<unsigned>(text, 3600000);
            if (!ms) {
                return usageError("--reply-delay: '" + text +
                                  "' is not a delay in milliseconds (0-3600000)");
            }
            settings.replyDelayMs = *ms;
        } else if (name == "--udp-address" || name == "--announce") {
            in_addr probe{};
            if (::inet_pton(AF_INET, text.c_str(), &probe) != 1) {
                return usageError(name + ": '" + text + "' is not an IPv4 address");
            }
            (name == "--udp-address" ? settings.udpAddress : settings.announce) = text;
        } else if (name == "--mac") {
            unsigned b[6];
            char tail = 0;
            if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3],
                            &b[4], &b[5], &tail) != 6) {
                return usageError("--mac: '" + text + "' is not a MAC address (XX:XX:XX:XX:XX:XX)");
            }
            for (int k = 0; k < 6; ++k) {
                settings.mac[size_t(k)] = static_cast<std::uint8_t>(b[k]);
            }
        } else if (name == "--kind") {
            if (text != "ethernet" && text != "wireless") {
                return usageError("--kind: '" + text + "' is neither ethernet nor wireless");
            }
            settings.kind = text == "ethernet" ? tarnel::printersim::PrinterKind::Ethernet
                                               : tarnel::printersim::PrinterKind::Wireless;
        } else if (name == "--printers") {
            auto n = parseNumber<unsigned>(text, 200);
            if (!n || *n == 0) {
                return usageError("--printers: '" + text + "' is not a count (1-200)");
            }
            settings.printers = *n;
        } else if (name == "--discovery-delay") {
            auto ms = parseNumber<unsigned>(text, 3600000);
            if (!ms) {
                return usageError("--discovery-delay: '" + text +
                                  "' is not a delay in milliseconds (0-3600000)");
            }
            settings.discoveryDelayMs = *ms;
        }
    }
    return -1;
}

std::mutex outputLock;

void printLine(const std::string& line) {
    std::lock_guard lock(outputLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string preview(const std::string& bytes) {
    constexpr size_t kShown = 16;
    std::string text;
    char hex[4];
    for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        std::snprintf(hex, sizeof hex, "%s%02x", i == 0 ? "" : " ",
                      static_cast<unsigned char>(bytes[i]));
        text += hex;
    }
    if (bytes.size() > kShown) {
        text += " ...";
    }
    return text;
}

void report(const Event& event) {
    const std::string id = "#" + std::to_string(event.connection);
    switch (event.kind) {
        case Event::Kind::Connected:
            printLine(id + " connected from " + event.peer);
            break;
        case Event::Kind::Received:
            printLine(id + " received " + std::to_string(event.bytes.size()) + " bytes (" +
                      std::to_string(event.total) + " in all): " + preview(event.bytes));
            break;
        case Event::Kind::Closed:
            printLine(id + " " + event.reason + " after " + std::to_string(event.total) +
                      " bytes received");
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (int code = parseArguments(argc, argv, settings); code >= 0) {
        return code;
    }

    // Blocked before the server thread exists, so it inherits the mask and only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    PrinterSimulator printer(settings.options);
    printer.setObserver(report);
    printer.setEcho(settings.echo);
    printer.setRefuseConnections(settings.refuse);
    printer.setCloseAfter(settings.closeAfter);
    printer.setReplyDelay(std::chrono::milliseconds(settings.replyDelayMs));

    std::string error;
    if (!printer.start(error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    std::unique_ptr<tarnel::printersim::UdpResponder> responder;
    if (settings.discovery) {
        tarnel::printersim::ResponderOptions udp;
        udp.address = settings.udpAddress.empty() ? settings.options.address : settings.udpAddress;
        responder = std::make_unique<tarnel::printersim::UdpResponder>(udp);
        in_addr announced{};
        ::inet_pton(
            AF_INET,
            (settings.announce.empty() ? settings.options.address : settings.announce).c_str(),
            &announced);
        std::array<std::uint8_t, 4> address;
        std::memcpy(address.data(), &announced, 4);
        for (unsigned i = 0; i < settings.printers; ++i) {
            tarnel::printersim::DiscoveryPrinter p;
            p.kind = settings.kind;
            p.mac = settings.mac;
            p.mac[5] = static_cast<std::uint8_t>(p.mac[5] + i);
            p.address = address;
            p.address[3] = static_cast<std::uint8_t>(p.address[3] + i);
            p.gateway = {address[0], address[1], address[2], 1};
            p.tcpPort = printer.port();
            p.replyDelay = std::chrono::milliseconds(settings.discoveryDelayMs);
            p.silent = settings.silent;
            responder->addPrinter(p);
        }
        if (!responder->start(error)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return 1;
        }
        printLine("answering discovery on " + udp.address + " as " +
                  std::to_string(settings.printers) + " printer(s)" +
                  (settings.silent ? ", silent" : ""));
    }
    printLine("listening on " + settings.options.address + ":" + std::to_string(printer.port()) +
              " as model " + settings.options.model + (settings.refuse ? ", refusing" : "") +
              (settings.echo ? ", echoing" : ""));

    int signal = 0;
    sigwait(&stopSignals, &signal);

    if (responder) {
        responder->stop();
    }
    printer.stop();
    printLine("stopped by " + std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") + ": " +
              std::to_string(printer.connectionCount()) + " connections, " +
              std::to_string(printer.received().size()) + " bytes received");
    if (std::string late = printer.lastError(); !late.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, late.c_str());
    }
    return 0;
}

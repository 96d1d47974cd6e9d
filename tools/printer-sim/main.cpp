// tarnel-printer-sim: runs the network printer simulator until SIGINT or SIGTERM and prints what
// happens on each connection, for demonstrations and for trying the driver by hand.
#include <arpa/inet.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/printer-sim/printer_sim.h"

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
    "  --refuse          refuse every connection\n";

struct Settings {
    Options options;
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
        if (name == "--echo" || name == "--refuse") {
            if (inlineValue) {
                return usageError("option " + name + " takes no value");
            }
            (name == "--echo" ? settings.echo : settings.refuse) = true;
            continue;
        }
        if (name != "--address" && name != "--port" && name != "--model" && name != "--record" &&
            name != "--close-after" && name != "--reply-delay") {
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
    printLine("listening on " + settings.options.address + ":" + std::to_string(printer.port()) +
              " as model " + settings.options.model + (settings.refuse ? ", refusing" : "") +
              (settings.echo ? ", echoing" : ""));

    int signal = 0;
    sigwait(&stopSignals, &signal);

    printer.stop();
    printLine("stopped by " + std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") + ": " +
              std::to_string(printer.connectionCount()) + " connections, " +
              std::to_string(printer.received().size()) + " bytes received");
    if (std::string late = printer.lastError(); !late.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, late.c_str());
    }
    return 0;
}

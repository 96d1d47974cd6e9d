// The printer simulator's discovery side: answers "FIND" with "IMIN" and "__[I_F]__[PRT_REG]"
// with "__[I_F]__[REG_RSP]", and takes "SETT" addressed to one of its printers by applying the
// settings and answering "SETC". One responder plays any number of printers; each can be made
// slow or silent. Replies go back to the requester's address and port.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarnel::printersim {

enum class PrinterKind { Ethernet = 1, Wireless = 2 };

struct DiscoveryPrinter {
    PrinterKind kind = PrinterKind::Ethernet;
    std::array<std::uint8_t, 6> mac{};
    std::array<std::uint8_t, 4> address{};
    std::array<std::uint8_t, 4> mask{255, 255, 255, 0};
    std::array<std::uint8_t, 4> gateway{};
    std::uint16_t tcpPort = 9100;
    std::uint8_t baudCode = 0xF4;  // 9600
    std::uint8_t firmwareMajor = 1;
    std::uint8_t firmwareMinor = 0;
    std::uint8_t dhcp = 0;  // 1 = on
    std::uint16_t inactivity = 0;
    bool extraByte = false;  // Ethernet: answer 31 bytes, the last one `extra`
    std::uint8_t extra = 0;
    bool extension = false;  // wireless: set flag bit 7 and append the 64-byte extension
    std::array<std::uint8_t, 64> extensionBytes{};
    std::array<std::uint8_t, 4> dhcpAddress{};  // what DHCP gives when "SETT" turns it on
    std::chrono::milliseconds replyDelay{0};
    bool silent = false;
};

// The datagrams a printer sends: "IMIN"/"SETC" (30 or 31 bytes) and the wireless replies (47 bytes,
// or 111 with the extension).
std::string EthernetReply(const DiscoveryPrinter& printer, const char* word);
std::string WirelessReply(const DiscoveryPrinter& printer, const char* word);

struct ResponderOptions {
    std::string address = "0.0.0.0";  // where the printers listen (any: broadcasts arrive too)
    std::uint16_t ethernetPort = 48781;
    std::uint16_t wirelessPort = 3337;
};

// A request the responder received.
struct DiscoveryRequest {
    std::string from;  // "a.b.c.d:port"
    std::string bytes;
};

class UdpResponder {
  public:
    explicit UdpResponder(ResponderOptions options = {});
    ~UdpResponder();  // stops
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    // Printers may be added before or after start(); the index names the printer below.
    size_t addPrinter(const DiscoveryPrinter& printer);
    // Opens both sockets (in the calling thread's network namespace) and serves on a thread.
    bool start(std::string& error);
    void stop();

    DiscoveryPrinter printer(size_t index) const;
    void setSilent(size_t index, bool silent);
    void setReplyDelay(size_t index, std::chrono::milliseconds delay);

    // Called on the responder's thread when "SETT" gave a printer a new address, before "SETC"
    // goes out: a test network moves the printer's interface address here, so that the answer
    // comes from the new address.
    using AddressChange = std::function<void(size_t index, const DiscoveryPrinter& before,
                                             const DiscoveryPrinter& after)>;
    void setAddressChange(AddressChange callback);

    std::vector<DiscoveryRequest> requests() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // Replies sent so far, over all printers.
    size_t repliesSent() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarnel::printersim

// The discovery responder: one thread polls the Ethernet and wireless sockets and a wake-up
// descriptor; replies wait in a queue ordered by the time they are due.
#include "tools/printer-sim/udp_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace tarnel::printersim {

namespace {

using Clock = std::chrono::steady_clock;

void PutSettings(std::string& out, const DiscoveryPrinter& p) {
    out.append(reinterpret_cast<const char*>(p.mac.data()), 6);
    out.append(reinterpret_cast<const char*>(p.address.data()), 4);
    out.append(reinterpret_cast<const char*>(p.mask.data()), 4);
    out.append(reinterpret_cast<const char*>(p.gateway.data()), 4);
    out.push_back(static_cast<char>(p.tcpPort >> 8));
    out.push_back(static_cast<char>(p.tcpPort & 0xFF));
    out.push_back(static_cast<char>(p.baudCode));
    out.push_back(static_cast<char>(p.firmwareMajor));
    out.push_back(static_cast<char>(p.firmwareMinor));
    out.push_back(static_cast<char>(p.dhcp));
    out.push_back(static_cast<char>(p.inactivity >> 8));
    out.push_back(static_cast<char>(p.inactivity & 0xFF));
}

std::string EndpointText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

int OpenSocket(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    // Several responders (printers) may share the port in one network; all get broadcasts.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0) {
        error = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool StartsWith(const std::string& bytes, const char* word) {
    return bytes.compare(0, std::strlen(word), word) == 0;
}

}  // namespace

std::string EthernetReply(const DiscoveryPrinter& printer, const char* word) {
    std::string out(word, 4);
    PutSettings(out, printer);
    if (printer.extraByte)
        out.push_back(static_cast<char>(printer.extra));
    return out;
}

std::string WirelessReply(const DiscoveryPrinter& printer, const char* word) {
    std::string out(word, 18);
    PutSettings(out, printer);
    out.push_back(static_cast<char>(printer.extra));
    out.push_back(static_cast<char>(printer.extension ? 0x80 : 0x00));  // offset 45: flags
    out.push_back(0);                                                   // offset 46
    if (printer.extension)
        out.append(reinterpret_cast<const char*>(printer.extensionBytes.data()), 64);
    return out;
}

struct UdpResponder::State {
    explicit State(ResponderOptions o) : options(std::move(o)) {}

    struct Reply {
        Clock::time_point due;
        int fd;
        sockaddr_in to;
        std::string bytes;
    };

    const ResponderOptions options;
    std::mutex lifecycle;  // start() and stop()

    mutable std::mutex mutex;  // everything below but `thread`
    mutable std::condition_variable changed;
    std::vector<DiscoveryPrinter> printers;
    std::vector<DiscoveryRequest> requests;
    std::vector<Reply> pending;
    size_t sent = 0;
    AddressChange addressChange;
    bool stopping = false;
    int ethernetFd = -1;
    int wirelessFd = -1;
    int wakeFd = -1;
    std::thread thread;

    void wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    void queue(int fd, const sockaddr_in& to, std::chrono::milliseconds delay, std::string bytes) {
        pending.push_back({Clock::now() + delay, fd, to, std::move(bytes)});
    }

    // One request (lock held). Address changes run without the lock.
    void handle(int fd, const sockaddr_in& from, const std::string& bytes,
                std::unique_lock<std::mutex>& lock) {
        requests.push_back({EndpointText(from), bytes});
        changed.notify_all();
        const bool ethernet = fd == ethernetFd;
        if (ethernet && bytes == "FIND") {
            for (auto& p : printers) {
                if (p.kind == PrinterKind::Ethernet && !p.silent)
                    queue(fd, from, p.replyDelay, EthernetReply(p, "IMIN"));
            }
        } else if (!ethernet && bytes == "__[I_F]__[PRT_REG]") {
            for (auto& p : printers) {
                if (p.kind == PrinterKind::Wireless && !p.silent)
                    queue(fd, from, p.replyDelay, WirelessReply(p, "__[I_F]__[REG_RSP]"));
            }
        } else if (ethernet && bytes.size() >= 30 && StartsWith(bytes, "SETT")) {
            const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
            for (size_t i = 0; i < printers.size(); ++i) {
                DiscoveryPrinter& p = printers[i];
                if (p.kind != PrinterKind::Ethernet || std::memcmp(p.mac.data(), b + 4, 6) != 0)
                    continue;
                const DiscoveryPrinter before = p;
                std::memcpy(p.address.data(), b + 10, 4);
                std::memcpy(p.mask.data(), b + 14, 4);
                std::memcpy(p.gateway.data(), b + 18, 4);
                p.tcpPort = static_cast<std::uint16_t>((b[22] << 8) | b[23]);
                p.baudCode = b[24];
                p.dhcp = b[27];
                p.inactivity = static_cast<std::uint16_t>((b[28] << 8) | b[29]);
                if (p.dhcp == 1) {
                    static const std::array<std::uint8_t, 4> none{};
                    p.address = p.dhcpAddress != none ? p.dhcpAddress : before.address;
                }
                const DiscoveryPrinter after = p;
                AddressChange callback = addressChange;
                if (callback && after.address != before.address) {
                    lock.unlock();
                    callback(i, before, after);
                    lock.lock();
                }
                if (!p.silent)
                    queue(fd, from, p.replyDelay, EthernetReply(after, "SETC"));
            }
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            // Send what is due.
            auto now = Clock::now();
            std::stable_sort(pending.begin(), pending.end(),
                             [](const Reply& a, const Reply& b) { return a.due < b.due; });
            while (!pending.empty() && pending.front().due <= now) {
                Reply r = std::move(pending.front());
                pending.erase(pending.begin());
                ::sendto(r.fd, r.bytes.data(), r.bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&r.to), sizeof r.to);
                ++sent;
                changed.notify_all();
            }
            int timeout = -1;
            if (!pending.empty()) {
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                    pending.front().due - now);
                timeout = static_cast<int>(std::max<long long>(0, wait.count()) + 1);
            }
            pollfd polls[3] = {
                {wakeFd, POLLIN, 0}, {ethernetFd, POLLIN, 0}, {wirelessFd, POLLIN, 0}};
            lock.unlock();
            ::poll(polls, 3, timeout);
            if (polls[0].revents & POLLIN) {
                std::uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
            }
            lock.lock();
            for (int k = 1; k < 3; ++k) {
                if (!(polls[k].revents & POLLIN))
                    continue;
                for (;;) {
                    char buffer[2048];
                    sockaddr_in from{};
                    socklen_t fromLength = sizeof from;
                    ssize_t n = ::recvfrom(polls[k].fd, buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
                    if (n < 0)
                        break;
                    handle(polls[k].fd, from, std::string(buffer, static_cast<size_t>(n)), lock);
                }
            }
        }
    }
};

UdpResponder::UdpResponder(ResponderOptions options)
    : state_(std::make_unique<State>(std::move(options))) {}

UdpResponder::~UdpResponder() {
    stop();
}

size_t UdpResponder::addPrinter(const DiscoveryPrinter& printer) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->printers.push_back(printer);
    return state_->printers.size() - 1;
}

bool UdpResponder::start(std::string& error) {
    State& s = *state_;
    std::lock_guard<std::mutex> life(s.lifecycle);
    if (s.thread.joinable()) {
        error = "already started";
        return false;
    }
    int ethernet = OpenSocket(s.options.address, s.options.ethernetPort, error);
    if (ethernet < 0)
        return false;
    int wireless = OpenSocket(s.options.address, s.options.wirelessPort, error);
    if (wireless < 0) {
        ::close(ethernet);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.ethernetFd = ethernet;
        s.wirelessFd = wireless;
        s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        s.stopping = false;
    }
    s.thread = std::thread([&s] { s.run(); });
    return true;
}

void UdpResponder::stop() {
    State& s = *state_;
    std::lock_guard<std::mutex> life(s.lifecycle);
    if (!s.thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        s.wake();
    }
    s.thread.join();
    std::lock_guard<std::mutex> lock(s.mutex);
    ::close(s.ethernetFd);
    ::close(s.wirelessFd);
    ::close(s.wakeFd);
    s.ethernetFd = s.wirelessFd = s.wakeFd = -1;
    s.pending.clear();
}

DiscoveryPrinter UdpResponder::printer(size_t index) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->printers.at(index);
}

void UdpResponder::setSilent(size_t index, bool silent) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->printers.at(index).silent = silent;
}

void UdpResponder::setReplyDelay(size_t index, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->printers.at(index).replyDelay = delay;
}

void UdpResponder::setAddressChange(AddressChange callback) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->addressChange = std::move(callback);
}

std::vector<DiscoveryRequest> UdpResponder::requests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->requests;
}

bool UdpResponder::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->requests.size() >= count; });
}

size_t UdpResponder::repliesSent() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->sent;
}

}  // namespace tarnel::printersim

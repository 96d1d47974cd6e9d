// BSD socket calls for the host Winsock, errno mapped to Windows Sockets codes.
#include "platform/host/win32/bsd_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/win32/winsock_codes.h"

namespace tarnel::host::bsd {

namespace {

// Windows' option numbers, as the personality receives them.
constexpr int kWindowsReuseAddress = 0x0004;
constexpr int kWindowsBroadcast = 0x0020;

// Windows' interface flags.
constexpr std::uint32_t kWinUp = 0x01, kWinBroadcast = 0x02, kWinLoopback = 0x04,
                        kWinPointToPoint = 0x08, kWinMulticast = 0x10;

int WsaError(int error) {
    switch (error) {
        case 0:
            return 0;
        case EAGAIN:
            return WSAEWOULDBLOCK;
        case EBADF:
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ECONNREFUSED:
            return WSAECONNRESET;  // a port-unreachable answer, as Windows reports it
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EINTR:
            return WSAEINTR;
        default:
            return WSAEINVAL;
    }
}

sockaddr_in Endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = port;
    endpoint.sin_addr.s_addr = address;
    return endpoint;
}

std::uint32_t AddressOf(const sockaddr* a) {
    return a && a->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr
                                        : 0;
}

}  // namespace

int OpenDatagram(int& fd) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return fd < 0 ? WsaError(errno) : 0;
}

void CloseFd(int fd) {
    if (fd >= 0)
        ::close(fd);
}

int SetBoolOption(int fd, int windowsOption, bool on) {
    int option = windowsOption == kWindowsBroadcast      ? SO_BROADCAST
                 : windowsOption == kWindowsReuseAddress ? SO_REUSEADDR
                                                         : -1;
    if (option < 0)
        return WSAENOPROTOOPT;
    int value = on ? 1 : 0;
    return ::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) == 0 ? 0 : WsaError(errno);
}

int SetReceiveTimeout(int fd, std::uint32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : WsaError(errno);
}

int SetNonBlocking(int fd, bool on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return WsaError(errno);
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : WsaError(errno);
}

int BindIPv4(int fd, std::uint32_t address, std::uint16_t port) {
    sockaddr_in endpoint = Endpoint(address, port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) == 0
               ? 0
               : WsaError(errno);
}

int SendToIPv4(int fd, const void* bytes, size_t length, std::uint32_t address, std::uint16_t port,
               size_t& sent) {
    sockaddr_in endpoint = Endpoint(address, port);
    ssize_t n = ::sendto(fd, bytes, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&endpoint),
                         sizeof endpoint);
    if (n < 0)
        return WsaError(errno);
    sent = static_cast<size_t>(n);
    return 0;
}

int ReceiveFrom(int fd, void* bytes, size_t length, std::uint32_t& address, std::uint16_t& port,
                size_t& received, bool& truncated) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC makes the result the datagram's real length.
    ssize_t n =
        ::recvfrom(fd, bytes, length, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0)
        return WsaError(errno);
    address = from.sin_addr.s_addr;
    port = from.sin_port;
    truncated = static_cast<size_t>(n) > length;
    received = truncated ? length : static_cast<size_t>(n);
    return 0;
}

int PendingBytes(int fd, std::uint32_t& bytes) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0)
        return WsaError(errno);
    bytes = static_cast<std::uint32_t>(n);
    return 0;
}

std::vector<InterfaceAddress> ListInterfaces() {
    std::vector<InterfaceAddress> list;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return list;
    std::vector<std::pair<unsigned, InterfaceAddress>> ordered;
    for (ifaddrs* a = all; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        InterfaceAddress entry;
        entry.name = a->ifa_name;
        unsigned flags = a->ifa_flags;
        entry.windowsFlags = ((flags & IFF_UP) ? kWinUp : 0) |
                             ((flags & IFF_BROADCAST) ? kWinBroadcast : 0) |
                             ((flags & IFF_LOOPBACK) ? kWinLoopback : 0) |
                             ((flags & IFF_POINTOPOINT) ? kWinPointToPoint : 0) |
                             ((flags & IFF_MULTICAST) ? kWinMulticast : 0);
        entry.address = AddressOf(a->ifa_addr);
        entry.mask = AddressOf(a->ifa_netmask);
        if (flags & IFF_BROADCAST)
            entry.broadcast = AddressOf(a->ifa_broadaddr);
        ordered.emplace_back(::if_nametoindex(a->ifa_name), entry);
    }
    ::freeifaddrs(all);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& [index, entry] : ordered)
        list.push_back(entry);
    return list;
}

int MakeWakeFd() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void Wake(int wakeFd) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void WaitReadable(int wakeFd, const std::vector<int>& fds, std::vector<bool>& ready) {
    std::vector<pollfd> polls(fds.size() + 1);
    polls[0] = {wakeFd, POLLIN, 0};
    for (size_t i = 0; i < fds.size(); ++i)
        polls[i + 1] = {fds[i], POLLIN, 0};
    ready.assign(fds.size(), false);
    while (::poll(polls.data(), polls.size(), -1) < 0 && errno == EINTR) {
    }
    if (polls[0].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
    }
    for (size_t i = 0; i < fds.size(); ++i)
        ready[i] = (polls[i + 1].revents & (POLLIN | POLLERR)) != 0;
}

}  // namespace tarnel::host::bsd

// The Linux side of the host Winsock: BSD socket calls with their errors already turned into
// Windows Sockets codes. Plain types only, so that winsock.cpp never sees Linux's socket headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnel::host::bsd {

// Every int result is 0 or a WSAE* code. Addresses and ports are in network byte order.
int OpenDatagram(int& fd);
void CloseFd(int fd);
int SetBoolOption(int fd, int windowsOption, bool on);  // SO_BROADCAST, SO_REUSEADDR
int SetReceiveTimeout(int fd, std::uint32_t milliseconds);
int SetNonBlocking(int fd, bool on);
int BindIPv4(int fd, std::uint32_t address, std::uint16_t port);
int SendToIPv4(int fd, const void* bytes, size_t length, std::uint32_t address, std::uint16_t port,
               size_t& sent);
// One datagram. `truncated` when it was longer than `length` (the rest is lost).
int ReceiveFrom(int fd, void* bytes, size_t length, std::uint32_t& address, std::uint16_t& port,
                size_t& received, bool& truncated);
int PendingBytes(int fd, std::uint32_t& bytes);

// The IPv4 addresses of the calling thread's network namespace, in interface-index order, with
// Windows' IFF_* flag values.
struct InterfaceAddress {
    std::string name;
    std::uint32_t windowsFlags = 0;
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
    std::uint32_t broadcast = 0;
};
std::vector<InterfaceAddress> ListInterfaces();

// A wake-up descriptor and a wait for readable sockets (the event-select monitor's only call).
int MakeWakeFd();
void Wake(int wakeFd);
// Blocks until the wake descriptor or one of `fds` is readable; `ready[i]` tells which socket.
void WaitReadable(int wakeFd, const std::vector<int>& fds, std::vector<bool>& ready);

}  // namespace tarnel::host::bsd

// A plain TCP client on 127.0.0.1 for the printer simulator's tests: blocking connect, sends and
// reads with deadlines, and a wait for the server's close.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnel::printersim::test {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kWait = 10s;  // generous: waits end on the condition

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class LoopbackClient {
  public:
    enum class End { Eof, Reset, Data, Timeout };

    explicit LoopbackClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        // Every write goes out at once, so a write split in the test is split on the wire.
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address = loopback(port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error_ = errno;
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int error() const { return error_; }  // errno of a failed connect
    int fd() const { return fd_; }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool sendAll(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

    // Reads until `count` bytes have come, the connection ends or the time is up; returns what
    // came.
    std::string read(size_t count, std::chrono::milliseconds timeout = kWait) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (bytes.size() < count) {
            if (!waitReadable(deadline)) {
                break;
            }
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (n <= 0) {
                break;
            }
            bytes.append(buffer, static_cast<size_t>(n));
        }
        return bytes;
    }

    // What the next read shows: the server's orderly close, a reset, bytes, or nothing in time.
    End waitForEnd(std::chrono::milliseconds timeout = kWait) {
        if (!waitReadable(std::chrono::steady_clock::now() + timeout)) {
            return End::Timeout;
        }
        char byte;
        ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n == 0) {
            return End::Eof;
        }
        return n > 0 ? End::Data : End::Reset;
    }

  private:
    bool waitReadable(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() < 0) {
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready > 0) {
                return true;
            }
            if (ready == 0 || errno != EINTR) {
                return false;
            }
        }
    }

    int fd_ = -1;
    int error_ = 0;
};

}  // namespace tarnel::printersim::test

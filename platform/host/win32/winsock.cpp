// Windows Sockets on BSD sockets. Sockets live in a table of their own (values are multiples of 4,
// not reused until the counter wraps); a call holds a reference, so closesocket racing with a
// receive never lets the descriptor be reused under it. One monitor thread per Winsock session
// watches the sockets with FD_READ selected and records the event the way Windows does: once, then
// again only after a receive call finds data still waiting (level-triggered re-enabling).
//
// Network fence: sendto reaches only loopback and the subnets of the interfaces the machine's
// settings make visible, so a program on a host machine cannot reach a real network by accident.
#include "platform/host/win32/winsock.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/bsd_sockets.h"
#include "platform/host/win32/handles.h"
#include "platform/host/win32/sync_object.h"

namespace tarnel::host {

namespace {

struct HostSocket {
    explicit HostSocket(int descriptor) : fd(descriptor) {}
    ~HostSocket() { bsd::CloseFd(fd); }
    HostSocket(const HostSocket&) = delete;
    HostSocket& operator=(const HostSocket&) = delete;

    const int fd;
    // Guards the members below; taken after the Winsock lock, before the wait lock (SetEvent).
    std::mutex mutex;
    LONG selected = 0;
    HANDLE event = nullptr;
    LONG recorded = 0;
    bool readEnabled = true;
    bool closed = false;
};

struct Monitor {
    int wakeFd = -1;
    bool stop = false;  // under the Winsock lock
    std::thread thread;
};

struct Winsock {
    std::mutex mutex;
    int startups = 0;
    std::map<SOCKET, std::shared_ptr<HostSocket>> sockets;
    SOCKET next = 0x100;
    std::shared_ptr<Monitor> monitor;
};

Winsock& State() {
    static Winsock* state = new Winsock;  // never destroyed: sockets may close during exit
    return *state;
}

int Fail(int error) {
    SetLastError(static_cast<DWORD>(error));
    return SOCKET_ERROR;
}

bool Started() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().startups > 0;
}

// The socket behind a value; null with WSANOTINITIALISED or WSAENOTSOCK.
std::shared_ptr<HostSocket> Lookup(SOCKET s) {
    Winsock& w = State();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.startups == 0) {
        SetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    auto it = w.sockets.find(s);
    if (it == w.sockets.end()) {
        SetLastError(WSAENOTSOCK);
        return nullptr;
    }
    return it->second;
}

void RunMonitor(std::shared_ptr<Monitor> monitor) {
    Winsock& w = State();
    for (;;) {
        std::vector<std::shared_ptr<HostSocket>> watched;
        std::vector<int> fds;
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            if (monitor->stop)
                return;
            for (auto& [value, socket] : w.sockets) {
                std::lock_guard<std::mutex> guard(socket->mutex);
                if ((socket->selected & FD_READ) && socket->event && socket->readEnabled) {
                    watched.push_back(socket);
                    fds.push_back(socket->fd);
                }
            }
        }
        std::vector<bool> ready;
        bsd::WaitReadable(monitor->wakeFd, fds, ready);
        for (size_t i = 0; i < watched.size(); ++i) {
            if (!ready[i])
                continue;
            HostSocket& socket = *watched[i];
            std::lock_guard<std::mutex> guard(socket.mutex);
            if (socket.closed || !(socket.selected & FD_READ) || !socket.readEnabled)
                continue;
            socket.recorded |= FD_READ;
            socket.readEnabled = false;
            SetEvent(socket.event);
        }
    }
}

// Starts the session's monitor when it is not running (Winsock lock held).
void EnsureMonitorLocked(Winsock& w) {
    if (w.monitor)
        return;
    auto monitor = std::make_shared<Monitor>();
    monitor->wakeFd = bsd::MakeWakeFd();
    monitor->thread = std::thread(RunMonitor, monitor);
    w.monitor = monitor;
}

void WakeMonitor() {
    Winsock& w = State();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.monitor)
        bsd::Wake(w.monitor->wakeFd);
}

// A receive call re-enables FD_READ; the monitor records it again if data remains.
void ReenableRead(HostSocket& socket) {
    {
        std::lock_guard<std::mutex> guard(socket.mutex);
        if (socket.readEnabled)
            return;
        socket.readEnabled = true;
    }
    WakeMonitor();
}

bool InSubnet(ULONG destination, const bsd::InterfaceAddress& i) {
    return i.address != 0 && ((destination & i.mask) == (i.address & i.mask) ||
                              (i.broadcast != 0 && destination == i.broadcast));
}

// The machine's visible interfaces of the calling thread's network namespace.
std::vector<bsd::InterfaceAddress> VisibleInterfaces() {
    std::vector<std::string> names = Machine::current().config().interfaces;
    std::vector<bsd::InterfaceAddress> visible;
    for (auto& i : bsd::ListInterfaces()) {
        for (auto& name : names) {
            if (name == i.name) {
                visible.push_back(i);
                break;
            }
        }
    }
    return visible;
}

bool Reachable(ULONG destination) {
    if ((ntohl(destination) >> 24) == 127)
        return true;
    for (auto& i : VisibleInterfaces()) {
        if (InSubnet(destination, i))
            return true;
    }
    return false;
}

}  // namespace

}  // namespace tarnel::host

using namespace tarnel::host;

int WSAStartup(WORD version, LPWSADATA data) {
    if (!data)
        return WSAEFAULT;
    BYTE major = LOBYTE(version), minor = HIBYTE(version);
    if (major == 0)
        return WSAVERNOTSUPPORTED;
    std::memset(data, 0, sizeof *data);
    data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? MAKEWORD(2, 2) : version;
    data->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");
    Winsock& w = State();
    std::lock_guard<std::mutex> lock(w.mutex);
    ++w.startups;
    return 0;
}

int WSACleanup() {
    Winsock& w = State();
    std::shared_ptr<Monitor> ending;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.startups == 0)
            return Fail(WSANOTINITIALISED);
        if (--w.startups == 0 && w.monitor) {
            ending = std::move(w.monitor);
            ending->stop = true;
            bsd::Wake(ending->wakeFd);
        }
    }
    if (ending) {
        ending->thread.join();
        bsd::CloseFd(ending->wakeFd);
    }
    return 0;
}

int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

void WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    if (af != AF_INET) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_DGRAM) {
        Fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (protocol != 0 && protocol != IPPROTO_UDP) {
        Fail(WSAEPROTONOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = -1;
    if (int error = bsd::OpenDatagram(fd)) {
        Fail(error);
        return INVALID_SOCKET;
    }
    auto object = std::make_shared<HostSocket>(fd);
    Winsock& w = State();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (;;) {
        SOCKET value = w.next;
        w.next = w.next >= 0x00FFFFFC ? 0x100 : w.next + 4;
        if (!w.sockets.count(value)) {
            w.sockets.emplace(value, std::move(object));
            SetLastError(0);
            return value;
        }
    }
}

int closesocket(SOCKET s) {
    Winsock& w = State();
    std::shared_ptr<HostSocket> object;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.startups == 0)
            return Fail(WSANOTINITIALISED);
        auto it = w.sockets.find(s);
        if (it == w.sockets.end())
            return Fail(WSAENOTSOCK);
        object = std::move(it->second);
        w.sockets.erase(it);
        if (w.monitor)
            bsd::Wake(w.monitor->wakeFd);
    }
    std::lock_guard<std::mutex> guard(object->mutex);
    object->closed = true;
    object->selected = 0;
    object->event = nullptr;
    return 0;  // the descriptor closes with the last reference
}

int setsockopt(SOCKET s, int level, int name, const char* value, int length) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (level != SOL_SOCKET)
        return Fail(WSAENOPROTOOPT);
    if (!value)
        return Fail(WSAEFAULT);
    int error = 0;
    if (name == SO_BROADCAST || name == SO_REUSEADDR) {
        if (length < 1)
            return Fail(WSAEFAULT);
        // Windows reads a BOOL; a single byte is accepted too.
        bool on = false;
        if (length >= int(sizeof(BOOL))) {
            BOOL v;
            std::memcpy(&v, value, sizeof v);
            on = v != 0;
        } else {
            on = value[0] != 0;
        }
        error = bsd::SetBoolOption(object->fd, name, on);
    } else if (name == SO_RCVTIMEO) {
        if (length < int(sizeof(DWORD)))
            return Fail(WSAEFAULT);
        DWORD ms;
        std::memcpy(&ms, value, sizeof ms);
        error = bsd::SetReceiveTimeout(object->fd, ms);
    } else {
        error = WSAENOPROTOOPT;
    }
    return error ? Fail(error) : 0;
}

int bind(SOCKET s, const sockaddr* name, int length) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (!name || length < int(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    sockaddr_in endpoint;
    std::memcpy(&endpoint, name, sizeof endpoint);
    if (endpoint.sin_family != AF_INET)
        return Fail(WSAEAFNOSUPPORT);
    int error = bsd::BindIPv4(object->fd, endpoint.sin_addr.s_addr, endpoint.sin_port);
    return error ? Fail(error) : 0;
}

int sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to, int toLength) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (flags != 0)
        return Fail(WSAEOPNOTSUPP);
    if (length < 0 || (!buffer && length > 0))
        return Fail(WSAEFAULT);
    if (!to)
        return Fail(WSAEDESTADDRREQ);
    if (toLength < int(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    sockaddr_in endpoint;
    std::memcpy(&endpoint, to, sizeof endpoint);
    if (endpoint.sin_family != AF_INET)
        return Fail(WSAEAFNOSUPPORT);
    if (!Reachable(endpoint.sin_addr.s_addr))
        return Fail(WSAENETUNREACH);
    size_t sent = 0;
    int error = bsd::SendToIPv4(object->fd, buffer, size_t(length), endpoint.sin_addr.s_addr,
                                endpoint.sin_port, sent);
    return error ? Fail(error) : static_cast<int>(sent);
}

int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (flags != 0)
        return Fail(WSAEOPNOTSUPP);
    if (length < 0 || (!buffer && length > 0) || (from && (!fromLength || *fromLength < 16)))
        return Fail(WSAEFAULT);
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    size_t received = 0;
    bool truncated = false;
    int error =
        bsd::ReceiveFrom(object->fd, buffer, size_t(length), address, port, received, truncated);
    ReenableRead(*object);
    if (error)
        return Fail(error);
    if (from) {
        sockaddr_in endpoint{};
        endpoint.sin_family = AF_INET;
        endpoint.sin_port = port;
        endpoint.sin_addr.s_addr = address;
        std::memcpy(from, &endpoint, sizeof endpoint);
        *fromLength = sizeof endpoint;
    }
    if (truncated)
        return Fail(WSAEMSGSIZE);
    return static_cast<int>(received);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    return recvfrom(s, buffer, length, flags, nullptr, nullptr);
}

int ioctlsocket(SOCKET s, LONG command, ULONG* argument) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (!argument)
        return Fail(WSAEFAULT);
    int error = 0;
    if (command == FIONBIO) {
        {
            // Windows refuses blocking mode while events are selected.
            std::lock_guard<std::mutex> guard(object->mutex);
            if (*argument == 0 && object->selected != 0)
                return Fail(WSAEINVAL);
        }
        error = bsd::SetNonBlocking(object->fd, *argument != 0);
    } else if (command == FIONREAD) {
        std::uint32_t bytes = 0;
        error = bsd::PendingBytes(object->fd, bytes);
        if (!error)
            *argument = bytes;
    } else {
        error = WSAEINVAL;
    }
    return error ? Fail(error) : 0;
}

int WSAIoctl(SOCKET s, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned,
             LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (overlapped || routine)
        return Fail(WSAEOPNOTSUPP);
    if (code != SIO_GET_INTERFACE_LIST)
        return Fail(WSAEINVAL);
    if (!returned)
        return Fail(WSAEFAULT);
    std::vector<bsd::InterfaceAddress> visible = VisibleInterfaces();
    DWORD needed = static_cast<DWORD>(visible.size() * sizeof(INTERFACE_INFO));
    if (!out || outSize < needed)
        return Fail(WSAEFAULT);
    auto* entries = static_cast<INTERFACE_INFO*>(out);
    for (size_t i = 0; i < visible.size(); ++i) {
        INTERFACE_INFO info{};
        info.iiFlags = visible[i].windowsFlags;
        auto fill = [](sockaddr_gen& field, ULONG address) {
            field.AddressIn.sin_family = AF_INET;
            field.AddressIn.sin_addr.s_addr = address;
        };
        fill(info.iiAddress, visible[i].address);
        fill(info.iiBroadcastAddress, visible[i].broadcast);
        fill(info.iiNetmask, visible[i].mask);
        std::memcpy(&entries[i], &info, sizeof info);
    }
    *returned = needed;
    return 0;
}

WSAEVENT WSACreateEvent() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

BOOL WSACloseEvent(WSAEVENT event) {
    return HandleTable::instance().close(event, &WaitableEvent::kKind) ? TRUE : FALSE;
}

BOOL WSASetEvent(WSAEVENT event) {
    return SetEvent(event);
}

BOOL WSAResetEvent(WSAEVENT event) {
    return ResetEvent(event);
}

int WSAEventSelect(SOCKET s, WSAEVENT event, LONG events) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (events != 0 && !HandleTable::instance().lookup<WaitableEvent>(event))
        return Fail(WSA_INVALID_HANDLE);
    if (events != 0) {
        if (int error = bsd::SetNonBlocking(object->fd, true))
            return Fail(error);
    }
    {
        std::lock_guard<std::mutex> guard(object->mutex);
        object->selected = events;
        object->event = events != 0 ? event : nullptr;
        object->recorded = 0;
        object->readEnabled = true;
    }
    Winsock& w = State();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (events & FD_READ)
        EnsureMonitorLocked(w);
    if (w.monitor)
        bsd::Wake(w.monitor->wakeFd);
    return 0;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD timeout,
                               BOOL) {
    // Invalid handles fail with ERROR_INVALID_HANDLE, which is WSA_INVALID_HANDLE.
    return WaitForMultipleObjects(count, events, waitAll, timeout);
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents) {
    auto object = Lookup(s);
    if (!object)
        return SOCKET_ERROR;
    if (!networkEvents)
        return Fail(WSAEFAULT);
    if (event && !HandleTable::instance().lookup<WaitableEvent>(event))
        return Fail(WSA_INVALID_HANDLE);
    std::lock_guard<std::mutex> guard(object->mutex);
    std::memset(networkEvents, 0, sizeof *networkEvents);
    networkEvents->lNetworkEvents = object->recorded;
    object->recorded = 0;
    if (event)
        ResetEvent(event);
    return 0;
}

u_short htons(u_short value) {
    return static_cast<u_short>((value << 8) | (value >> 8));
}

u_short ntohs(u_short value) {
    return htons(value);
}

ULONG htonl(ULONG value) {
    return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) |
           (value >> 24);
}

ULONG ntohl(ULONG value) {
    return htonl(value);
}

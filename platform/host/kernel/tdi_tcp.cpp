// "\Device\Tcp": the host kernel's TCP transport, speaking TDI to drivers over non-blocking BSD
// sockets and one transport thread. Connection requests run on the caller's thread; connects and
// sends that must wait, received data and disconnects are served by the transport thread, which
// calls the drivers' event handlers at DISPATCH_LEVEL and never while holding its own lock.
//
// Received bytes go first to a waiting TDI_RECEIVE, else to the receive handler. Bytes a handler
// does not take stay here, in order, and are offered again only when more bytes arrive on that
// connection; a TDI_RECEIVE takes them at any time. Flow control: while kHoldLimit bytes wait,
// the socket is not read, so the peer's sends back up into its TCP window.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <thread>
#include <vector>

#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/kernel/verifier.h"

using namespace tarnel::host::kernel;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReceiveChunk = 64 * 1024;
constexpr size_t kHoldLimit = 256 * 1024;

enum class Kind { Control, Address, Connection };

struct TdiObject {
    explicit TdiObject(Kind k) : kind(k) {}
    virtual ~TdiObject() = default;
    const Kind kind;
};

struct Address : TdiObject {
    Address() : TdiObject(Kind::Address) {}
    in_addr_t localAddress = 0;  // network order
    in_port_t localPort = 0;     // network order
    // Guarded by g_mutex.
    PTDI_IND_RECEIVE receive = nullptr;
    PVOID receiveContext = nullptr;
    PTDI_IND_DISCONNECT disconnect = nullptr;
    PVOID disconnectContext = nullptr;
};

enum class State { Idle, Connecting, Connected, Closed };

// Guarded by g_mutex except `pending`, which only the transport thread touches.
struct Connection : TdiObject {
    Connection() : TdiObject(Kind::Connection) {}
    CONNECTION_CONTEXT context = nullptr;
    PFILE_OBJECT addressFile = nullptr;  // referenced while associated
    Address* address = nullptr;
    int fd = -1;
    State state = State::Idle;
    PIRP connectIrp = nullptr;
    Clock::time_point connectDeadline{};
    std::deque<PIRP> sends;  // the head may be partly sent
    size_t headSent = 0;
    PIRP disconnectIrp = nullptr;  // a graceful disconnect waiting for the sends ahead of it
    bool finSent = false;
    bool peerClosed = false;  // end of stream read; indicated once `pending` is empty
    bool peerReset = false;
    bool disconnectIndicated = false;
    bool indicating = false;     // a handler of this connection runs on the transport thread
    std::vector<UCHAR> pending;  // received, not yet taken by the handler or a receive request
    bool offerDue = false;       // bytes arrived since the handler last left some
    std::deque<PIRP> receives;   // TDI_RECEIVE requests waiting for bytes
    uint32_t watched = 0;        // the epoll events registered for fd
    bool registered = false;     // fd is in the epoll set
};

std::mutex g_mutex;
std::condition_variable g_indicationDone;  // with g_mutex: some `indicating` went false
// Every connection object, by address: the transport thread finds an event's connection (which
// may have closed since) without a search.
std::unordered_map<Connection*, std::shared_ptr<Connection>>& Connections() {
    static auto* connections = new std::unordered_map<Connection*, std::shared_ptr<Connection>>;
    return *connections;
}
// Connections the transport thread must look at without a socket event (handlers set, bytes
// for a new handler), and those whose connect has a deadline. Guarded by g_mutex.
std::vector<std::shared_ptr<Connection>>& Attention() {
    static auto* attention = new std::vector<std::shared_ptr<Connection>>;
    return *attention;
}
std::unordered_map<Connection*, std::shared_ptr<Connection>>& Connecting() {
    static auto* connecting = new std::unordered_map<Connection*, std::shared_ptr<Connection>>;
    return *connecting;
}
int g_epoll = -1;
int g_wake = -1;
PDEVICE_OBJECT g_device = nullptr;

void Wake() {
    uint64_t one = 1;
    if (write(g_wake, &one, sizeof one) < 0) {
        // The counter only saturates; the thread is awake then anyway.
    }
}

NTSTATUS StatusFromErrno(int error) {
    switch (error) {
        case ECONNREFUSED:
            return STATUS_CONNECTION_REFUSED;
        case ENETUNREACH:
            return STATUS_NETWORK_UNREACHABLE;
        case EHOSTUNREACH:
            return STATUS_HOST_UNREACHABLE;
        case ETIMEDOUT:
            return STATUS_IO_TIMEOUT;
        case ECONNRESET:
        case EPIPE:
            return STATUS_CONNECTION_RESET;
        case EADDRINUSE:
            return STATUS_ADDRESS_ALREADY_EXISTS;
        case EADDRNOTAVAIL:
            return STATUS_INVALID_ADDRESS;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

TdiObject* ObjectOf(PIO_STACK_LOCATION stack) {
    return stack->FileObject ? static_cast<TdiObject*>(stack->FileObject->FsContext) : nullptr;
}

std::shared_ptr<Connection> Shared(Connection* c) {
    auto it = Connections().find(c);
    return it == Connections().end() ? nullptr : it->second;
}

// The connection a queued request waits on, kept in the request for its cancel routine.
void RememberConnection(PIRP irp, Connection* c) {
    irp->Tail.Overlay.DriverContext[0] = c;
}
Connection* ConnectionOf(PIRP irp) {
    return static_cast<Connection*>(irp->Tail.Overlay.DriverContext[0]);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Requests to complete once g_mutex is released.
struct Completion {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
};

// Takes a waiting request back from its cancel routine; false when a cancel already has it.
bool Claim(PIRP irp) {
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

void CloseSocketLocked(Connection* c, bool abortive) {
    if (c->fd < 0)
        return;
    if (abortive) {
        linger l{1, 0};
        setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    epoll_ctl(g_epoll, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    c->fd = -1;
    c->registered = false;
    c->watched = 0;
}

void WatchLocked(Connection* c) {
    if (c->fd < 0)
        return;
    epoll_event ev{};
    // Read only while nothing waits for the handler: that is the flow control.
    if (c->state == State::Connected && c->pending.size() < kHoldLimit && !c->peerClosed &&
        !c->peerReset)
        ev.events |= EPOLLIN;
    if (c->state == State::Connecting || !c->sends.empty())
        ev.events |= EPOLLOUT;
    // Asked only when the set changes: a send that completes at once costs no system call here.
    if (c->registered && ev.events == c->watched)
        return;
    ev.data.ptr = c;
    epoll_ctl(g_epoll, c->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c->fd, &ev);
    c->registered = true;
    c->watched = ev.events;
}

// Fails every queued send and a waiting disconnect, e.g. when the connection broke.
void FailQueuedLocked(Connection* c, NTSTATUS status, std::vector<Completion>& out) {
    bool first = true;
    for (PIRP irp : c->sends) {
        if (Claim(irp))
            out.push_back({irp, status, first ? c->headSent : 0});
        first = false;
    }
    c->sends.clear();
    c->headSent = 0;
    if (c->disconnectIrp && Claim(c->disconnectIrp))
        out.push_back({c->disconnectIrp, status, 0});
    c->disconnectIrp = nullptr;
    for (PIRP irp : c->receives)
        if (Claim(irp))
            out.push_back({irp, status, 0});
    c->receives.clear();
}

// Gives waiting bytes to waiting receive requests, oldest first; once the stream has ended and
// nothing waits any more, the requests left fail. Never while a handler runs for `c`.
void ServeReceivesLocked(Connection* c, std::vector<Completion>& out) {
    while (!c->receives.empty() && !c->pending.empty() && !c->indicating) {
        PIRP irp = c->receives.front();
        c->receives.pop_front();
        if (!Claim(irp))
            continue;  // its cancel routine completes it
        auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(
            &IoGetCurrentIrpStackLocation(irp)->Parameters);
        auto* data =
            static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        size_t n = std::min<size_t>(p->ReceiveLength, c->pending.size());
        std::memcpy(data, c->pending.data(), n);
        c->pending.erase(c->pending.begin(), c->pending.begin() + static_cast<ptrdiff_t>(n));
        out.push_back({irp, STATUS_SUCCESS, n});
    }
    if (c->pending.empty() && (c->peerClosed || c->peerReset || c->state != State::Connected)) {
        for (PIRP irp : c->receives)
            if (Claim(irp))
                out.push_back({irp, STATUS_CONNECTION_DISCONNECTED, 0});
        c->receives.clear();
    }
}

void RunCompletions(std::vector<Completion>& completions) {
    for (auto& c : completions)
        Complete(c.irp, c.status, c.information);
    completions.clear();
}

// ---- cancel routines ----

void CancelConnect(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto c = Shared(ConnectionOf(irp));
        if (c && c->connectIrp == irp) {
            c->connectIrp = nullptr;
            Connecting().erase(c.get());
            CloseSocketLocked(c.get(), true);
            c->state = State::Idle;
        }
    }
    Complete(irp, STATUS_CANCELLED);
}

void CancelSendOrDisconnect(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ULONG_PTR sent = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (auto c = Shared(ConnectionOf(irp))) {
            for (auto it = c->sends.begin(); it != c->sends.end(); ++it) {
                if (*it != irp)
                    continue;
                if (it == c->sends.begin()) {
                    sent = c->headSent;
                    // Part of it is on the wire: the stream cannot go on.
                    if (c->headSent) {
                        CloseSocketLocked(c.get(), true);
                        c->state = State::Closed;
                    }
                    c->headSent = 0;
                }
                c->sends.erase(it);
                break;
            }
            if (c->disconnectIrp == irp)
                c->disconnectIrp = nullptr;
            std::erase(c->receives, irp);
            WatchLocked(c.get());
        }
    }
    Complete(irp, STATUS_CANCELLED, sent);
}

// ---- transport thread ----

// Writes what it can of the queued sends; completes those fully written.
void PumpSendsLocked(Connection* c, std::vector<Completion>& out) {
    while (!c->sends.empty() && c->fd >= 0) {
        PIRP irp = c->sends.front();
        auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(
            &IoGetCurrentIrpStackLocation(irp)->Parameters);
        auto* data = static_cast<const UCHAR*>(
            MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        while (c->headSent < p->SendLength) {
            ssize_t n = send(c->fd, data + c->headSent, p->SendLength - c->headSent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                c->peerReset = true;
                FailQueuedLocked(c, StatusFromErrno(errno), out);
                return;
            }
            c->headSent += static_cast<size_t>(n);
        }
        c->sends.pop_front();
        size_t sent = c->headSent;
        c->headSent = 0;
        if (Claim(irp))
            out.push_back({irp, STATUS_SUCCESS, sent});
    }
    if (c->sends.empty() && c->disconnectIrp && c->fd >= 0) {
        shutdown(c->fd, SHUT_WR);
        c->finSent = true;
        if (Claim(c->disconnectIrp))
            out.push_back({c->disconnectIrp, STATUS_SUCCESS, 0});
        c->disconnectIrp = nullptr;
    }
}

void FinishConnectLocked(Connection* c, std::vector<Completion>& out, NTSTATUS status) {
    PIRP irp = c->connectIrp;
    c->connectIrp = nullptr;
    Connecting().erase(c);
    if (NT_SUCCESS(status)) {
        c->state = State::Connected;
    } else {
        CloseSocketLocked(c, true);
        c->state = State::Idle;
    }
    if (irp && Claim(irp))
        out.push_back({irp, status, 0});
}

void ServeEvent(Connection* c, uint32_t events, std::vector<Completion>& out) {
    if (c->state == State::Connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error == 0 && (events & EPOLLOUT))
            FinishConnectLocked(c, out, STATUS_SUCCESS);
        else if (error != 0)
            FinishConnectLocked(c, out, StatusFromErrno(error));
        return;
    }
    if (c->state != State::Connected)
        return;
    if (events & EPOLLOUT)
        PumpSendsLocked(c, out);
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && c->pending.size() < kHoldLimit &&
        !c->peerClosed && !c->peerReset && c->fd >= 0) {
        const size_t held = c->pending.size();
        const size_t room = std::min(kReceiveChunk, kHoldLimit - held);
        c->pending.resize(held + room);
        ssize_t n = recv(c->fd, c->pending.data() + held, room, 0);
        if (n > 0) {
            c->pending.resize(held + static_cast<size_t>(n));
            c->offerDue = true;
        } else {
            c->pending.resize(held);
            if (n == 0) {
                c->peerClosed = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                c->peerReset = true;
                FailQueuedLocked(c, StatusFromErrno(errno), out);
            }
        }
    }
}

// Offers waiting bytes to the receive handler, then a due disconnect. Runs without g_mutex.
void Indicate(const std::shared_ptr<Connection>& c) {
    PTDI_IND_RECEIVE receive;
    PVOID receiveContext;
    PTDI_IND_DISCONNECT disconnect;
    PVOID disconnectContext;
    CONNECTION_CONTEXT context;
    bool offer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!c->address || c->state != State::Connected) {
            c->pending.clear();  // bytes of a connection that is gone
            return;
        }
        // Bytes a handler left are offered again only together with new ones.
        offer = c->offerDue && !c->pending.empty() && c->receives.empty();
        const bool disconnectDue =
            c->pending.empty() && (c->peerClosed || c->peerReset) && !c->disconnectIndicated;
        if (!offer && !disconnectDue)
            return;
        c->offerDue = false;
        receive = c->address->receive;
        receiveContext = c->address->receiveContext;
        disconnect = c->address->disconnect;
        disconnectContext = c->address->disconnectContext;
        context = c->context;
        // Until this is cleared, closing the connection or its address waits: a handler must not
        // run into a client that has gone.
        c->indicating = true;
    }
    auto finished = [&] {
        c->indicating = false;
        g_indicationDone.notify_all();
    };
    ULONG taken = 0;
    if (offer && receive) {
        ULONG indicated = static_cast<ULONG>(c->pending.size());
        PIRP request = nullptr;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        receive(receiveContext, context, TDI_RECEIVE_NORMAL | TDI_RECEIVE_ENTIRE_MESSAGE, indicated,
                indicated, &taken, c->pending.data(), &request);
        KeLowerIrql(old);
        if (taken > indicated)
            BugCheck("TDI_RECEIVE_OVERRUN", "receive handler took %u of %u bytes indicated", taken,
                     indicated);
        if (request)
            BugCheck("TDI_RECEIVE_REQUEST",
                     "the host transport does not take receive requests from handlers; post a "
                     "TDI_RECEIVE instead");
    }
    bool indicateDisconnect = false;
    ULONG flags = 0;
    std::vector<Completion> completions;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        c->pending.erase(c->pending.begin(), c->pending.begin() + taken);
        if (c->pending.empty() && (c->peerClosed || c->peerReset) && !c->disconnectIndicated) {
            c->disconnectIndicated = true;
            indicateDisconnect = disconnect != nullptr;
            flags = c->peerReset ? TDI_DISCONNECT_ABORT : TDI_DISCONNECT_RELEASE;
        }
        if (!indicateDisconnect) {
            finished();
            // Receive requests that came while the handler ran are served now.
            ServeReceivesLocked(c.get(), completions);
        }
        WatchLocked(c.get());
    }
    RunCompletions(completions);
    if (indicateDisconnect) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        disconnect(disconnectContext, context, 0, nullptr, 0, nullptr, flags);
        KeLowerIrql(old);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            finished();
            ServeReceivesLocked(c.get(), completions);
        }
        RunCompletions(completions);
    }
}

// Serves socket events, connect deadlines and connections marked for attention; each pass looks
// only at connections with something to do.
void TransportThread() {
    std::vector<epoll_event> events(64);
    std::vector<Completion> completions;
    std::vector<std::shared_ptr<Connection>> work;
    std::vector<std::shared_ptr<Connection>> touched;
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            const auto now = Clock::now();
            for (auto& [raw, c] : Connecting()) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(c->connectDeadline - now)
                        .count();
                const int wait =
                    left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 100000)) + 1;
                if (timeout < 0 || wait < timeout)
                    timeout = wait;
            }
        }
        int n = epoll_wait(g_epoll, events.data(), static_cast<int>(events.size()), timeout);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            for (int i = 0; i < n; ++i) {
                if (events[i].data.ptr == nullptr) {
                    uint64_t count;
                    if (read(g_wake, &count, sizeof count) < 0) {
                        // Nothing to drain.
                    }
                    continue;
                }
                auto shared = Shared(static_cast<Connection*>(events[i].data.ptr));
                if (!shared || shared->fd < 0)
                    continue;
                ServeEvent(shared.get(), events[i].events, completions);
                work.push_back(std::move(shared));
            }
            for (auto& c : Attention())
                work.push_back(std::move(c));
            Attention().clear();
            const auto now = Clock::now();
            for (auto& [raw, c] : Connecting())
                if (now >= c->connectDeadline)
                    work.push_back(c);
            for (auto& c : work) {
                if (c->connectIrp && now >= c->connectDeadline)
                    FinishConnectLocked(c.get(), completions, STATUS_IO_TIMEOUT);
                ServeReceivesLocked(c.get(), completions);
                WatchLocked(c.get());
                if ((c->offerDue && !c->pending.empty()) ||
                    ((c->peerClosed || c->peerReset) && !c->disconnectIndicated &&
                     c->pending.empty()))
                    touched.push_back(c);
            }
        }
        work.clear();
        RunCompletions(completions);
        for (auto& c : touched)
            Indicate(c);
        touched.clear();
    }
}

// ---- dispatch ----

bool ParseIpAddress(const void* value, size_t length, in_addr_t& address, in_port_t& port) {
    if (length < sizeof(TA_IP_ADDRESS))
        return false;
    auto* ta = static_cast<const TA_IP_ADDRESS*>(value);
    if (ta->TAAddressCount < 1 || ta->Address[0].AddressType != TDI_ADDRESS_TYPE_IP ||
        ta->Address[0].AddressLength < TDI_ADDRESS_LENGTH_IP)
        return false;
    std::memcpy(&address, &ta->Address[0].Address[0].in_addr, sizeof address);
    std::memcpy(&port, &ta->Address[0].Address[0].sin_port, sizeof port);
    return true;
}

NTSTATUS DispatchCreate(PIRP irp, PIO_STACK_LOCATION stack) {
    auto* ea = static_cast<const FILE_FULL_EA_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
    ULONG eaLength = stack->Parameters.Create.EaLength;
    TdiObject* object = nullptr;
    if (!ea || eaLength < sizeof(FILE_FULL_EA_INFORMATION)) {
        object = new TdiObject(Kind::Control);
    } else {
        std::string name(ea->EaName, ea->EaNameLength);
        const char* value = ea->EaName + ea->EaNameLength + 1;
        size_t valueRoom =
            eaLength - static_cast<size_t>(value - reinterpret_cast<const char*>(ea));
        size_t valueLength = ea->EaValueLength < valueRoom ? ea->EaValueLength : valueRoom;
        if (name == TdiTransportAddress) {
            auto* address = new Address;
            if (!ParseIpAddress(value, valueLength, address->localAddress, address->localPort)) {
                delete address;
                return Complete(irp, STATUS_INVALID_ADDRESS_COMPONENT);
            }
            object = address;
        } else if (name == TdiConnectionContext) {
            if (valueLength < sizeof(CONNECTION_CONTEXT))
                return Complete(irp, STATUS_INVALID_PARAMETER);
            auto connection = std::make_shared<Connection>();
            std::memcpy(&connection->context, value, sizeof(CONNECTION_CONTEXT));
            std::lock_guard<std::mutex> lock(g_mutex);
            Connections().emplace(connection.get(), connection);
            object = connection.get();
        } else {
            return Complete(irp, STATUS_INVALID_EA_NAME);
        }
    }
    stack->FileObject->FsContext = object;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanupClose(PIRP irp, PIO_STACK_LOCATION stack) {
    TdiObject* object = ObjectOf(stack);
    if (object && object->kind == Kind::Connection) {
        auto* c = static_cast<Connection*>(object);
        std::vector<Completion> completions;
        PFILE_OBJECT addressFile = nullptr;
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            // A connection object closed while connected ends its connection abortively.
            FailQueuedLocked(c, STATUS_CANCELLED, completions);
            if (c->connectIrp)
                FinishConnectLocked(c, completions, STATUS_CANCELLED);
            CloseSocketLocked(c, c->state == State::Connected && !c->finSent);
            c->state = State::Closed;  // no indication starts after this
            g_indicationDone.wait(lock, [&] { return !c->indicating; });
            if (stack->MajorFunction == IRP_MJ_CLOSE) {
                addressFile = c->addressFile;
                c->addressFile = nullptr;
                c->address = nullptr;
            }
        }
        RunCompletions(completions);
        if (addressFile)
            ObfDereferenceObject(addressFile);
        if (stack->MajorFunction == IRP_MJ_CLOSE) {
            std::lock_guard<std::mutex> lock(g_mutex);
            Connections().erase(c);
            stack->FileObject->FsContext = nullptr;
        }
    } else if (object && object->kind == Kind::Address) {
        auto* a = static_cast<Address*>(object);
        std::unique_lock<std::mutex> lock(g_mutex);
        a->receive = nullptr;
        a->disconnect = nullptr;
        // Handlers already called with this address's contexts finish before it goes.
        g_indicationDone.wait(lock, [&] {
            for (auto& [raw, c] : Connections())
                if (c->address == a && c->indicating)
                    return false;
            return true;
        });
        if (stack->MajorFunction == IRP_MJ_CLOSE) {
            delete a;
            stack->FileObject->FsContext = nullptr;
        }
    } else if (object && stack->MajorFunction == IRP_MJ_CLOSE) {
        delete object;
        stack->FileObject->FsContext = nullptr;
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchConnect(PIRP irp, PIO_STACK_LOCATION stack, Connection* c) {
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL>(&stack->Parameters);
    PTDI_CONNECTION_INFORMATION info = request->RequestConnectionInformation;
    in_addr_t remote;
    in_port_t port;
    if (!info || !info->RemoteAddress ||
        !ParseIpAddress(info->RemoteAddress, static_cast<size_t>(info->RemoteAddressLength), remote,
                        port))
        return Complete(irp, STATUS_INVALID_ADDRESS_COMPONENT);
    std::vector<Completion> completions;
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!c->address)
        return lock.unlock(), Complete(irp, STATUS_INVALID_DEVICE_STATE);
    if (c->state != State::Idle)
        return lock.unlock(), Complete(irp, STATUS_INVALID_DEVICE_STATE);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return lock.unlock(), Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (c->address->localAddress || c->address->localPort) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = c->address->localAddress;
        local.sin_port = c->address->localPort;
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            int error = errno;
            close(fd);
            return lock.unlock(), Complete(irp, StatusFromErrno(error));
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = remote;
    to.sin_port = port;
    c->fd = fd;
    c->peerClosed = c->peerReset = c->disconnectIndicated = c->finSent = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        c->state = State::Connected;
        WatchLocked(c);
        lock.unlock();
        return Complete(irp, STATUS_SUCCESS);
    }
    if (errno != EINPROGRESS) {
        int error = errno;
        close(fd);
        c->fd = -1;
        lock.unlock();
        return Complete(irp, StatusFromErrno(error));
    }
    c->state = State::Connecting;
    c->connectIrp = irp;
    RememberConnection(irp, c);
    auto* timeout = static_cast<PLARGE_INTEGER>(request->RequestSpecific);
    // A relative time-out (negative, 100 ns units); none means the transport's own limit.
    LONGLONG units = timeout && timeout->QuadPart < 0 ? -timeout->QuadPart : 75LL * 10000000;
    c->connectDeadline = Clock::now() + std::chrono::microseconds(units / 10);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelConnect);
    // A cancel that came before the routine was set must still end the request.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr)) {
        c->connectIrp = nullptr;
        CloseSocketLocked(c, true);
        c->state = State::Idle;
        lock.unlock();
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    Connecting().emplace(c, Shared(c));
    WatchLocked(c);
    lock.unlock();
    Wake();  // its deadline counts from now
    return STATUS_PENDING;
}

NTSTATUS QueueLocked(Connection* c, PIRP irp, std::unique_lock<std::mutex>& lock,
                     std::vector<Completion>& completions) {
    IoMarkIrpPending(irp);
    RememberConnection(irp, c);
    IoSetCancelRoutine(irp, CancelSendOrDisconnect);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr)) {
        lock.unlock();
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    // Sent at once when the socket takes it; what is left waits for EPOLLOUT, which the changed
    // watch set asks for (and which reaches a transport thread already in its wait).
    PumpSendsLocked(c, completions);
    WatchLocked(c);
    lock.unlock();
    RunCompletions(completions);
    return STATUS_PENDING;
}

NTSTATUS DispatchSend(PIRP irp, PIO_STACK_LOCATION stack, Connection* c) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters);
    if (p->SendLength && !irp->MdlAddress)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    std::vector<Completion> completions;
    std::unique_lock<std::mutex> lock(g_mutex);
    // After the peer's disconnect has been indicated the connection carries nothing more.
    if (c->state != State::Connected || c->disconnectIndicated || c->peerReset || c->finSent ||
        c->fd < 0) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_CONNECTION);
    }
    if (p->SendLength == 0 && c->sends.empty()) {
        lock.unlock();
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    c->sends.push_back(irp);
    return QueueLocked(c, irp, lock, completions);
}

void CancelReceive(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (auto c = Shared(ConnectionOf(irp)))
            std::erase(c->receives, irp);
    }
    Complete(irp, STATUS_CANCELLED);
}

// Bytes waiting here are served at once (by the transport thread while a handler runs); else the
// request waits for the next bytes.
NTSTATUS DispatchReceive(PIRP irp, PIO_STACK_LOCATION stack, Connection* c) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&stack->Parameters);
    if (!p->ReceiveLength || !irp->MdlAddress)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    std::vector<Completion> completions;
    std::unique_lock<std::mutex> lock(g_mutex);
    if (c->state != State::Connected || (c->pending.empty() && (c->peerClosed || c->peerReset))) {
        lock.unlock();
        return Complete(irp, STATUS_CONNECTION_DISCONNECTED);
    }
    IoMarkIrpPending(irp);
    RememberConnection(irp, c);
    IoSetCancelRoutine(irp, CancelReceive);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr)) {
        lock.unlock();
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    // Served at once from bytes waiting here; else by the transport thread when bytes arrive, or
    // when the handler running now returns.
    c->receives.push_back(irp);
    ServeReceivesLocked(c, completions);
    WatchLocked(c);
    // The last bytes before the peer's close were taken here: its disconnect is indicated now.
    const bool disconnectDue =
        c->pending.empty() && (c->peerClosed || c->peerReset) && !c->disconnectIndicated;
    if (disconnectDue)
        Attention().push_back(Shared(c));
    lock.unlock();
    RunCompletions(completions);
    if (disconnectDue)
        Wake();
    return STATUS_PENDING;
}

NTSTATUS DispatchDisconnect(PIRP irp, PIO_STACK_LOCATION stack, Connection* c) {
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL>(&stack->Parameters);
    std::vector<Completion> completions;
    std::unique_lock<std::mutex> lock(g_mutex);
    if (c->state != State::Connected || c->fd < 0) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_CONNECTION);
    }
    if (request->RequestFlags & TDI_DISCONNECT_ABORT) {
        FailQueuedLocked(c, STATUS_CANCELLED, completions);
        CloseSocketLocked(c, true);
        c->state = State::Idle;
        lock.unlock();
        RunCompletions(completions);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (c->finSent || c->disconnectIrp) {
        lock.unlock();
        return Complete(irp, STATUS_SUCCESS);
    }
    if (c->sends.empty()) {
        shutdown(c->fd, SHUT_WR);  // our FIN; the peer's close is indicated later
        c->finSent = true;
        lock.unlock();
        return Complete(irp, STATUS_SUCCESS);
    }
    c->disconnectIrp = irp;  // after the sends queued ahead of it
    return QueueLocked(c, irp, lock, completions);
}

NTSTATUS DispatchInternal(PIRP irp, PIO_STACK_LOCATION stack) {
    TdiObject* object = ObjectOf(stack);
    if (!object)
        return Complete(irp, STATUS_INVALID_HANDLE);
    if (stack->MinorFunction == TDI_SET_EVENT_HANDLER) {
        if (object->kind != Kind::Address)
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        auto* a = static_cast<Address*>(object);
        auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(&stack->Parameters);
        std::lock_guard<std::mutex> lock(g_mutex);
        if (p->EventType == TDI_EVENT_RECEIVE) {
            a->receive = reinterpret_cast<PTDI_IND_RECEIVE>(p->EventHandler);
            a->receiveContext = p->EventContext;
        } else if (p->EventType == TDI_EVENT_DISCONNECT) {
            a->disconnect = reinterpret_cast<PTDI_IND_DISCONNECT>(p->EventHandler);
            a->disconnectContext = p->EventContext;
        } else if (p->EventType < TDI_EVENT_CONNECT || p->EventType > TDI_EVENT_SEND_POSSIBLE) {
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        // Bytes that came before there was a handler are offered to the new one.
        for (auto& [raw, c] : Connections()) {
            if (c->address == a && !c->pending.empty()) {
                c->offerDue = true;
                Attention().push_back(c);
            }
        }
        Wake();
        return Complete(irp, STATUS_SUCCESS);
    }
    if (object->kind != Kind::Connection)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    auto* c = static_cast<Connection*>(object);
    switch (stack->MinorFunction) {
        case TDI_ASSOCIATE_ADDRESS: {
            auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&stack->Parameters);
            PVOID file = nullptr;
            NTSTATUS status = ObReferenceObjectByHandle(p->AddressHandle, 0, *IoFileObjectType,
                                                        KernelMode, &file, nullptr);
            if (!NT_SUCCESS(status))
                return Complete(irp, status);
            auto* addressFile = static_cast<PFILE_OBJECT>(file);
            auto* target = static_cast<TdiObject*>(addressFile->FsContext);
            if (addressFile->DeviceObject != g_device || !target || target->kind != Kind::Address) {
                ObfDereferenceObject(file);
                return Complete(irp, STATUS_INVALID_HANDLE);
            }
            std::unique_lock<std::mutex> lock(g_mutex);
            if (c->addressFile) {
                lock.unlock();
                ObfDereferenceObject(file);
                return Complete(irp, STATUS_INVALID_DEVICE_STATE);
            }
            c->addressFile = addressFile;
            c->address = static_cast<Address*>(target);
            lock.unlock();
            return Complete(irp, STATUS_SUCCESS);
        }
        case TDI_DISASSOCIATE_ADDRESS: {
            PFILE_OBJECT addressFile;
            std::vector<Completion> completions;
            {
                std::unique_lock<std::mutex> lock(g_mutex);
                if (!c->addressFile) {
                    lock.unlock();
                    return Complete(irp, STATUS_INVALID_DEVICE_STATE);
                }
                if (c->state == State::Connected || c->state == State::Connecting) {
                    FailQueuedLocked(c, STATUS_CANCELLED, completions);
                    if (c->connectIrp)
                        FinishConnectLocked(c, completions, STATUS_CANCELLED);
                    CloseSocketLocked(c, !c->finSent);
                }
                c->state = State::Idle;
                g_indicationDone.wait(lock, [&] { return !c->indicating; });
                addressFile = c->addressFile;
                c->addressFile = nullptr;
                c->address = nullptr;
            }
            RunCompletions(completions);
            ObfDereferenceObject(addressFile);
            return Complete(irp, STATUS_SUCCESS);
        }
        case TDI_CONNECT:
            return DispatchConnect(irp, stack, c);
        case TDI_SEND:
            return DispatchSend(irp, stack, c);
        case TDI_DISCONNECT:
            return DispatchDisconnect(irp, stack, c);
        case TDI_RECEIVE:
            return DispatchReceive(irp, stack, c);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS TcpDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            return DispatchCreate(irp, stack);
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            return DispatchCleanupClose(irp, stack);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return DispatchInternal(irp, stack);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace

namespace tarnel::host::kernel {

void EnsureTcpTransport() {
    static std::once_flag once;
    std::call_once(once, [] {
        PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\Tcpip");
        for (UCHAR major :
             {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_INTERNAL_DEVICE_CONTROL})
            driver->MajorFunction[major] = TcpDispatch;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Tcp");
        if (!NT_SUCCESS(CreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &g_device)))
            BugCheck("TRANSPORT_START", "cannot create \\Device\\Tcp");
        g_device->Flags &= ~DO_DEVICE_INITIALIZING;
        g_epoll = epoll_create1(EPOLL_CLOEXEC);
        g_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        epoll_ctl(g_epoll, EPOLL_CTL_ADD, g_wake, &ev);
        std::thread(TransportThread).detach();
    });
}

}  // namespace tarnel::host::kernel

// "\Device\Tcp": the transport's shared state and the helpers on its objects.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/kernel/tdi_tcp.h"

namespace tarnel::host::kernel::tcp {

std::mutex g_tables;
std::unordered_map<Connection*, std::shared_ptr<Connection>>& Connections() {
    static auto* connections = new std::unordered_map<Connection*, std::shared_ptr<Connection>>;
    return *connections;
}
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
    std::lock_guard<std::mutex> lock(g_tables);
    auto it = Connections().find(c);
    return it == Connections().end() ? nullptr : it->second;
}

void AttendLocked(Connection* c) {
    std::lock_guard<std::mutex> lock(g_tables);
    auto it = Connections().find(c);
    if (it != Connections().end())
        Attention().push_back(it->second);
}

UCHAR* HeldBytes::at(size_t offset, size_t* length) {
    const size_t start = (head_ + offset) % kHoldLimit;
    *length = std::min(size_ - offset, kHoldLimit - start);
    return buffer_.get() + start;
}

void HeldBytes::consume(size_t n) {
    size_ -= n;
    // Empty, it starts over at the front, so that the next bytes lie in one piece; not while a
    // receive writes after the bytes that were there.
    head_ = size_ || receiving_ ? (head_ + n) % kHoldLimit : 0;
}

size_t HeldBytes::take(UCHAR* to, size_t length) {
    size_t done = 0;
    while (done < length && size_) {
        size_t piece;
        const UCHAR* from = at(0, &piece);
        piece = std::min(piece, length - done);
        std::memcpy(to + done, from, piece);
        consume(piece);
        done += piece;
    }
    return done;
}

int HeldBytes::beginReceive(iovec pieces[2]) {
    if (!buffer_)
        buffer_.reset(new UCHAR[kHoldLimit]);
    receiving_ = true;
    const size_t room = kHoldLimit - size_;
    const size_t tail = (head_ + size_) % kHoldLimit;
    const size_t first = std::min(room, kHoldLimit - tail);
    pieces[0] = {buffer_.get() + tail, first};
    pieces[1] = {buffer_.get(), room - first};
    return room > first ? 2 : 1;
}

void HeldBytes::endReceive(size_t received) {
    receiving_ = false;
    size_ += received;
    if (!size_)
        head_ = 0;
}

void RememberConnection(PIRP irp, Connection* c) {
    irp->Tail.Overlay.DriverContext[0] = c;
}
Connection* ConnectionOf(PIRP irp) {
    return static_cast<Connection*>(irp->Tail.Overlay.DriverContext[0]);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

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
    if (c->fd == c->receivingFd)
        c->closeAfterReceive = c->fd;
    else
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
void FailQueuedLocked(Connection* c, NTSTATUS status, Completions& out) {
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
void ServeReceivesLocked(Connection* c, Completions& out) {
    while (!c->receives.empty() && !c->pending.empty() && !c->indicating) {
        PIRP irp = c->receives.front();
        c->receives.pop_front();
        if (!Claim(irp))
            continue;  // its cancel routine completes it
        auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(
            &IoGetCurrentIrpStackLocation(irp)->Parameters);
        auto* data =
            static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        const size_t n = c->pending.take(data, p->ReceiveLength);
        out.push_back({irp, STATUS_SUCCESS, n});
    }
    if (c->pending.empty() && (c->peerClosed || c->peerReset || c->state != State::Connected)) {
        for (PIRP irp : c->receives)
            if (Claim(irp))
                out.push_back({irp, STATUS_CONNECTION_DISCONNECTED, 0});
        c->receives.clear();
    }
}

void RunCompletions(Completions& completions) {
    for (size_t i = 0; i < completions.size(); ++i)
        Complete(completions[i].irp, completions[i].status, completions[i].information);
    completions.clear();
}

void FinishIndicationLocked(Connection* c) {
    {
        std::lock_guard<std::mutex> lock(c->address->mutex);
        if (--c->address->indications == 0)
            c->address->idle.notify_all();
    }
    c->indicating = false;
    c->indicationDone.notify_all();
}

}  // namespace tarnel::host::kernel::tcp

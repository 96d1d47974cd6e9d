// "\Device\Tcp": the transport thread. It waits in epoll for socket events, connect deadlines
// and connections marked for attention, pumps queued sends, reads into a connection's waiting
// bytes and calls the drivers' handlers at DISPATCH_LEVEL, never while holding a lock.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/host/kernel/tdi_tcp.h"
#include "platform/host/kernel/verifier.h"

namespace tarnel::host::kernel::tcp {

void PumpSendsLocked(Connection* c, Completions& out) {
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

void FinishConnectLocked(Connection* c, Completions& out, NTSTATUS status) {
    PIRP irp = c->connectIrp;
    c->connectIrp = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_tables);
        Connecting().erase(c);
    }
    if (NT_SUCCESS(status)) {
        c->state = State::Connected;
    } else {
        CloseSocketLocked(c, true);
        c->state = State::Idle;
    }
    if (irp && Claim(irp))
        out.push_back({irp, status, 0});
}

namespace {

// Receives into the held bytes' free room with the connection's lock released for the copy, so
// that a receive request or a send on another thread need not wait for it. The bytes count only
// if the connection still has the same socket when the receive returns.
void ReceiveLocked(Connection* c, std::unique_lock<std::mutex>& lock, Completions& out) {
    const int fd = c->fd;
    iovec pieces[2];
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = static_cast<size_t>(c->pending.beginReceive(pieces));
    c->receivingFd = fd;
    lock.unlock();
    const ssize_t n = recvmsg(fd, &message, 0);
    const int error = errno;
    lock.lock();
    c->receivingFd = -1;
    const bool same = c->fd == fd && c->state == State::Connected;
    if (c->closeAfterReceive >= 0) {
        close(c->closeAfterReceive);
        c->closeAfterReceive = -1;
    }
    c->pending.endReceive(same && n > 0 ? static_cast<size_t>(n) : 0);
    if (!same)
        return;
    if (n > 0) {
        c->offerDue = true;
    } else if (n == 0) {
        c->peerClosed = true;
    } else if (error != EAGAIN && error != EWOULDBLOCK) {
        c->peerReset = true;
        FailQueuedLocked(c, StatusFromErrno(error), out);
    }
}

void ServeEvent(Connection* c, uint32_t events, std::unique_lock<std::mutex>& lock,
                Completions& out) {
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
        !c->peerClosed && !c->peerReset && c->fd >= 0)
        ReceiveLocked(c, lock, out);
}

// Offers waiting bytes to the receive handler, then a due disconnect. Runs without a lock.
void Indicate(const std::shared_ptr<Connection>& c) {
    PTDI_IND_RECEIVE receive;
    PVOID receiveContext;
    PTDI_IND_DISCONNECT disconnect;
    PVOID disconnectContext;
    CONNECTION_CONTEXT context;
    bool offer;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
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
        {
            std::lock_guard<std::mutex> addressLock(c->address->mutex);
            receive = c->address->receive;
            receiveContext = c->address->receiveContext;
            disconnect = c->address->disconnect;
            disconnectContext = c->address->disconnectContext;
            c->address->indications++;
        }
        context = c->context;
        // Until this is cleared, closing the connection or its address waits: a handler must not
        // run into a client that has gone.
        c->indicating = true;
    }
    // Held bytes that wrap around are offered in two indications, the second only if the
    // handler took all of the first.
    size_t taken = 0;
    const size_t held = c->pending.size();
    while (offer && receive && taken < held) {
        size_t piece;
        UCHAR* bytes = c->pending.at(taken, &piece);
        const ULONG indicated = static_cast<ULONG>(piece);
        const ULONG available = static_cast<ULONG>(held - taken);
        ULONG took = 0;
        PIRP request = nullptr;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        receive(receiveContext, context,
                TDI_RECEIVE_NORMAL | (indicated == available ? TDI_RECEIVE_ENTIRE_MESSAGE : 0),
                indicated, available, &took, bytes, &request);
        KeLowerIrql(old);
        if (took > indicated)
            BugCheck("TDI_RECEIVE_OVERRUN", "receive handler took %u of %u bytes indicated", took,
                     indicated);
        if (request)
            BugCheck("TDI_RECEIVE_REQUEST",
                     "the host transport does not take receive requests from handlers; post a "
                     "TDI_RECEIVE instead");
        taken += took;
        if (took < indicated)
            break;
    }
    bool indicateDisconnect = false;
    ULONG flags = 0;
    Completions completions;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->pending.consume(taken);
        if (c->pending.empty() && (c->peerClosed || c->peerReset) && !c->disconnectIndicated) {
            c->disconnectIndicated = true;
            indicateDisconnect = disconnect != nullptr;
            flags = c->peerReset ? TDI_DISCONNECT_ABORT : TDI_DISCONNECT_RELEASE;
        }
        if (!indicateDisconnect) {
            FinishIndicationLocked(c.get());
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
            std::lock_guard<std::mutex> lock(c->mutex);
            FinishIndicationLocked(c.get());
            ServeReceivesLocked(c.get(), completions);
        }
        RunCompletions(completions);
    }
}

}  // namespace

// Serves socket events, connect deadlines and connections marked for attention; each pass looks
// only at connections with something to do, each under its own lock.
void TransportThread() {
    struct Work {
        std::shared_ptr<Connection> connection;
        uint32_t events;
    };
    std::vector<epoll_event> events(64);
    Completions completions;
    std::vector<Work> work;
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(g_tables);
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
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(g_tables);
            for (int i = 0; i < n; ++i) {
                if (events[i].data.ptr == nullptr) {
                    uint64_t count;
                    if (read(g_wake, &count, sizeof count) < 0) {
                        // Nothing to drain.
                    }
                    continue;
                }
                auto it = Connections().find(static_cast<Connection*>(events[i].data.ptr));
                if (it != Connections().end())
                    work.push_back({it->second, events[i].events});
            }
            for (auto& c : Attention())
                work.push_back({std::move(c), 0});
            Attention().clear();
            for (auto& [raw, c] : Connecting())
                if (now >= c->connectDeadline)
                    work.push_back({c, 0});
        }
        for (auto& [c, happened] : work) {
            bool indicate;
            {
                std::unique_lock<std::mutex> lock(c->mutex);
                if (happened && c->fd >= 0)
                    ServeEvent(c.get(), happened, lock, completions);
                if (c->connectIrp && now >= c->connectDeadline)
                    FinishConnectLocked(c.get(), completions, STATUS_IO_TIMEOUT);
                ServeReceivesLocked(c.get(), completions);
                WatchLocked(c.get());
                indicate = (c->offerDue && !c->pending.empty()) ||
                           ((c->peerClosed || c->peerReset) && !c->disconnectIndicated &&
                            c->pending.empty());
            }
            RunCompletions(completions);
            if (indicate)
                Indicate(c);
        }
        work.clear();
    }
}

}  // namespace tarnel::host::kernel::tcp

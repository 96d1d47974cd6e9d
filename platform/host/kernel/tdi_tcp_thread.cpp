// "\Device\Tcp": the transport thread. It waits in epoll for socket events, connect deadlines
// and connections marked for attention, pumps queued sends, reads into a connection's waiting
// bytes and calls the drivers' handlers at DISPATCH_LEVEL, never while holding g_mutex.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/host/kernel/tdi_tcp.h"
#include "platform/host/kernel/verifier.h"

namespace tarnel::host::kernel::tcp {

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

namespace {

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

}  // namespace

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

}  // namespace tarnel::host::kernel::tcp

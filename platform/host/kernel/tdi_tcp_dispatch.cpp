// "\Device\Tcp": the dispatch routines (create, cleanup and close, the TDI requests) and cancel
// routines, run on the caller's thread; work that must wait is left to the transport thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/host/kernel/pnp.h"
#include "platform/host/kernel/tdi_tcp.h"
#include "platform/host/kernel/verifier.h"

using namespace tarnel::host::kernel;
using namespace tarnel::host::kernel::tcp;

namespace {

// ---- cancel routines ----

void CancelConnect(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (auto c = Shared(ConnectionOf(irp))) {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (c->connectIrp == irp) {
            c->connectIrp = nullptr;
            {
                std::lock_guard<std::mutex> tables(g_tables);
                Connecting().erase(c.get());
            }
            CloseSocketLocked(c.get(), true);
            c->state = State::Idle;
        }
    }
    Complete(irp, STATUS_CANCELLED);
}

void CancelSendOrDisconnect(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ULONG_PTR sent = 0;
    if (auto c = Shared(ConnectionOf(irp))) {
        std::lock_guard<std::mutex> lock(c->mutex);
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
    Complete(irp, STATUS_CANCELLED, sent);
}

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
            std::lock_guard<std::mutex> lock(g_tables);
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
        Completions completions;
        PFILE_OBJECT addressFile = nullptr;
        {
            std::unique_lock<std::mutex> lock(c->mutex);
            // A connection object closed while connected ends its connection abortively.
            FailQueuedLocked(c, STATUS_CANCELLED, completions);
            if (c->connectIrp)
                FinishConnectLocked(c, completions, STATUS_CANCELLED);
            CloseSocketLocked(c, c->state == State::Connected && !c->finSent);
            c->state = State::Closed;  // no indication starts after this
            c->indicationDone.wait(lock, [&] { return !c->indicating; });
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
            std::lock_guard<std::mutex> lock(g_tables);
            Connections().erase(c);
            stack->FileObject->FsContext = nullptr;
        }
    } else if (object && object->kind == Kind::Address) {
        auto* a = static_cast<Address*>(object);
        std::unique_lock<std::mutex> lock(a->mutex);
        a->receive = nullptr;
        a->disconnect = nullptr;
        // Handlers already called with this address's contexts finish before it goes.
        a->idle.wait(lock, [&] { return a->indications == 0; });
        lock.unlock();
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
    Completions completions;
    std::unique_lock<std::mutex> lock(c->mutex);
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
    if (auto shared = Shared(c)) {
        std::lock_guard<std::mutex> tables(g_tables);
        Connecting().emplace(c, std::move(shared));
    }
    WatchLocked(c);
    lock.unlock();
    Wake();  // its deadline counts from now
    return STATUS_PENDING;
}

NTSTATUS QueueLocked(Connection* c, PIRP irp, std::unique_lock<std::mutex>& lock,
                     Completions& completions) {
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
    Completions completions;
    std::unique_lock<std::mutex> lock(c->mutex);
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
    size_t sent = 0;
    if (c->sends.empty() && !__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE)) {
        // Nothing waits ahead of it: straight to the socket, completed here when it takes all.
        auto* data = static_cast<const UCHAR*>(
            MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        ssize_t n = send(c->fd, data, p->SendLength, MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(p->SendLength)) {
            lock.unlock();
            return Complete(irp, STATUS_SUCCESS, p->SendLength);
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const NTSTATUS status = StatusFromErrno(errno);
            c->peerReset = true;
            FailQueuedLocked(c, status, completions);
            WatchLocked(c);
            lock.unlock();
            RunCompletions(completions);
            return Complete(irp, status, 0);
        }
        sent = n > 0 ? static_cast<size_t>(n) : 0;
    }
    c->sends.push_back(irp);
    if (c->sends.size() == 1)
        c->headSent = sent;  // the part already on the wire
    return QueueLocked(c, irp, lock, completions);
}

void CancelReceive(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (auto c = Shared(ConnectionOf(irp))) {
        std::lock_guard<std::mutex> lock(c->mutex);
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
    Completions completions;
    std::unique_lock<std::mutex> lock(c->mutex);
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
        AttendLocked(c);
    lock.unlock();
    RunCompletions(completions);
    if (disconnectDue)
        Wake();
    return STATUS_PENDING;
}

NTSTATUS DispatchDisconnect(PIRP irp, PIO_STACK_LOCATION stack, Connection* c) {
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL>(&stack->Parameters);
    Completions completions;
    std::unique_lock<std::mutex> lock(c->mutex);
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
        {
            std::lock_guard<std::mutex> lock(a->mutex);
            if (p->EventType == TDI_EVENT_RECEIVE) {
                a->receive = reinterpret_cast<PTDI_IND_RECEIVE>(p->EventHandler);
                a->receiveContext = p->EventContext;
            } else if (p->EventType == TDI_EVENT_DISCONNECT) {
                a->disconnect = reinterpret_cast<PTDI_IND_DISCONNECT>(p->EventHandler);
                a->disconnectContext = p->EventContext;
            } else if (p->EventType < TDI_EVENT_CONNECT || p->EventType > TDI_EVENT_SEND_POSSIBLE) {
                return Complete(irp, STATUS_INVALID_PARAMETER);
            }
        }
        // Bytes that came before there was a handler are offered to the new one.
        std::vector<std::shared_ptr<Connection>> all;
        {
            std::lock_guard<std::mutex> lock(g_tables);
            for (auto& [raw, c] : Connections())
                all.push_back(c);
        }
        for (auto& c : all) {
            std::lock_guard<std::mutex> lock(c->mutex);
            if (c->address == a && !c->pending.empty()) {
                c->offerDue = true;
                AttendLocked(c.get());
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
            std::unique_lock<std::mutex> lock(c->mutex);
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
            Completions completions;
            {
                std::unique_lock<std::mutex> lock(c->mutex);
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
                c->indicationDone.wait(lock, [&] { return !c->indicating; });
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

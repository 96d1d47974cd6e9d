// "\Device\Tcp": the host kernel's TCP transport, speaking TDI to drivers over non-blocking BSD
// sockets and one transport thread. Connection requests run on the caller's thread; connects and
// sends that must wait, received data and disconnects are served by the transport thread, which
// calls the drivers' event handlers at DISPATCH_LEVEL and never while holding its own lock.
//
// Received bytes go first to a waiting TDI_RECEIVE, else to the receive handler. Bytes a handler
// does not take stay here, in order, and are offered again only when more bytes arrive on that
// connection; a TDI_RECEIVE takes them at any time. Flow control: while kHoldLimit bytes wait,
// the socket is not read, so the peer's sends back up into its TCP window.
//
// This header holds the transport's objects and the helpers its two halves share: the transport
// thread (tdi_tcp_thread.cpp) and the dispatch routines (tdi_tcp_dispatch.cpp).
//
// Locking: each connection has its own mutex, which guards its state and is held across its
// send() calls (not its receives: see `receivingFd`), so connections never wait for each other;
// an address's mutex guards its handlers; g_tables guards only the tables of connections. Order:
// a connection's mutex, then its address's, then g_tables; g_tables is never held while another
// lock is taken. Requests are completed and handlers called with none of them held.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/host/kernel/io_internal.h"

namespace tarnel::host::kernel::tcp {

using Clock = std::chrono::steady_clock;

constexpr size_t kHoldLimit = 256 * 1024;

enum class Kind { Control, Address, Connection };

struct TdiObject {
    explicit TdiObject(Kind k) : kind(k) {}
    virtual ~TdiObject() = default;
    const Kind kind;
};

struct Address : TdiObject {
    Address() : TdiObject(Kind::Address) {}
    in_addr_t localAddress = 0;    // network order
    in_port_t localPort = 0;       // network order
    std::mutex mutex;              // guards the rest
    std::condition_variable idle;  // with mutex: `indications` reached 0
    PTDI_IND_RECEIVE receive = nullptr;
    PVOID receiveContext = nullptr;
    PTDI_IND_DISCONNECT disconnect = nullptr;
    PVOID disconnectContext = nullptr;
    int indications = 0;  // handlers running with this address's contexts
};

enum class State { Idle, Connecting, Connected, Closed };

// Received bytes not yet taken, in order, in a circle of kHoldLimit bytes that comes with the
// first bytes and is never zero-filled. Neither taking bytes nor receiving more moves any.
class HeldBytes {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The held bytes from `offset` on that lie in one piece (at least one if offset < size()).
    UCHAR* at(size_t offset, size_t* length);
    void consume(size_t n);
    // Takes up to `length` bytes into `to`; returns how many.
    size_t take(UCHAR* to, size_t length);
    void clear() { consume(size_); }
    // All the free room, in one or two pieces, for a receive that runs without the connection's
    // lock; returns the number of pieces. Bytes may be taken meanwhile: they lie before the room.
    int beginReceive(iovec pieces[2]);
    void endReceive(size_t received);

  private:
    std::unique_ptr<UCHAR[]> buffer_;
    size_t head_ = 0;  // index of the oldest byte
    size_t size_ = 0;
    bool receiving_ = false;  // the room after the bytes is being written
};

// Guarded by `mutex`, except that while `indicating` the transport thread reads `pending` without
// it: nobody else changes `pending` then.
struct Connection : TdiObject {
    Connection() : TdiObject(Kind::Connection) {}
    std::mutex mutex;
    std::condition_variable indicationDone;  // with mutex: `indicating` went false
    CONNECTION_CONTEXT context = nullptr;
    PFILE_OBJECT addressFile = nullptr;  // referenced while associated
    Address* address = nullptr;
    int fd = -1;
    State state = State::Idle;
    // The socket the transport thread is receiving from without the mutex (else -1); a close of
    // it meanwhile leaves it to that thread, to be closed once the receive has returned.
    int receivingFd = -1;
    int closeAfterReceive = -1;
    PIRP connectIrp = nullptr;
    Clock::time_point connectDeadline{};  // fixed before the connection enters Connecting()
    std::deque<PIRP> sends;               // the head may be partly sent
    size_t headSent = 0;
    PIRP disconnectIrp = nullptr;  // a graceful disconnect waiting for the sends ahead of it
    bool finSent = false;
    bool peerClosed = false;  // end of stream read; indicated once `pending` is empty
    bool peerReset = false;
    bool disconnectIndicated = false;
    bool indicating = false;    // a handler of this connection runs on the transport thread
    HeldBytes pending;          // received, not yet taken by the handler or a receive request
    bool offerDue = false;      // bytes arrived since the handler last left some
    std::deque<PIRP> receives;  // TDI_RECEIVE requests waiting for bytes
    uint32_t watched = 0;       // the epoll events registered for fd
    bool registered = false;    // fd is in the epoll set
};

// Requests to complete once the connection's mutex is released.
struct Completion {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
};

// A request usually completes one or two others: those are kept without an allocation.
class Completions {
  public:
    void push_back(const Completion& c) {
        if (inline_ < kInline)
            first_[inline_++] = c;
        else
            more_.push_back(c);
    }
    size_t size() const { return inline_ + more_.size(); }
    Completion& operator[](size_t i) { return i < kInline ? first_[i] : more_[i - kInline]; }
    void clear() {
        inline_ = 0;
        more_.clear();
    }

  private:
    static constexpr size_t kInline = 2;
    Completion first_[kInline];
    size_t inline_ = 0;
    std::vector<Completion> more_;
};

extern std::mutex g_tables;  // guards the three tables below
extern int g_epoll;
extern int g_wake;  // eventfd in g_epoll (data.ptr null): wakes the transport thread
extern PDEVICE_OBJECT g_device;

// Every connection object, by address: an event's or a request's connection (which may have
// closed since) is found without a search.
std::unordered_map<Connection*, std::shared_ptr<Connection>>& Connections();
// Connections the transport thread must look at without a socket event.
std::vector<std::shared_ptr<Connection>>& Attention();
// Connections whose connect is in flight, for their deadlines.
std::unordered_map<Connection*, std::shared_ptr<Connection>>& Connecting();

void Wake();
NTSTATUS StatusFromErrno(int error);
TdiObject* ObjectOf(PIO_STACK_LOCATION stack);
// The connection's owning pointer, or null once it has closed. Takes g_tables.
std::shared_ptr<Connection> Shared(Connection* c);
// Marks the connection for the transport thread's attention (Wake() follows, unlocked).
void AttendLocked(Connection* c);
// The connection a queued request waits on, kept in the request for its cancel routine.
void RememberConnection(PIRP irp, Connection* c);
Connection* ConnectionOf(PIRP irp);
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Takes a waiting request back from its cancel routine; false when a cancel already has it.
bool Claim(PIRP irp);
void CloseSocketLocked(Connection* c, bool abortive);
// Registers the events the connection waits for; a system call only when they change.
void WatchLocked(Connection* c);
// Fails every queued send, a waiting disconnect and waiting receives.
void FailQueuedLocked(Connection* c, NTSTATUS status, Completions& out);
// Gives waiting bytes to waiting receive requests; fails them once the stream has ended.
void ServeReceivesLocked(Connection* c, Completions& out);
void RunCompletions(Completions& completions);
// A handler of the connection's address has returned: its count drops before the connection's
// own flag, so the address outlives every handler running with its contexts.
void FinishIndicationLocked(Connection* c);

// The transport thread's side (tdi_tcp_thread.cpp).
// Writes what it can of the queued sends; completes those fully written.
void PumpSendsLocked(Connection* c, Completions& out);
void FinishConnectLocked(Connection* c, Completions& out, NTSTATUS status);
void TransportThread();

}  // namespace tarnel::host::kernel::tcp

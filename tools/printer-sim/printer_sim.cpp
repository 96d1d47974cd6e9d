// The printer simulator's TCP print server: one thread polls the listening socket and every
// connection; the API changes shared state under one lock and wakes that thread.
#include "tools/printer-sim/printer_sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "tools/printer-sim/connection.h"

namespace tarnel::printersim {

namespace {

using Clock = Connection::Clock;

std::string systemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

std::string endpointText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// A non-blocking listening socket bound to `address`; -1 and a reason on failure.
int openListener(const sockaddr_in& address, std::string& error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = systemError("socket", errno);
        return -1;
    }
    // Lets the port be bound again while connections of an earlier listener sit in TIME_WAIT;
    // a port with a live listener still fails with EADDRINUSE.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        error = systemError("cannot listen on " + endpointText(address), errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

struct PrinterSimulator::State {
    explicit State(Options o) : options(std::move(o)) {}

    const Options options;

    // Held across start() and stop() so that they never overlap.
    std::mutex lifecycle;

    // Guards every member below except `thread`. `changed` is notified whenever the record, the
    // set of open connections or the acknowledged commands change.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    std::vector<std::unique_ptr<Connection>> connections;  // every accepted one, in order
    size_t totalReceived = 0;
    size_t openCount = 0;
    size_t recordSequence = 0;

    bool refuse = false;
    size_t closeAfter = 0;
    bool stopReading = false;
    std::chrono::milliseconds replyDelay{0};
    bool echo = false;
    Observer observer;
    std::string lastError;

    // A caller that needs its change applied before it returns bumps `requested` and waits until
    // the server thread has copied it to `applied` at the top of its loop.
    std::uint64_t requested = 0;
    std::uint64_t applied = 0;
    std::uint64_t closeAllRequested = 0;
    std::uint64_t closeAllDone = 0;

    bool running = false;
    bool stopping = false;
    sockaddr_in address{};  // the bound address and port once started
    // Sockets: only the server thread uses listenFd and the connections' sockets while it runs;
    // wakeFd lives from start() to the end of stop().
    int listenFd = -1;
    int wakeFd = -1;
    std::thread::id serverId;  // the server thread, so that the observer's calls never wait on it

    std::thread thread;  // touched only by start() and stop(), under `lifecycle`

    std::vector<Event> events;  // made under the lock, handed to the observer after it

    void wake() {
        if (wakeFd >= 0) {
            std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
        }
    }

    // Makes the server thread act on the state before returning (lock held).
    void applyNow(std::unique_lock<std::mutex>& lock) {
        if (!running || stopping || std::this_thread::get_id() == serverId) {
            return;
        }
        const std::uint64_t ticket = ++requested;
        wake();
        changed.wait(lock, [&] { return applied >= ticket || !running; });
    }

    void serve();
    void applyCommands();
    void acceptAll();
    void readFrom(Connection& c);
    void consume(Connection& c, const char* data, size_t size);
    void releaseDueReplies(Connection& c, Clock::time_point now);
    void flush(Connection& c);
    void closeConnection(Connection& c, const std::string& reason);
    void dispatchEvents(std::unique_lock<std::mutex>& lock);
};

void PrinterSimulator::State::serve() {
    std::vector<pollfd> polled;
    std::vector<Connection*> owners;  // owners[i] belongs to polled[i + 2]
    std::unique_lock lock(mutex);
    for (;;) {
        applyCommands();
        if (stopping) {
            break;
        }
        const auto now = Clock::now();
        int timeoutMs = -1;
        polled.clear();
        owners.clear();
        polled.push_back({wakeFd, POLLIN, 0});
        polled.push_back({listenFd, POLLIN, 0});  // poll ignores a negative descriptor
        for (auto& c : connections) {
            if (!c->open()) {
                continue;
            }
            releaseDueReplies(*c, now);
            if (!c->open()) {
                continue;
            }
            if (!c->replies.empty()) {
                auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(c->replies.front().due - now);
                int ms = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 60000));
                timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
            }
            short want = stopReading ? 0 : POLLIN;
            if (c->sent < c->outgoing.size()) {
                want |= POLLOUT;
            }
            polled.push_back({c->fd, want, 0});
            owners.push_back(c.get());
        }
        dispatchEvents(lock);
        lock.unlock();
        int ready = ::poll(polled.data(), polled.size(), timeoutMs);
        const int pollError = errno;
        lock.lock();
        if (ready < 0) {
            if (pollError != EINTR) {
                lastError = systemError("poll", pollError);
            }
            continue;
        }
        if (polled[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd, &count, sizeof count);
        }
        // The descriptors may have been closed by applyCommands since; only act on ones that
        // are still what was polled.
        if ((polled[1].revents & POLLIN) && listenFd >= 0 && listenFd == polled[1].fd) {
            acceptAll();
        }
        for (size_t i = 0; i < owners.size(); ++i) {
            Connection& c = *owners[i];
            const short revents = polled[i + 2].revents;
            if (revents == 0 || c.fd != polled[i + 2].fd) {
                continue;
            }
            if (revents & POLLOUT) {
                flush(c);
            }
            // A reset or hung-up connection is drained even while reading is stopped; otherwise
            // poll would report it again at once, forever.
            if (c.open() && ((revents & POLLIN) || (revents & (POLLERR | POLLHUP)))) {
                if (!stopReading || (revents & (POLLERR | POLLHUP))) {
                    readFrom(c);
                }
            }
        }
    }
    for (auto& c : connections) {
        if (c->open()) {
            closeConnection(*c, "closed: the simulator stopped");
        }
    }
    if (listenFd >= 0) {
        ::close(listenFd);
        listenFd = -1;
    }
    dispatchEvents(lock);
}

void PrinterSimulator::State::applyCommands() {
    const std::uint64_t seen = requested;
    if (refuse && listenFd >= 0) {
        // Whoever completed the handshake before the refusal began is let in.
        acceptAll();
        ::close(listenFd);
        listenFd = -1;
    } else if (!refuse && listenFd < 0 && applied != seen && !stopping) {
        std::string error;
        listenFd = openListener(address, error);
        if (listenFd < 0) {
            lastError = error;
        }
    }
    if (closeAllDone != closeAllRequested) {
        closeAllDone = closeAllRequested;
        for (auto& c : connections) {
            if (c->open()) {
                closeConnection(*c, "closed by the printer on request");
            }
        }
    }
    if (closeAfter != 0) {
        for (auto& c : connections) {
            if (c->open() && c->received.size() >= closeAfter) {
                flush(*c);
                if (c->open()) {
                    closeConnection(
                        *c, "closed by the printer after " + std::to_string(closeAfter) + " bytes");
                }
            }
        }
    }
    if (applied != seen) {
        applied = seen;
        changed.notify_all();
    }
}

void PrinterSimulator::State::acceptAll() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                lastError = systemError("accept", errno);
            }
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        // Replies are small and must not wait for the client's delayed acknowledgement.
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        auto c = std::make_unique<Connection>();
        c->index = connections.size() + 1;
        c->peer = endpointText(peer);
        c->fd = fd;
        if (!options.recordDir.empty()) {
            std::string path;
            c->record = openRecordFile(options.recordDir, &recordSequence, &path);
            if (c->record == nullptr) {
                lastError = "cannot create a record file in " + options.recordDir;
            }
        }
        ++openCount;
        events.push_back({Event::Kind::Connected, c->index, c->peer, {}, 0, {}});
        connections.push_back(std::move(c));
        changed.notify_all();
    }
}

void PrinterSimulator::State::readFrom(Connection& c) {
    char buffer[64 * 1024];
    size_t want = sizeof buffer;
    if (closeAfter != 0) {
        // Never take a byte past the limit, so the record holds exactly closeAfter bytes.
        want = std::min(want, closeAfter - std::min(closeAfter, c.received.size()));
        if (want == 0) {
            closeConnection(c,
                            "closed by the printer after " + std::to_string(closeAfter) + " bytes");
            return;
        }
    }
    ssize_t n = ::recv(c.fd, buffer, want, 0);
    if (n > 0) {
        consume(c, buffer, static_cast<size_t>(n));
        if (c.open() && closeAfter != 0 && c.received.size() >= closeAfter) {
            flush(c);
            if (c.open()) {
                closeConnection(
                    c, "closed by the printer after " + std::to_string(closeAfter) + " bytes");
            }
        }
    } else if (n == 0) {
        closeConnection(c, "closed by the client");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        closeConnection(c, systemError("closed", errno));
    }
}

void PrinterSimulator::State::consume(Connection& c, const char* data, size_t size) {
    c.received.append(data, size);
    totalReceived += size;
    if (c.record != nullptr) {
        if (std::fwrite(data, 1, size, c.record) != size || std::fflush(c.record) != 0) {
            lastError = "cannot write the record of connection " + std::to_string(c.index);
        }
    }
    events.push_back(
        {Event::Kind::Received, c.index, c.peer, std::string(data, size), c.received.size(), {}});
    changed.notify_all();

    if (echo) {
        c.outgoing.append(data, size);
    }
    const size_t requests = c.matcher.feed(std::string_view(data, size));
    const auto now = Clock::now();
    for (size_t i = 0; i < requests; ++i) {
        c.replies.push_back({now + replyDelay, modelReply(options.model)});
    }
    releaseDueReplies(c, now);
    flush(c);
}

void PrinterSimulator::State::releaseDueReplies(Connection& c, Clock::time_point now) {
    bool released = false;
    while (!c.replies.empty() && c.replies.front().due <= now) {
        c.outgoing += c.replies.front().bytes;
        c.replies.pop_front();
        released = true;
    }
    if (released) {
        flush(c);
    }
}

void PrinterSimulator::State::flush(Connection& c) {
    while (c.open() && c.sent < c.outgoing.size()) {
        ssize_t n = ::send(c.fd, c.outgoing.data() + c.sent, c.outgoing.size() - c.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            closeConnection(c, systemError("closed while sending", errno));
            return;
        }
    }
    if (c.sent == c.outgoing.size()) {
        c.outgoing.clear();
        c.sent = 0;
    }
}

void PrinterSimulator::State::closeConnection(Connection& c, const std::string& reason) {
    ::close(c.fd);
    c.fd = -1;
    if (c.record != nullptr) {
        std::fclose(c.record);
        c.record = nullptr;
    }
    c.outgoing.clear();
    c.sent = 0;
    c.replies.clear();
    --openCount;
    events.push_back({Event::Kind::Closed, c.index, c.peer, {}, c.received.size(), reason});
    changed.notify_all();
}

void PrinterSimulator::State::dispatchEvents(std::unique_lock<std::mutex>& lock) {
    if (events.empty()) {
        return;
    }
    std::vector<Event> pending;
    pending.swap(events);
    Observer notify = observer;
    if (!notify) {
        return;
    }
    lock.unlock();
    for (const Event& event : pending) {
        notify(event);
    }
    lock.lock();
}

// ---- API ----

PrinterSimulator::PrinterSimulator(Options options)
    : state_(std::make_unique<State>(std::move(options))) {}

PrinterSimulator::~PrinterSimulator() {
    stop();
}

bool PrinterSimulator::start(std::string& error) {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    std::unique_lock lock(s.mutex);
    if (s.running) {
        error = "the simulator is already running";
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(s.options.port);
    if (::inet_pton(AF_INET, s.options.address.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: '" + s.options.address + "'";
        return false;
    }
    if (!s.options.recordDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(s.options.recordDir, ec);
        if (ec || !std::filesystem::is_directory(s.options.recordDir)) {
            error = "cannot create the record folder " + s.options.recordDir +
                    (ec ? ": " + ec.message() : std::string());
            return false;
        }
    }
    // A port once chosen stays the simulator's port across refusals and restarts.
    if (s.address.sin_port != 0) {
        address.sin_port = s.address.sin_port;
    }
    int listenFd = openListener(address, error);
    if (listenFd < 0) {
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        error = systemError("eventfd", errno);
        ::close(listenFd);
        return false;
    }
    s.address = address;
    s.listenFd = listenFd;
    s.wakeFd = wakeFd;
    s.running = true;
    s.stopping = false;
    s.thread = std::thread([&s] { s.serve(); });
    s.serverId = s.thread.get_id();
    // A refusal set before start closes the listener before anyone can be let in.
    s.applyNow(lock);
    return true;
}

void PrinterSimulator::stop() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    {
        std::lock_guard lock(s.mutex);
        if (!s.thread.joinable()) {
            return;
        }
        s.stopping = true;
        s.wake();
    }
    s.thread.join();
    std::lock_guard lock(s.mutex);
    ::close(s.wakeFd);
    s.wakeFd = -1;
    s.serverId = {};
    s.running = false;
    s.changed.notify_all();
}

std::uint16_t PrinterSimulator::port() const {
    std::lock_guard lock(state_->mutex);
    return ntohs(state_->address.sin_port);
}

size_t PrinterSimulator::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.size();
}

std::vector<std::string> PrinterSimulator::connections() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> result;
    for (const auto& c : state_->connections) {
        result.push_back(c->received);
    }
    return result;
}

std::string PrinterSimulator::received() const {
    std::lock_guard lock(state_->mutex);
    std::string result;
    for (const auto& c : state_->connections) {
        result += c->received;
    }
    return result;
}

bool PrinterSimulator::waitForBytes(size_t total, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->totalReceived >= total; });
}

bool PrinterSimulator::waitForConnections(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->connections.size() >= count; });
}

bool PrinterSimulator::waitForNoOpenConnection(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->openCount == 0; });
}

void PrinterSimulator::send(const std::string& bytes) {
    std::lock_guard lock(state_->mutex);
    for (auto& c : state_->connections) {
        if (c->open()) {
            c->outgoing += bytes;
        }
    }
    state_->wake();
}

void PrinterSimulator::setRefuseConnections(bool refuse) {
    std::unique_lock lock(state_->mutex);
    state_->refuse = refuse;
    state_->applyNow(lock);
}

void PrinterSimulator::setCloseAfter(size_t bytes) {
    std::unique_lock lock(state_->mutex);
    state_->closeAfter = bytes;
    state_->applyNow(lock);
}

void PrinterSimulator::setStopReading(bool stop) {
    // The server thread checks the flag under the lock before every read, so no byte is read
    // after this returns; resuming wakes it to poll for input again.
    std::lock_guard lock(state_->mutex);
    state_->stopReading = stop;
    state_->wake();
}

void PrinterSimulator::setReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(state_->mutex);
    state_->replyDelay = delay;
}

void PrinterSimulator::setEcho(bool echo) {
    std::lock_guard lock(state_->mutex);
    state_->echo = echo;
}

void PrinterSimulator::closeConnections() {
    std::unique_lock lock(state_->mutex);
    ++state_->closeAllRequested;
    state_->applyNow(lock);
}

void PrinterSimulator::setObserver(Observer observer) {
    std::lock_guard lock(state_->mutex);
    state_->observer = std::move(observer);
}

std::string PrinterSimulator::lastError() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastError;
}

}  // namespace tarnel::printersim

// tarnel-bench: a virtual port against a plain TCP socket on loopback, and tarnel-host pty against
// socat, measured in one run with the two sides interleaved round by round. The port goes through
// the real driver on a host machine in a temporary folder; the printer is a small TCP peer here.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <random>
#include <semaphore>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/windows.h"

extern char** environ;

namespace {

namespace hk = tarnel::host::kernel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kMiB = 1024 * 1024;
constexpr auto kGiveUp = 60s;  // any single transfer; a stuck one ends the run with a reason

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "tarnel-bench: %s\n", what.c_str());
    std::fflush(stdout);
    std::_Exit(1);
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}
double Median(const std::vector<double>& v) {
    return Percentile(v, 0.5);
}

// ---- sockets ----

void NoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 128) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            Fail("cannot listen on loopback");
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    uint16_t port() const { return port_; }
    int accept(std::chrono::milliseconds timeout = 20s) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            Fail("no connection came to the listener");
        int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            Fail("accept failed");
        NoDelay(fd);
        return fd;
    }
    int connect() {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            Fail("cannot connect on loopback");
        NoDelay(fd);
        return fd;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

void SendAll(int fd, const char* data, size_t length) {
    while (length) {
        ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            Fail("send on loopback failed");
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
}

// Reads until `total` bytes came from the descriptor (a socket or a terminal).
void ReadExactly(int fd, size_t total, size_t chunk = 65536) {
    std::vector<char> buffer(chunk);
    auto deadline = Clock::now() + kGiveUp;
    while (total) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR)
            Fail("poll failed");
        if (Clock::now() > deadline)
            Fail("bytes did not arrive");
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t n = ::read(fd, buffer.data(), std::min(total, buffer.size()));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            Fail("the peer closed during a transfer");
        if (n > 0)
            total -= static_cast<size_t>(n);
    }
}

// A printer that sends back every byte it receives until it is destroyed. The connection stays
// open unless the echo owns it.
class Echo {
  public:
    Echo(int fd, bool owned) : fd_(fd), owned_(owned), thread_([this] { run(); }) {}
    ~Echo() {
        stop_ = true;
        thread_.join();
        if (owned_)
            close(fd_);
    }

  private:
    void run() {
        char buffer[65536];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return;
            SendAll(fd_, buffer, static_cast<size_t>(n));
        }
    }
    int fd_;
    bool owned_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- the two kinds of client ----

// One end an application writes to and reads from: a virtual port or a plain socket.
class Client {
  public:
    virtual ~Client() = default;
    virtual void write(const char* data, size_t length) = 0;
    // At least one byte (up to `length`) once any arrive.
    virtual size_t read(char* data, size_t length) = 0;
};

class SocketClient : public Client {
  public:
    explicit SocketClient(int fd) : fd_(fd) {}
    ~SocketClient() override { close(fd_); }
    void write(const char* data, size_t length) override { SendAll(fd_, data, length); }
    size_t read(char* data, size_t length) override {
        for (;;) {
            ssize_t n = ::recv(fd_, data, length, 0);
            if (n > 0)
                return static_cast<size_t>(n);
            if (n < 0 && errno == EINTR)
                continue;
            Fail("socket read failed");
        }
    }

  private:
    int fd_;
};

class PortClient : public Client {
  public:
    explicit PortClient(HANDLE h) : h_(h) {}
    ~PortClient() override { CloseHandle(h_); }
    void write(const char* data, size_t length) override {
        DWORD n = 0;
        if (!WriteFile(h_, data, static_cast<DWORD>(length), &n, nullptr) || n != length)
            Fail("port write failed (error " + std::to_string(GetLastError()) + ")");
    }
    size_t read(char* data, size_t length) override {
        auto deadline = Clock::now() + kGiveUp;
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(h_, data, static_cast<DWORD>(length), &n, nullptr))
                Fail("port read failed (error " + std::to_string(GetLastError()) + ")");
            if (n)
                return n;
            if (Clock::now() > deadline)
                Fail("port read: bytes did not arrive");
        }
    }

  private:
    HANDLE h_;
};

// An application's end and the printer's end of one connection.
struct Pair {
    std::unique_ptr<Client> client;
    int printer = -1;
};

// ---- the machine with its ports ----

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

void AssignPort(const std::u16string& name, uint16_t port) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (u"SOFTWARE\\Morvik\\TARNEL\\" + name).c_str(), 0,
                        nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        Fail("cannot write the store");
    BYTE address[4] = {127, 0, 0, 1};
    BYTE tcp[4] = {static_cast<BYTE>(port >> 8), static_cast<BYTE>(port & 0xFF), 0, 0};
    RegSetValueExW(key, u"IPAddress", 0, REG_DWORD, address, 4);
    RegSetValueExW(key, u"Port", 0, REG_DWORD, tcp, 4);
    RegCloseKey(key);
}

void InstallDriver() {
    std::string error;
    if (!hk::InstallDriverService(u"TARNEL", TARNEL_HOST_DRIVER, "Tarnel.sys", error))
        Fail("cannot install the driver: " + error);
}

// Ports COM100 … (no name is a prefix of another, so the store lookup finds each one's own key).
class Ports {
  public:
    explicit Ports(Listener& printer) : printer_(printer) { InstallDriver(); }
    ~Ports() { hk::ShutdownMachine(); }

    // Opens ports until `count` are open; the printer end of each is accepted at once.
    void openUpTo(size_t count) {
        while (pairs_.size() < count) {
            std::string name = "COM" + std::to_string(100 + pairs_.size());
            std::u16string wide = Widen(name);
            std::u16string id =
                hk::CreateRootInstance(u"PORTS", u"morvik\\tarnel", u"TARNEL", wide);
            AssignPort(wide, printer_.port());
            if (hk::StartDeviceInstance(id) != STATUS_SUCCESS)
                Fail("cannot start " + name);
            HANDLE h = CreateFileW((u"\\\\.\\" + wide).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                Fail("cannot open " + name + " (error " + std::to_string(GetLastError()) + ")");
            // A waiting read gives up after its eleventh poll when no byte comes.
            COMMTIMEOUTS t{};
            t.ReadTotalTimeoutConstant = 1000;
            SetCommTimeouts(h, &t);
            Pair p;
            p.client = std::make_unique<PortClient>(h);
            p.printer = printer_.accept();
            pairs_.push_back(std::move(p));
            hk::ClearDebugLines();
        }
    }
    Pair& operator[](size_t i) { return pairs_[i]; }
    size_t size() const { return pairs_.size(); }
    // The printer closes first, so that each port's cleanup finds its disconnect already done.
    void closeAll() {
        for (auto& p : pairs_) {
            close(p.printer);
            p.client.reset();
        }
        pairs_.clear();
    }

  private:
    Listener& printer_;
    std::vector<Pair> pairs_;
};

class Sockets {
  public:
    explicit Sockets(Listener& printer) : printer_(printer) {}
    ~Sockets() {
        for (auto& p : pairs_)
            close(p.printer);
    }
    void openUpTo(size_t count) {
        while (pairs_.size() < count) {
            Pair p;
            p.client = std::make_unique<SocketClient>(printer_.connect());
            p.printer = printer_.accept();
            pairs_.push_back(std::move(p));
        }
    }
    Pair& operator[](size_t i) { return pairs_[i]; }

  private:
    Listener& printer_;
    std::vector<Pair> pairs_;
};

// ---- the figures ----

// Seconds for `total` bytes written in `chunk`-byte writes to be received by the printer.
double WriteTime(Pair& p, size_t total, size_t chunk) {
    std::vector<char> data(chunk, 'w');
    std::thread sink([&] { ReadExactly(p.printer, total); });
    auto start = Clock::now();
    for (size_t sent = 0; sent < total; sent += chunk)
        p.client->write(data.data(), std::min(chunk, total - sent));
    sink.join();
    return Seconds(Clock::now() - start);
}

// Seconds for the application to read `total` bytes the printer sends, in `chunk`-byte reads.
double ReadTime(Pair& p, size_t total, size_t chunk) {
    std::vector<char> buffer(chunk);
    auto start = Clock::now();
    std::thread source([&] {
        std::vector<char> data(65536, 'r');
        for (size_t sent = 0; sent < total; sent += data.size())
            SendAll(p.printer, data.data(), std::min(data.size(), total - sent));
    });
    for (size_t got = 0; got < total;)
        got += p.client->read(buffer.data(), std::min(chunk, total - got));
    auto end = Clock::now();
    source.join();
    return Seconds(end - start);
}

// Microseconds from the printer sending one byte to the application's waiting read completing.
std::vector<double> ReplyLatency(Pair& p, int samples, std::mt19937& random) {
    std::vector<double> out;
    std::atomic<Clock::time_point> sent{};
    std::binary_semaphore ready(0), done(0);
    Clock::time_point completed;
    std::thread reader([&] {
        char c;
        for (int i = 0; i < samples; ++i) {
            ready.release();
            p.client->read(&c, 1);
            completed = Clock::now();
            done.release();
        }
    });
    std::uniform_int_distribution<int> pause(200, 1500);
    for (int i = 0; i < samples; ++i) {
        ready.acquire();
        // The read is waiting by now; the pause also spreads the byte over a poll period.
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        auto t0 = Clock::now();
        SendAll(p.printer, "x", 1);
        done.acquire();
        out.push_back(Micros(completed - t0));
    }
    reader.join();
    return out;
}

// Microseconds for one byte written to come back from an echoing printer.
std::vector<double> EchoRoundTrip(Pair& p, int samples) {
    std::vector<double> out;
    Echo echo(p.printer, false);
    char c = 'e';
    for (int i = 0; i < samples; ++i) {
        auto t0 = Clock::now();
        p.client->write(&c, 1);
        p.client->read(&c, 1);
        out.push_back(Micros(Clock::now() - t0));
    }
    return out;
}

// Seconds for `writers` connections writing `each` bytes at once in 4 KiB writes.
template <typename Set>
double ParallelWriteTime(Set& set, size_t writers, size_t each) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < writers; ++i) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = set[i].printer;
        epoll_ctl(ep, EPOLL_CTL_ADD, set[i].printer, &e);
    }
    std::latch go(static_cast<std::ptrdiff_t>(writers) + 1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < writers; ++i)
        threads.emplace_back([&, i] {
            std::vector<char> data(4096, 'p');
            go.arrive_and_wait();
            for (size_t sent = 0; sent < each; sent += data.size())
                set[i].client->write(data.data(), std::min(data.size(), each - sent));
        });
    go.arrive_and_wait();
    auto start = Clock::now();
    size_t left = writers * each;
    std::vector<char> buffer(65536);
    auto deadline = start + kGiveUp;
    while (left) {
        epoll_event events[64];
        int n = epoll_wait(ep, events, 64, 1000);
        if (Clock::now() > deadline)
            Fail("parallel writes did not arrive");
        for (int k = 0; k < n; ++k) {
            ssize_t r = ::recv(events[k].data.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (r > 0)
                left -= static_cast<size_t>(r);
        }
    }
    auto end = Clock::now();
    for (auto& t : threads)
        t.join();
    close(ep);
    return Seconds(end - start);
}

// Percent of one core the whole process used while nothing was asked of it.
double IdleCpuPercent(std::chrono::milliseconds window) {
    auto cpu = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    std::this_thread::sleep_for(300ms);  // let start-up work settle
    double c0 = cpu();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(window);
    double c1 = cpu();
    return 100.0 * (c1 - c0) / Seconds(Clock::now() - t0);
}

// ---- reporting ----

struct Ratio {
    std::vector<double> rounds;  // port ÷ baseline, one per round or pair
    double median() const { return Median(rounds); }
    double min() const {
        return rounds.empty() ? 0 : *std::min_element(rounds.begin(), rounds.end());
    }
    double max() const {
        return rounds.empty() ? 0 : *std::max_element(rounds.begin(), rounds.end());
    }
};

std::string Fmt(const char* format, double v) {
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

void PrintRatio(const char* label, const std::string& port, const std::string& base,
                const Ratio& r) {
    std::printf("  %-34s port %-16s base %-16s ratio %.2f (min %.2f, max %.2f)\n", label,
                port.c_str(), base.c_str(), r.median(), r.min(), r.max());
}

struct Goal {
    std::string name;
    double value;
    bool atLeast;
    double target;
    std::string unit;
};
std::vector<Goal> g_goals;

// Figures to measure (--only): empty means all of them.
std::vector<std::string> g_only;
bool Wanted(const char* figure) {
    return g_only.empty() || std::find(g_only.begin(), g_only.end(), figure) != g_only.end();
}

void AddGoal(const std::string& name, double value, bool atLeast, double target,
             const std::string& unit = "") {
    g_goals.push_back({name, value, atLeast, target, unit});
}

// ---- the pty bridge against socat ----

class Process {
  public:
    Process(const std::vector<std::string>& args, const fs::path& machine, const fs::path& log) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "TARNEL_MACHINE=", 15) != 0)
                env.push_back(*e);
        env.push_back("TARNEL_MACHINE=" + machine.string());
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 500 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(10ms);
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

int OpenRawTerminal(const fs::path& link) {
    auto deadline = Clock::now() + 20s;
    while (!fs::exists(link)) {
        if (Clock::now() > deadline)
            Fail("the terminal " + link.string() + " did not appear");
        std::this_thread::sleep_for(10ms);
    }
    int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        Fail("cannot open " + link.string());
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

struct Bridge {
    std::unique_ptr<Process> process;
    std::unique_ptr<Echo> echo;
    int terminal = -1;
};

// Seconds for `total` bytes written to the terminal to come back through an echoing printer.
double TerminalEchoTime(int fd, size_t total) {
    auto start = Clock::now();
    std::thread writer([&] {
        std::vector<char> data(4096, 't');
        for (size_t sent = 0; sent < total;) {
            ssize_t n = ::write(fd, data.data(), std::min(data.size(), total - sent));
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                Fail("terminal write failed");
            if (n > 0)
                sent += static_cast<size_t>(n);
        }
    });
    ReadExactly(fd, total, 4096);
    auto end = Clock::now();
    writer.join();
    return Seconds(end - start);
}

std::vector<double> TerminalRoundTrip(int fd, int samples) {
    std::vector<double> out;
    for (int i = 0; i < samples; ++i) {
        auto t0 = Clock::now();
        if (::write(fd, "r", 1) != 1)
            Fail("terminal write failed");
        ReadExactly(fd, 1, 1);
        out.push_back(Micros(Clock::now() - t0));
    }
    return out;
}

bool HaveSocat() {
    return std::system("command -v socat >/dev/null 2>&1") == 0;
}

void PtyFigures(int rounds) {
    std::printf("\npty bridge (tarnel-host pty) against socat, both to an echoing printer\n");
    if (!HaveSocat()) {
        std::printf("  socat is not installed (scripts/bootstrap.sh installs it): skipped\n");
        return;
    }
    tarnel::host::TestMachine machine;
    InstallDriver();
    hk::CreateRootInstance(u"PORTS", u"morvik\\tarnel", u"TARNEL", u"COM5");
    Listener printer;
    AssignPort(u"COM5", printer.port());

    Bridge ours, theirs;
    fs::path ourLink = machine.root() / "ttyCOM5", theirLink = machine.root() / "ttysocat";
    ours.process = std::make_unique<Process>(
        std::vector<std::string>{TARNEL_HOST_TOOL, "pty", "COM5", "--link", ourLink.string()},
        machine.root(), machine.root() / "pty.log");
    if (!ours.process->started())
        Fail("cannot start tarnel-host pty");
    ours.echo = std::make_unique<Echo>(printer.accept(), true);
    ours.terminal = OpenRawTerminal(ourLink);
    theirs.process = std::make_unique<Process>(
        std::vector<std::string>{"socat", "PTY,link=" + theirLink.string() + ",raw,echo=0",
                                 "TCP:127.0.0.1:" + std::to_string(printer.port())},
        machine.root(), machine.root() / "socat.log");
    if (!theirs.process->started())
        Fail("cannot start socat");
    theirs.terminal = OpenRawTerminal(theirLink);
    theirs.echo = std::make_unique<Echo>(printer.accept(), true);

    constexpr size_t kEchoBytes = 10 * kMiB;
    constexpr int kTrips = 300;
    Ratio throughput, trip;
    std::vector<double> ourTrips, theirTrips;
    double ourRate = 0, theirRate = 0;
    for (int r = 0; r < rounds; ++r) {
        double a = TerminalEchoTime(ours.terminal, kEchoBytes);
        double b = TerminalEchoTime(theirs.terminal, kEchoBytes);
        throughput.rounds.push_back(b / a);
        ourRate += kEchoBytes / a / kMiB / rounds;
        theirRate += kEchoBytes / b / kMiB / rounds;
        auto x = TerminalRoundTrip(ours.terminal, kTrips);
        auto y = TerminalRoundTrip(theirs.terminal, kTrips);
        trip.rounds.push_back(Median(x) / Median(y));
        ourTrips.insert(ourTrips.end(), x.begin(), x.end());
        theirTrips.insert(theirTrips.end(), y.begin(), y.end());
    }
    PrintRatio("10 MiB echo, 4 KiB writes", Fmt("%.1f MiB/s", ourRate),
               Fmt("%.1f MiB/s", theirRate), throughput);
    PrintRatio("1-byte round trip, median",
               Fmt("%.0f us", Median(ourTrips)) + Fmt(" p99 %.0f", Percentile(ourTrips, 0.99)),
               Fmt("%.0f us", Median(theirTrips)) + Fmt(" p99 %.0f", Percentile(theirTrips, 0.99)),
               trip);
    AddGoal("pty_throughput_vs_socat", throughput.median(), true, 1.0, "x");
    AddGoal("pty_round_trip_vs_socat", trip.median(), false, 1.5, "x");
    close(ours.terminal);
    close(theirs.terminal);
    ours.process.reset();
    theirs.process.reset();
    ours.echo.reset();
    theirs.echo.reset();
    hk::ShutdownMachine();
}

// ---- the port against a socket ----

void PortFigures(int rounds) {
    tarnel::host::TestMachine machine;
    Listener printer;
    Ports ports(printer);
    Sockets sockets(printer);
    ports.openUpTo(1);
    sockets.openUpTo(1);
    std::mt19937 random(11);

    constexpr size_t kBulk = 10 * kMiB, kSmall = 1 * kMiB;
    constexpr int kSamples = 300;
    Ratio write4k, write64, bulkRead, replyMedian, echoMedian;
    double w4[2] = {}, w64[2] = {}, br[2] = {};
    std::vector<double> reply[2], echo[2];
    // One transfer takes milliseconds, so a single pair swings with where the scheduler happens
    // to put the threads: each round measures every throughput figure in several pairs.
    constexpr int kPairsPerRound = 5;
    const int pairs = rounds * kPairsPerRound;
    std::printf("one port against one socket, %d rounds (throughput: %d pairs), port and socket "
                "in turn\n",
                rounds, pairs);
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < kPairsPerRound && Wanted("write4k"); ++i) {
            double a = WriteTime(ports[0], kBulk, 4096), b = WriteTime(sockets[0], kBulk, 4096);
            write4k.rounds.push_back(b / a);
            w4[0] += kBulk / a / kMiB / pairs, w4[1] += kBulk / b / kMiB / pairs;
        }
        for (int i = 0; i < kPairsPerRound && Wanted("write64"); ++i) {
            double a = WriteTime(ports[0], kSmall, 64), b = WriteTime(sockets[0], kSmall, 64);
            write64.rounds.push_back(b / a);
            w64[0] += kSmall / a / kMiB / pairs, w64[1] += kSmall / b / kMiB / pairs;
        }
        for (int i = 0; i < kPairsPerRound && Wanted("read"); ++i) {
            double a = ReadTime(ports[0], kBulk, 4096), b = ReadTime(sockets[0], kBulk, 4096);
            bulkRead.rounds.push_back(b / a);
            br[0] += kBulk / a / kMiB / pairs, br[1] += kBulk / b / kMiB / pairs;
        }
        if (Wanted("reply")) {
            auto x = ReplyLatency(ports[0], kSamples, random);
            auto y = ReplyLatency(sockets[0], kSamples, random);
            replyMedian.rounds.push_back(Median(x) / Median(y));
            reply[0].insert(reply[0].end(), x.begin(), x.end());
            reply[1].insert(reply[1].end(), y.begin(), y.end());
        }
        if (Wanted("echo")) {
            auto x = EchoRoundTrip(ports[0], kSamples);
            auto y = EchoRoundTrip(sockets[0], kSamples);
            echoMedian.rounds.push_back(Median(x) / Median(y));
            echo[0].insert(echo[0].end(), x.begin(), x.end());
            echo[1].insert(echo[1].end(), y.begin(), y.end());
        }
    }
    auto mibs = [](double v) { return Fmt("%.1f MiB/s", v); };
    auto times = [](const std::vector<double>& v) {
        return Fmt("%.0f", Median(v)) + Fmt("/%.0f us", Percentile(v, 0.99));
    };
    std::printf("  (throughput ratios: port / socket; time ratios: port / socket)\n");
    if (Wanted("write4k")) {
        PrintRatio("10 MiB in 4 KiB writes", mibs(w4[0]), mibs(w4[1]), write4k);
        AddGoal("write_4k_vs_raw", write4k.median(), true, 0.8, "x");
    }
    if (Wanted("write64")) {
        PrintRatio("1 MiB in 64-byte writes", mibs(w64[0]), mibs(w64[1]), write64);
        AddGoal("write_64b_vs_raw", write64.median(), true, 0.6, "x");
    }
    if (Wanted("read")) {
        PrintRatio("10 MiB bulk read, 4 KiB reads", mibs(br[0]), mibs(br[1]), bulkRead);
        AddGoal("bulk_read_vs_raw", bulkRead.median(), true, 0.6, "x");
    }
    if (Wanted("reply")) {
        PrintRatio("reply -> read done, med/p99", times(reply[0]), times(reply[1]), replyMedian);
        AddGoal("reply_read_median_us", Median(reply[0]), false, 100);
        AddGoal("reply_read_p99_us", Percentile(reply[0], 0.99), false, 1000);
    }
    if (Wanted("echo")) {
        PrintRatio("1-byte echo round trip, med/p99", times(echo[0]), times(echo[1]), echoMedian);
        AddGoal("echo_round_trip_vs_raw", echoMedian.median(), false, 5.0, "x");
    }
    if (!Wanted("scale")) {
        ports.closeAll();
        return;
    }

    // The scale curve: idle cost, read latency on the first port and everyone writing at once.
    std::printf("\nscale: N open ports (N sockets as the baseline)\n");
    std::printf("  %5s %14s %16s %20s %26s\n", "ports", "idle CPU %", "idle % per port",
                "reply->read med/p99", "N writing at once, ratio");
    constexpr size_t kTotalParallel = 16 * kMiB;
    double latencyAt1 = 0, idle1 = 0;
    for (size_t n : {1, 8, 32, 64}) {
        ports.openUpTo(n);
        sockets.openUpTo(n);
        double idle = IdleCpuPercent(2000ms);
        auto lat = ReplyLatency(ports[0], 200, random);
        Ratio parallel;
        double rate[2] = {};
        for (int r = 0; r < 2 * rounds; ++r) {
            double a = ParallelWriteTime(ports, n, kTotalParallel / n);
            double b = ParallelWriteTime(sockets, n, kTotalParallel / n);
            parallel.rounds.push_back(b / a);
            rate[0] += kTotalParallel / a / kMiB, rate[1] += kTotalParallel / b / kMiB;
        }
        double runs = static_cast<double>(parallel.rounds.size());
        std::printf("  %5zu %14.2f %16.3f %13.0f/%.0f us %8.0f/%.0f MiB/s %.2f (min %.2f)\n", n,
                    idle, idle / n, Median(lat), Percentile(lat, 0.99), rate[0] / runs,
                    rate[1] / runs, parallel.median(), parallel.min());
        if (n == 1) {
            latencyAt1 = Median(lat);
            idle1 = idle;
        }
        if (n == 64) {
            AddGoal("idle_cpu_per_port_pct", idle1, false, 0.1, "%");
            AddGoal("idle_cpu_64_ports_pct", idle, false, 5.0, "%");
            AddGoal("write_64_ports_vs_raw", parallel.median(), true, 0.5, "x");
            AddGoal("reply_read_64_vs_1_ports", Median(lat) / latencyAt1, false, 1.5, "x");
        }
    }
    ports.closeAll();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    bool pty = true, port = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--pty-only") {
            port = false;
        } else if (a == "--no-pty") {
            pty = false;
        } else if (a == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string figure; std::getline(list, figure, ',');)
                g_only.push_back(figure);
            pty = Wanted("pty");
        } else {
            std::fprintf(stderr,
                         "usage: tarnel-bench [--rounds N] [--no-pty | --pty-only] [--only LIST]\n"
                         "  Measures a virtual port against a plain TCP socket on loopback and\n"
                         "  tarnel-host pty against socat; ends with one GOAL line per target.\n"
                         "  --only: a comma list of the figures to measure, of write4k, write64,\n"
                         "  read, reply, echo, scale and pty.\n");
            return 2;
        }
    }
    if (!g_only.empty()) {
        port = false;
        for (const char* figure : {"write4k", "write64", "read", "reply", "echo", "scale"})
            port = port || Wanted(figure);
    }
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    auto start = Clock::now();
    if (port)
        PortFigures(rounds);
    if (pty)
        PtyFigures(rounds);
    std::printf("\n(%.0f s)\n", Seconds(Clock::now() - start));
    for (auto& g : g_goals) {
        bool ok = g.atLeast ? g.value >= g.target : g.value <= g.target;
        std::printf("GOAL %s %s%s %s%s%s %s\n", g.name.c_str(), Fmt("%.3g", g.value).c_str(),
                    g.unit.c_str(), g.atLeast ? ">=" : "<=", Fmt("%.3g", g.target).c_str(),
                    g.unit.c_str(), ok ? "ok" : "short");
    }
    return 0;
}

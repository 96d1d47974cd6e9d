// tarnel-host pty: a virtual port relayed to a Linux pseudo-terminal, so that any Linux serial
// program prints through the driver. Runs until SIGINT or SIGTERM; one thread reads the port.
// The printer's bytes enter the terminal as typed input, so the program's input settings (XON/XOFF
// start and stop, CR and NL translation...) work on them as on any terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/windows.h"
#include "tools/tarnel-host/commands.h"

namespace tarnel::hosttool {
namespace {

// A port read's total time-out: any non-zero value makes an empty port's read wait its polls.
constexpr DWORD kReadWaitMs = 1000;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char c = 1;
    (void)!write(g_signalPipe[1], &c, 1);
    errno = saved;
}

const char* OpenFailure(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return "no such port on this machine";
        case ERROR_ACCESS_DENIED:
            return "the port is already open";
        case ERROR_GEN_FAILURE:
            return "the printer cannot be reached (not assigned, down or refusing)";
        default:
            return "the port cannot be opened";
    }
}

unsigned long BaudOf(speed_t speed) {
    static const struct {
        speed_t code;
        unsigned long baud;
    } kSpeeds[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
        {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
        {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
        {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (auto& s : kSpeeds)
        if (s.code == speed)
            return s.baud;
    return 0;  // B0 (hang up) or unknown: the baud rate stays
}

// The parts of the terminal settings a serial port has.
struct LineSettings {
    unsigned long baud = 0;
    tcflag_t cflag = 0;
    tcflag_t iflag = 0;
    cc_t start = 0, stop = 0;
    bool operator==(const LineSettings&) const = default;
};

LineSettings LineSettingsOf(const termios& t) {
    LineSettings s;
    s.baud = BaudOf(cfgetospeed(&t));
    s.cflag = t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    s.iflag = t.c_iflag & (IXON | IXOFF);
    s.start = t.c_cc[VSTART];
    s.stop = t.c_cc[VSTOP];
    return s;
}

class Relay {
  public:
    Relay(std::string port, std::string link) : port_(std::move(port)), link_(std::move(link)) {}
    int run();

  private:
    bool openPort();
    bool openTerminal();
    void applySettings(bool announce);
    void readPort();  // the reader thread
    bool writePort(const char* data, DWORD length);
    bool waitFor(OVERLAPPED& ov, DWORD& done);
    void writeTerminal(const char* data, size_t length);
    void close();

    std::string port_, link_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;  // set when the relay ends; the reader thread waits on it too
    std::atomic<bool> stopping_{false};
    int master_ = -1, slave_ = -1;
    bool linked_ = false;
    LineSettings applied_;
    HANDLE written_ = nullptr;  // the write requests' event
    std::thread reader_;
};

bool Relay::openPort() {
    std::u16string name(port_.begin(), port_.end());
    if (name.size() > 4)
        name = u"\\\\.\\" + name;
    handle_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "tarnel-host: cannot open %s: %s (error %lu)\n", port_.c_str(),
                     OpenFailure(error), static_cast<unsigned long>(error));
        return false;
    }
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // A read takes what the port holds at once; on an empty port it waits, and the driver
    // completes it as bytes arrive, or empty after its eleven polls (about 11 ms) of silence.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    SetCommTimeouts(handle_, &timeouts);
    return true;
}

bool Relay::openTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        std::perror("tarnel-host: posix_openpt");
        return false;
    }
    const char* name = ptsname(master_);
    // Holding the terminal side open keeps the pair alive between two programs using it, and
    // the settings with it.
    slave_ = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave_ < 0) {
        std::perror("tarnel-host: open the terminal");
        return false;
    }
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);  // the driver's own default
    tcsetattr(slave_, TCSANOW, &t);
    // Packet mode reports the program's flushes. It is not asked to report every change of the
    // settings (EXTPROC): that would switch off the terminal's input processing. Settings are
    // read again before each write to the port and every 200 ms.
    int on = 1;
    if (ioctl(master_, TIOCPKT, &on) != 0) {
        std::perror("tarnel-host: TIOCPKT");
        return false;
    }
    if (!link_.empty()) {
        struct stat st {};
        if (lstat(link_.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "tarnel-host: %s exists and is not a link\n", link_.c_str());
                return false;
            }
            unlink(link_.c_str());
        }
        if (symlink(name, link_.c_str()) != 0) {
            std::fprintf(stderr, "tarnel-host: cannot make the link %s: %s\n", link_.c_str(),
                         std::strerror(errno));
            return false;
        }
        linked_ = true;
    }
    std::printf("%s relayed to %s%s%s\n", port_.c_str(), name, linked_ ? " (link " : "",
                linked_ ? (link_ + ")").c_str() : "");
    std::fflush(stdout);
    return true;
}

// Passes the terminal's line settings to the port when a program changed them. The master sees
// the terminal side's settings through the same descriptor.
void Relay::applySettings(bool announce) {
    termios t{};
    if (tcgetattr(master_, &t) != 0)
        return;
    LineSettings now = LineSettingsOf(t);
    if (now == applied_)
        return;
    applied_ = now;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) {
        std::fprintf(stderr, "tarnel-host: GetCommState failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return;
    }
    if (now.baud)
        dcb.BaudRate = static_cast<DWORD>(now.baud);
    // Linux pseudo-terminals refuse data bits other than 8 and parity today; mapped all the same.
    switch (now.cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(now.cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (now.cflag & CMSPAR)
        dcb.Parity = (now.cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (now.cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb.fParity = (now.cflag & PARENB) != 0;
    dcb.StopBits = (now.cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = (now.cflag & CRTSCTS) != 0;
    dcb.fRtsControl = (now.cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = (now.iflag & IXON) != 0;
    dcb.fInX = (now.iflag & IXOFF) != 0;
    dcb.XonChar = static_cast<char>(now.start);
    dcb.XoffChar = static_cast<char>(now.stop);
    if (!SetCommState(handle_, &dcb)) {
        std::fprintf(stderr, "tarnel-host: SetCommState failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return;
    }
    DCB back{};
    if (announce && GetCommState(handle_, &back)) {
        static const char kParity[] = "NOEMS";
        std::printf("%s: %lu baud, %u%c%s\n", port_.c_str(),
                    static_cast<unsigned long>(back.BaudRate), back.ByteSize,
                    back.Parity < 5 ? kParity[back.Parity] : '?',
                    back.StopBits == TWOSTOPBITS    ? "2"
                    : back.StopBits == ONE5STOPBITS ? "1.5"
                                                    : "1");
        std::fflush(stdout);
    }
}

bool Relay::waitFor(OVERLAPPED& ov, DWORD& done) {
    HANDLE events[2] = {ov.hEvent, stop_};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(handle_);  // only this thread's requests
        GetOverlappedResult(handle_, &ov, &done, TRUE);
        return false;
    }
    return GetOverlappedResult(handle_, &ov, &done, TRUE) != 0;
}

void Relay::writeTerminal(const char* data, size_t length) {
    // The master is non-blocking: with no program reading, the terminal's queue fills and the
    // port is left unread, so the driver's ring and TCP hold the printer back.
    while (length && !stopping_) {
        ssize_t n = ::write(master_, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            std::fprintf(stderr, "tarnel-host: terminal write failed: %s\n", std::strerror(errno));
            return;
        } else {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

// Relays the port's bytes to the terminal until the relay ends. Each read waits for bytes (see
// openPort), so nothing here polls; a failed read is tried again a little later.
void Relay::readPort() {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    constexpr DWORD kChunk = 256 * 1024;  // the driver's whole receive ring at once
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    while (!stopping_) {
        DWORD done = 0;
        ResetEvent(ov.hEvent);
        if (!ReadFile(handle_, buffer.get(), kChunk, &done, &ov) &&
            (GetLastError() != ERROR_IO_PENDING || !waitFor(ov, done))) {
            if (stopping_)
                break;
            WaitForSingleObject(stop_, 5);
            continue;
        }
        if (done)
            writeTerminal(buffer.get(), done);
    }
    CloseHandle(ov.hEvent);
}

bool Relay::writePort(const char* data, DWORD length) {
    OVERLAPPED ov{};
    ov.hEvent = written_;
    bool ok = false;
    // A write that finds the printer gone fails and drops the connection; the driver connects
    // again at the next write, so the bytes are written once more.
    for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
        DWORD done = 0;
        ResetEvent(ov.hEvent);
        ok = WriteFile(handle_, data, length, &done, &ov) ||
             (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(handle_, &ov, &done, TRUE));
        ok = ok && done == length;
        if (!ok)
            std::fprintf(stderr, "tarnel-host: write of %lu bytes failed (error %lu)%s\n",
                         static_cast<unsigned long>(length),
                         static_cast<unsigned long>(GetLastError()),
                         attempt == 0 ? ", writing again on a new connection" : "; bytes lost");
    }
    return ok;
}

void Relay::close() {
    stopping_ = true;
    if (stop_)
        SetEvent(stop_);
    if (reader_.joinable())
        reader_.join();
    if (handle_ != INVALID_HANDLE_VALUE) {
        PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    if (linked_)
        unlink(link_.c_str());
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    if (stop_)
        CloseHandle(stop_);
    if (written_)
        CloseHandle(written_);
    tarnel::host::kernel::ShutdownMachine();
}

int Relay::run() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("tarnel-host: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    written_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!openPort() || !openTerminal()) {
        close();
        return 1;
    }
    applySettings(true);
    reader_ = std::thread([this] { readPort(); });

    static char buffer[65537];
    int rc = 0;
    for (;;) {
        pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {master_, POLLIN, 0}};
        if (poll(fds, 2, 200) < 0 && errno != EINTR) {
            std::perror("tarnel-host: poll");
            rc = 1;
            break;
        }
        if (fds[0].revents)
            break;
        if (!(fds[1].revents & POLLIN)) {
            applySettings(true);  // packet mode does not report changes of the settings
            continue;
        }
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        // Packet mode: the first byte says whether data or an event of the terminal follows.
        char event = buffer[0];
        if (event == TIOCPKT_DATA) {
            // Bytes queued behind these go out in the same write. Each further read puts its
            // packet byte over the last data byte, which is put back.
            size_t used = static_cast<size_t>(n - 1);
            while (used < sizeof buffer - 1) {
                char last = buffer[used];
                ssize_t more = ::read(master_, buffer + used, sizeof buffer - used);
                if (more > 0)
                    event = buffer[used];
                buffer[used] = last;
                if (more <= 0 || event != TIOCPKT_DATA)
                    break;
                used += static_cast<size_t>(more - 1);
            }
            applySettings(true);  // settings made before these bytes go first
            writePort(buffer + 1, static_cast<DWORD>(used));
        }
        if (event != TIOCPKT_DATA) {
            if (event & TIOCPKT_FLUSHREAD)  // the program discarded its input
                PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
            applySettings(true);
        }
    }
    std::printf("%s closed\n", port_.c_str());
    close();
    return rc;
}

}  // namespace

// tarnel-host pty COMn [--link PATH]
int RunPty(int argc, char** argv) {
    std::string link;
    if (argc == 3 && !std::strcmp(argv[1], "--link") && *argv[2])
        link = argv[2];
    if ((argc != 1 && link.empty()) || argc < 1 || std::strncmp(argv[0], "COM", 3) != 0) {
        std::fprintf(stderr, "usage: tarnel-host pty COMn [--link PATH]\n");
        return 2;
    }
    Relay relay(argv[0], link);
    return relay.run();
}

}  // namespace tarnel::hosttool

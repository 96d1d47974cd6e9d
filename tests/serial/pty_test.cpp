// tarnel-host pty as a Linux program sees it: the terminal it makes, relayed through the Tarnel
// driver to the printer simulator; the program's input settings acting on the printer's bytes;
// refused opens; the printer dropping the connection.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/windows.h"
#include "tools/printer-sim/printer_sim.h"

extern char** environ;

namespace {

namespace hk = tarnel::host::kernel;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kWait = 20s;  // generous: sanitizer builds on a shared machine

// One run of a program with TARNEL_MACHINE set, its output going to a file.
class Process {
  public:
    Process(const std::vector<std::string>& args, const fs::path& machine, const fs::path& output)
        : output_(output) {
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
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    bool running() const { return pid_ > 0 && !exited_; }
    // The exit status, or -1 when the program did not end in time (or died of a signal).
    int wait(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        return status_;
    }
    int stop() {
        if (running())
            kill(pid_, SIGTERM);
        return wait(kWait);
    }
    std::string output() const {
        std::ifstream in(output_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool waitForOutput(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !running())
                return output().find(text) != std::string::npos;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

  private:
    fs::path output_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = std::make_unique<tarnel::host::TestMachine>();
        std::string error;
        ASSERT_TRUE(hk::InstallDriverService(u"TARNEL", TARNEL_HOST_DRIVER, "Tarnel.sys", error))
            << error;
        hk::CreateRootInstance(u"PORTS", u"morvik\\tarnel", u"TARNEL", u"COM5");
        printer_.setEcho(true);
        ASSERT_TRUE(printer_.start(error)) << error;
        Assign(u"COM5");
        link_ = machine_->root() / "ttyCOM5";
    }

    void Assign(const std::u16string& port) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, (u"SOFTWARE\\Morvik\\TARNEL\\" + port).c_str(), 0,
                            nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        BYTE address[4] = {127, 0, 0, 1};
        BYTE tcp[4] = {static_cast<BYTE>(printer_.port() >> 8),
                       static_cast<BYTE>(printer_.port() & 0xFF), 0, 0};
        EXPECT_EQ(RegSetValueExW(key, u"IPAddress", 0, REG_DWORD, address, 4), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, u"Port", 0, REG_DWORD, tcp, 4), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::unique_ptr<Process> Spawn(const std::vector<std::string>& args, const std::string& name) {
        return std::make_unique<Process>(args, machine_->root(), machine_->root() / name);
    }
    std::unique_ptr<Process> Run(std::vector<std::string> args, const std::string& name) {
        args.insert(args.begin(), TARNEL_HOST_TOOL);
        return Spawn(args, name);
    }
    // tarnel-host pty COM5 --link ...: running, with its link in place.
    std::unique_ptr<Process> StartRelay() {
        auto relay = Run({"pty", "COM5", "--link", link_.string()}, "pty.log");
        EXPECT_TRUE(relay->started());
        EXPECT_TRUE(relay->waitForOutput("COM5 relayed to /dev/pts/")) << relay->output();
        EXPECT_TRUE(fs::is_symlink(link_));
        return relay;
    }

    std::unique_ptr<tarnel::host::TestMachine> machine_;
    tarnel::printersim::PrinterSimulator printer_;
    fs::path link_;
};

// A raw terminal opened the way a small C program would.
class Terminal {
  public:
    explicit Terminal(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Terminal() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Raw, but with these input flags, as a program sets them with tcsetattr.
    bool setInputFlags(tcflag_t flags) {
        termios t{};
        tcgetattr(fd_, &t);
        t.c_iflag = flags;
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    bool write(const std::string& s) {
        return ::write(fd_, s.data(), s.size()) == ssize_t(s.size());
    }
    // Whatever arrives within `timeout`, up to `count` bytes.
    std::string read(size_t count, std::chrono::milliseconds timeout) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[4096];
            ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
            if (n <= 0)
                break;
            out.append(buffer, n);
        }
        return out;
    }

  private:
    int fd_ = -1;
};

bool PyserialAvailable() {
    return access("/usr/bin/python3", X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import serial' >/dev/null 2>&1") == 0;
}

TEST_F(PtyTest, PyserialTalksToTheEchoingPrinterThroughTheDriver) {
    if (!PyserialAvailable())
        GTEST_SKIP() << "Debian's python3-serial is not installed for /usr/bin/python3";
    auto relay = StartRelay();
    ASSERT_TRUE(relay->running()) << relay->output();
    auto client = Spawn({"/usr/bin/python3", TARNEL_PYSERIAL_CLIENT, link_.string()}, "client.log");
    ASSERT_TRUE(client->started());
    EXPECT_EQ(client->wait(60s), 0) << client->output() << "\n--- relay ---\n" << relay->output();
    EXPECT_THAT(client->output(), HasSubstr("pyserial client: ok"));

    // The printer got every byte, on one connection.
    std::string greeting = "hello through COM5\r\n";
    std::string after = "after 19200 8N2\n";
    ASSERT_TRUE(printer_.waitForBytes(greeting.size() + 50000 + after.size(), kWait));
    EXPECT_EQ(printer_.connectionCount(), 1u);
    std::string received = printer_.received();
    EXPECT_EQ(received.substr(0, greeting.size()), greeting);
    EXPECT_EQ(received.substr(received.size() - after.size()), after);
    // The settings pyserial made reached the port, read back with GetCommState.
    EXPECT_THAT(relay->output(), HasSubstr("COM5: 9600 baud, 8N1"));
    EXPECT_THAT(relay->output(), HasSubstr("COM5: 19200 baud, 8N2"));

    EXPECT_EQ(relay->stop(), 0) << relay->output();
    EXPECT_THAT(relay->output(), HasSubstr("COM5 closed"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
    EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
}

TEST_F(PtyTest, RelayingGoesOnWhenThePrinterDropsTheConnection) {
    auto relay = StartRelay();
    Terminal terminal(link_);
    ASSERT_TRUE(terminal.ok());
    ASSERT_TRUE(terminal.write("one"));
    EXPECT_EQ(terminal.read(3, kWait), "one");
    printer_.closeConnections();
    ASSERT_TRUE(printer_.waitForNoOpenConnection(kWait));

    // A byte written before the driver has seen the close can still go out on the dead
    // connection; keep writing until the printer answers on a new one.
    std::string echoed;
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (echoed.empty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(terminal.write("."));
        echoed = terminal.read(1, 200ms);
    }
    EXPECT_EQ(echoed, ".");
    EXPECT_EQ(printer_.connectionCount(), 2u);
    std::string rest;
    ASSERT_TRUE(terminal.write("two"));
    // Dots still on their way back come first.
    auto until = std::chrono::steady_clock::now() + kWait;
    while (rest.find("two") == std::string::npos && std::chrono::steady_clock::now() < until)
        rest += terminal.read(1, 100ms);
    EXPECT_THAT(rest, ::testing::EndsWith("two"));
    EXPECT_EQ(rest.find_first_not_of('.'), rest.size() - 3);
    EXPECT_TRUE(relay->running());
    EXPECT_EQ(relay->stop(), 0) << relay->output();
}

// Many writes of a program gathered into larger port writes, and the echo back, keep every byte
// in order.
TEST_F(PtyTest, ABulkTransferComesBackWholeAndInOrder) {
    auto relay = StartRelay();
    Terminal terminal(link_);
    ASSERT_TRUE(terminal.ok());
    std::string pattern;
    for (size_t i = 0; pattern.size() < 512 * 1024; ++i)
        pattern += std::to_string(i) + ",";
    std::thread program([&] {
        for (size_t at = 0; at < pattern.size(); at += 1000)
            ASSERT_TRUE(terminal.write(pattern.substr(at, 1000)));
    });
    std::string back = terminal.read(pattern.size(), kWait);
    program.join();
    EXPECT_TRUE(back == pattern) << back.size() << " of " << pattern.size() << " bytes";
    EXPECT_TRUE(printer_.received() == pattern);
    EXPECT_EQ(relay->stop(), 0) << relay->output();
}

// The printer's bytes reach the program as input of its terminal, processed by its settings.
TEST_F(PtyTest, ThePrintersBytesPassTheProgramsInputSettings) {
    auto relay = StartRelay();
    Terminal terminal(link_);
    ASSERT_TRUE(terminal.ok());
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));  // the printer sends on open ones only
    struct Case {
        const char* label;
        tcflag_t flags;
        std::string sent, read;
    } cases[] = {
        {"raw", 0, "a\rb\nc\x13\x11\xC1", "a\rb\nc\x13\x11\xC1"},
        {"ICRNL", ICRNL, "a\rb\r\n", "a\nb\n\n"},
        {"INLCR", INLCR, "a\nb", "a\rb"},
        {"IGNCR", IGNCR, "a\r\rb", "ab"},
        {"ISTRIP", ISTRIP, "\xC1\xE2", "Ab"},
        {"IXON takes the start and stop characters", IXON,
         "a\x13"
         "b\x11"
         "c",
         "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(terminal.setInputFlags(c.flags));
        printer_.send(c.sent);
        EXPECT_EQ(terminal.read(c.read.size(), kWait), c.read);
        EXPECT_EQ(terminal.read(1, 100ms), "");  // nothing more
    }
    EXPECT_EQ(relay->stop(), 0) << relay->output();
}

// XON/XOFF as on a serial line: the printer's XOFF holds the program's output back until XON.
TEST_F(PtyTest, AnXoffFromThePrinterStopsTheProgramsOutputUntilXon) {
    auto relay = StartRelay();
    Terminal terminal(link_);
    ASSERT_TRUE(terminal.ok());
    ASSERT_TRUE(terminal.setInputFlags(IXON));
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    printer_.send("\x13m");
    EXPECT_EQ(terminal.read(1, kWait), "m");  // the XOFF went before, taken by the terminal
    // The program's write blocks while its output is stopped, as on any terminal.
    std::thread program([&] { EXPECT_TRUE(terminal.write("held")); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(printer_.received(), "");
    printer_.send("\x11");
    EXPECT_TRUE(printer_.waitForBytes(4, kWait));
    program.join();
    EXPECT_EQ(printer_.received(), "held");
    EXPECT_EQ(relay->stop(), 0) << relay->output();
}

TEST_F(PtyTest, RefusedOpensEndWithAReason) {
    tarnel::printersim::PrinterSimulator* printer = &printer_;
    hk::CreateRootInstance(u"PORTS", u"morvik\\tarnel", u"TARNEL", u"COM6");  // not assigned
    struct Case {
        const char* label;
        std::vector<std::string> args;
        bool refuse;
        int status;
        const char* message;
    } cases[] = {
        {"unknown port",
         {"pty", "COM9", "--link", link_.string()},
         false,
         1,
         "cannot open COM9: no such port"},
        {"no printer assigned",
         {"pty", "COM6", "--link", link_.string()},
         false,
         1,
         "cannot open COM6: the printer cannot be reached"},
        {"printer down",
         {"pty", "COM5", "--link", link_.string()},
         true,
         1,
         "cannot open COM5: the printer cannot be reached"},
        {"no port named", {"pty"}, false, 2, "usage: tarnel-host pty COMn [--link PATH]"},
        {"link without a path", {"pty", "COM5", "--link"}, false, 2, "usage: tarnel-host pty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        printer->setRefuseConnections(c.refuse);
        auto run = Run(c.args, "refused.log");
        EXPECT_EQ(run->wait(kWait), c.status) << run->output();
        EXPECT_THAT(run->output(), HasSubstr(c.message));
        EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
    }
    printer->setRefuseConnections(false);
    EXPECT_EQ(printer_.connectionCount(), 0u);
}

}  // namespace

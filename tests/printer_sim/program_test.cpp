// The tarnel-printer-sim program: its refusal of bad options and of a port in use, and one run that
// answers a client, reports it line by line and ends with status 0 on SIGTERM.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/printer_sim/loopback_client.h"

extern char** environ;

namespace tarnel::printersim::test {
namespace {

// The program started with pipes on stdout and stderr.
class Program {
  public:
    explicit Program(const std::vector<std::string>& args) {
        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<char*> argv;
        std::string path = TARNEL_PRINTER_SIM_PROGRAM;
        argv.push_back(path.data());
        std::vector<std::string> copies = args;
        for (auto& a : copies) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool started() const { return pid_ > 0; }

    // Reads stdout until a whole line holding `text` has come; false at the deadline or its end.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.find(text) == std::string::npos ||
               out.find('\n', out.find(text)) == std::string::npos) {
            if (!readSome(out_, out, deadline)) {
                return false;
            }
        }
        return true;
    }

    // Waits for the exit, collecting the rest of both outputs; nullopt when it does not end.
    std::optional<int> exitCode(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readSome(out_, out, deadline)) {
        }
        while (readSome(err_, err, deadline)) {
        }
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::poll(nullptr, 0, 10);  // a child's exit cannot be polled on without a signal
        }
        return std::nullopt;
    }

    void signal(int number) { ::kill(pid_, number); }

    std::string out;
    std::string err;

  private:
    // Appends what the pipe has; false at its end or at the deadline.
    static bool readSome(int fd, std::string& into,
                         std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

TEST(PrinterProgram, RejectsBadOptionsWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"9100"}, "unknown option '9100'"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "65536"}, "not a port number"},
        {{"--port", "91x"}, "not a port number"},
        {{"--port=-1"}, "not a port number"},
        {{"--address", "999.0.0.1"}, "not an IPv4 address"},
        {{"--address", "::1"}, "not an IPv4 address"},
        {{"--model", ""}, "model name is empty"},
        {{"--close-after", "0"}, "not a positive byte count"},
        {{"--close-after", "ten"}, "not a positive byte count"},
        {{"--reply-delay", "-5"}, "not a delay"},
        {{"--reply-delay", "3600001"}, "not a delay"},
        {{"--echo=yes"}, "--echo takes no value"},
        {{"--port", "0", "--refuse", "--record"}, "--record needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        Program program(c.args);
        ASSERT_TRUE(program.started());
        EXPECT_EQ(program.exitCode(), 2);
        EXPECT_NE(program.err.find(c.reason), std::string::npos) << program.err;
        EXPECT_NE(program.err.find("usage:"), std::string::npos);
        EXPECT_EQ(program.out, "");
    }
}

TEST(PrinterProgram, PortInUseEndsWithAMessage) {
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address = loopback(0);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    Program program({"--port", port});
    ASSERT_TRUE(program.started());
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_NE(program.err.find("cannot listen on 127.0.0.1:" + port + ": Address already in use"),
              std::string::npos)
        << program.err;
    ::close(holder);
}

TEST(PrinterProgram, ServesReportsAndStopsOnSigterm) {
    char pattern[] = "/tmp/tarnel-printer-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;

    Program program(
        {"--port", "0", "--model=LP-2", "--record", (dir / "rec").string(), "--reply-delay", "20"});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.waitForOutput("listening on 127.0.0.1:")) << program.out;
    const auto at = program.out.find("127.0.0.1:") + 10;
    const int port = std::stoi(program.out.substr(at));
    ASSERT_GT(port, 0);
    EXPECT_NE(program.out.find("as model LP-2"), std::string::npos) << program.out;

    {
        LoopbackClient client(static_cast<std::uint16_t>(port));
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.sendAll("\x1D\x49\x43"));
        EXPECT_EQ(client.read(6), std::string("\x5FLP-2", 5) + std::string(1, '\0'));
    }
    ASSERT_TRUE(program.waitForOutput("#1 closed by the client")) << program.out;
    EXPECT_NE(program.out.find("#1 connected from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(program.out.find("#1 received 3 bytes (3 in all): 1d 49 43"), std::string::npos)
        << program.out;

    program.signal(SIGTERM);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_NE(program.out.find("stopped by SIGTERM: 1 connections, 3 bytes received"),
              std::string::npos)
        << program.out;
    EXPECT_EQ(program.err, "");

    std::ifstream record(dir / "rec" / "connection-0001.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(record), {}), "\x1D\x49\x43");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarnel::printersim::test

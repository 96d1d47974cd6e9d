// tarnel-printer-sim answering discovery: several printers from one command line, found by the
// scanner on this process's loopback address; bad discovery options are refused.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tool/discovery/udp_scanner.h"

extern char** environ;

namespace tarnel::test {
namespace {

pid_t Spawn(std::vector<std::string> args) {
    std::string path = TARNEL_PRINTER_SIM_PROGRAM;
    std::vector<char*> argv{path.data()};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int ExitCode(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SimProgram : public WinsockTest {};

TEST_F(SimProgram, AnswersDiscoveryAsSeveralPrinters) {
    const std::string here = ProcessLoopbackText();
    pid_t pid = Spawn({"--address", here, "--port", "0", "--discovery", "--printers", "3", "--mac",
                       "00:1B:AC:00:00:10"});
    ASSERT_GT(pid, 0);
    auto* scanner = new COstraUdpScanner({{IFF_UP | IFF_BROADCAST, Address(here), Address(here)}});
    int found = 0;
    for (int attempt = 0; attempt < 10 && found < 3; ++attempt)
        found = scanner->SearchOnce();
    EXPECT_EQ(found, 3);
    EXPECT_FALSE(scanner->FindByMac(XStringW(u"00:1b:ac:00:00:12"), false).IsEmpty());
    scanner->Release();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(ExitCode(pid), 0);
}

TEST_F(SimProgram, RefusesBadDiscoveryOptions) {
    for (auto args : std::vector<std::vector<std::string>>{{"--mac", "00:1B:AC"},
                                                           {"--kind", "serial"},
                                                           {"--printers", "0"},
                                                           {"--announce", "1.2.3"},
                                                           {"--discovery-delay", "soon"},
                                                           {"--discovery=yes"}}) {
        SCOPED_TRACE(args[0]);
        pid_t pid = Spawn(args);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(ExitCode(pid), 2);
    }
}

}  // namespace
}  // namespace tarnel::test

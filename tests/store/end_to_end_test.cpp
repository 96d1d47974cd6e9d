// The store across processes: tarnel-host, running the tool's store code in a process of its
// own, assigns a port; this process's driver opens the port and prints to the printer
// simulator at the address the tool wrote; after the tool deletes the assignment the open fails.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstring>

#include <string>
#include <vector>

#include "tests/driver/printer_port_fixture.h"

extern char** environ;

namespace tarnel::test {
namespace {

class StoreEndToEnd : public PrinterPortTest {
  protected:
    // Runs tarnel-host with the arguments on this machine; its exit code.
    int Tool(std::vector<std::string> args) {
        args.insert(args.begin(), TARNEL_HOST_TOOL);
        std::vector<std::string> env = {"TARNEL_MACHINE=" + machine_->root().string()};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "TARNEL_MACHINE=", 15) != 0)
                env.emplace_back(*e);
        std::vector<char*> argv, envp;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
            return -1;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(StoreEndToEnd, ThePortTheToolAssignsPrintsToThePrinter) {
    Port(u"COM7", false);
    // Without an assignment the driver has no printer to connect to.
    EXPECT_EQ(Open(u"COM7"), INVALID_HANDLE_VALUE);

    ASSERT_EQ(Tool({"assign", "COM7", "127.0.0.1", std::to_string(printer_.port())}), 0);
    HANDLE h = Open(u"COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string page = "hello from the store\r\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, page.data(), static_cast<DWORD>(page.size()), &written, nullptr));
    EXPECT_EQ(written, page.size());
    ASSERT_TRUE(printer_.waitForBytes(page.size(), kWait));
    EXPECT_EQ(printer_.received(), page);
    Close(h);

    ASSERT_EQ(Tool({"unassign", "COM7"}), 0);
    EXPECT_EQ(Open(u"COM7"), INVALID_HANDLE_VALUE) << "the driver reads the store at every open";
    EXPECT_EQ(printer_.connectionCount(), 1u);
}

}  // namespace
}  // namespace tarnel::test

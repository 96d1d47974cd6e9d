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
#include "tests/support/host_tool_process.h"

extern char** environ;

namespace tarnel::test {
namespace {

class StoreEndToEnd : public PrinterPortTest {
  protected:
    // Runs tarnel-host with the arguments on this machine; its exit code.
    int Tool(std::vector<std::string> args) {
        args.insert(args.begin(), TARNEL_HOST_TOOL);
        return test::RunHostProgram(std::move(args), machine_->root().string());
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

// tarnel-host printers in a process of its own: it sees the queues this process made, and this
// process sees the queues it adds, through the machine's registry.
#include <gmock/gmock.h>

#include <cstdio>
#include <memory>
#include <string>
#include <sys/wait.h>

#include "platform/host/machine/machine.h"
#include "tests/portio/spooler_util.h"

namespace tarnel::test {
namespace {

class PrintersCommandTest : public ::testing::Test {
  protected:
    void SetUp() override { machine_ = std::make_unique<host::TestMachine>(); }
    void TearDown() override { machine_.reset(); }

    // Runs tarnel-host with the arguments (no shell quoting needed for these) on this machine.
    int Run(const std::string& args, std::string& output) {
        std::string command = "TARNEL_MACHINE='" + machine_->root().string() + "' '" +
                              TARNEL_HOST_TOOL + "' printers " + args + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return -1;
        output.clear();
        char buffer[256];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::unique_ptr<host::TestMachine> machine_;
};

TEST_F(PrintersCommandTest, ListsAndAddsQueuesOfTheMachine) {
    AddQueue(u"Receipt", u"COM5:", PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_ENABLE_BIDI);
    std::string out;
    ASSERT_EQ(Run("list", out), 0) << out;
    EXPECT_EQ(out, "Receipt\tCOM5:\t0x0840\tGeneric / Text Only\n");

    ASSERT_EQ(Run("add Label COM6: --attributes 0x48", out), 0) << out;
    Queue label = GetQueue(u"Label");
    EXPECT_EQ(label.port, u"COM6:");
    EXPECT_EQ(label.attributes,
              static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_SHARED));
    ASSERT_EQ(Run("ports", out), 0) << out;
    EXPECT_EQ(out, "COM5:\tLocal Port\nCOM6:\tLocal Port\n");

    EXPECT_EQ(Run("add Label COM6:", out), 1) << "a queue of that name exists";
    EXPECT_EQ(Run("add Bad", out), 2);
    EXPECT_EQ(Run("add Odd COM7: --attributes x", out), 2);
}

}  // namespace
}  // namespace tarnel::test

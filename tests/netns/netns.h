// Test hosts in a private network namespace: a test runs itself again inside a fresh namespace
// whose loopback also carries the addresses it needs (192.168.0.50, ...). Nothing leaves it.
#pragma once

#include <string>
#include <vector>

namespace tarnel::test {

// True in the copy of the test binary that runs inside the namespace.
bool InTestNamespace();

struct NamespaceRun {
    bool available;  // false where namespaces cannot be made (not root, no iproute2)
    int exitCode;
    std::string output;
};

// Runs this binary with --gtest_filter=`test` in a new network namespace with `addresses` on lo.
NamespaceRun RunTestInNamespace(const std::string& test, const std::vector<std::string>& addresses);

}  // namespace tarnel::test

// The body runs inside the namespace; outside, the test starts that run and reports its result.
#define TARNEL_IN_NAMESPACE(suite, name, ...)                                           \
    if (!::tarnel::test::InTestNamespace()) {                                           \
        auto run = ::tarnel::test::RunTestInNamespace(#suite "." #name, {__VA_ARGS__}); \
        if (!run.available)                                                             \
            GTEST_SKIP() << "network namespaces are not available: " << run.output;     \
        EXPECT_EQ(run.exitCode, 0) << run.output;                                       \
        return;                                                                         \
    }

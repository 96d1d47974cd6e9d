// A small test network of network namespaces: the calling process's namespace plays the tool's
// host, and each printer host is a namespace of its own joined to it by a veth pair, with private
// addresses and broadcast. Use it only inside a test namespace (TARNEL_IN_NAMESPACE), so that
// nothing here ever sits beside the machine's own interfaces; everything goes with the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace tarnel::test {

class TestNetwork {
  public:
    TestNetwork() = default;
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // A printer host on a link of its own: `toolInterface` in this namespace with `toolAddress`,
    // the peer in the new namespace with `hostAddress` (both "a.b.c.d/prefix", broadcast set).
    // With `up` false the tool side stays down. The host's index, or -1 with error() set.
    int AddHost(const std::string& toolInterface, const std::string& toolAddress,
                const std::string& hostAddress, bool up = true);
    // Runs `body` on a thread inside the host's namespace and waits for it. Sockets and threads
    // it creates stay in that namespace.
    void RunIn(int host, const std::function<void()>& body);
    // A shell command inside the host's namespace; true when it exits with 0.
    bool CommandIn(int host, const std::string& command);
    // The name of the host's interface ("p" + the tool side's name).
    std::string HostInterface(int host) const;
    const std::string& error() const { return error_; }

  private:
    struct Host {
        int namespaceFd = -1;
        std::string toolInterface;
        std::string hostInterface;
    };
    bool Fail(const std::string& what);

    std::vector<Host> hosts_;
    std::string error_;
};

// Runs a shell command in the calling thread's namespace; true when it exits with 0, otherwise
// false with the command's output in `output`.
bool RunCommand(const std::string& command, std::string* output = nullptr);

// The exit code by which a namespace copy of a test tells that it could not run; the outer test
// reports it as a skip.
constexpr int kNetworkUnavailable = 77;

}  // namespace tarnel::test

// Adds a printer host to `network` as `var`; a network that cannot be built (no veth support,
// say) ends the namespace copy with kNetworkUnavailable and the reason.
#define TARNEL_ADD_HOST(network, var, ...)                                                \
    int var = (network).AddHost(__VA_ARGS__);                                             \
    if (var < 0) {                                                                        \
        std::printf("the test network cannot be built: %s\n", (network).error().c_str()); \
        std::fflush(stdout);                                                              \
        std::_Exit(::tarnel::test::kNetworkUnavailable);                                  \
    }

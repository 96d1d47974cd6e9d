// The test network: printer namespaces are made on a short-lived thread (unshare affects only the
// calling thread) and kept by a descriptor; veth peers move into them by that descriptor's path.
#include "tests/netns/test_network.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace tarnel::test {

bool RunCommand(const std::string& command, std::string* output) {
    std::string text;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return false;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    int status = ::pclose(pipe);
    if (output)
        *output = command + ": " + text;
    return status == 0;
}

TestNetwork::~TestNetwork() {
    for (auto& host : hosts_) {
        // Deleting one end of a veth pair deletes both; the namespace goes with its last user.
        RunCommand("ip link del " + host.toolInterface);
        if (host.namespaceFd >= 0)
            ::close(host.namespaceFd);
    }
}

bool TestNetwork::Fail(const std::string& what) {
    error_ = what;
    return false;
}

int TestNetwork::AddHost(const std::string& toolInterface, const std::string& toolAddress,
                         const std::string& hostAddress, bool up) {
    Host host;
    host.toolInterface = toolInterface;
    host.hostInterface = "p" + toolInterface;
    std::string failure;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            failure = "unshare(CLONE_NEWNET) failed";
            return;
        }
        host.namespaceFd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (host.namespaceFd < 0)
            failure = "cannot open the new namespace";
    }).join();
    if (!failure.empty())
        return Fail(failure), -1;
    const std::string nsPath =
        "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(host.namespaceFd);
    std::string output;
    if (!RunCommand("ip link add name " + host.toolInterface + " type veth peer name " +
                        host.hostInterface + " netns " + nsPath,
                    &output) ||
        !RunCommand("ip addr add " + toolAddress + " brd + dev " + host.toolInterface, &output) ||
        (up && !RunCommand("ip link set " + host.toolInterface + " up", &output))) {
        ::close(host.namespaceFd);
        return Fail(output), -1;
    }
    hosts_.push_back(host);
    int index = static_cast<int>(hosts_.size()) - 1;
    if (!CommandIn(index, "ip link set lo up && ip addr add " + hostAddress + " brd + dev " +
                              host.hostInterface + " && ip link set " + host.hostInterface + " up"))
        return -1;
    return index;
}

void TestNetwork::RunIn(int host, const std::function<void()>& body) {
    std::thread([&] {
        if (::setns(hosts_.at(static_cast<size_t>(host)).namespaceFd, CLONE_NEWNET) != 0) {
            error_ = "setns failed";
            return;
        }
        body();
    }).join();
}

bool TestNetwork::CommandIn(int host, const std::string& command) {
    bool ok = false;
    std::string output;
    RunIn(host, [&] { ok = RunCommand(command, &output); });
    if (!ok)
        error_ = output;
    return ok;
}

std::string TestNetwork::HostInterface(int host) const {
    return hosts_.at(static_cast<size_t>(host)).hostInterface;
}

}  // namespace tarnel::test

// Re-running a test inside a private network namespace (see netns.h).
#include "tests/netns/netns.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tarnel::test {

namespace {
constexpr int kUnavailable = 77;
const char* const kMarker = "TARNEL_TEST_NETNS";
}  // namespace

bool InTestNamespace() {
    const char* v = std::getenv(kMarker);
    return v && *v == '1';
}

NamespaceRun RunTestInNamespace(const std::string& test,
                                const std::vector<std::string>& addresses) {
    int out[2];
    if (pipe(out) != 0)
        return {false, 0, "pipe failed"};
    pid_t pid = fork();
    if (pid < 0)
        return {false, 0, "fork failed"};
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        if (unshare(CLONE_NEWNET) != 0) {
            std::perror("unshare(CLONE_NEWNET)");
            _exit(kUnavailable);
        }
        std::string setup = "ip link set lo up";
        for (auto& a : addresses)
            setup += " && ip addr add " + a + "/32 dev lo";
        if (std::system(setup.c_str()) != 0)
            _exit(kUnavailable);
        setenv(kMarker, "1", 1);
        std::string filter = "--gtest_filter=" + test;
        execl("/proc/self/exe", "test-in-namespace", filter.c_str(), static_cast<char*>(nullptr));
        std::perror("exec");
        _exit(kUnavailable);
    }
    close(out[1]);
    std::string output;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code == kUnavailable)
        return {false, code, output};
    return {true, code, output};
}

}  // namespace tarnel::test

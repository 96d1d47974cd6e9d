// Runs tarnel-host (or another host program) as a process of its own on a test machine, as a
// person or an installer would beside the test's own process.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace tarnel::test {

// `args[0]` is the program. Its environment is this process's with TARNEL_MACHINE set to
// `machineRoot`; standard output goes to `stdoutFile` when one is given. The exit status, or -1
// when the program could not start or did not exit.
inline int RunHostProgram(std::vector<std::string> args, const std::string& machineRoot,
                          const std::string& stdoutFile = std::string()) {
    std::vector<std::string> env = {"TARNEL_MACHINE=" + machineRoot};
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutFile.empty())
        posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarnel::test

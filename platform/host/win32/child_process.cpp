// Child processes on posix_spawn: a reaper thread per child waits for its end and signals the
// process object, so handles may be waited on, closed or outlive the child freely.
#include "platform/host/win32/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/host/runtime/codepage.h"
#include "platform/host/win32/handles.h"
#include "platform/host/win32/paths.h"
#include "platform/host/win32/program_bitness.h"
#include "platform/host/win32/sync_object.h"
#include "platform/host/win32/threads.h"

extern char** environ;

namespace tarnel::host {

namespace {

constexpr const char* kMachineVar = "TARNEL_MACHINE";
constexpr const char* kCommandLineVar = "TARNEL_COMMAND_LINE";
constexpr const char* kBitsVar = "TARNEL_PROGRAM_BITS";
// The child's end of the pipe its whole exit code travels back on.
constexpr const char* kExitFdVar = "TARNEL_EXIT_FD";
constexpr int kChildExitFd = 100;

int g_exitFd = -1;

const HandleKind kProcessKind{"Process"};
using WaitableProcess = WaitableExit<kProcessKind>;

std::mutex g_commandLineMutex;
std::u16string g_commandLine;
bool g_commandLineSet = false;

// The image a command line starts with: a quoted first token, or everything up to a blank.
std::u16string FirstToken(const std::u16string& line) {
    size_t at = 0;
    while (at < line.size() && (line[at] == u' ' || line[at] == u'\t'))
        ++at;
    if (at < line.size() && line[at] == u'"') {
        const size_t end = line.find(u'"', at + 1);
        return line.substr(at + 1, end == std::u16string::npos ? end : end - at - 1);
    }
    size_t end = at;
    while (end < line.size() && line[end] != u' ' && line[end] != u'\t')
        ++end;
    return line.substr(at, end - at);
}

bool NamesFolderX64(const std::string& linuxFolder) {
    const size_t slash = linuxFolder.find_last_of('/');
    std::string name = slash == std::string::npos ? linuxFolder : linuxFolder.substr(slash + 1);
    for (char& c : name)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name == "x64";
}

std::string Quoted(const std::string& arg) {
    return arg.find_first_of(" \t") == std::string::npos ? arg : "\"" + arg + "\"";
}

}  // namespace

void AdoptProcessStart(int argc, char** argv) {
    if (const char* fd = std::getenv(kExitFdVar)) {
        g_exitFd = std::atoi(fd);
        // Our own children get a pipe of their own, never this one.
        if (g_exitFd < 0 || ::fcntl(g_exitFd, F_SETFD, FD_CLOEXEC) != 0)
            g_exitFd = -1;
    }
    if (const char* bits = std::getenv(kBitsVar))
        SetProgramIs64Bit(std::strcmp(bits, "64") == 0);
    std::lock_guard<std::mutex> lock(g_commandLineMutex);
    if (const char* line = std::getenv(kCommandLineVar)) {
        g_commandLine = Utf8ToWide(line);
    } else {
        std::string joined;
        for (int i = 0; i < argc; ++i)
            joined += (i ? " " : "") + Quoted(argv[i]);
        g_commandLine = Utf8ToWide(joined);
    }
    g_commandLineSet = true;
}

}  // namespace tarnel::host

using namespace tarnel::host;

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION info) {
    if (!startupInfo || !info || (!applicationName && !commandLine)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (inheritHandles || environment || (currentDirectory && *currentDirectory) ||
        (creationFlags & ~DWORD(CREATE_NO_WINDOW))) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const std::u16string line = commandLine ? std::u16string(commandLine) : std::u16string();
    const std::u16string image =
        applicationName ? std::u16string(applicationName) : FirstToken(line);
    ResolvedPath resolved;
    DWORD error = ERROR_SUCCESS;
    if (!ResolvePath(image.c_str(), resolved, error)) {
        SetLastError(error);
        return FALSE;
    }
    if (!resolved.exists) {
        SetLastError(MissingPathError(resolved.linuxPath));
        return FALSE;
    }
    if (::access(resolved.linuxPath.c_str(), X_OK) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }

    // The child's environment: ours, with its machine, command line and bitness.
    std::vector<std::string> entries;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (name != kMachineVar && name != kCommandLineVar && name != kBitsVar &&
            name != kExitFdVar)
            entries.push_back(entry);
    }
    entries.push_back(std::string(kMachineVar) + "=" + Machine::current().root().string());
    entries.push_back(std::string(kCommandLineVar) + "=" +
                      WideToUtf8(line.empty() ? u"\"" + image + u"\"" : line));
    entries.push_back(std::string(kBitsVar) + "=" +
                      (NamesFolderX64(resolved.parent) ? "64" : "32"));
    entries.push_back(std::string(kExitFdVar) + "=" + std::to_string(kChildExitFd));
    std::vector<char*> envp;
    for (auto& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = resolved.linuxPath;
    char* argv[] = {program.data(), nullptr};

    int exitPipe[2];
    if (::pipe2(exitPipe, O_CLOEXEC) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, exitPipe[1], kChildExitFd);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(exitPipe[1]);
    if (rc != 0) {
        ::close(exitPipe[0]);
        SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto object = std::make_shared<WaitableProcess>();
    std::thread([object, pid, readFd = exitPipe[0]]() {
        // The whole code, when the child ended through ExitProcess; end of file otherwise.
        unsigned char bytes[4];
        size_t have = 0;
        for (;;) {
            const ssize_t n = ::read(readFd, bytes + have, sizeof(bytes) - have);
            if (n > 0 && (have += static_cast<size_t>(n)) < sizeof(bytes))
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        ::close(readFd);
        int status = 0;
        pid_t got;
        do {
            got = ::waitpid(pid, &status, 0);
        } while (got < 0 && errno == EINTR);
        DWORD code = 0xC0000000UL;
        if (got == pid && WIFEXITED(status) && have == sizeof(bytes))
            code = DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 |
                   DWORD(bytes[3]) << 24;
        else if (got == pid && WIFEXITED(status))
            code = static_cast<DWORD>(WEXITSTATUS(status));
        else if (got == pid && WIFSIGNALED(status))
            code = 0xC0000000UL | static_cast<DWORD>(WTERMSIG(status));
        object->finish(code);
    }).detach();
    HANDLE process = HandleTable::instance().insert(object);
    HANDLE thread = process ? HandleTable::instance().insert(object) : nullptr;
    if (!thread) {
        if (process)
            CloseHandle(process);
        return FALSE;  // ERROR_TOO_MANY_OPEN_FILES; the child runs on, as on Windows
    }
    info->hProcess = process;
    info->hThread = thread;
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = static_cast<DWORD>(pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    auto object = HandleTable::instance().lookup<WaitableProcess>(process);
    if (!object)
        return FALSE;
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->exitCode();
    return TRUE;
}

void ExitProcess(UINT code) {
    if (g_exitFd >= 0) {
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(code), static_cast<unsigned char>(code >> 8),
            static_cast<unsigned char>(code >> 16), static_cast<unsigned char>(code >> 24)};
        ssize_t n;
        do {
            n = ::write(g_exitFd, bytes, sizeof(bytes));
        } while (n < 0 && errno == EINTR);
    }
    std::exit(static_cast<int>(code & 0xFF));
}

LPWSTR GetCommandLineW() {
    std::lock_guard<std::mutex> lock(g_commandLineMutex);
    if (!g_commandLineSet) {
        // /proc/self/cmdline: the Linux arguments, each ended by a null.
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        std::string joined, arg;
        while (std::getline(in, arg, '\0'))
            joined += (joined.empty() ? "" : " ") + Quoted(arg);
        g_commandLine = Utf8ToWide(joined);
        g_commandLineSet = true;
    }
    return g_commandLine.data();
}

// tarnel-host reg run as a separate process on a test machine: what it writes is what this
// process reads through the Win32 API, its output, its exit codes and its error messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/registry.h"
#include "tests/registry/registry_test_util.h"

namespace tarnel::host {
namespace {

using namespace regtest;

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

ToolRun runTool(const TestMachine& machine, std::vector<std::string> args) {
    args.insert(args.begin(), {TARNEL_HOST_TOOL, "reg"});
    std::string env = "TARNEL_MACHINE=" + machine.root().string();
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        putenv(env.data());
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    ToolRun r;
    // Small outputs: reading one pipe to its end before the other cannot block the child.
    r.err = drain(err[0]);
    r.out = drain(out[0]);
    int status = waitChild(pid);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

HKEY openNative(const char16_t* path) {
    HKEY h = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &h);
    return h;
}

TEST(RegistryTool, AddWritesExactlyTheTypedData) {
    TestMachine machine(machineConfig(true, true));
    const std::string key = "HKLM\\SOFTWARE\\Morvik\\TARNEL\\COM7";
    struct Case {
        std::vector<std::string> args;
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const Case cases[] = {
        {{"/v", "DisplayName", "/d", "Tarnel Port (COM7)"},
         u"DisplayName",
         REG_SZ,
         szBytes(u"Tarnel Port (COM7)")},
        {{"/v", "IPAddress", "/t", "REG_DWORD", "/d", "0xC801A8C0"},
         u"IPAddress",
         REG_DWORD,
         {0xC0, 0xA8, 0x01, 0xC8}},
        {{"/v", "Port_", "/t", "REG_DWORD", "/d", "9100"}, u"Port_", REG_DWORD, dwordBytes(9100)},
        {{"/v", "Port", "/t", "REG_BINARY", "/d", "238C0000"},
         u"Port",
         REG_BINARY,
         {0x23, 0x8C, 0x00, 0x00}},
        {{"/v", "Q", "/t", "reg_qword", "/d", "0x100000002"},
         u"Q",
         REG_QWORD,
         {2, 0, 0, 0, 1, 0, 0, 0}},
        {{"/v", "Ids", "/t", "REG_MULTI_SZ", "/d", "morvik\\tarnel\\0second"},
         u"Ids",
         REG_MULTI_SZ,
         bytesOf(std::u16string(u"morvik\\tarnel\0second\0\0", 22))},
        {{"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\x"},
         u"Path",
         REG_EXPAND_SZ,
         szBytes(u"%SystemRoot%\\x")},
        {{"/ve", "/d", "Grüße"}, u"", REG_SZ, szBytes(u"Grüße")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = {"add", key};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun r = runTool(machine, args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        HKEY h = openNative(u"SOFTWARE\\Morvik\\TARNEL\\COM7");
        ASSERT_NE(h, nullptr);
        ReadValue v = readValue(h, c.name);
        EXPECT_EQ(v.status, ERROR_SUCCESS);
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.data, c.data);
        RegCloseKey(h);
    }

    ToolRun r = runTool(machine, {"query", key});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvik\\TARNEL\\COM7\n"
              "    DisplayName    REG_SZ    Tarnel Port (COM7)\n"
              "    IPAddress    REG_DWORD    0xc801a8c0\n"
              "    Port_    REG_DWORD    0x238c\n"
              "    Port    REG_BINARY    238C0000\n"
              "    Q    REG_QWORD    0x100000002\n"
              "    Ids    REG_MULTI_SZ    morvik\\tarnel\\0second\n"
              "    Path    REG_EXPAND_SZ    %SystemRoot%\\x\n"
              "    (Default)    REG_SZ    Grüße\n");
    r = runTool(machine, {"query", "HKEY_LOCAL_MACHINE\\software\\morvik\\tarnel\\com7", "port_"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\software\\morvik\\tarnel\\com7\n"
              "    port_    REG_DWORD    0x238c\n");
    r = runTool(machine, {"list", "HKLM\\SOFTWARE\\Morvik"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvik\n    TARNEL\\\n");
    r = runTool(machine, {"export"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("TARNEL-HIVE 1 generation=", 0), 0u);
    EXPECT_NE(r.out.find("\"Port_\"=dword:0000238c\n"), std::string::npos) << r.out;
}

TEST(RegistryTool, ViewsAndDeletion) {
    TestMachine machine(machineConfig(true, true));
    ASSERT_EQ(runTool(machine, {"add", "HKLM\\SOFTWARE\\Thirty", "/reg:32"}).exitCode, 0);
    HKEY h = openNative(u"SOFTWARE\\WOW6432Node\\Thirty");
    EXPECT_NE(h, nullptr);
    RegCloseKey(h);
    EXPECT_EQ(openNative(u"SOFTWARE\\Thirty"), nullptr);

    ASSERT_EQ(runTool(machine, {"add", "HKCU\\Software\\T\\A\\B", "/v", "x", "/d", "1"}).exitCode,
              0);
    ASSERT_EQ(runTool(machine, {"add", "HKCU\\Software\\T\\C", "/v", "y", "/d", "2"}).exitCode, 0);
    EXPECT_EQ(runTool(machine, {"delete", "HKCU\\Software\\T\\C", "/v", "y"}).exitCode, 0);
    HKEY c = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\T\\C", 0, KEY_READ, &c), ERROR_SUCCESS);
    EXPECT_EQ(readValue(c, u"y").status, ERROR_FILE_NOT_FOUND);
    RegCloseKey(c);
    EXPECT_EQ(runTool(machine, {"delete", "HKCU\\Software\\T"}).exitCode, 0);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\T", 0, KEY_READ, &c),
              ERROR_FILE_NOT_FOUND);
}

TEST(RegistryTool, FailuresExplainThemselves) {
    TestMachine machine;
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;  // a part of the message on stderr
    };
    const Case cases[] = {
        {{"query", "HKLM\\SOFTWARE\\Nope"},
         1,
         "cannot open HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope: Windows error 2"},
        {{"query", "HKLM\\SOFTWARE", "Missing"},
         1,
         "cannot read value 'Missing' of HKEY_LOCAL_MACHINE\\SOFTWARE: Windows error 2"},
        {{"delete", "HKCU\\Software\\Nope", "/v", "x"},
         1,
         "cannot open HKEY_CURRENT_USER\\Software\\Nope: Windows error 2"},
        {{"delete", "HKCU\\Software\\Nope"}, 1, "Windows error 2"},
        {{"delete", "HKLM"}, 2, "will not delete a root key"},
        {{"query", "HKXX\\Software"}, 2, "unknown root"},
        {{"add", "HKCU\\Software\\A", "/v", "n", "/t", "REG_DWORD", "/d", "12x"},
         2,
         "REG_DWORD data must be a 32-bit number"},
        {{"add", "HKCU\\Software\\A", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
         2,
         "32-bit number"},
        {{"add", "HKCU\\Software\\A", "/v", "n", "/t", "REG_BINARY", "/d", "ABC"},
         2,
         "even number of hex digits"},
        {{"add", "HKCU\\Software\\A", "/v", "n", "/t", "REG_WHAT"}, 2, "unknown type REG_WHAT"},
        {{"add", "HKCU\\Software\\A", "/v"}, 2, "/v needs an argument"},
        {{"frobnicate"}, 2, "unknown command"},
        {{}, 2, "missing command"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        ToolRun r = runTool(machine, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    HKEY h;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\A", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);
}

TEST(RegistryTool, ADamagedHiveIsReportedOnceWithFileAndLine) {
    TestMachine machine;
    std::filesystem::path hive = machine.machine().hivePath();
    ASSERT_EQ(runTool(machine, {"add", "HKCU\\Software\\A", "/v", "n", "/d", "x"}).exitCode, 0);
    std::string text;
    {
        std::ifstream in(hive, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        text = s.str();
    }
    size_t at = text.find("\"n\"=sz:");
    ASSERT_NE(at, std::string::npos);
    int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
    text.replace(at, 7, "\"n\"=zz:");
    {
        std::ofstream out(hive, std::ios::binary | std::ios::trunc);
        out << text;
    }
    ToolRun r = runTool(machine, {"query", "HKCU\\Software\\A"});
    EXPECT_EQ(r.exitCode, 1);
    std::string where = hive.string() + ":" + std::to_string(line) + ": unknown value type 'zz'";
    size_t first = r.err.find(where);
    EXPECT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(where, first + 1), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Windows error 1015"), std::string::npos) << r.err;
    r = runTool(machine, {"export"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tarnel::host

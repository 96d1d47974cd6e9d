// Process facts on the host machine: the program's path on Z: (and its truncation), and WOW64
// as the machine's settings say.
#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "platform/host/win32/files.h"
#include "platform/host/win32/paths.h"
#include "platform/host/win32/process.h"
#include "tests/win32/host_fixture.h"

namespace {

using tarnel::test::W;

class Process : public tarnel::test::HostFixture {};

std::u16string ExpectedProgramPath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    std::string linux(buffer, size_t(n));
    for (char& c : linux) {
        if (c == '/')
            c = '\\';
    }
    return W("Z:" + linux);
}

TEST_F(Process, ModuleFileNameIsOnZ) {
    std::u16string expected = ExpectedProgramPath();
    const DWORD length = DWORD(expected.size());
    WCHAR buffer[1024];
    SetLastError(0);
    EXPECT_EQ(length, GetModuleFileNameW(nullptr, buffer, 1024));
    EXPECT_EQ(expected, std::u16string(buffer));
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());

    struct Row {
        DWORD size;
        DWORD result;
        size_t kept;  // characters before the terminator
        DWORD error;
    } rows[] = {
        {length + 1, length, length, ERROR_SUCCESS},
        {length, length, length - 1, ERROR_INSUFFICIENT_BUFFER},
        {5, 5, 4, ERROR_INSUFFICIENT_BUFFER},
        {1, 1, 0, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "size " << r.size);
        for (WCHAR& c : buffer)
            c = '#';
        SetLastError(0);
        EXPECT_EQ(r.result, GetModuleFileNameW(nullptr, buffer, r.size));
        EXPECT_EQ(r.error, GetLastError());
        EXPECT_EQ(expected.substr(0, r.kept), std::u16string(buffer));
        EXPECT_EQ('#', buffer[r.size]) << "nothing beyond the buffer";
    }
    buffer[0] = '#';
    SetLastError(0);
    EXPECT_EQ(0u, GetModuleFileNameW(nullptr, buffer, 0));
    EXPECT_EQ('#', buffer[0]);
    EXPECT_EQ(0u, GetModuleFileNameW(reinterpret_cast<HMODULE>(0x10000), buffer, 1024));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(Process, ProgramPlacedElsewhere) {
    tarnel::host::SetProgramPath(driveC_ + "/Program Files/Tarnel/Tarnel_Configuration.exe");
    WCHAR buffer[MAX_PATH];
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    tarnel::host::SetProgramPath("");
    EXPECT_EQ(u"C:\\Program Files\\Tarnel\\Tarnel_Configuration.exe", std::u16string(buffer));
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    EXPECT_EQ(ExpectedProgramPath(), std::u16string(buffer));
}

TEST(ProcessIds, AreThoseOfLinux) {
    EXPECT_EQ(DWORD(getpid()), GetCurrentProcessId());
    EXPECT_NE(0u, GetCurrentThreadId());
    EXPECT_EQ(reinterpret_cast<HANDLE>(LONG_PTR(-1)), GetCurrentProcess());
}

TEST(Wow64, FollowsTheMachineSettings) {
    struct Row {
        bool os64, toolWow64, expected;
    } rows[] = {{true, true, true}, {true, false, false}, {false, false, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "os64 " << r.os64 << " wow64 " << r.toolWow64);
        tarnel::host::MachineConfig config;
        config.os64 = r.os64;
        config.toolWow64 = r.toolWow64;
        tarnel::host::TestMachine machine(config);
        BOOL wow64 = !r.expected;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        EXPECT_EQ(r.expected ? TRUE : FALSE, wow64);
    }
    tarnel::host::TestMachine machine;
    BOOL wow64 = FALSE;
    SetLastError(0);
    EXPECT_FALSE(IsWow64Process(nullptr, &wow64));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    WCHAR path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    std::u16string file = std::u16string(path) + u"wow.txt";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    SetLastError(0);
    EXPECT_FALSE(IsWow64Process(h, &wow64)) << "a file is not a process";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(h);
}

}  // namespace

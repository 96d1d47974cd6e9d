// User-mode I/O on devices as an application sees it: CreateFileW on a DOS name, ReadFile and
// WriteFile (synchronous and overlapped), DeviceIoControl, CancelIo, CloseHandle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/windows.h"

namespace {

namespace hk = tarnel::host::kernel;
using ::testing::Contains;
using ::testing::ElementsAre;

constexpr DWORD kIoctlForgetCancel =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kIoctlReverse =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

class UserIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        machine_ = std::make_unique<tarnel::host::TestMachine>();
        std::string error;
        ASSERT_TRUE(hk::InstallDriverService(u"ECHO", TARNEL_ECHO_DRIVER, "Echo.sys", error))
            << error;
        hk::CreateRootInstance(u"PORTS", u"test\\echo", u"ECHO", u"COM8");
        hk::ClearDebugLines();
    }
    void TearDown() override {
        hk::ShutdownMachine();
        EXPECT_TRUE(hk::PoolUsage().empty());
        machine_.reset();
    }
    HANDLE Open(const char16_t* name, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }
    std::unique_ptr<tarnel::host::TestMachine> machine_;
};

TEST_F(UserIoTest, OpenWriteReadCloseSynchronously) {
    HANDLE h = Open(u"COM8");  // the first open boots the machine
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_THAT(hk::DebugLines(),
                ElementsAre("echo: create\n", "echo: write 5\n", "echo: read 16\n",
                            "echo: cleanup\n", "echo: close\n"));
}

TEST_F(UserIoTest, NamesAndOpenFailures) {
    struct Case {
        const char16_t* name;
        DWORD error;
    } cases[] = {{u"COM99", ERROR_FILE_NOT_FOUND}, {u"\\\\.\\COM98", ERROR_FILE_NOT_FOUND}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(Open(c.name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    HANDLE h = Open(u"\\\\.\\COM8");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    // The device is exclusive: a second open is refused while the first is open.
    EXPECT_EQ(Open(u"COM8"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    h = Open(u"com8");
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(UserIoTest, OverlappedReadCompletesOnAWriteFromAnotherHandle) {
    HANDLE h = Open(u"COM8", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[8] = {};
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 20), WAIT_TIMEOUT);

    std::thread writer([&] {
        OVERLAPPED wov{};
        wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        WriteFile(h, "abc", 3, &written, &wov);
        GetOverlappedResult(h, &wov, &written, TRUE);
        CloseHandle(wov.hEvent);
    });
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 3u);
    EXPECT_STREQ(buffer, "abc");
    writer.join();
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(UserIoTest, CancelIoAndCleanupEndAWaitingRead) {
    HANDLE h = Open(u"COM8", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[8];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // A read still waiting when the handle closes is ended by the driver's cleanup, and the
    // close follows it.
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));  // the handle is gone
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
    EXPECT_THAT(hk::DebugLines(), Contains("echo: close\n"));
    CloseHandle(ov.hEvent);
}

TEST_F(UserIoTest, DeviceIoControlBufferedInAndOut) {
    HANDLE h = Open(u"COM8");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char in[4] = {'1', '2', '3', '4'}, out[8] = {};
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, kIoctlReverse, in, 4, out, sizeof out, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::memcmp(out, "4321", 4), 0);
    EXPECT_FALSE(DeviceIoControl(h, kIoctlReverse, in, 4, out, 2, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, 0),
                                 nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(h);
}

TEST_F(UserIoTest, ARequestLeftPendingWithoutCancelRoutineAtCleanupBugChecks) {
    EXPECT_DEATH(
        {
            HANDLE h = Open(u"COM8", FILE_FLAG_OVERLAPPED);
            OVERLAPPED ov{};
            ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DWORD n;
            DeviceIoControl(h, kIoctlForgetCancel, nullptr, 0, nullptr, 0, &n, &ov);
            char buffer[4];
            ReadFile(h, buffer, sizeof buffer, &n, &ov);
            CloseHandle(h);
        },
        "IRP_PENDING_AT_CLEANUP");
}

}  // namespace

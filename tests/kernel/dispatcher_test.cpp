// Host kernel dispatcher objects and threads: events, waits with time-outs, IRQL, system threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/internal.h"

namespace {

using Clock = std::chrono::steady_clock;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

TEST(Events, NotificationStaysSignalledSynchronizationResets) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
                  STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST(Events, RelativeTimeOutExpiresAndASetWakesAWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(50);
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 49);

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER longTimeout = RelativeMs(5000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &longTimeout),
              STATUS_SUCCESS);
    setter.join();
}

TEST(Events, EachSetOfASynchronizationEventReleasesOneSleeper) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            passed++;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all three asleep
    // Sleepers do not show in the event's state.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeResetEvent(&event), 0);
    for (int set = 1; set <= 3; ++set) {
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (passed.load() < set && Clock::now() < deadline)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(passed.load(), set);
        EXPECT_EQ(KeReadStateEvent(&event), 0);  // consumed by the waiter it released
    }
    for (auto& t : waiters)
        t.join();
}

TEST(Events, AbsoluteTimeOutIsASystemTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER at;
    KeQuerySystemTime(&at);
    at.QuadPart += 40 * 10000;
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              39);
    KeQuerySystemTime(&at);
    at.QuadPart -= 10000;  // already past
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
}

TEST(DebugOutput, KeepsTheMostRecentLines) {
    namespace hk = tarnel::host::kernel;
    hk::ClearDebugLines();
    for (int i = 0; i < 5000; ++i)
        DbgPrint("line %d\n", i);
    DbgPrint("no end yet ");
    auto lines = hk::DebugLines();
    ASSERT_EQ(lines.size(), 4096u);
    EXPECT_EQ(lines.front(), "line 904\n");
    EXPECT_EQ(lines.back(), "line 4999\n");
    // Text that never ends its line is kept in pieces rather than growing without bound.
    DbgPrint("%s", std::string(10000, 'x').c_str());
    DbgPrint("\n");
    lines = hk::DebugLines();
    EXPECT_EQ(lines.size(), 4096u);
    EXPECT_EQ(lines.back(), "\n");
    EXPECT_EQ(lines[lines.size() - 2].rfind("no end yet xxx", 0), 0u);
    hk::ClearDebugLines();
    EXPECT_TRUE(hk::DebugLines().empty());
}

TEST(Irql, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Irql, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            long v = counter;
            counter = v + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

struct ThreadContext {
    KEVENT go;
    std::atomic<int> stage{0};
    KPRIORITY priority = 0;
};

void ThreadBody(PVOID p) {
    auto* ctx = static_cast<ThreadContext*>(p);
    ctx->priority = KeQueryPriorityThread(KeGetCurrentThread());
    ctx->stage = 1;
    KeWaitForSingleObject(&ctx->go, Executive, KernelMode, FALSE, nullptr);
    ctx->stage = 2;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SystemThreads, WaitableReferencedAndTerminated) {
    ThreadContext ctx;
    KeInitializeEvent(&ctx.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ThreadBody, &ctx),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    KeSetPriorityThread(static_cast<PKTHREAD>(thread), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(thread)), LOW_REALTIME_PRIORITY);

    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&ctx.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ctx.stage.load(), 2);
    ObfDereferenceObject(thread);
    for (int i = 0; i < 100 && tarnel::host::kernel::RunningSystemThreads() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(tarnel::host::kernel::RunningSystemThreads(), 0);
}

TEST(Pool, CountedByTagAndFailable) {
    namespace hk = tarnel::host::kernel;
    void* a = ExAllocatePoolWithTag(NonPagedPool, 10, hk::TagFromText("T1st"));
    void* b = ExAllocatePoolWithTag(PagedPool, 20, hk::TagFromText("T1st"));
    EXPECT_EQ(hk::PoolOutstanding("T1st"), 2u);
    ExFreePoolWithTag(a, hk::TagFromText("T1st"));
    ExFreePool(b);
    EXPECT_EQ(hk::PoolOutstanding("T1st"), 0u);
    hk::FailNextAllocations("T2nd", 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 10, hk::TagFromText("T2nd")), nullptr);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 10, hk::TagFromText("T2nd"));
    EXPECT_NE(c, nullptr);
    ExFreePoolWithTag(c, hk::TagFromText("T2nd"));
}

}  // namespace

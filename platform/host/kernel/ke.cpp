// Ke: per-thread IRQL, spin locks, events and waits (futex on the dispatcher header's signal
// state).
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/verifier.h"

using tarnel::host::kernel::BugCheck;

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// A spin lock word holds 0 when free, else the owning thread's id + 1, so release by a thread that
// does not hold it is caught.
ULONG_PTR SelfTag() {
    return static_cast<ULONG_PTR>(gettid()) + 1;
}

std::atomic<LONG>& State(DISPATCHER_HEADER* header) {
    return *reinterpret_cast<std::atomic<LONG>*>(const_cast<LONG*>(&header->SignalState));
}

long Futex(volatile LONG* word, int op, LONG value, const timespec* timeout) {
    return syscall(SYS_futex, const_cast<LONG*>(word), op, value, timeout, nullptr, 0);
}

LONGLONG NowSystemTime() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    // 100 ns units since 1601-01-01.
    return (static_cast<LONGLONG>(ts.tv_sec) + 11644473600LL) * 10000000LL + ts.tv_nsec / 100;
}

}  // namespace

KIRQL KeGetCurrentIrql() {
    return t_irql;
}

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    if (newIrql < t_irql)
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to %u from %u", newIrql, t_irql);
    *oldIrql = t_irql;
    t_irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
    if (newIrql > t_irql)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u from %u", newIrql, t_irql);
    t_irql = newIrql;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
    *lock = 0;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    if (t_irql < DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "spin lock %p taken at DPC level from IRQL %u",
                 static_cast<void*>(lock), t_irql);
    auto* word = reinterpret_cast<std::atomic<ULONG_PTR>*>(lock);
    const ULONG_PTR self = SelfTag();
    if (word->load(std::memory_order_relaxed) == self)
        BugCheck("SPIN_LOCK_ALREADY_OWNED", "spin lock %p taken twice by one thread",
                 static_cast<void*>(lock));
    ULONG_PTR expected = 0;
    while (!word->compare_exchange_weak(expected, self, std::memory_order_acquire)) {
        expected = 0;
        sched_yield();
    }
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    auto* word = reinterpret_cast<std::atomic<ULONG_PTR>*>(lock);
    if (word->load(std::memory_order_relaxed) != SelfTag())
        BugCheck("SPIN_LOCK_NOT_OWNED", "spin lock %p released by a thread that does not hold it",
                 static_cast<void*>(lock));
    word->store(0, std::memory_order_release);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(lock);
    return old;
}

void KeAcquireSpinLock_(PKSPIN_LOCK lock, PKIRQL oldIrql) {
    *oldIrql = KeAcquireSpinLockRaiseToDpc(lock);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    KeReleaseSpinLockFromDpcLevel(lock);
    KeLowerIrql(newIrql);
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type = type == NotificationEvent
                             ? tarnel::host::kernel::kNotificationEventType
                             : tarnel::host::kernel::kSynchronizationEventType;
    State(&event->Header).store(state ? 1 : 0);
    event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink =
        &event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    LONG previous = State(&event->Header).exchange(1);
    // Waiters re-check the state, so waking all is correct for both event types.
    Futex(&event->Header.SignalState, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    return previous;
}

LONG KeResetEvent(PRKEVENT event) {
    return State(&event->Header).exchange(0);
}
void KeClearEvent(PRKEVENT event) {
    State(&event->Header).store(0);
}
LONG KeReadStateEvent(PRKEVENT event) {
    return State(&event->Header).load();
}

namespace tarnel::host::kernel {

void SignalDispatcherObject(DISPATCHER_HEADER* header) {
    State(header).store(1);
    Futex(&header->SignalState, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

}  // namespace tarnel::host::kernel

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    const bool poll = timeout && timeout->QuadPart == 0;
    if (t_irql >= DISPATCH_LEVEL && !poll)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeWaitForSingleObject(%p) with a time-out at IRQL %u",
                 object, t_irql);
    const bool consume = header->Type == tarnel::host::kernel::kSynchronizationEventType;

    LONGLONG deadline = 0;  // system time, 100 ns units
    if (timeout && timeout->QuadPart != 0)
        deadline = timeout->QuadPart < 0 ? NowSystemTime() - timeout->QuadPart : timeout->QuadPart;

    auto& state = State(header);
    for (;;) {
        if (consume) {
            LONG expected = 1;
            if (state.compare_exchange_strong(expected, 0))
                return STATUS_SUCCESS;
        } else if (state.load() != 0) {
            return STATUS_SUCCESS;
        }
        if (poll)
            return STATUS_TIMEOUT;
        timespec rel{};
        const timespec* relp = nullptr;
        if (timeout) {
            LONGLONG left = deadline - NowSystemTime();
            if (left <= 0)
                return STATUS_TIMEOUT;
            rel.tv_sec = left / 10000000;
            rel.tv_nsec = (left % 10000000) * 100;
            relp = &rel;
        }
        if (Futex(&header->SignalState, FUTEX_WAIT_PRIVATE, 0, relp) < 0 && errno != EAGAIN &&
            errno != EINTR && errno != ETIMEDOUT)
            BugCheck("WAIT_FAILED", "futex wait failed (errno %d)", errno);
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    if (t_irql >= DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeDelayExecutionThread at IRQL %u", t_irql);
    LONGLONG units =
        interval->QuadPart < 0 ? -interval->QuadPart : interval->QuadPart - NowSystemTime();
    if (units > 0) {
        timespec ts{static_cast<time_t>(units / 10000000),
                    static_cast<long>((units % 10000000) * 100)};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
    currentTime->QuadPart = NowSystemTime();
}

ULONGLONG KeQueryInterruptTime() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL + ts.tv_nsec / 100;
}

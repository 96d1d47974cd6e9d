// Ke: per-thread IRQL, spin locks, events and waits (futex on the dispatcher header's signal
// state). Neither taking a free spin lock nor signalling an object nobody waits for enters the
// system.
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
// does not hold it is caught. The id is asked for once per thread.
thread_local ULONG_PTR t_selfTag = 0;

ULONG_PTR SelfTag() {
    if (!t_selfTag)
        t_selfTag = static_cast<ULONG_PTR>(gettid()) + 1;
    return t_selfTag;
}

// The signal state word: kSignalled is the object's state; kWaiters says a thread may sleep on
// the word, so whoever signals must wake it. Only a waiter sets kWaiters, and whoever clears it
// wakes every sleeper: a waiter re-checks the state before sleeping again.
constexpr LONG kSignalled = 1;
constexpr LONG kWaiters = 2;

std::atomic<LONG>& State(DISPATCHER_HEADER* header) {
    return *reinterpret_cast<std::atomic<LONG>*>(const_cast<LONG*>(&header->SignalState));
}

long Futex(volatile LONG* word, int op, LONG value, const timespec* timeout) {
    return syscall(SYS_futex, const_cast<LONG*>(word), op, value, timeout, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

// The state changes in one step: once it shows signalled, a waiter may return and free the
// object (an event on its stack), so the signaller writes nothing after it; the wake only names
// the address.
LONG Signal(DISPATCHER_HEADER* header) {
    auto& state = State(header);
    LONG previous = state.load();
    while (!state.compare_exchange_weak(previous, (previous | kSignalled) & ~kWaiters)) {
    }
    if (previous & kWaiters) {
        // Waiters re-check the state, so waking all is correct for both event types.
        Futex(&header->SignalState, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    }
    return previous & kSignalled;
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
    for (unsigned spins = 0;
         !word->compare_exchange_weak(expected, self, std::memory_order_acquire); ++spins) {
        expected = 0;
        // Holders run short sections; a holder that was preempted needs the processor back.
        if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            sched_yield();
        }
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
    State(&event->Header).store(state ? kSignalled : 0);
    event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink =
        &event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    return Signal(&event->Header);
}

LONG KeResetEvent(PRKEVENT event) {
    return State(&event->Header).fetch_and(~kSignalled) & kSignalled;
}
void KeClearEvent(PRKEVENT event) {
    State(&event->Header).fetch_and(~kSignalled);
}
LONG KeReadStateEvent(PRKEVENT event) {
    return State(&event->Header).load() & kSignalled;
}

namespace tarnel::host::kernel {

void SignalDispatcherObject(DISPATCHER_HEADER* header) {
    Signal(header);
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
    auto& state = State(header);

    // Already signalled (a request completed before its issuer waits): no clock is read.
    for (LONG now = state.load(); now & kSignalled;) {
        if (!consume || state.compare_exchange_weak(now, now & ~kSignalled))
            return STATUS_SUCCESS;
    }

    // A relative time-out runs on the monotonic clock from now, an absolute one on the system
    // clock; either way the deadline is fixed once, so a wait woken early does not stretch it.
    timespec deadline{};
    int waitOp = FUTEX_WAIT_BITSET_PRIVATE;
    if (timeout && timeout->QuadPart < 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        LONGLONG ns = deadline.tv_nsec - timeout->QuadPart * 100;
        deadline.tv_sec += static_cast<time_t>(ns / 1000000000);
        deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    } else if (timeout && timeout->QuadPart > 0) {
        LONGLONG units = timeout->QuadPart - 11644473600LL * 10000000LL;  // since 1970
        if (units < 0)
            units = 0;
        deadline.tv_sec = static_cast<time_t>(units / 10000000);
        deadline.tv_nsec = static_cast<long>((units % 10000000) * 100);
        waitOp |= FUTEX_CLOCK_REALTIME;
    }

    for (;;) {
        LONG now = state.load();
        if (now & kSignalled) {
            if (!consume || state.compare_exchange_weak(now, now & ~kSignalled))
                return STATUS_SUCCESS;
            continue;
        }
        if (poll)
            return STATUS_TIMEOUT;
        if (!(now & kWaiters) && !state.compare_exchange_weak(now, now | kWaiters))
            continue;
        if (Futex(&header->SignalState, waitOp, now | kWaiters, timeout ? &deadline : nullptr) <
            0) {
            if (errno == ETIMEDOUT) {
                // Signalled at the last moment counts as signalled.
                if (!(state.load() & kSignalled))
                    return STATUS_TIMEOUT;
            } else if (errno != EAGAIN && errno != EINTR) {
                BugCheck("WAIT_FAILED", "futex wait failed (errno %d)", errno);
            }
        }
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

// The driver's transport requests against a transport that completes them just as the driver's
// wait for them runs out. Built with the send limit cut to 1 ms so that the edge is met often.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "driver/tdi_endpoint.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"

namespace {

namespace hk = tarnel::host::kernel;

// A transport whose sends complete on a thread of its own 0.5 to 1.5 ms after they came: about
// half of them right around the driver's time-out and its cancel.
struct RacingTransport {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<PIRP, std::chrono::steady_clock::time_point>> queue;
    bool stop = false;
    std::thread completer;
    size_t completed = 0, cancelled = 0;
};
RacingTransport* g_transport;

void CancelSend(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> lock(g_transport->mutex);
        std::erase_if(g_transport->queue, [&](auto& entry) { return entry.first == irp; });
        g_transport->cancelled++;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS TransportDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != TDI_SEND) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    static thread_local std::mt19937 rng(7);
    auto due = std::chrono::steady_clock::now() + std::chrono::microseconds(500 + rng() % 1000);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelSend);
    std::lock_guard<std::mutex> lock(g_transport->mutex);
    g_transport->queue.emplace_back(irp, due);
    g_transport->wake.notify_one();
    return STATUS_PENDING;
}

void Complete(RacingTransport* t) {
    std::unique_lock<std::mutex> lock(t->mutex);
    while (!t->stop) {
        if (t->queue.empty()) {
            t->wake.wait(lock);
            continue;
        }
        auto [irp, due] = t->queue.front();
        if (std::chrono::steady_clock::now() < due) {
            t->wake.wait_until(lock, due);
            continue;
        }
        t->queue.pop_front();
        if (!IoSetCancelRoutine(irp, nullptr))
            continue;  // its cancel routine completes it
        t->completed++;
        lock.unlock();
        auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(
            &IoGetCurrentIrpStackLocation(irp)->Parameters);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = p->SendLength;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        lock.lock();
    }
}

TEST(TransportRequest, ASendCompletingAsItsWaitRunsOutIsCompletedAndFreedOnce) {
    RacingTransport transport;
    g_transport = &transport;
    transport.completer = std::thread(Complete, &transport);
    PDRIVER_OBJECT driver = hk::CreateDriverObject(u"\\Driver\\RacingTransport");
    for (auto& f : driver->MajorFunction)
        f = TransportDispatch;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    FILE_OBJECT connection{};
    connection.DeviceObject = device;

    char page[512] = "page";
    size_t succeeded = 0, timedOut = 0;
    for (int i = 0; i < 2000; ++i) {
        ULONG sent = 12345;
        NTSTATUS status = VSERIAL_TdiSend(&connection, page, sizeof page, &sent);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(sent, sizeof page);
            succeeded++;
        } else {
            ASSERT_EQ(status, STATUS_TIMEOUT);
            // Completed by the transport after the wait ran out, or cancelled with nothing sent.
            EXPECT_TRUE(sent == 0 || sent == sizeof page) << sent;
            timedOut++;
        }
    }
    // Both sides of the edge were met.
    EXPECT_GT(succeeded, 0u);
    EXPECT_GT(timedOut, 0u);
    {
        std::lock_guard<std::mutex> lock(transport.mutex);
        transport.stop = true;
        transport.wake.notify_one();
        EXPECT_TRUE(transport.queue.empty());
    }
    transport.completer.join();
    IoDeleteDevice(device);
    hk::DestroyDriverObject(driver);
}

}  // namespace

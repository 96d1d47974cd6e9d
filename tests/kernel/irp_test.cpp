// Host kernel requests: stack locations, completion routines, pending propagation, cancel,
// synchronous device-control requests and the I/O manager's default answer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"

namespace {

namespace hk = tarnel::host::kernel;

// What the lower test driver does with the requests it gets.
enum class LowerMode { CompleteNow, Pend };
LowerMode g_lowerMode;
PIRP g_held;
std::vector<PDEVICE_OBJECT> g_routineDevices;
std::vector<BOOLEAN> g_pendingSeen;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && irp->AssociatedIrp.SystemBuffer) {
        auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < stack->Parameters.DeviceIoControl.InputBufferLength; ++i)
            bytes[i] ^= 0xFF;
        irp->IoStatus.Information = stack->Parameters.DeviceIoControl.InputBufferLength;
    }
    if (g_lowerMode == LowerMode::Pend) {
        IoMarkIrpPending(irp);
        g_held = irp;
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS RecordingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    g_routineDevices.push_back(device);
    g_pendingSeen.push_back(irp->PendingReturned);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return context ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(static_cast<PDEVICE_OBJECT*>(device->DeviceExtension)[0], irp);
}

class IrpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lowerMode = LowerMode::CompleteNow;
        g_held = nullptr;
        g_routineDevices.clear();
        g_pendingSeen.clear();
        lowerDriver_ = hk::CreateDriverObject(u"\\Driver\\TestLower");
        upperDriver_ = hk::CreateDriverObject(u"\\Driver\\TestUpper");
        for (auto& f : lowerDriver_->MajorFunction)
            f = LowerDispatch;
        upperDriver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDispatch;
        upperDriver_->MajorFunction[IRP_MJ_READ] = UpperDispatch;
        ASSERT_EQ(IoCreateDevice(lowerDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(upperDriver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &upper_),
                  STATUS_SUCCESS);
        *static_cast<PDEVICE_OBJECT*>(upper_->DeviceExtension) =
            IoAttachDeviceToDeviceStack(upper_, lower_);
        ASSERT_EQ(upper_->StackSize, 2);
    }
    void TearDown() override {
        IoDetachDevice(lower_);
        IoDeleteDevice(upper_);
        IoDeleteDevice(lower_);
        hk::DestroyDriverObject(upperDriver_);
        hk::DestroyDriverObject(lowerDriver_);
    }

    PDRIVER_OBJECT lowerDriver_, upperDriver_;
    PDEVICE_OBJECT lower_, upper_;
};

TEST_F(IrpTest, BufferedControlRequestRunsDownAndBack) {
    UCHAR in[4] = {1, 2, 3, 4}, out[4] = {};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                             upper_, in, 4, out, 4, FALSE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[3], 0xFB);
    // The upper driver's routine ran with the upper device; nothing was pending.
    ASSERT_EQ(g_routineDevices.size(), 1u);
    EXPECT_EQ(g_routineDevices[0], upper_);
    EXPECT_FALSE(g_pendingSeen[0]);
}

TEST_F(IrpTest, PendingReturnedReachesTheRoutineAbove) {
    g_lowerMode = LowerMode::Pend;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, 0),
                                             upper_, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    ASSERT_EQ(g_held, irp);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    ASSERT_EQ(g_pendingSeen.size(), 1u);
    EXPECT_TRUE(g_pendingSeen[0]);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    PIRP irp = IoAllocateIrp(lower_->StackSize + 1, FALSE);
    IoSetNextIrpStackLocation(irp);  // the allocating driver's own location
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, RecordingCompletion, irp /* keep it */, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower_, irp), STATUS_SUCCESS);
    ASSERT_EQ(g_routineDevices.size(), 1u);
    // Taken back by its owner, the request can be freed (or sent again).
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelRunsTheCancelRoutineOnce) {
    static int cancels;
    cancels = 0;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
        ++cancels;
        IoReleaseCancelSpinLock(cancelled->CancelIrql);
    });
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(IoCancelIrp(irp));  // the routine is gone after the first cancel
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MajorsWithoutARoutineAreInvalidDeviceRequests) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // The upper driver has no internal-device-control routine.
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_NEITHER, 0),
                                             upper_, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

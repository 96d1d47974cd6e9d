// The host kernel's verifier rules: each broken rule ends the process with a message naming it.
#include <gtest/gtest.h>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"

namespace {

namespace hk = tarnel::host::kernel;

class VerifierDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

NTSTATUS CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, RequestCompletedTwice) {
    EXPECT_DEATH(
        {
            PDRIVER_OBJECT driver = hk::CreateDriverObject(u"\\Driver\\Twice");
            driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteTwice;
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb;
            PIRP irp =
                IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                              device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
            IoCallDriver(device, irp);
        },
        "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(VerifierDeathTest, CompletedWithACancelRoutineSet) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "CANCEL_STATE_IN_COMPLETED_IRP");
}

TEST_F(VerifierDeathTest, WaitWithATimeOutAtDispatchLevel) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KeAcquireSpinLockRaiseToDpc(&lock);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject");
}

TEST_F(VerifierDeathTest, PagedPoolAtDispatchLevel) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, hk::TagFromText("Pgd1"));
        },
        "IRQL_NOT_LESS_OR_EQUAL.*paged pool");
}

TEST_F(VerifierDeathTest, SpinLockReleasedThatIsNotHeld) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "SPIN_LOCK_NOT_OWNED");
}

TEST_F(VerifierDeathTest, DriverUnloadedWithPoolLeft) {
    EXPECT_DEATH(
        {
            tarnel::host::TestMachine machine;
            std::string error;
            if (!hk::InstallDriverService(u"LEAKY", TARNEL_LEAKY_DRIVER, "Leaky.sys", error))
                abort();
            std::u16string id = hk::CreateRootInstance(u"PORTS", u"test\\leaky", u"LEAKY", u"");
            if (hk::StartDeviceInstance(id) != STATUS_SUCCESS)
                abort();
            hk::RemoveDeviceInstance(id);
        },
        "DRIVER_LEFT_POOL.*LEAKY.*'Leak x1'");
}

}  // namespace

// Device lifecycle of the Tarnel driver on the host kernel: add, start and its names, stop and
// restart, surprise removal, removal, and the requests the driver does not serve.
#include <gmock/gmock.h>

#include <vector>

#include "platform/host/win32/windows.h"
#include "tests/driver/driver_fixture.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
using ::testing::ElementsAre;

std::string LinkTarget(const std::string& link) {
    for (auto& [name, target] : hk::SymbolicLinks())
        if (name == link)
            return target;
    return "";
}

int EnabledInterfaces() {
    int n = 0;
    for (auto& i : hk::DeviceInterfaces())
        n += i.enabled ? 1 : 0;
    return n;
}

// The serial device map value named after the PDO, read as the tool would read it.
bool ReadSerialMap(const std::u16string& pdoName, DWORD& type, std::vector<BYTE>& data) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, pdoName.c_str(), nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        data.resize(size);
        rc = RegQueryValueExW(key, pdoName.c_str(), nullptr, &type, data.data(), &size);
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

TEST_F(DriverTest, StartPublishesLinksMapEntryAndInterface) {
    std::u16string id = AddPort(u"COM7");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    std::u16string pdo = PdoName(id);
    ASSERT_FALSE(pdo.empty());

    EXPECT_EQ(LinkTarget("\\??\\COM7"), Narrow(pdo));
    EXPECT_EQ(LinkTarget("\\??\\COM7:"), Narrow(pdo));

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(ReadSerialMap(pdo, type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    // The bare name: four characters, no terminator.
    EXPECT_THAT(data, ElementsAre('C', 0, 'O', 0, 'M', 0, '7', 0));

    ASSERT_EQ(hk::DeviceInterfaces().size(), 1u);
    EXPECT_TRUE(hk::DeviceInterfaces()[0].enabled);
    EXPECT_NE(hk::DeviceInterfaces()[0].link.find("{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
              std::string::npos);

    EXPECT_THAT(hk::DebugLines(),
                ElementsAre("VSERIAL_AddDevice Start \n", "VSERIAL_AddDevice End \n",
                            "VSERIAL_Dispatch : IRP_MN_START_DEVICE \n"));
    EXPECT_EQ(hk::PoolOutstanding("10XB"), 1u);  // the receive ring
    EXPECT_EQ(hk::PoolOutstanding("20XB"), 0u);  // the map path buffer is freed at once
}

TEST_F(DriverTest, RemovalTakesEverythingAway) {
    std::u16string id = AddPort(u"COM7");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    std::u16string pdo = PdoName(id);
    hk::ClearDebugLines();

    EXPECT_EQ(hk::RemoveDeviceInstance(id), STATUS_SUCCESS);

    EXPECT_EQ(LinkTarget("\\??\\COM7"), "");
    EXPECT_EQ(LinkTarget("\\??\\COM7:"), "");
    DWORD type;
    std::vector<BYTE> data;
    EXPECT_FALSE(ReadSerialMap(pdo, type, data));
    EXPECT_EQ(EnabledInterfaces(), 0);
    EXPECT_EQ(hk::PoolOutstanding("10XB"), 0u);
    EXPECT_TRUE(hk::PoolUsage().empty());
    EXPECT_TRUE(hk::DeviceInstances().empty());
    EXPECT_THAT(hk::DebugLines(), ElementsAre("VSERIAL_Dispatch : IRP_MN_REMOVE_DEVICE \n"));
}

TEST_F(DriverTest, MissingPortNameStartsWithoutNames) {
    std::u16string id = AddPort(u"");
    // The start request itself succeeds; only the naming fails.
    EXPECT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    ASSERT_EQ(hk::DeviceInstances().size(), 1u);
    EXPECT_EQ(hk::DeviceInstances()[0].state, hk::DeviceState::Started);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_EQ(EnabledInterfaces(), 0);
    DWORD type;
    std::vector<BYTE> data;
    EXPECT_FALSE(ReadSerialMap(PdoName(id), type, data));
}

TEST_F(DriverTest, RemovalOfANeverStartedDevice) {
    std::u16string id = AddPort(u"COM7");
    ASSERT_EQ(hk::StartDeviceInstance(id, /*start=*/false), STATUS_SUCCESS);
    EXPECT_EQ(hk::PoolOutstanding("10XB"), 1u);
    // Deleting links and a map value that never existed is harmless; the device still goes.
    EXPECT_EQ(hk::RemoveDeviceInstance(id), STATUS_SUCCESS);
    EXPECT_TRUE(hk::DeviceInstances().empty());
    EXPECT_TRUE(hk::PoolUsage().empty());
}

TEST_F(DriverTest, SurpriseRemovalKeepsNamesUntilRemoval) {
    std::u16string id = AddPort(u"COM3");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    hk::ClearDebugLines();
    EXPECT_EQ(hk::SendPnpRequest(id, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_THAT(hk::DebugLines(), ElementsAre("VSERIAL_Dispatch : IRP_MN_SURPRISE_REMOVAL \n"));
    EXPECT_EQ(EnabledInterfaces(), 0);
    EXPECT_FALSE(LinkTarget("\\??\\COM3").empty());
    EXPECT_EQ(hk::RemoveDeviceInstance(id), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget("\\??\\COM3"), "");
}

TEST_F(DriverTest, StopAndQueryRequestsPassDownAndRestartRenames) {
    std::u16string id = AddPort(u"COM4");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    for (UCHAR minor :
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
          IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}) {
        SCOPED_TRACE(static_cast<int>(minor));
        EXPECT_EQ(hk::SendPnpRequest(id, minor), STATUS_SUCCESS);
    }
    // Nothing is torn down by a stop; a second start finds its links present and goes on.
    EXPECT_FALSE(LinkTarget("\\??\\COM4").empty());
    hk::ClearDebugLines();
    EXPECT_EQ(hk::SendPnpRequest(id, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_THAT(hk::DebugLines(), ElementsAre("VSERIAL_Dispatch : IRP_MN_START_DEVICE \n"));
    EXPECT_EQ(LinkTarget("\\??\\COM4"), Narrow(PdoName(id)));
}

TEST_F(DriverTest, UnknownPnpRequestsComeBackWithSuccess) {
    // The driver writes STATUS_SUCCESS into every request before passing it down.
    std::u16string id = AddPort(u"COM4");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    EXPECT_EQ(hk::SendPnpRequest(id, 0x09 /* query capabilities */), STATUS_SUCCESS);
}

struct RequestCase {
    const char* label;
    UCHAR major;
    NTSTATUS expected;
};

TEST_F(DriverTest, RequestsTheDriverDoesNotServe) {
    std::u16string id = AddPort(u"COM5");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    const RequestCase cases[] = {
        {"flush", IRP_MJ_FLUSH_BUFFERS, STATUS_INVALID_DEVICE_REQUEST},
        {"query information", IRP_MJ_QUERY_INFORMATION, STATUS_INVALID_DEVICE_REQUEST},
        {"set information", IRP_MJ_SET_INFORMATION, STATUS_INVALID_DEVICE_REQUEST},
        {"internal device control", IRP_MJ_INTERNAL_DEVICE_CONTROL, STATUS_INVALID_DEVICE_REQUEST},
        // Open, read, write, cleanup and close need a file object: see port_io_test.cpp.
        // Control code 0 is none the port serves (see serial_control_test.cpp).
        {"device control, unlisted code", IRP_MJ_DEVICE_CONTROL, STATUS_UNSUCCESSFUL},
        // Passed down to the bus, which completes it with the status it came with.
        {"system control", IRP_MJ_SYSTEM_CONTROL, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(hk::SendDeviceRequest(id, c.major, 0), c.expected);
    }
}

TEST_F(DriverTest, PowerRequestsPassDownWithTheirLine) {
    std::u16string id = AddPort(u"COM5");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    hk::ClearDebugLines();
    EXPECT_EQ(hk::SendDeviceRequest(id, IRP_MJ_POWER, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(hk::SendDeviceRequest(id, IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_THAT(hk::DebugLines(), ElementsAre("VSERIAL_Power\n", "VSERIAL_Power\n"));
}

struct AddFailure {
    const char* label;
    const char* failTag;
    NTSTATUS expected;
};

TEST_F(DriverTest, AddDeviceFailuresLeaveNothingBehind) {
    const AddFailure cases[] = {
        {"no receive ring", "10XB", STATUS_INSUFFICIENT_RESOURCES},
        {"attach fails", "Atch", STATUS_UNSUCCESSFUL},
        {"device creation fails", "Devi", STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::u16string id = AddPort(u"COM9");
        hk::ClearDebugLines();
        hk::FailNextAllocations(c.failTag, 1);
        EXPECT_EQ(hk::StartDeviceInstance(id), c.expected);
        EXPECT_THAT(hk::DebugLines(),
                    ElementsAre("VSERIAL_AddDevice Start \n", "VSERIAL_AddDevice End \n"));
        EXPECT_EQ(hk::PoolOutstanding("10XB"), 0u);
        EXPECT_TRUE(hk::SymbolicLinks().empty());
        hk::RemoveDeviceInstance(id);
    }
}

TEST_F(DriverTest, MissingDriverImageMeansTheDeviceDoesNotStart) {
    std::filesystem::remove(machine_->root() / "drive_c/Windows/System32/drivers/Tarnel.sys");
    std::u16string id = AddPort(u"COM6");
    EXPECT_NE(hk::BootMachine(), STATUS_SUCCESS);
    ASSERT_EQ(hk::DeviceInstances().size(), 1u);
    EXPECT_EQ(hk::DeviceInstances()[0].state, hk::DeviceState::Failed);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    hk::RemoveDeviceInstance(id);
}

TEST_F(DriverTest, SeveralPortsEachGetTheirOwnDevice) {
    std::u16string a = AddPort(u"COM1");
    std::u16string b = AddPort(u"COM10");
    ASSERT_EQ(hk::BootMachine(), STATUS_SUCCESS);
    EXPECT_NE(PdoName(a), PdoName(b));
    EXPECT_EQ(LinkTarget("\\??\\COM1"), Narrow(PdoName(a)));
    EXPECT_EQ(LinkTarget("\\??\\COM10"), Narrow(PdoName(b)));
    EXPECT_EQ(hk::PoolOutstanding("10XB"), 2u);
    EXPECT_EQ(EnabledInterfaces(), 2);
    // Removing one leaves the other (and the loaded driver) in place.
    EXPECT_EQ(hk::RemoveDeviceInstance(a), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget("\\??\\COM10"), Narrow(PdoName(b)));
    EXPECT_EQ(hk::PoolOutstanding("10XB"), 1u);
}

}  // namespace
}  // namespace tarnel::test

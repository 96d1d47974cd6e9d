// Test fixture: a fresh machine with the host build of Tarnel.sys installed.
#include "tests/driver/driver_fixture.h"

namespace tarnel::test {

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

void DriverTest::SetUp() {
    machine_ = std::make_unique<host::TestMachine>();
    std::string error;
    ASSERT_TRUE(
        host::kernel::InstallDriverService(u"TARNEL", TARNEL_HOST_DRIVER, "Tarnel.sys", error))
        << error;
    host::kernel::ClearDebugLines();
}

void DriverTest::TearDown() {
    host::kernel::ShutdownMachine();
    for (auto& usage : host::kernel::PoolUsage())
        ADD_FAILURE() << "pool left: '" << usage.tag << "' x" << usage.allocations;
    machine_.reset();
}

std::u16string DriverTest::AddPort(const std::u16string& portName) {
    return host::kernel::CreateRootInstance(u"PORTS", u"morvik\\tarnel", u"TARNEL", portName);
}

std::u16string DriverTest::PdoName(const std::u16string& instanceId) {
    for (auto& info : host::kernel::DeviceInstances())
        if (info.instanceId == Narrow(instanceId))
            return std::u16string(info.pdoName.begin(), info.pdoName.end());
    return {};
}

}  // namespace tarnel::test

// A machine with the Tarnel driver installed as the TARNEL service, for driver tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"

namespace tarnel::test {

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    // Removes every device, then checks that no pool is left behind.
    void TearDown() override;

    // A ROOT\PORTS instance of the Tarnel hardware id; no PortName when `portName` is empty.
    std::u16string AddPort(const std::u16string& portName);
    std::u16string PdoName(const std::u16string& instanceId);

    std::unique_ptr<host::TestMachine> machine_;
};

std::string Narrow(const std::u16string& s);

}  // namespace tarnel::test

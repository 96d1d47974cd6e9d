// GetVirtualPortList and GetPortFriendlyName over instance keys under Enum\Root\PORTS: which
// instances are ours, their order, duplicates, and the friendly-name lookups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"
#include "tool/install/virtual_ports.h"

namespace tarnel::storetest {
namespace {

const std::u16string kRoot = u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";

struct Instance {
    std::u16string id;
    std::u16string hardwareIds;  // multi-string body, "\0"-separated, final null added
    const char16_t* service;     // null: none
    const char16_t* portName;    // null: no "Device Parameters" value
    const char16_t* friendly;
};

void Create(const Instance& i) {
    const std::u16string key = kRoot + i.id;
    SetRaw64(key, u"HardwareID", REG_MULTI_SZ, TextBytes(i.hardwareIds + std::u16string(1, 0)));
    if (i.service)
        SetRaw64(key, u"Service", REG_SZ, TextBytes(i.service));
    if (i.friendly)
        SetRaw64(key, u"FriendlyName", REG_SZ, TextBytes(i.friendly));
    if (i.portName)
        SetRaw64(key + u"\\Device Parameters", u"PortName", REG_SZ, TextBytes(i.portName));
}

std::vector<std::string> List(const XStringWList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.GetCount(); ++i)
        out.push_back(Narrow(list.GetAt(i)));
    return out;
}

TEST_F(StoreTest, VirtualPortsAreOursInKeyOrderOnce) {
    using namespace std::string_literals;
    const std::vector<Instance> instances = {
        {u"0000", u"morvik\\tarnel", u"TARNEL", u"COM5", u"Tarnel Virtual Serial Port (COM5)"},
        {u"0001", u"morvik\\tarnel", u"TARNEL", u"COM6", u"Tarnel Virtual Serial Port (COM6)"},
        {u"0002", u"morvik\\tarnel", u"OTHER", u"COM7", u"Another (COM7)"},
        {u"0003", u"MORVIK\\TARNEL", u"TARNEL", u"COM8", u"Case (COM8)"},
        {u"0004", std::u16string(u"acme\\port\0morvik\\tarnel", 24), u"TARNEL", u"COM9",
         u"Second id (COM9)"},
        {u"0005", u"morvik\\tarnel", u"TARNEL", u"COM5", u"Duplicate (COM5)"},
        {u"0006", u" morvik\\tarnel ", u" TARNEL\t", u" COM10 ", u"Padded (COM10)"},
        {u"0007", u"morvik\\tarnel", nullptr, u"COM11", u"No service (COM11)"},
        {u"0008", u"morvik\\tarnel", u"TARNEL", nullptr, u"No port name"},
    };
    for (const Instance& i : instances)
        Create(i);

    EXPECT_EQ(List(GetVirtualPortList(TEXT("morvik\\tarnel"), TEXT("TARNEL"))),
              (std::vector<std::string>{"COM5", "COM6", " COM10 ", ""}));

    struct Lookup {
        const WCHAR* port;
        std::string friendly;
    };
    const Lookup lookups[] = {
        {TEXT("COM5"), "Tarnel Virtual Serial Port (COM5)"},  // the first of two
        {TEXT("COM6"), "Tarnel Virtual Serial Port (COM6)"},
        {TEXT("COM10"), "Padded (COM10)"},  // the port name is trimmed for the comparison
        {TEXT("COM7"), ""},                 // another service
        {TEXT("COM8"), ""},                 // hardware id in other letters
        {TEXT("COM9"), ""},                 // hardware id as the second string
        {TEXT("com5"), ""},                 // case-sensitive
        {TEXT("COM99"), ""},
    };
    for (const Lookup& l : lookups) {
        SCOPED_TRACE(Narrow(XStringW(l.port)));
        EXPECT_EQ(Narrow(GetPortFriendlyName(TEXT("morvik\\tarnel"), TEXT("TARNEL"), l.port)),
                  l.friendly);
    }
}

TEST_F(StoreTest, NoInstanceRootMeansNoPorts) {
    EXPECT_EQ(GetVirtualPortList(TEXT("morvik\\tarnel"), TEXT("TARNEL")).GetCount(), 0);
    EXPECT_EQ(Narrow(GetPortFriendlyName(TEXT("morvik\\tarnel"), TEXT("TARNEL"), TEXT("COM5"))),
              "");
    EXPECT_TRUE(TraceLines().empty()) << "the subkey list is silent";
}

}  // namespace
}  // namespace tarnel::storetest

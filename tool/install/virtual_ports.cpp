// The scan of the port instances: "HardwareID" and "Service" decide which are ours (trimmed,
// case-sensitive, so a hardware-id list with a second string is not), "Device Parameters"
// holds the COM name.
#include "tool/install/virtual_ports.h"

#include "tool/store/reg_helper.h"

namespace {

XStringW Trimmed(XStringW text) {
    text.TrimLeft();
    text.TrimRight();
    return text;
}

bool IsVirtualPort(const XStringW& key, const XStringW& hardwareId, const XStringW& service) {
    return Trimmed(CRegHelper::GetStringValue(key, TEXT("HardwareID"))) == hardwareId &&
           Trimmed(CRegHelper::GetStringValue(key, TEXT("Service"))) == service;
}

}  // namespace

XStringWList GetVirtualPortList(const XStringW& hardwareId, const XStringW& service) {
    XStringWList ports;
    const XStringW root(kInstanceRoot);
    const XStringWList instances = CRegHelper::GetSubKeyList(root);
    for (int i = 0; i < instances.GetCount(); ++i) {
        XStringW key;
        key.Format(TEXT("%s\\%s"), root, instances.GetAt(i));
        if (!IsVirtualPort(key, hardwareId, service))
            continue;
        const XStringW name =
            CRegHelper::GetStringValue(key + TEXT("\\Device Parameters"), TEXT("PortName"));
        if (ports.Find(name) < 0)
            ports.Add(name);
    }
    return ports;
}

XStringW GetPortFriendlyName(const XStringW& hardwareId, const XStringW& service,
                             const XStringW& portName) {
    const XStringW root(kInstanceRoot);
    const XStringWList instances = CRegHelper::GetSubKeyList(root);
    for (int i = 0; i < instances.GetCount(); ++i) {
        XStringW key;
        key.Format(TEXT("%s\\%s"), root, instances.GetAt(i));
        if (!IsVirtualPort(key, hardwareId, service))
            continue;
        const XStringW name = Trimmed(
            CRegHelper::GetStringValue(key + TEXT("\\Device Parameters"), TEXT("PortName")));
        if (name == portName)
            return CRegHelper::GetStringValue(key, TEXT("FriendlyName"));
    }
    return XStringW();
}

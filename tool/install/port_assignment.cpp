// The assignment procedure over the store operations and the port instances.
#include "tool/install/port_assignment.h"

#include "tool/install/virtual_ports.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"

void AssignPrinterPort(const XStringW& productKey, const PORT_ASSIGNMENT& assignment) {
    if (!assignment.shownPort.IsEmpty())
        DeleteAssignedInfo(assignment.shownPort, productKey);
    DeleteAssignedInfo(
        GetAssignedPortName(productKey, assignment.previousAddress, assignment.previousPort),
        productKey);
    if (assignment.releaseChosenPort)
        DeleteAssignedInfo(assignment.portName, productKey);
    const XStringW displayName =
        GetPortFriendlyName(kHardwareId, kServiceName, assignment.portName);
    SetAssignedInfo(productKey, assignment.portName, assignment.address, assignment.port,
                    displayName);
}

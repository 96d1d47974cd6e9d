// Per-device receive queues of a printer port (see ostra_parser.h).
#include "tool/portio/ostra_parser.h"

#include "tool/support/trace.h"

COstraParser::COstraParser(int deviceCount)
    : m_deviceCount(deviceCount > 0 ? deviceCount : 0), m_inUse(m_deviceCount, false) {
    for (int i = 0; i < m_deviceCount; ++i)
        m_queues.push_back(std::make_unique<COstraQueue>(8));
}

COstraParser::~COstraParser() = default;

void COstraParser::Parse(const BYTE*, int) {}

bool COstraParser::SetUseDevice(int deviceId, bool use) {
    if (deviceId < 0 || deviceId >= m_deviceCount) {
        TraceErrorTo(TEXT("COstraParser::SetUseDevice"), 220, m_portId, TEXT("over deviceId"));
        return false;
    }
    m_inUse[deviceId] = use;
    return true;
}

bool COstraParser::IsDeviceInUse(int deviceId) const {
    return deviceId >= 0 && deviceId < m_deviceCount && m_inUse[deviceId];
}

void COstraParser::EnqueueData(const BYTE* bytes, int length, int deviceId) {
    if (!bytes || length <= 0 || deviceId < 0 || deviceId >= m_deviceCount)
        return;
    m_queues[deviceId]->Append(bytes, length);
    TraceTo(TEXT("COstraParser::EnqueueData"), 145, m_portId,
            TEXT("input Queue Data : deviceId=%d, len=%d"), deviceId, length);
}

COstraQueue* COstraParser::GetQueue(int deviceId) {
    if (deviceId < 0 || deviceId >= m_deviceCount)
        return nullptr;
    return m_queues[deviceId].get();
}

void CPrinterParser::Parse(const BYTE* bytes, int length) {
    for (int id = 0; id < m_deviceCount; ++id)
        if (m_inUse[id])
            EnqueueData(bytes, length, id);
}

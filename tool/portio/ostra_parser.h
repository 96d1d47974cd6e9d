// Parsers of a printer port: they sort each batch of received bytes into per-device data queues.
// Called from the port's read thread; the owning port's queue lock guards every queue.
#pragma once

#include <memory>
#include <vector>

#include "platform/win32.h"
#include "tool/support/ostra_queue.h"

// Device ids run from 0 to the device count - 1. The in-use flags and the queues are guarded by
// the owning port's queue lock (CPortInterface); the parser takes no lock of its own.
class COstraParser {
  public:
    explicit COstraParser(int deviceCount);
    virtual ~COstraParser();
    COstraParser(const COstraParser&) = delete;
    COstraParser& operator=(const COstraParser&) = delete;

    // Hands over one batch of received bytes; the base keeps nothing.
    virtual void Parse(const BYTE* bytes, int length);

    void SetPortId(int portId) { m_portId = portId; }
    int GetDeviceCount() const { return m_deviceCount; }
    // False (and the error "over deviceId") for an id outside the table.
    bool SetUseDevice(int deviceId, bool use);
    bool IsDeviceInUse(int deviceId) const;
    // Appends to the device's queue; nothing for a length of 0 or an id outside the table.
    void EnqueueData(const BYTE* bytes, int length, int deviceId);
    // The device's queue, or null for an id outside the table.
    COstraQueue* GetQueue(int deviceId);

  protected:
    int m_portId = 0;
    int m_deviceCount;
    std::vector<bool> m_inUse;
    std::vector<std::unique_ptr<COstraQueue>> m_queues;
};

// A plain printer: one stream, copied to every device in use.
class CPrinterParser : public COstraParser {
  public:
    explicit CPrinterParser(int deviceCount) : COstraParser(deviceCount) {}
    void Parse(const BYTE* bytes, int length) override;
};

// CDiscoveryTable: the device table of a discovery scanner and the handler of every reply.
// Reference counted (COstraShared): each scanner socket keeps a reference, so a socket thread
// still in the handler after its socket was given up never touches freed memory.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "tool/discovery/discovery_protocol.h"
#include "tool/discovery/ostra_shared.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

// Receives a copy of a newly added printer (raw length 612) on the event thread that received
// the reply. It must not wait for the thread that stops the search.
using PFN_DISCOVERY_FOUND = void (*)(const _DISCOVERY_DEVICE_INFO_* device, void* context);

class CDiscoveryTable : public COstraShared {
  public:
    CDiscoveryTable() = default;

    // The indexed data handler of the scanner's sockets: one datagram from any host, `userData`
    // the table. Never reads past `length` bytes.
    static void OnReply(const BYTE* bytes, int length, void* userData, int interfaceIndex);
    // Adds the printer a datagram describes, unless its key is known; false when the datagram is
    // not a reply or the key was known.
    bool HandleReply(const BYTE* bytes, int length, int interfaceIndex);

    void SetFoundCallback(PFN_DISCOVERY_FOUND callback, void* context);
    // Clears the callback and waits up to `milliseconds` for calls already under way.
    bool ClearFoundCallback(DWORD milliseconds);

    void Clear();
    int GetCount() const;
    // Every entry, in table order (by key text).
    std::vector<_DISCOVERY_DEVICE_INFO_> GetDevices() const;

    // "%02X:%02X:%02X:%02X:%02X:%02X^%d.%d.%d.%d" of MAC and address.
    static XStringW MakeKey(const BYTE* mac, const BYTE* address);

  protected:
    ~CDiscoveryTable() override;

  private:
    struct KeyLess {
        bool operator()(const XStringW& a, const XStringW& b) const;
    };

    mutable std::mutex m_lock;  // guards the table and the callback
    std::map<XStringW, _DISCOVERY_DEVICE_INFO_, KeyLess> m_devices;
    PFN_DISCOVERY_FOUND m_found = nullptr;
    void* m_foundContext = nullptr;
    int m_callsUnderWay = 0;
};

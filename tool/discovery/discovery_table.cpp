// The device table and the reply handler. A reply is untrusted input from any host: every read
// is bounded by the datagram's length and every write by the record's size.
#include "tool/discovery/discovery_table.h"

#include <cstring>

#include "tool/support/support_memory.h"

namespace {

bool StartsWithWord(const BYTE* bytes, int length, const char* word, int wordLength) {
    return length >= wordLength && std::memcmp(bytes, word, static_cast<size_t>(wordLength)) == 0;
}

}  // namespace

CDiscoveryTable::~CDiscoveryTable() {
    Clear();
}

bool CDiscoveryTable::KeyLess::operator()(const XStringW& a, const XStringW& b) const {
    const WCHAR* x = a.GetString();
    const WCHAR* y = b.GetString();
    while (*x && *x == *y) {
        ++x;
        ++y;
    }
    return *x < *y;
}

XStringW CDiscoveryTable::MakeKey(const BYTE* mac, const BYTE* address) {
    XStringW key;
    key.Format(TEXT("%02X:%02X:%02X:%02X:%02X:%02X^%d.%d.%d.%d"), mac[0], mac[1], mac[2], mac[3],
               mac[4], mac[5], address[0], address[1], address[2], address[3]);
    return key;
}

void CDiscoveryTable::OnReply(const BYTE* bytes, int length, void* userData, int interfaceIndex) {
    if (userData)
        static_cast<CDiscoveryTable*>(userData)->HandleReply(bytes, length, interfaceIndex);
}

bool CDiscoveryTable::HandleReply(const BYTE* bytes, int length, int interfaceIndex) {
    if (!bytes || length <= 0)
        return false;
    BYTE record[DISCOVERY_WIRELESS_RECORD] = {};
    BYTE kind;
    int recordLength;
    if (StartsWithWord(bytes, length, DISCOVERY_WORD_IMIN, DISCOVERY_ETHERNET_WORD_LENGTH) ||
        StartsWithWord(bytes, length, DISCOVERY_WORD_SETC, DISCOVERY_ETHERNET_WORD_LENGTH)) {
        kind = PRINTER_KIND_ETHERNET;
        recordLength = DISCOVERY_ETHERNET_RECORD;
        // Exactly 30 bytes carry 26 bytes of settings, 31 or more also the extra byte; a shorter
        // reply leaves the record zero.
        int copied = length == DISCOVERY_ETHERNET_DATAGRAM  ? DISCOVERY_ETHERNET_DATAGRAM - 4
                     : length > DISCOVERY_ETHERNET_DATAGRAM ? DISCOVERY_ETHERNET_RECORD - 1
                                                            : 0;
        std::memcpy(record, bytes + DISCOVERY_ETHERNET_WORD_LENGTH, static_cast<size_t>(copied));
    } else if (StartsWithWord(bytes, length, DISCOVERY_WORD_REG_RSP,
                              DISCOVERY_WIRELESS_WORD_LENGTH) ||
               StartsWithWord(bytes, length, DISCOVERY_WORD_SET_RSP,
                              DISCOVERY_WIRELESS_WORD_LENGTH)) {
        kind = PRINTER_KIND_WIRELESS;
        recordLength = DISCOVERY_WIRELESS_RECORD;
        int available = length - DISCOVERY_WIRELESS_WORD_LENGTH;
        int copied = available < DISCOVERY_WIRELESS_BASE ? available : DISCOVERY_WIRELESS_BASE;
        std::memcpy(record, bytes + DISCOVERY_WIRELESS_WORD_LENGTH, static_cast<size_t>(copied));
        // The flag byte is looked at only once the datagram is long enough for the extension.
        if (available >= DISCOVERY_WIRELESS_RECORD - 1 &&
            (bytes[DISCOVERY_WIRELESS_FLAGS_OFFSET] & DISCOVERY_WIRELESS_EXTENSION_FLAG))
            std::memcpy(record + DISCOVERY_WIRELESS_BASE,
                        bytes + DISCOVERY_WIRELESS_EXTENSION_OFFSET, DISCOVERY_WIRELESS_EXTENSION);
    } else {
        return false;
    }
    record[recordLength - 1] = static_cast<BYTE>(interfaceIndex);

    _DISCOVERY_DEVICE_INFO_ device;
    std::memset(&device, 0, sizeof device);
    std::memcpy(device.rawReply, record, static_cast<size_t>(recordLength));
    device.rawLength = recordLength;
    device.kind = kind;
    std::memcpy(device.mac, record, static_cast<size_t>(recordLength - 1));
    device.interfaceIndex = record[recordLength - 1];
    XStringW key = MakeKey(device.mac, device.address);
    SupportWipe(record, sizeof record);

    _DISCOVERY_DEVICE_INFO_ found;
    PFN_DISCOVERY_FOUND callback = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_devices.count(key)) {
            SupportWipe(&device, sizeof device);
            return false;  // the first answer's data stays
        }
        m_devices.emplace(key, device);
        callback = m_found;
        context = m_foundContext;
        if (callback)
            ++m_callsUnderWay;
    }
    if (callback) {
        // The copy carries what the receiver reads; the rest it takes from the raw reply.
        std::memset(&found, 0, sizeof found);
        std::memcpy(found.rawReply, device.rawReply, sizeof found.rawReply);
        found.rawLength = sizeof found;
        found.kind = device.kind;
        std::memcpy(found.mac, device.mac, sizeof found.mac);
        std::memcpy(found.address, device.address, sizeof found.address);
        std::memcpy(found.localPort, device.localPort, sizeof found.localPort);
        std::memcpy(found.inactivity, device.inactivity, sizeof found.inactivity);
        found.interfaceIndex = device.interfaceIndex;
        callback(&found, context);
        SupportWipe(&found, sizeof found);
        std::lock_guard<std::mutex> guard(m_lock);
        --m_callsUnderWay;
    }
    SupportWipe(&device, sizeof device);
    return true;
}

void CDiscoveryTable::SetFoundCallback(PFN_DISCOVERY_FOUND callback, void* context) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_found = callback;
    m_foundContext = context;
}

bool CDiscoveryTable::ClearFoundCallback(DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_found = nullptr;
        m_foundContext = nullptr;
    }
    ULONGLONG start = GetTickCount64();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_callsUnderWay == 0)
                return true;
        }
        if (GetTickCount64() - start >= milliseconds)
            return false;
        Sleep(1);
    }
}

void CDiscoveryTable::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& entry : m_devices)
        SupportWipe(&entry.second, sizeof entry.second);
    m_devices.clear();
}

int CDiscoveryTable::GetCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_devices.size());
}

std::vector<_DISCOVERY_DEVICE_INFO_> CDiscoveryTable::GetDevices() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<_DISCOVERY_DEVICE_INFO_> devices;
    devices.reserve(m_devices.size());
    for (auto& entry : m_devices)
        devices.push_back(entry.second);
    return devices;
}

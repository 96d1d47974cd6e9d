// COstraUdpScanner: sockets per interface and kind, the broadcasting thread, one-shot searches,
// table queries and the "SETT" exchange.
#include "tool/discovery/udp_scanner.h"

#include <cstring>

#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

namespace {

const BYTE kDefaultConfigAddress[4] = {192, 168, 192, 123};

XStringW MacText(const BYTE* mac, bool colons) {
    XStringW text;
    if (colons)
        text.Format(TEXT("%02x:%02x:%02x:%02x:%02x:%02x"), mac[0], mac[1], mac[2], mac[3], mac[4],
                    mac[5]);
    else
        text.Format(TEXT("%02x%02x%02x%02x%02x%02x"), mac[0], mac[1], mac[2], mac[3], mac[4],
                    mac[5]);
    return text;
}

}  // namespace

COstraUdpScanner::COstraUdpScanner() : m_table(new CDiscoveryTable) {
    std::vector<_LOCAL_INTERFACE_INFO_> interfaces;
    int count = CNetHelper::GetNetworkInterfaceList(nullptr, 0);
    if (count > 0) {
        std::vector<_LOCAL_INTERFACE_INFO_*> entries(static_cast<size_t>(count), nullptr);
        int filled = CNetHelper::GetNetworkInterfaceList(entries.data(), count);
        for (int i = 0; i < filled; ++i) {
            interfaces.push_back(*entries[i]);
            delete entries[i];
        }
    }
    Init(interfaces);
}

COstraUdpScanner::COstraUdpScanner(const std::vector<_LOCAL_INTERFACE_INFO_>& interfaces)
    : m_table(new CDiscoveryTable) {
    Init(interfaces);
}

void COstraUdpScanner::Init(const std::vector<_LOCAL_INTERFACE_INFO_>& interfaces) {
    for (size_t i = 0; i < interfaces.size(); ++i)
        m_interfaces[static_cast<int>(i)] = interfaces[i];
    m_sockets.resize(interfaces.size());
}

COstraUdpScanner::~COstraUdpScanner() {
    Trace(TEXT("COstraUdpScanner::~COstraUdpScanner"), __LINE__, TEXT(""));
    m_table->ClearFoundCallback(0);
    for (int i = 0; i < static_cast<int>(m_interfaces.size()); ++i)
        CloseUdpSocket(i, PRINTER_KIND_ETHERNET | PRINTER_KIND_WIRELESS);
    m_table->Clear();
    m_table->Release();
}

void COstraUdpScanner::CreateUdpSocket(int interfaceIndex, int kinds) {
    auto it = m_interfaces.find(interfaceIndex);
    if (it == m_interfaces.end())
        return;
    const _LOCAL_INTERFACE_INFO_& info = it->second;
    static const WCHAR* const kLocation = TEXT("COstraUdpScanner::CreateUdpSocket");
    for (int kind : {PRINTER_KIND_ETHERNET, PRINTER_KIND_WIRELESS}) {
        if (!(kinds & kind))
            continue;
        bool ethernet = kind == PRINTER_KIND_ETHERNET;
        Trace(kLocation, __LINE__,
              ethernet ? TEXT("ETHERNET_PRINTER interfaceNum:%d")
                       : TEXT("WIFI_PRINTER interfaceNum:%d"),
              interfaceIndex);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            SocketPair& pair = m_sockets[static_cast<size_t>(interfaceIndex)];
            if (ethernet ? pair.ethernet : pair.wireless)
                continue;  // already open
        }
        auto* socket = new CUdpSocket;
        socket->SetContext(interfaceIndex);
        bool created = socket->Create(
            info.address, ethernet ? DISCOVERY_ETHERNET_LOCAL_PORT : DISCOVERY_WIRELESS_LOCAL_PORT,
            info.broadcast,
            ethernet ? DISCOVERY_ETHERNET_PRINTER_PORT : DISCOVERY_WIRELESS_PRINTER_PORT);
        socket->SetUserData(m_table);
        socket->SetUserDataOwner(m_table);
        socket->SetIndexedDataHandler(CDiscoveryTable::OnReply);
        // A socket that could not be created stays in its slot and sends nothing; it gets no
        // thread, which would only wait on an event that nothing signals.
        if (created)
            socket->StartThread();
        std::lock_guard<std::mutex> guard(m_lock);
        SocketPair& pair = m_sockets[static_cast<size_t>(interfaceIndex)];
        (ethernet ? pair.ethernet : pair.wireless) = socket;
    }
}

void COstraUdpScanner::CloseUdpSocket(int interfaceIndex, int kinds) {
    if (interfaceIndex < 0 || interfaceIndex >= static_cast<int>(m_interfaces.size()))
        return;
    static const WCHAR* const kLocation = TEXT("COstraUdpScanner::CloseUdpSocket");
    for (int kind : {PRINTER_KIND_ETHERNET, PRINTER_KIND_WIRELESS}) {
        if (!(kinds & kind))
            continue;
        bool ethernet = kind == PRINTER_KIND_ETHERNET;
        CUdpSocket* socket;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            SocketPair& pair = m_sockets[static_cast<size_t>(interfaceIndex)];
            CUdpSocket*& slot = ethernet ? pair.ethernet : pair.wireless;
            socket = slot;
            slot = nullptr;
        }
        if (!socket)
            continue;
        socket->SetUserData(nullptr);
        socket->SetDataHandler(nullptr);
        socket->Close();
        socket->Release();
        Trace(kLocation, __LINE__,
              ethernet ? TEXT("ETHERNET_PRINTER interfaceNum:%d")
                       : TEXT("WIFI_PRINTER interfaceNum:%d"),
              interfaceIndex);
    }
}

CUdpSocket* COstraUdpScanner::TakeSocket(int interfaceIndex, int kind) const {
    std::lock_guard<std::mutex> guard(m_lock);
    if (interfaceIndex < 0 || interfaceIndex >= static_cast<int>(m_sockets.size()))
        return nullptr;
    const SocketPair& pair = m_sockets[static_cast<size_t>(interfaceIndex)];
    CUdpSocket* socket = kind == PRINTER_KIND_ETHERNET ? pair.ethernet : pair.wireless;
    if (socket)
        socket->AddRef();
    return socket;
}

void COstraUdpScanner::SendRound(int kinds) {
    for (int i = 0; i < static_cast<int>(m_interfaces.size()); ++i) {
        if (kinds & PRINTER_KIND_ETHERNET) {
            if (CUdpSocket* socket = TakeSocket(i, PRINTER_KIND_ETHERNET)) {
                socket->Send(DISCOVERY_WORD_FIND, DISCOVERY_ETHERNET_WORD_LENGTH);
                socket->Release();
            }
        }
        if (kinds & PRINTER_KIND_WIRELESS) {
            if (CUdpSocket* socket = TakeSocket(i, PRINTER_KIND_WIRELESS)) {
                socket->Send(DISCOVERY_WORD_PRT_REG, DISCOVERY_WIRELESS_WORD_LENGTH);
                socket->Release();
            }
        }
    }
}

void COstraUdpScanner::StartScan(PFN_DISCOVERY_FOUND found, void* context, int kinds) {
    if (m_interfaces.empty())
        return;
    bool idle = false;
    if (!m_busy.compare_exchange_strong(idle, true))
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_found = found;
        m_foundContext = context;
        m_kinds = kinds;
    }
    m_table->SetFoundCallback(found, context);
    for (int i = 0; i < static_cast<int>(m_interfaces.size()); ++i)
        CreateUdpSocket(i, kinds);
    if (!HasThread())
        StartThread();
}

void COstraUdpScanner::ThreadLoop() {
    m_running = true;
    const unsigned generation = m_generation.load();
    int kinds;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        kinds = m_kinds;
    }
    // Ends too when the owner released the scanner without stopping it (only this thread's
    // reference is left): the destruction then closes the sockets.
    auto stopping = [&]() {
        return m_stop.load() || m_generation.load() != generation || ReferenceCount() == 1;
    };
    while (!stopping()) {
        SendRound(kinds);
        for (DWORD slept = 0; slept < kRoundInterval && !stopping(); slept += 10)
            Sleep(10);
    }
    m_running = false;
}

void COstraUdpScanner::StopScan() {
    m_stop = true;
    ++m_generation;
    // A thread that outlives the wait only sends through sockets it holds references to, and
    // holds a reference to this scanner.
    EndThread(kStopWait);
    int kinds;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        kinds = m_kinds;
    }
    if (!m_table->ClearFoundCallback(kStopWait))
        TraceError(TEXT("COstraUdpScanner::StopScan"), __LINE__,
                   TEXT("a found callback is still running"));
    for (int i = 0; i < static_cast<int>(m_interfaces.size()); ++i)
        CloseUdpSocket(i, kinds);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_kinds = 0;
        m_found = nullptr;
        m_foundContext = nullptr;
    }
    m_busy = false;
}

void COstraUdpScanner::ClearDeviceTable() {
    m_table->Clear();
}

int COstraUdpScanner::SearchOnce() {
    bool idle = false;
    if (!m_busy.compare_exchange_strong(idle, true))
        return 0;
    const int count = static_cast<int>(m_interfaces.size());
    for (int i = 0; i < count; ++i)
        CreateUdpSocket(i, PRINTER_KIND_ETHERNET);
    SendRound(PRINTER_KIND_ETHERNET);
    SendRound(PRINTER_KIND_ETHERNET);
    const ULONGLONG start = GetTickCount64();
    ULONGLONG firstSeen = 0;
    for (;;) {
        Sleep(10);
        ULONGLONG now = GetTickCount64();
        if (!firstSeen && m_table->GetCount() > 0)
            firstSeen = now;
        if (now - start >= kSearchTime || (firstSeen && now - firstSeen >= kSettleTime))
            break;
    }
    for (int i = 0; i < count; ++i)
        CloseUdpSocket(i, PRINTER_KIND_ETHERNET);
    m_busy = false;
    return m_table->GetCount();
}

XStringWList COstraUdpScanner::GetDeviceList() const {
    XStringWList list;
    for (const auto& device : m_table->GetDevices()) {
        if (device.kind != PRINTER_KIND_ETHERNET)
            continue;
        XStringW text;
        text.Format(TEXT("%02x:%02x:%02x:%02x:%02x:%02x^%d.%d.%d.%d"), device.mac[0], device.mac[1],
                    device.mac[2], device.mac[3], device.mac[4], device.mac[5], device.address[0],
                    device.address[1], device.address[2], device.address[3]);
        list.Add(text);
    }
    return list;
}

bool COstraUdpScanner::GetDeviceByMac(const XStringW& mac, _DISCOVERY_DEVICE_INFO_* device) const {
    XStringW wanted(mac);
    wanted.MakeLower();
    const bool colons = mac.Find(TEXT(":")) >= 0;
    for (const auto& entry : m_table->GetDevices()) {
        XStringW text = MacText(entry.mac, colons);
        if (text == wanted) {
            if (device)
                *device = entry;
            return true;
        }
    }
    return false;
}

XStringW COstraUdpScanner::FindByMac(const XStringW& mac, bool withPort) const {
    _DISCOVERY_DEVICE_INFO_ device;
    XStringW result;
    if (!GetDeviceByMac(mac, &device))
        return result;
    result.Format(TEXT("%d.%d.%d.%d"), device.address[0], device.address[1], device.address[2],
                  device.address[3]);
    if (withPort)
        result.AppendFormat(TEXT(":%d"), DiscoveryLocalPort(device));
    SupportWipe(&device, sizeof device);
    return result;
}

std::vector<_DISCOVERY_DEVICE_INFO_> COstraUdpScanner::GetDevices() const {
    return m_table->GetDevices();
}

int COstraUdpScanner::GetDeviceCount() const {
    return m_table->GetCount();
}

bool COstraUdpScanner::SetPrinterConfig(const BYTE* record) {
    BYTE request[DISCOVERY_ETHERNET_RECORD];
    std::memcpy(request, record, sizeof request);
    static const BYTE kZero[4] = {};
    if (std::memcmp(request + RECORD_ADDRESS, kZero, 4) == 0)
        std::memcpy(request + RECORD_ADDRESS, kDefaultConfigAddress, 4);
    SetPrinterMacAddress(request);
    SupportWipe(request, sizeof request);
    return true;
}

void COstraUdpScanner::SetPrinterMacAddress(const BYTE* record) {
    Trace(TEXT("COstraUdpScanner::SetPrinterMacAddress"), __LINE__, TEXT(""));
    auto* datagram = static_cast<BYTE*>(SupportAllocate(DISCOVERY_ETHERNET_DATAGRAM));
    std::memcpy(datagram, DISCOVERY_WORD_SETT, DISCOVERY_ETHERNET_WORD_LENGTH);
    std::memcpy(datagram + DISCOVERY_ETHERNET_WORD_LENGTH, record,
                DISCOVERY_ETHERNET_DATAGRAM - DISCOVERY_ETHERNET_WORD_LENGTH);
    SendReceive(record[RECORD_INTERFACE_INDEX], datagram, kConfigWait);
    SupportFree(datagram, DISCOVERY_ETHERNET_DATAGRAM);
}

void COstraUdpScanner::SendReceive(int interfaceIndex, const BYTE* datagram, int timeout) {
    static const WCHAR* const kLocation = TEXT("COstraUdpScanner::SendReceive");
    Trace(kLocation, __LINE__, TEXT(""));
    // A socket a running search owns stays with that search.
    CUdpSocket* existing = TakeSocket(interfaceIndex, PRINTER_KIND_ETHERNET);
    if (existing)
        existing->Release();
    CreateUdpSocket(interfaceIndex, PRINTER_KIND_ETHERNET);
    if (CUdpSocket* socket = TakeSocket(interfaceIndex, PRINTER_KIND_ETHERNET)) {
        if (timeout == -1) {
            socket->Send(datagram, DISCOVERY_ETHERNET_DATAGRAM);
        } else {
            Trace(kLocation, __LINE__, TEXT("SendReceive"));
            socket->SendAndWait(datagram, timeout);
        }
        socket->Release();
    }
    if (!existing)
        CloseUdpSocket(interfaceIndex, PRINTER_KIND_ETHERNET);
}

int COstraUdpScanner::GetInterfaceCount() const {
    return static_cast<int>(m_interfaces.size());
}

bool COstraUdpScanner::GetInterface(int index, _LOCAL_INTERFACE_INFO_* info) const {
    auto it = m_interfaces.find(index);
    if (it == m_interfaces.end() || !info)
        return false;
    *info = it->second;
    return true;
}

bool COstraUdpScanner::IsBusy() const {
    return m_busy.load();
}

// COstraUdpScanner: finds printers by UDP broadcast on every usable local interface, keeps what
// they answer in its device table, and sends a printer new network settings.
//
// Create with new and end with Release() (COstraThread): its broadcasting thread holds a
// reference of its own. Found callbacks run on socket event threads.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "tool/discovery/discovery_protocol.h"
#include "tool/discovery/discovery_table.h"
#include "tool/discovery/net_helper.h"
#include "tool/discovery/ostra_thread.h"
#include "tool/discovery/udp_socket.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

class COstraUdpScanner : public COstraThread {
  public:
    static constexpr DWORD kRoundInterval = 500;  // between broadcast rounds
    static constexpr DWORD kSearchTime = 1500;    // SearchOnce at most
    static constexpr DWORD kSettleTime = 500;     // SearchOnce after the first entry
    static constexpr DWORD kStopWait = 500;
    static constexpr int kConfigWait = 1500;  // the wait after a "SETT"

    // Reads the interface list (CNetHelper).
    COstraUdpScanner();
    // With the given interfaces instead of the system's (tests, tools).
    explicit COstraUdpScanner(const std::vector<_LOCAL_INTERFACE_INFO_>& interfaces);

    // Continuous search: broadcasts every 500 ms on every interface with the kinds given
    // (PRINTER_KIND_* bits) until StopScan. Does nothing when busy or without interfaces.
    void StartScan(PFN_DISCOVERY_FOUND found, void* context, int kinds);
    void StopScan();
    void ClearDeviceTable();
    // One Ethernet search: two rounds, then up to 1500 ms, or 500 ms after the first entry.
    // The number of entries in the table; 0 at once when busy.
    int SearchOnce();

    // "%02x:%02x:%02x:%02x:%02x:%02x^%d.%d.%d.%d" of every Ethernet entry, in table order.
    XStringWList GetDeviceList() const;
    // The address ("a.b.c.d", with ":port" when `withPort`) of the first entry whose MAC matches
    // `mac` in any case, written with colons or as twelve digits; empty when none does.
    XStringW FindByMac(const XStringW& mac, bool withPort) const;
    // The first entry whose MAC matches, as FindByMac; false when none does.
    bool GetDeviceByMac(const XStringW& mac, _DISCOVERY_DEVICE_INFO_* device) const;
    std::vector<_DISCOVERY_DEVICE_INFO_> GetDevices() const;
    int GetDeviceCount() const;

    // Broadcasts "SETT" built from an Ethernet reply record (28 bytes; 0.0.0.0 is sent as
    // 192.168.192.123) on the interface the record names, and waits 1500 ms. Always true.
    bool SetPrinterConfig(const BYTE* record);

    int GetInterfaceCount() const;
    bool GetInterface(int index, _LOCAL_INTERFACE_INFO_* info) const;
    bool IsBusy() const;

    // The steps behind the operations above.
    void CreateUdpSocket(int interfaceIndex, int kinds);
    void CloseUdpSocket(int interfaceIndex, int kinds);
    void SetPrinterMacAddress(const BYTE* record);
    void SendReceive(int interfaceIndex, const BYTE* datagram, int timeout);

    void ThreadLoop() override;

  protected:
    ~COstraUdpScanner() override;

  private:
    struct SocketPair {
        CUdpSocket* ethernet = nullptr;
        CUdpSocket* wireless = nullptr;
    };

    void Init(const std::vector<_LOCAL_INTERFACE_INFO_>& interfaces);
    // A referenced socket of the slot, or null; the caller releases it.
    CUdpSocket* TakeSocket(int interfaceIndex, int kind) const;
    void SendRound(int kinds);

    CDiscoveryTable* m_table;
    std::map<int, _LOCAL_INTERFACE_INFO_> m_interfaces;  // fixed after construction

    mutable std::mutex m_lock;  // guards the slots and the fields below
    std::vector<SocketPair> m_sockets;
    std::atomic<bool> m_busy{false};
    // Bumped by StopScan: a broadcasting thread left running by an earlier search ends at once.
    std::atomic<unsigned> m_generation{0};
    int m_kinds = 0;
    PFN_DISCOVERY_FOUND m_found = nullptr;
    void* m_foundContext = nullptr;
};

// The local interface list (SIO_GET_INTERFACE_LIST) and the strict dotted-address check.
#include "tool/discovery/net_helper.h"

#include <cstring>

#include "tool/support/support_memory.h"
#include "tool/support/trace.h"
#include "tool/support/xstring_list.h"

namespace {

constexpr int kMaxInterfaces = 64;
constexpr ULONG kLoopbackAddress = 0x7F000001;  // host order

}  // namespace

bool CNetHelper::IsUsableInterface(ULONG flags, ULONG address) {
    return (flags & IFF_UP) && (flags & IFF_BROADCAST) && address != 0 &&
           address != htonl(kLoopbackAddress);
}

int CNetHelper::GetNetworkInterfaceList(_LOCAL_INTERFACE_INFO_** entries, int capacity) {
    static const WCHAR* const kLocation = TEXT("CNetHelper::GetNetworkInterfaceList");
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        Trace(kLocation, __LINE__, TEXT("%s, (%d)"), TEXT("Could not open Windows connection."),
              static_cast<int>(GetLastError()));
        return 0;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        Trace(kLocation, __LINE__, TEXT("%s, (%d)"), TEXT("Could not create socket."),
              static_cast<int>(GetLastError()));
        WSACleanup();
        return 0;
    }
    INTERFACE_INFO list[kMaxInterfaces];
    std::memset(list, 0, sizeof list);
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &returned, nullptr,
                 nullptr) == SOCKET_ERROR) {
        int error = static_cast<int>(GetLastError());
        closesocket(s);
        TraceError(kLocation, __LINE__, TEXT("%s, (%d)"), TEXT("WSAIoctl failed with"), error);
        WSACleanup();
        return 0;
    }
    int count = static_cast<int>(returned / sizeof(INTERFACE_INFO));
    if (count > kMaxInterfaces)
        count = kMaxInterfaces;
    int taken = 0;
    for (int i = 0; i < count; ++i) {
        const INTERFACE_INFO& entry = list[i];
        ULONG address = entry.iiAddress.AddressIn.sin_addr.s_addr;
        if (!IsUsableInterface(static_cast<ULONG>(entry.iiFlags), address))
            continue;
        if (entries) {
            if (taken >= capacity)
                break;
            auto* info = new _LOCAL_INTERFACE_INFO_;
            info->flags = static_cast<ULONG>(entry.iiFlags);
            info->address = address;
            info->broadcast = entry.iiBroadcastAddress.AddressIn.sin_addr.s_addr;
            entries[taken] = info;
        }
        ++taken;
    }
    closesocket(s);
    WSACleanup();
    return taken;
}

bool IsValidIPv4Text(const XStringW& text) {
    // Split keeps empty items here, so "1..2.3.4" is five items and fails.
    XStringWList items = text.Split(TEXT("."), false);
    if (items.GetCount() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        const XStringW& item = items.GetAt(i);
        int length = item.GetLength();
        if (length < 1 || length > 3)
            return false;
        int value = 0;
        for (int j = 0; j < length; ++j) {
            WCHAR c = item.GetString()[j];
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255)
            return false;
    }
    return true;
}

// Windows Sockets of the host machine's Win32 personality: IPv4 datagram sockets on BSD sockets,
// event selection with Windows' level-triggered FD_READ, and the interface list. Only what the
// tool calls. Traffic stays on the networks the machine's settings make visible (see winsock.cpp).
#pragma once

#include "platform/host/types.h"
#include "platform/host/win32/errors.h"
#include "platform/host/win32/files.h"  // OVERLAPPED
#include "platform/host/win32/sync.h"
#include "platform/host/win32/winsock_codes.h"

using SOCKET = UINT_PTR;
using u_char = UCHAR;
using u_short = USHORT;
using u_int = UINT;
// No u_long: Linux's <sys/types.h> gives that name a 64-bit type. Windows' is 32-bit: use ULONG.
using WSAEVENT = HANDLE;
using LPWSAEVENT = WSAEVENT*;
using ADDRESS_FAMILY = USHORT;

#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define AF_UNSPEC 0
#define AF_INET 2
#define PF_INET AF_INET
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_UDP 17

#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK ((ULONG)0x7f000001)
#define INADDR_BROADCAST ((ULONG)0xffffffff)
#define INADDR_NONE 0xffffffff

#define SOL_SOCKET 0xffff
#define SO_REUSEADDR 0x0004
#define SO_BROADCAST 0x0020
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006

#define FIONBIO ((LONG)0x8004667EUL)
#define FIONREAD ((LONG)0x4004667FUL)
#define SIO_GET_INTERFACE_LIST 0x4004747FUL

#define FD_READ_BIT 0
#define FD_READ (1 << FD_READ_BIT)
#define FD_WRITE_BIT 1
#define FD_WRITE (1 << FD_WRITE_BIT)
#define FD_OOB_BIT 2
#define FD_OOB (1 << FD_OOB_BIT)
#define FD_ACCEPT_BIT 3
#define FD_ACCEPT (1 << FD_ACCEPT_BIT)
#define FD_CONNECT_BIT 4
#define FD_CONNECT (1 << FD_CONNECT_BIT)
#define FD_CLOSE_BIT 5
#define FD_CLOSE (1 << FD_CLOSE_BIT)
#define FD_MAX_EVENTS 10

#define WSA_INFINITE INFINITE
#define WSA_WAIT_EVENT_0 WAIT_OBJECT_0
#define WSA_WAIT_TIMEOUT WAIT_TIMEOUT
#define WSA_WAIT_FAILED WAIT_FAILED
#define WSA_MAXIMUM_WAIT_EVENTS MAXIMUM_WAIT_OBJECTS
#define WSA_INVALID_EVENT ((WSAEVENT) nullptr)

// Interface flags as SIO_GET_INTERFACE_LIST reports them.
#define IFF_UP 0x00000001
#define IFF_BROADCAST 0x00000002
#define IFF_LOOPBACK 0x00000004
#define IFF_POINTTOPOINT 0x00000008
#define IFF_MULTICAST 0x00000010

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
};
using IN_ADDR = in_addr;
#define s_addr S_un.S_addr

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};
using SOCKADDR = sockaddr;
using PSOCKADDR = sockaddr*;
using LPSOCKADDR = sockaddr*;

struct sockaddr_in {
    SHORT sin_family;
    USHORT sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
using SOCKADDR_IN = sockaddr_in;
using PSOCKADDR_IN = sockaddr_in*;

struct sockaddr_in6_old {
    SHORT sin6_family;
    USHORT sin6_port;
    ULONG sin6_flowinfo;
    UCHAR sin6_addr[16];
};
union sockaddr_gen {
    sockaddr Address;
    sockaddr_in AddressIn;
    sockaddr_in6_old AddressIn6;
};
struct INTERFACE_INFO {
    ULONG iiFlags;
    sockaddr_gen iiAddress;
    sockaddr_gen iiBroadcastAddress;
    sockaddr_gen iiNetmask;
};
using LPINTERFACE_INFO = INTERFACE_INFO*;
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_gen) == 24);
static_assert(sizeof(INTERFACE_INFO) == 76, "Windows' INTERFACE_INFO is 76 bytes");

struct WSANETWORKEVENTS {
    LONG lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};
using LPWSANETWORKEVENTS = WSANETWORKEVENTS*;

using WSAOVERLAPPED = OVERLAPPED;
using LPWSAOVERLAPPED = WSAOVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD dwError, DWORD cbTransferred,
                                                    LPWSAOVERLAPPED lpOverlapped, DWORD dwFlags);

// Reference counted per process, as on Windows: every call but WSAStartup fails with
// WSANOTINITIALISED while the count is 0. Versions 1.0 to 2.2 are granted.
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();
// The calling thread's last error (the same slot as GetLastError).
int WSAGetLastError();
void WSASetLastError(int iError);

// IPv4 datagram sockets only (AF_INET, SOCK_DGRAM, protocol 0 or IPPROTO_UDP).
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
// SOL_SOCKET with SO_BROADCAST, SO_REUSEADDR (BOOL) and SO_RCVTIMEO (DWORD milliseconds).
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int bind(SOCKET s, const sockaddr* name, int namelen);
// Destinations are refused with WSAENETUNREACH unless they are loopback or lie in the subnet of
// an interface the machine makes visible.
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
// One datagram per call; a datagram longer than `len` fills the buffer, is dropped and fails with
// WSAEMSGSIZE, as on Windows. Each call re-enables FD_READ.
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int recv(SOCKET s, char* buf, int len, int flags);
// FIONBIO and FIONREAD.
int ioctlsocket(SOCKET s, LONG cmd, ULONG* argp);
// SIO_GET_INTERFACE_LIST only, without overlapped I/O: the IPv4 addresses of the interfaces the
// machine's settings name (none by default), in the system's order.
int WSAIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer,
             LPVOID lpvOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbBytesReturned,
             LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);

// Network events: manual-reset events. WSAEventSelect makes the socket non-blocking; FD_READ is
// recorded when data waits and recorded again after each receive while data remains. FD_CLOSE is
// never recorded for a datagram socket.
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT hEvent);
BOOL WSASetEvent(WSAEVENT hEvent);
BOOL WSAResetEvent(WSAEVENT hEvent);
int WSAEventSelect(SOCKET s, WSAEVENT hEventObject, LONG lNetworkEvents);
DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents, BOOL fWaitAll,
                               DWORD dwTimeout, BOOL fAlertable);
// Hands out and clears the recorded events, and resets hEventObject when given.
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT hEventObject, LPWSANETWORKEVENTS lpNetworkEvents);

// Byte order of the wire (big-endian) and the host.
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
ULONG htonl(ULONG hostlong);
ULONG ntohl(ULONG netlong);

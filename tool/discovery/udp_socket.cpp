// CUdpSocket: creation steps, sends, the bounded close and the event loop. Each datagram reaches
// the handlers on its own, so printers that answer in the same instant are all heard.
#include "tool/discovery/udp_socket.h"

#include "tool/support/ostra_queue.h"
#include "tool/support/support_memory.h"
#include "tool/support/trace.h"

CUdpSocket::CUdpSocket() = default;

CUdpSocket::~CUdpSocket() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_eventHandler = nullptr;
        m_notifyHandler = nullptr;
        m_dataHandler = nullptr;
        m_indexedDataHandler = nullptr;
        m_userData = nullptr;
    }
    Close();
    COstraShared* owner = nullptr;
    {
        // The last reference: no thread runs any more, so the socket and event can go.
        std::lock_guard<std::mutex> guard(m_lock);
        CloseSocketLocked();
        if (m_event) {
            WSACloseEvent(m_event);
            m_event = nullptr;
        }
        owner = m_userDataOwner;
        m_userDataOwner = nullptr;
    }
    if (owner)
        owner->Release();
    if (m_winsockStarted)
        WSACleanup();
}

void CUdpSocket::CloseSocketLocked() {
    if (m_socket) {
        closesocket(m_socket);
        m_socket = 0;
    }
}

bool CUdpSocket::Create(ULONG localAddress, USHORT localPort, ULONG remoteAddress,
                        USHORT remotePort) {
    static const WCHAR* const kLocation = TEXT("CUdpSocket::Create");
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_socket || HasThread())
        return false;  // one socket per object
    auto fail = [this]() {
        CloseSocketLocked();
        if (m_event) {
            WSACloseEvent(m_event);
            m_event = nullptr;
        }
        m_closed = true;
        return false;
    };
    if (!m_winsockStarted) {
        WSADATA data;
        if (WSAStartup(0x0101, &data) != 0) {
            TraceFatal(kLocation, __LINE__, TEXT("fail to WSAStartup"));
            return fail();
        }
        m_winsockStarted = true;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return fail();
    m_socket = s;
    BOOL on = TRUE;
    DWORD timeout = 500;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) ==
            SOCKET_ERROR ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout) == SOCKET_ERROR ||
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) ==
            SOCKET_ERROR)
        return fail();

    m_localAddress = localAddress;
    m_remoteAddress = remoteAddress;
    m_localEndpoint = sockaddr_in{};
    m_localEndpoint.sin_family = AF_INET;
    m_localEndpoint.sin_port = htons(localPort);
    m_localEndpoint.sin_addr.s_addr = localAddress;
    m_remoteEndpoint = sockaddr_in{};
    m_remoteEndpoint.sin_family = AF_INET;
    m_remoteEndpoint.sin_port = htons(remotePort);
    m_remoteEndpoint.sin_addr.s_addr = remoteAddress;

    m_event = WSACreateEvent();
    if (m_event == WSA_INVALID_EVENT) {
        TraceError(kLocation, __LINE__, TEXT("WSACreateEvent fail : %d"), WSAGetLastError());
        return fail();
    }
    if (WSAEventSelect(s, m_event, FD_READ | FD_CLOSE) == SOCKET_ERROR) {
        TraceError(kLocation, __LINE__, TEXT("WSAEventSelect error : %d"), WSAGetLastError());
        return fail();
    }
    if (bind(s, reinterpret_cast<const sockaddr*>(&m_localEndpoint), sizeof m_localEndpoint) ==
        SOCKET_ERROR) {
        TraceError(kLocation, __LINE__, TEXT("Cannot bind address to socket : %d"),
                   WSAGetLastError());
        return fail();
    }
    ULONG nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return fail();
    m_closed = false;
    return true;
}

int CUdpSocket::Send(const void* bytes, int length) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_socket || m_closed || !bytes || length <= 0)
        return 0;
    int sent =
        sendto(m_socket, static_cast<const char*>(bytes), length, 0,
               reinterpret_cast<const sockaddr*>(&m_remoteEndpoint), sizeof m_remoteEndpoint);
    if (sent == SOCKET_ERROR) {
        TraceError(TEXT("CUdpSocket::Send"), __LINE__, TEXT("Error :(%d)"),
                   static_cast<int>(GetLastError()));
        return -1;
    }
    return sent;
}

int CUdpSocket::SendAndWait(const void* bytes, int timeout) {
    m_awaitingReply = true;
    int sent = Send(bytes, 30);
    if (sent == -1) {
        m_awaitingReply = false;
        return -1;
    }
    ULONGLONG start = GetTickCount64();
    while (m_awaitingReply.load() && GetTickCount64() - start < static_cast<ULONGLONG>(timeout))
        Sleep(10);
    if (!m_awaitingReply.exchange(false))
        return sent;
    return -1;
}

void CUdpSocket::Close() {
    m_stop = true;
    WSAEVENT event;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        event = m_event;
    }
    if (event)
        WSASetEvent(event);
    bool ended = EndThread(kCloseWait);
    std::lock_guard<std::mutex> guard(m_lock);
    // A thread still in a handler keeps using the socket: it closes with the last reference.
    if (ended)
        CloseSocketLocked();
    m_closed = true;
    m_eventHandler = nullptr;
    m_dataHandler = nullptr;
}

void CUdpSocket::SetEventHandler(PFN_UDP_EVENT_HANDLER handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_eventHandler = handler;
}

void CUdpSocket::SetNotifyHandler(PFN_UDP_NOTIFY_HANDLER handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_notifyHandler = handler;
}

void CUdpSocket::SetDataHandler(PFN_UDP_DATA_HANDLER handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_dataHandler = handler;
}

void CUdpSocket::SetIndexedDataHandler(PFN_UDP_INDEXED_DATA_HANDLER handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_indexedDataHandler = handler;
}

void CUdpSocket::SetUserData(void* userData) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_userData = userData;
}

void CUdpSocket::SetUserDataOwner(COstraShared* owner) {
    if (owner)
        owner->AddRef();
    COstraShared* previous;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        previous = m_userDataOwner;
        m_userDataOwner = owner;
    }
    if (previous)
        previous->Release();
}

void CUdpSocket::SetContext(int context) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_context = context;
}

int CUdpSocket::GetContext() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_context;
}

bool CUdpSocket::IsClosed() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_closed;
}

void CUdpSocket::ThreadLoop() {
    static const WCHAR* const kLocation = TEXT("CUdpSocket::ThreadLoop");
    SOCKET s;
    WSAEVENT event;
    {
        // Socket and event stay open while this thread runs (closed by Close after it ended, or
        // with the last reference).
        std::lock_guard<std::mutex> guard(m_lock);
        s = m_socket;
        event = m_event;
    }
    if (!s || !event)
        return;  // never created: an event that nothing resets would make this loop spin
    while (!m_stop) {
        DWORD wait = WSAWaitForMultipleEvents(1, &event, FALSE, WSA_INFINITE, FALSE);
        if (m_stop)
            break;
        if (wait == WSA_WAIT_FAILED) {
            if (WSAGetLastError() == WSA_INVALID_HANDLE)
                break;
            Sleep(10);
            continue;
        }
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(s, event, &events) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error != WSAENOTSOCK && error != WSANOTINITIALISED)
                TraceError(kLocation, __LINE__, TEXT("WSAEnumNetworkEvents error : %d"), error);
            // The event was not reset: pause rather than spin on it.
            Sleep(10);
            continue;
        }
        bool readWentToData = false;
        if (events.lNetworkEvents & FD_READ) {
            if (events.iErrorCode[FD_READ_BIT] != 0) {
                TraceError(kLocation, __LINE__, TEXT("FD_READ Event error=%d"),
                           events.iErrorCode[FD_READ_BIT]);
                continue;
            }
            PFN_UDP_EVENT_HANDLER eventHandler;
            PFN_UDP_NOTIFY_HANDLER notifyHandler;
            bool anyData;
            int context;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                eventHandler = m_eventHandler;
                notifyHandler = m_notifyHandler;
                anyData = m_dataHandler || m_indexedDataHandler;
                context = m_context;
            }
            if (eventHandler) {
                eventHandler(events.lNetworkEvents);
                if (notifyHandler)
                    notifyHandler(context);
                continue;
            }
            if (notifyHandler) {
                notifyHandler(context);
                continue;
            }
            if (anyData) {
                ReceiveDatagrams();
                readWentToData = true;
            }
        }
        if (!(events.lNetworkEvents & FD_READ) || readWentToData) {
            if (events.lNetworkEvents & FD_CLOSE) {
                if (events.iErrorCode[FD_CLOSE_BIT] != 0)
                    TraceError(kLocation, __LINE__, TEXT("FD_CLOSE Event error=%d"),
                               events.iErrorCode[FD_CLOSE_BIT]);
                Trace(kLocation, __LINE__, TEXT("Client closed the socket!!!"));
                m_stop = true;
                break;
            }
        }
    }
}

void CUdpSocket::ReceiveDatagrams() {
    SOCKET s;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        s = m_socket;
    }
    BYTE buffer[kReceiveBuffer];
    for (int i = 0; i < kDatagramsPerEvent && !m_stop; ++i) {
        SupportWipe(buffer, sizeof buffer);
        int received =
            recvfrom(s, reinterpret_cast<char*>(buffer), sizeof buffer, 0, nullptr, nullptr);
        if (received == SOCKET_ERROR) {
            // A longer datagram filled the buffer and lost its tail: take what arrived.
            if (WSAGetLastError() != WSAEMSGSIZE)
                break;
            received = sizeof buffer;
        }
        if (received <= 0)
            continue;  // an empty datagram
        COstraQueue datagram(received);
        datagram.Append(buffer, received);
        PFN_UDP_DATA_HANDLER dataHandler;
        PFN_UDP_INDEXED_DATA_HANDLER indexedHandler;
        void* userData;
        int context;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            dataHandler = m_dataHandler;
            indexedHandler = m_indexedDataHandler;
            userData = m_userData;
            context = m_context;
        }
        if (dataHandler)
            dataHandler(datagram.GetBuffer(), datagram.GetLength(), userData);
        if (indexedHandler)
            indexedHandler(datagram.GetBuffer(), datagram.GetLength(), userData, context);
    }
    SupportWipe(buffer, sizeof buffer);
}

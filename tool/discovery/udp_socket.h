// CUdpSocket: one non-blocking IPv4 datagram socket bound to a local interface address and port,
// aimed at one remote address and port, with an event thread that hands each received datagram
// to the handlers. Reference counted (see COstraThread): release it, never delete it.
#pragma once

#include <mutex>

#include "platform/win32.h"
#include "tool/discovery/ostra_thread.h"

using PFN_UDP_EVENT_HANDLER = void (*)(LONG networkEvents);
using PFN_UDP_NOTIFY_HANDLER = void (*)(int context);
using PFN_UDP_DATA_HANDLER = void (*)(const BYTE* bytes, int length, void* userData);
using PFN_UDP_INDEXED_DATA_HANDLER = void (*)(const BYTE* bytes, int length, void* userData,
                                              int context);

class CUdpSocket : public COstraThread {
  public:
    // Room for the longest datagram the tool takes; longer ones are cut to this length.
    static constexpr int kReceiveBuffer = 1024;
    // Datagrams taken per read event before the loop looks at its stop flag and waits again
    // (the read event is recorded again while data remains).
    static constexpr int kDatagramsPerEvent = 64;
    static constexpr DWORD kCloseWait = 100;

    CUdpSocket();

    // Addresses in network byte order, ports in host order. False, with the object closed, when a
    // step fails; a socket that failed sends and receives nothing and must not be started.
    bool Create(ULONG localAddress, USHORT localPort, ULONG remoteAddress, USHORT remotePort);
    // One datagram to the remote endpoint: bytes sent, -1 on error, 0 without socket or data.
    int Send(const void* bytes, int length);
    // Sends 30 bytes and waits the whole `timeout` (nothing in the receive path ends the wait
    // early); -1 after the wait, or at once when the send fails.
    int SendAndWait(const void* bytes, int timeout);
    // Stops the event thread (bounded wait; a thread busy in a handler finishes on its own
    // reference), closes the socket and clears the event and data handlers.
    void Close();

    // The event handler replaces all data handling; the notify handler is called after it, or
    // alone; otherwise each datagram goes to the data handler and then the indexed handler.
    void SetEventHandler(PFN_UDP_EVENT_HANDLER handler);
    void SetNotifyHandler(PFN_UDP_NOTIFY_HANDLER handler);
    void SetDataHandler(PFN_UDP_DATA_HANDLER handler);
    void SetIndexedDataHandler(PFN_UDP_INDEXED_DATA_HANDLER handler);
    void SetUserData(void* userData);
    // A reference the socket keeps until it is destroyed: what the user data points at, so that
    // a handler still running on a detached thread never sees it freed.
    void SetUserDataOwner(COstraShared* owner);
    void SetContext(int context);
    int GetContext() const;
    bool IsClosed() const;

    void ThreadLoop() override;

  protected:
    ~CUdpSocket() override;

  private:
    void ReceiveDatagrams();
    void CloseSocketLocked();

    mutable std::mutex m_lock;  // guards every member below
    PFN_UDP_EVENT_HANDLER m_eventHandler = nullptr;
    PFN_UDP_NOTIFY_HANDLER m_notifyHandler = nullptr;
    PFN_UDP_DATA_HANDLER m_dataHandler = nullptr;
    PFN_UDP_INDEXED_DATA_HANDLER m_indexedDataHandler = nullptr;
    void* m_userData = nullptr;
    COstraShared* m_userDataOwner = nullptr;
    int m_context = -1;
    ULONG m_localAddress = 0;
    ULONG m_remoteAddress = 0;
    SOCKET m_socket = 0;
    WSAEVENT m_event = nullptr;
    sockaddr_in m_localEndpoint{};
    sockaddr_in m_remoteEndpoint{};
    bool m_closed = true;
    bool m_winsockStarted = false;
    std::atomic<bool> m_awaitingReply{false};
};

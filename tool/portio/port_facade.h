// CPortFacade: one port of the port list manager, as the test print uses it: open by port text,
// write, wait for received bytes, send a command and collect its reply, close. Lives on the
// caller's stack, on the main thread.
#pragma once

#include "platform/win32.h"
#include "tool/support/xstring.h"

class CPortFacade {
  public:
    static constexpr int kNoByte = -1;  // no header / no terminator (distinct from the byte 0x00)
    static constexpr int kTransactTextMax = 127;  // bytes of a reply TransactText keeps

    CPortFacade() = default;
    // Deletes the manager when no port is left in it.
    ~CPortFacade();
    CPortFacade(const CPortFacade&) = delete;
    CPortFacade& operator=(const CPortFacade&) = delete;

    bool Open(const XStringW& portText, int connectMode, int deviceId, bool useReadThread,
              bool useOverlappedIO);
    bool Close();
    int Write(const BYTE* bytes, int length);
    int WriteCommand(const BYTE* bytes, int length, int mode);
    int WaitReadAvailable(int deviceId);
    // Sends the three command bytes and collects the reply for at most 500 ms: bytes before the
    // header (when one is given) are dropped; collection ends at the terminator (stored too) or,
    // without one, when nothing more arrives. At most `capacity` bytes are stored; the rest of
    // a longer reply is read away. Returns the count stored.
    int Transact(int mode, const BYTE command[3], int header, int terminator, BYTE* output,
                 int capacity);
    // The reply up to its first zero byte, at most 127 bytes, as text (ANSI code page).
    XStringW TransactText(int mode, const BYTE command[3], int header, int terminator);

    int GetPortId() const { return m_portId; }
    bool IsOpen() const { return m_isOpen; }

  private:
    int m_portId = 0;
    bool m_isOpen = false;
};

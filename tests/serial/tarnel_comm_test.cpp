// The Win32 serial API on a Tarnel port, as the configuration tool and other applications use it:
// an overlapped handle on a port assigned to the printer simulator on loopback.
#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/win32/windows.h"
#include "tests/driver/driver_fixture.h"
#include "tools/printer-sim/printer_sim.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
using namespace std::chrono_literals;

constexpr auto kWait = 20s;  // generous: sanitizer builds on a shared machine

class TarnelCommTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        std::string error;
        ASSERT_TRUE(printer_.start(error)) << error;
        std::u16string id = AddPort(u"COM4");
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM4", 0, nullptr,
                                  0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        // As the tool writes it: the octets in order, the TCP port's two bytes big-endian.
        BYTE address[4] = {127, 0, 0, 1};
        BYTE port[4] = {static_cast<BYTE>(printer_.port() >> 8),
                        static_cast<BYTE>(printer_.port() & 0xFF), 0, 0};
        EXPECT_EQ(RegSetValueExW(key, u"IPAddress", 0, REG_DWORD, address, 4), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, u"Port", 0, REG_DWORD, port, 4), ERROR_SUCCESS);
        RegCloseKey(key);
        ASSERT_EQ(hk::StartDeviceInstance(id), STATUS_SUCCESS);
        Open();
    }
    void TearDown() override {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        DriverTest::TearDown();
    }
    void Open() {
        // As the configuration tool opens a port: exclusive, overlapped.
        h_ = CreateFileW(u"COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void Reopen() {
        ASSERT_TRUE(CloseHandle(h_));
        h_ = INVALID_HANDLE_VALUE;
        Open();
    }
    DWORD InQueue() {
        COMSTAT stat{};
        DWORD errors = 0xFF;
        EXPECT_TRUE(ClearCommError(h_, &errors, &stat)) << GetLastError();
        EXPECT_EQ(errors, 0u);
        return stat.cbInQue;
    }
    bool WaitForInQueue(DWORD count) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (InQueue() != count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return InQueue() == count;
    }

    printersim::PrinterSimulator printer_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// An overlapped wait of the application's own.
struct Wait {
    OVERLAPPED ov{};
    DWORD events = 0xDEAD;
    Wait() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Wait() { CloseHandle(ov.hEvent); }
    bool start(HANDLE h) {
        return !WaitCommEvent(h, &events, &ov) && GetLastError() == ERROR_IO_PENDING;
    }
    bool done(DWORD ms) { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
};

TEST_F(TarnelCommTest, AFreshPortReportsTheDriversDefaults) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h_, &dcb)) << GetLastError();
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    COMMTIMEOUTS t;
    std::memset(&t, 0xAB, sizeof t);
    ASSERT_TRUE(GetCommTimeouts(h_, &t));
    EXPECT_EQ(t.ReadIntervalTimeout | t.ReadTotalTimeoutMultiplier | t.ReadTotalTimeoutConstant |
                  t.WriteTotalTimeoutMultiplier | t.WriteTotalTimeoutConstant,
              0u);
    DWORD mask = 0xFF;
    ASSERT_TRUE(GetCommMask(h_, &mask));
    EXPECT_EQ(mask, 0u);
}

TEST_F(TarnelCommTest, EveryGetReturnsWhatItsSetStoredAcrossReopening) {
    // The configuration tool's DCB for COM4:19200:7:2:0:1 (XON/XOFF).
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h_, &dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDsrSensitivity = 0;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fParity = 1;
    dcb.fTXContinueOnXoff = 0;
    dcb.fNull = 0;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(h_, &dcb)) << GetLastError();
    COMMTIMEOUTS timeouts{2, 0, 50, 10, 5000};
    ASSERT_TRUE(SetCommTimeouts(h_, &timeouts)) << GetLastError();
    ASSERT_TRUE(SetupComm(h_, 4096, 4096)) << GetLastError();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round ? "after reopening" : "same handle");
        DCB got{};
        ASSERT_TRUE(GetCommState(h_, &got)) << GetLastError();
        EXPECT_EQ(got.BaudRate, 19200u);
        EXPECT_EQ(got.ByteSize, 7);
        EXPECT_EQ(got.Parity, EVENPARITY);
        EXPECT_EQ(got.StopBits, ONESTOPBIT);
        EXPECT_EQ(got.fParity, 1u);
        EXPECT_EQ(got.fOutxCtsFlow, 1u);
        EXPECT_EQ(got.fOutxDsrFlow, 1u);
        EXPECT_EQ(got.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
        EXPECT_EQ(got.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
        EXPECT_EQ(got.fOutX, 1u);
        EXPECT_EQ(got.fInX, 1u);
        EXPECT_EQ(got.XonLim, 2048);
        EXPECT_EQ(got.XoffLim, 512);
        // The driver keeps no special characters: get chars answers with nothing.
        EXPECT_EQ(got.XonChar, 0);
        EXPECT_EQ(got.XoffChar, 0);
        COMMTIMEOUTS t{};
        ASSERT_TRUE(GetCommTimeouts(h_, &t));
        EXPECT_EQ(std::memcmp(&t, &timeouts, sizeof t), 0);
        Reopen();
    }
}

TEST_F(TarnelCommTest, ModemLinesStayUpWhateverTheApplicationDoes) {
    // DTR loops back to DSR and RTS to CTS, but reading the status raises both again.
    const std::pair<const char*, std::function<BOOL()>> cases[] = {
        {"after open", [] { return TRUE; }},
        {"CLRDTR", [&] { return EscapeCommFunction(h_, CLRDTR); }},
        {"CLRRTS", [&] { return EscapeCommFunction(h_, CLRRTS); }},
        {"SETDTR", [&] { return EscapeCommFunction(h_, SETDTR); }},
        {"break on", [&] { return SetCommBreak(h_); }},
        {"break off", [&] { return ClearCommBreak(h_); }},
        {"XOFF", [&] { return EscapeCommFunction(h_, SETXOFF); }},
        {"DCB with DTR and RTS disabled",
         [&] {
             DCB dcb{};
             return GetCommState(h_, &dcb) &&
                    ((dcb.fDtrControl = DTR_CONTROL_DISABLE),
                     (dcb.fRtsControl = RTS_CONTROL_DISABLE), SetCommState(h_, &dcb));
         }},
    };
    for (const auto& [label, action] : cases) {
        SCOPED_TRACE(label);
        ASSERT_TRUE(action()) << GetLastError();
        DWORD lines = 0;
        ASSERT_TRUE(GetCommModemStatus(h_, &lines)) << GetLastError();
        EXPECT_EQ(lines, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
    }
}

TEST_F(TarnelCommTest, CommMasksAddUpUntilCleared) {
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
    ASSERT_TRUE(SetCommMask(h_, EV_CTS));
    ASSERT_TRUE(GetCommMask(h_, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS));
    ASSERT_TRUE(SetCommMask(h_, 0));
    ASSERT_TRUE(GetCommMask(h_, &mask));
    EXPECT_EQ(mask, 0u);
}

TEST_F(TarnelCommTest, WaitCommEventCompletesWithRxCharWhenThePrinterSends) {
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
    Wait wait;
    ASSERT_TRUE(wait.start(h_)) << GetLastError();
    EXPECT_FALSE(wait.done(50));  // nothing received yet
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h_, &wait.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    printer_.send("Z");
    ASSERT_TRUE(wait.done(20000));
    ASSERT_TRUE(GetOverlappedResult(h_, &wait.ov, &n, TRUE)) << GetLastError();
    EXPECT_EQ(n, sizeof(DWORD));
    EXPECT_EQ(wait.events, static_cast<DWORD>(EV_RXCHAR));

    // The byte is still there for the read that follows, as a tool reads after the event.
    EXPECT_EQ(InQueue(), 1u);
    char byte = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ReadFile(h_, &byte, 1, &n, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(h_, &ov, &n, TRUE));
    }
    CloseHandle(ov.hEvent);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(byte, 'Z');
}

TEST_F(TarnelCommTest, AWaitEndsWithNoEventWhenTheMaskChangesAndAbortsOnCancel) {
    ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
    Wait changed;
    ASSERT_TRUE(changed.start(h_)) << GetLastError();
    ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_DSR));
    ASSERT_TRUE(changed.done(20000));
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h_, &changed.ov, &n, TRUE)) << GetLastError();
    EXPECT_EQ(changed.events, 0u);

    Wait cancelled;
    ASSERT_TRUE(cancelled.start(h_)) << GetLastError();
    EXPECT_TRUE(CancelIo(h_));
    EXPECT_FALSE(GetOverlappedResult(h_, &cancelled.ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(TarnelCommTest, AWaitTheDriverCannotQueueFailsWithItsStatus) {
    ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
    // Nine waits fill the driver's queue; the tenth request is refused, the nine go on.
    std::vector<std::unique_ptr<Wait>> waits;
    for (int i = 0; i < 9; ++i) {
        waits.push_back(std::make_unique<Wait>());
        ASSERT_TRUE(waits.back()->start(h_)) << i << ": " << GetLastError();
    }
    Wait refused;
    SetLastError(0);
    EXPECT_FALSE(WaitCommEvent(h_, &refused.events, &refused.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Refused before it was queued: it reports its failure as a completed request.
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h_, &refused.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(h_, &events, nullptr));  // the same without an OVERLAPPED
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (auto& w : waits)
        EXPECT_FALSE(w->done(0));
    EXPECT_TRUE(CancelIo(h_));
    for (auto& w : waits) {
        EXPECT_FALSE(GetOverlappedResult(h_, &w->ov, &n, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    }
}

TEST_F(TarnelCommTest, PurgeCommEmptiesTheInputQueue) {
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    EXPECT_EQ(InQueue(), 0u);
    printer_.send("0123456789");
    ASSERT_TRUE(WaitForInQueue(10));
    // Transmit purges touch nothing: the bytes wait.
    ASSERT_TRUE(PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(InQueue(), 10u);
    ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR)) << GetLastError();
    EXPECT_EQ(InQueue(), 0u);
    // What comes afterwards is read, and only that.
    printer_.send("AB");
    ASSERT_TRUE(WaitForInQueue(2));
    char buffer[16];
    DWORD n = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ReadFile(h_, buffer, sizeof buffer, &n, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(h_, &ov, &n, TRUE));
    }
    CloseHandle(ov.hEvent);
    EXPECT_EQ(std::string(buffer, n), "AB");
}

}  // namespace
}  // namespace tarnel::test

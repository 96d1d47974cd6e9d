// The Win32 serial API against a recording serial device living in the test: which requests each
// call sends, in which order and with which bytes, the DCB conversions, and failing requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/windows.h"

namespace {

namespace hk = tarnel::host::kernel;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct Request {
    ULONG code;
    std::vector<UCHAR> input;
};

// A serial device that keeps what each set request carried and answers the matching get request
// with it, as a UART driver would. One request code can be made to fail.
struct RecordingDevice {
    std::mutex mutex;
    std::vector<Request> requests;
    std::map<ULONG, std::vector<UCHAR>> answers;  // get code -> bytes returned
    ULONG failCode = 0;
    NTSTATUS failStatus = STATUS_SUCCESS;

    std::vector<ULONG> codes() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<ULONG> out;
        for (auto& r : requests)
            out.push_back(r.code);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        requests.clear();
    }
    template <typename T>
    void answer(ULONG code, const T& value) {
        std::lock_guard<std::mutex> lock(mutex);
        auto* p = reinterpret_cast<const UCHAR*>(&value);
        answers[code].assign(p, p + sizeof(T));
    }
    // The bytes of the last request with this code, as a T.
    template <typename T>
    T last(ULONG code) {
        std::lock_guard<std::mutex> lock(mutex);
        T value{};
        for (auto& r : requests)
            if (r.code == code && r.input.size() >= sizeof(T))
                std::memcpy(&value, r.input.data(), sizeof(T));
        return value;
    }
};

RecordingDevice* g_device;

const std::map<ULONG, ULONG> kGetForSet = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS},
    {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK},
};

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        auto& p = stack->Parameters.DeviceIoControl;
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        std::lock_guard<std::mutex> lock(g_device->mutex);
        Request r{p.IoControlCode, {}};
        if (buffer)
            r.input.assign(buffer, buffer + p.InputBufferLength);
        g_device->requests.push_back(r);
        if (p.IoControlCode == g_device->failCode) {
            status = g_device->failStatus;
        } else if (auto get = kGetForSet.find(p.IoControlCode); get != kGetForSet.end()) {
            g_device->answers[get->second] = r.input;
        } else if (auto a = g_device->answers.find(p.IoControlCode); a != g_device->answers.end()) {
            size_t n = std::min<size_t>(a->second.size(), p.OutputBufferLength);
            std::memcpy(buffer, a->second.data(), n);
            irp->IoStatus.Information = n;
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class CommRequestsTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        machine_ = std::make_unique<tarnel::host::TestMachine>();
        g_device = &device_;
        driver_ = hk::CreateDriverObject(u"\\Driver\\RecordingSerial");
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
            driver_->MajorFunction[major] = Dispatch;
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, u"\\Device\\RecordingSerial0");
        RtlInitUnicodeString(&link, u"\\??\\COM21");
        ASSERT_EQ(
            IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_obj_),
            STATUS_SUCCESS);
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        // Both kinds of handle: the calls wait for their requests either way.
        h_ = CreateFileW(u"\\\\.\\COM21", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         GetParam() ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\??\\COM21");
        IoDeleteSymbolicLink(&link);
        if (device_obj_)
            IoDeleteDevice(device_obj_);
        hk::DestroyDriverObject(driver_);
        g_device = nullptr;
        machine_.reset();
    }
    void Fail(ULONG code, NTSTATUS status) {
        device_.failCode = code;
        device_.failStatus = status;
    }

    std::unique_ptr<tarnel::host::TestMachine> machine_;
    RecordingDevice device_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_obj_ = nullptr;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

INSTANTIATE_TEST_SUITE_P(Handles, CommRequestsTest, ::testing::Bool(), [](const auto& param) {
    return param.param ? "Overlapped" : "Synchronous";
});

const ULONG kGetState[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                           IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW};

TEST_P(CommRequestsTest, GetCommStateConvertsTheDriversSettings) {
    device_.answer(IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_BAUD_RATE{57600});
    device_.answer(IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7});
    device_.answer(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0x1A, 0x3F, 0x00, 0x0D, 0x11, 0x13});
    struct Case {
        const char* label;
        ULONG control, replace;
        DWORD cts, dsr, dtr, sensitivity, abort, txContinue, outX, inX, errorChar, null, rts;
    } cases[] = {
        {"nothing", 0, 0, 0, 0, DTR_CONTROL_DISABLE, 0, 0, 0, 0, 0, 0, 0, RTS_CONTROL_DISABLE},
        {"dtr and rts on, cts/dsr flow",
         SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL, 1, 1,
         DTR_CONTROL_ENABLE, 0, 0, 0, 0, 0, 0, 0, RTS_CONTROL_ENABLE},
        {"handshakes", SERIAL_DTR_HANDSHAKE | SERIAL_DSR_SENSITIVITY, SERIAL_RTS_HANDSHAKE, 0, 0,
         DTR_CONTROL_HANDSHAKE, 1, 0, 0, 0, 0, 0, 0, RTS_CONTROL_HANDSHAKE},
        {"xon/xoff and the rest", SERIAL_ERROR_ABORT | SERIAL_DCD_HANDSHAKE,
         SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
             SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE | SERIAL_BREAK_CHAR,
         0, 0, DTR_CONTROL_DISABLE, 0, 1, 1, 1, 1, 1, 1, RTS_CONTROL_TOGGLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        device_.answer(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{c.control, c.replace, 2048, 512});
        device_.clear();
        DCB dcb;
        std::memset(&dcb, 0xCC, sizeof dcb);
        ASSERT_TRUE(GetCommState(h_, &dcb)) << GetLastError();
        EXPECT_THAT(device_.codes(), ElementsAreArray(kGetState));
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb.BaudRate, 57600u);
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fParity, 1u);  // even parity
        EXPECT_EQ(dcb.fOutxCtsFlow, c.cts);
        EXPECT_EQ(dcb.fOutxDsrFlow, c.dsr);
        EXPECT_EQ(dcb.fDtrControl, c.dtr);
        EXPECT_EQ(dcb.fDsrSensitivity, c.sensitivity);
        EXPECT_EQ(dcb.fAbortOnError, c.abort);
        EXPECT_EQ(dcb.fTXContinueOnXoff, c.txContinue);
        EXPECT_EQ(dcb.fOutX, c.outX);
        EXPECT_EQ(dcb.fInX, c.inX);
        EXPECT_EQ(dcb.fErrorChar, c.errorChar);
        EXPECT_EQ(dcb.fNull, c.null);
        EXPECT_EQ(dcb.fRtsControl, c.rts);
        EXPECT_EQ(dcb.fDummy2, 0u);
        EXPECT_EQ(dcb.wReserved, 0u);
        EXPECT_EQ(dcb.XonLim, 2048u);
        EXPECT_EQ(dcb.XoffLim, 512u);
        EXPECT_EQ(dcb.ByteSize, 7u);
        EXPECT_EQ(dcb.Parity, EVENPARITY);
        EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
        EXPECT_EQ(dcb.EofChar, 0x1A);
        EXPECT_EQ(dcb.ErrorChar, 0x3F);
        EXPECT_EQ(dcb.EvtChar, 0x0D);
        EXPECT_EQ(dcb.XonChar, 0x11);
        EXPECT_EQ(dcb.XoffChar, 0x13);
    }
}

TEST_P(CommRequestsTest, SetCommStateSendsTheSettingsThenTheLinesItsModesName) {
    // What a DCB cannot say stays as the driver had it.
    device_.answer(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0, 0, 0x7E, 0, 0, 0});
    device_.answer(IOCTL_SERIAL_GET_HANDFLOW,
                   SERIAL_HANDFLOW{SERIAL_DCD_HANDSHAKE | SERIAL_CTS_HANDSHAKE,
                                   SERIAL_BREAK_CHAR | SERIAL_AUTO_RECEIVE, 10, 20});
    const ULONG kSets[] = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                           IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW};
    struct Case {
        const char* label;
        DWORD dtr, rts;
        std::vector<ULONG> lines;  // requests after the four settings
        ULONG control, replace;
    } cases[] = {
        {"enable both",
         DTR_CONTROL_ENABLE,
         RTS_CONTROL_ENABLE,
         {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS},
         SERIAL_DCD_HANDSHAKE | SERIAL_DTR_CONTROL,
         SERIAL_BREAK_CHAR | SERIAL_RTS_CONTROL},
        {"disable both",
         DTR_CONTROL_DISABLE,
         RTS_CONTROL_DISABLE,
         {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS},
         SERIAL_DCD_HANDSHAKE,
         SERIAL_BREAK_CHAR},
        {"handshakes leave the lines alone",
         DTR_CONTROL_HANDSHAKE,
         RTS_CONTROL_HANDSHAKE,
         {},
         SERIAL_DCD_HANDSHAKE | SERIAL_DTR_HANDSHAKE,
         SERIAL_BREAK_CHAR | SERIAL_RTS_HANDSHAKE},
        {"toggle",
         DTR_CONTROL_ENABLE,
         RTS_CONTROL_TOGGLE,
         {IOCTL_SERIAL_SET_DTR},
         SERIAL_DCD_HANDSHAKE | SERIAL_DTR_CONTROL,
         SERIAL_BREAK_CHAR | SERIAL_TRANSMIT_TOGGLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        // The driver's earlier state is read afresh each time, so put it back.
        device_.answer(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0, 0, 0x7E, 0, 0, 0});
        device_.answer(IOCTL_SERIAL_GET_HANDFLOW,
                       SERIAL_HANDFLOW{SERIAL_DCD_HANDSHAKE | SERIAL_CTS_HANDSHAKE,
                                       SERIAL_BREAK_CHAR | SERIAL_AUTO_RECEIVE, 10, 20});
        device_.clear();
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 19200;
        dcb.ByteSize = 7;
        dcb.Parity = ODDPARITY;
        dcb.StopBits = ONE5STOPBITS;
        dcb.fDtrControl = c.dtr;
        dcb.fRtsControl = c.rts;
        dcb.XonLim = 100;
        dcb.XoffLim = 200;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        ASSERT_TRUE(SetCommState(h_, &dcb)) << GetLastError();
        std::vector<ULONG> expected(std::begin(kGetState), std::end(kGetState));
        expected.insert(expected.end(), std::begin(kSets), std::end(kSets));
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_THAT(device_.codes(), ElementsAreArray(expected));
        EXPECT_EQ(device_.last<SERIAL_BAUD_RATE>(IOCTL_SERIAL_SET_BAUD_RATE).BaudRate, 19200u);
        auto line = device_.last<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_SET_LINE_CONTROL);
        EXPECT_EQ(line.WordLength, 7);
        EXPECT_EQ(line.Parity, ODD_PARITY);
        EXPECT_EQ(line.StopBits, STOP_BITS_1_5);
        auto chars = device_.last<SERIAL_CHARS>(IOCTL_SERIAL_SET_CHARS);
        EXPECT_EQ(chars.XonChar, 0x11);
        EXPECT_EQ(chars.XoffChar, 0x13);
        EXPECT_EQ(chars.BreakChar, 0x7E);
        auto flow = device_.last<SERIAL_HANDFLOW>(IOCTL_SERIAL_SET_HANDFLOW);
        EXPECT_EQ(flow.ControlHandShake, c.control);
        EXPECT_EQ(flow.FlowReplace, c.replace);
        EXPECT_EQ(flow.XonLimit, 100);
        EXPECT_EQ(flow.XoffLimit, 200);
    }
}

TEST_P(CommRequestsTest, EveryDcbFieldComesBackFromADeviceThatKeepsIt) {
    device_.answer(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{});
    DCB set{};
    set.DCBlength = sizeof set;
    set.BaudRate = 921600;
    set.fBinary = 1;
    set.fParity = 1;
    set.fOutxCtsFlow = 1;
    set.fOutxDsrFlow = 1;
    set.fDtrControl = DTR_CONTROL_HANDSHAKE;
    set.fDsrSensitivity = 1;
    set.fTXContinueOnXoff = 1;
    set.fOutX = 1;
    set.fInX = 1;
    set.fErrorChar = 1;
    set.fNull = 1;
    set.fRtsControl = RTS_CONTROL_TOGGLE;
    set.fAbortOnError = 1;
    set.XonLim = 0xFFFF;
    set.XoffLim = 1;
    set.ByteSize = 5;
    set.Parity = SPACEPARITY;
    set.StopBits = TWOSTOPBITS;
    set.XonChar = 'a';
    set.XoffChar = 'b';
    set.ErrorChar = 'c';
    set.EofChar = 'd';
    set.EvtChar = static_cast<char>(0xFE);
    ASSERT_TRUE(SetCommState(h_, &set)) << GetLastError();
    DCB got{};
    ASSERT_TRUE(GetCommState(h_, &got)) << GetLastError();
    EXPECT_EQ(std::memcmp(&got, &set, sizeof set), 0);

    // Timeouts and the wait mask are handed over as they are.
    COMMTIMEOUTS t{2, 0, 50, 10, 5000}, back{};
    ASSERT_TRUE(SetCommTimeouts(h_, &t));
    ASSERT_TRUE(GetCommTimeouts(h_, &back));
    EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_CTS | EV_ERR));
    ASSERT_TRUE(GetCommMask(h_, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_ERR));
}

TEST_P(CommRequestsTest, SimpleCallsSendOneRequestWithTheirValues) {
    ASSERT_TRUE(SetupComm(h_, 4096, 1024));
    ASSERT_TRUE(PurgeComm(h_, PURGE_TXABORT | PURGE_RXCLEAR));
    device_.answer(IOCTL_SERIAL_GET_MODEMSTATUS, ULONG{MS_CTS_ON | MS_RLSD_ON});
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(h_, &modem));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_CTS_ON | MS_RLSD_ON));
    device_.answer(IOCTL_SERIAL_WAIT_ON_MASK, ULONG{EV_DSR});
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(h_, &events, nullptr)) << GetLastError();
    EXPECT_EQ(events, static_cast<DWORD>(EV_DSR));

    EXPECT_THAT(device_.codes(),
                ElementsAre(IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_PURGE,
                            IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_WAIT_ON_MASK));
    auto size = device_.last<SERIAL_QUEUE_SIZE>(IOCTL_SERIAL_SET_QUEUE_SIZE);
    EXPECT_EQ(size.InSize, 4096u);
    EXPECT_EQ(size.OutSize, 1024u);
    EXPECT_EQ(device_.last<ULONG>(IOCTL_SERIAL_PURGE),
              static_cast<ULONG>(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR));
}

TEST_P(CommRequestsTest, EscapeCommFunctionNamesOneRequestPerFunction) {
    const std::pair<DWORD, ULONG> cases[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},       {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},         {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},         {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {RESETDEV, IOCTL_SERIAL_RESET_DEVICE},  {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
        {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
    };
    for (auto [function, code] : cases) {
        SCOPED_TRACE(function);
        device_.clear();
        ASSERT_TRUE(EscapeCommFunction(h_, function)) << GetLastError();
        EXPECT_THAT(device_.codes(), ElementsAre(code));
    }
    device_.clear();
    EXPECT_FALSE(EscapeCommFunction(h_, 10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(device_.codes().empty());
}

TEST_P(CommRequestsTest, ClearCommErrorTranslatesErrorsAndHoldReasons) {
    SERIAL_STATUS status{};
    status.Errors = 0x1F;       // break, framing, overrun, queue overrun, parity
    status.HoldReasons = 0x1F;  // CTS, DSR, DCD, XON, XOFF sent
    status.AmountInInQueue = 300;
    status.AmountInOutQueue = 7;
    status.EofReceived = 1;
    status.WaitForImmediate = 1;
    device_.answer(IOCTL_SERIAL_GET_COMMSTATUS, status);
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0xCC, sizeof stat);
    ASSERT_TRUE(ClearCommError(h_, &errors, &stat)) << GetLastError();
    EXPECT_EQ(errors,
              static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fDsrHold, 1u);
    EXPECT_EQ(stat.fRlsdHold, 1u);
    EXPECT_EQ(stat.fXoffHold, 1u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.fTxim, 1u);
    EXPECT_EQ(stat.fReserved, 0u);
    EXPECT_EQ(stat.cbInQue, 300u);
    EXPECT_EQ(stat.cbOutQue, 7u);

    // One error alone maps to its own flag; both outputs may be left out.
    status = SERIAL_STATUS{};
    status.Errors = 0x02;  // framing
    device_.answer(IOCTL_SERIAL_GET_COMMSTATUS, status);
    ASSERT_TRUE(ClearCommError(h_, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));
    EXPECT_TRUE(ClearCommError(h_, nullptr, nullptr));
}

TEST_P(CommRequestsTest, AFailingRequestFailsTheCallWithItsStatus) {
    struct Case {
        const char* label;
        ULONG code;
        std::function<BOOL(HANDLE)> call;
    };
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS t{};
    DWORD value = 0;
    COMSTAT stat{};
    const Case cases[] = {
        {"GetCommState", IOCTL_SERIAL_GET_HANDFLOW,
         [&](HANDLE h) { return GetCommState(h, &dcb); }},
        {"SetCommState reading", IOCTL_SERIAL_GET_CHARS,
         [&](HANDLE h) { return SetCommState(h, &dcb); }},
        {"GetCommTimeouts", IOCTL_SERIAL_GET_TIMEOUTS,
         [&](HANDLE h) { return GetCommTimeouts(h, &t); }},
        {"SetCommTimeouts", IOCTL_SERIAL_SET_TIMEOUTS,
         [&](HANDLE h) { return SetCommTimeouts(h, &t); }},
        {"SetupComm", IOCTL_SERIAL_SET_QUEUE_SIZE, [](HANDLE h) { return SetupComm(h, 1, 1); }},
        {"PurgeComm", IOCTL_SERIAL_PURGE, [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
        {"ClearCommError", IOCTL_SERIAL_GET_COMMSTATUS,
         [&](HANDLE h) { return ClearCommError(h, &value, &stat); }},
        {"GetCommModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS,
         [&](HANDLE h) { return GetCommModemStatus(h, &value); }},
        {"SetCommMask", IOCTL_SERIAL_SET_WAIT_MASK, [](HANDLE h) { return SetCommMask(h, 1); }},
        {"GetCommMask", IOCTL_SERIAL_GET_WAIT_MASK,
         [&](HANDLE h) { return GetCommMask(h, &value); }},
        {"WaitCommEvent", IOCTL_SERIAL_WAIT_ON_MASK,
         [&](HANDLE h) { return WaitCommEvent(h, &value, nullptr); }},
        {"EscapeCommFunction", IOCTL_SERIAL_CLR_DTR,
         [](HANDLE h) { return EscapeCommFunction(h, CLRDTR); }},
    };
    const std::pair<NTSTATUS, DWORD> statuses[] = {
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER}};
    for (const auto& c : cases) {
        for (auto [status, error] : statuses) {
            SCOPED_TRACE(c.label);
            SCOPED_TRACE(error);
            Fail(c.code, status);
            value = 0xABCD;
            SetLastError(0);
            EXPECT_FALSE(c.call(h_));
            EXPECT_EQ(GetLastError(), error);
            EXPECT_EQ(value, 0xABCDu);  // outputs untouched
        }
    }
    // A closed handle fails before any request.
    Fail(0, STATUS_SUCCESS);
    ASSERT_TRUE(CloseHandle(h_));
    HANDLE closed = h_;
    h_ = INVALID_HANDLE_VALUE;
    device_.clear();
    EXPECT_FALSE(GetCommModemStatus(closed, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(device_.codes().empty());
}

TEST_P(CommRequestsTest, SetCommStatePutsTheOldSettingsBackWhenARequestFails) {
    device_.answer(IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_BAUD_RATE{9600});
    device_.answer(IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_LINE_CONTROL{0, 0, 8});
    device_.answer(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{});
    device_.answer(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, 0, 0, 0});
    Fail(IOCTL_SERIAL_SET_HANDFLOW, STATUS_INVALID_PARAMETER);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 300;
    dcb.ByteSize = 7;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // No line request went out after the failure, and the baud rate and format are the old ones.
    auto codes = device_.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), ULONG{IOCTL_SERIAL_SET_DTR}), 0);
    Fail(0, STATUS_SUCCESS);
    DCB now{};
    ASSERT_TRUE(GetCommState(h_, &now));
    EXPECT_EQ(now.BaudRate, 9600u);
    EXPECT_EQ(now.ByteSize, 8u);
    EXPECT_EQ(now.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

}  // namespace

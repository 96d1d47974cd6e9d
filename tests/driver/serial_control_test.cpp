// Serial control requests of a Tarnel port on the host machine: stored settings, emulated modem
// lines, wait masks and the wait queue, purge, refused requests, the held removal notification,
// and the read time-outs the settings select. The printer simulator on loopback is the printer.
#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/vserial.h"
#include "platform/host/kernel/ntddser.h"
#include "platform/host/win32/windows.h"
#include "tests/driver/printer_port_fixture.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
using namespace std::chrono_literals;

constexpr DWORD kWaitMs = 20000;

// The port's private codes: device type 0x22, functions 0x800 and 0x801, buffered.
constexpr DWORD kRemovalNotify = 0x222000;
constexpr DWORD kNoOperation = 0x222004;

struct Outcome {
    bool ok;
    DWORD error;
    DWORD bytes;
};

// An overlapped request in flight, with its own event.
struct Pending {
    OVERLAPPED ov{};
    ULONG word = 0xFFFFFFFF;
    Pending() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Pending() { CloseHandle(ov.hEvent); }
    bool Done(DWORD ms = 0) const { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
    NTSTATUS Status() const { return static_cast<NTSTATUS>(ov.Internal); }
    DWORD Bytes() const { return static_cast<DWORD>(ov.InternalHigh); }
};

class SerialControlTest : public PrinterPortTest {
  protected:
    // A started port COM3 whose store key points at the simulator.
    std::u16string Port() { return PrinterPortTest::Port(u"COM3"); }
    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        HANDLE h = PrinterPortTest::Open(u"COM3", flags);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        return h;
    }

    // A request that completes before returning (on an overlapped handle too: it is awaited).
    static Outcome Control(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out,
                           DWORD outSize) {
        Pending p;
        DWORD n = 0;
        SetLastError(0);
        BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &n, &p.ov);
        DWORD error = ok ? 0 : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(h, &p.ov, &n, TRUE);
            error = ok ? 0 : GetLastError();
        }
        return {ok != FALSE, error, n};
    }
    template <typename T>
    static Outcome Set(HANDLE h, DWORD code, const T& value) {
        return Control(h, code, &value, sizeof value, nullptr, 0);
    }
    template <typename T>
    static T Get(HANDLE h, DWORD code) {
        T value{};
        Outcome r = Control(h, code, nullptr, 0, &value, sizeof value);
        EXPECT_TRUE(r.ok) << "code 0x" << std::hex << code << " error " << std::dec << r.error;
        EXPECT_EQ(r.bytes, sizeof value);
        return value;
    }
    static void SetMask(HANDLE h, ULONG mask) {
        ASSERT_TRUE(Set(h, IOCTL_SERIAL_SET_WAIT_MASK, mask).ok);
    }
    // Issues a wait-on-mask request that must stay pending.
    static void StartWait(HANDLE h, Pending& p) {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &p.word,
                                     sizeof p.word, nullptr, &p.ov));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    static ULONG InputQueue(HANDLE h) {
        return Get<SERIAL_STATUS>(h, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue;
    }
    static bool WaitForInputQueue(HANDLE h, ULONG count) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (InputQueue(h) != count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return InputQueue(h) == count;
    }

    // The modem status the driver keeps, as only the driver sees it: a modem-status request
    // would raise both lines before answering.
    static ULONG StoredModemStatus(const std::u16string& id) {
        PDEVICE_OBJECT pdo = hk::DeviceInstancePdo(id);
        if (!pdo || !pdo->AttachedDevice) {
            ADD_FAILURE() << "no Tarnel device on " << Narrow(id);
            return ~0u;
        }
        auto* ext = static_cast<VSERIAL_EXTENSION*>(pdo->AttachedDevice->DeviceExtension);
        return __atomic_load_n(&ext->ModemStatus, __ATOMIC_ACQUIRE);
    }
    // Both workers of the handle opened last have started.
    static void WaitForWorkers() {
        ASSERT_TRUE(WaitForLine("pEmulationPollingFunction Start \n"));
        ASSERT_TRUE(WaitForLine("pReadPollingFunction Start \n"));
    }
};

TEST_F(SerialControlTest, EveryGetReturnsWhatItsSetStoredAcrossReopen) {
    Port();
    HANDLE h = Open();
    struct Row {
        const char* label;
        DWORD set, get;
        std::vector<BYTE> defaults, stored;
    };
    auto bytes = [](const auto& v) {
        std::vector<BYTE> b(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
        return b;
    };
    const Row rows[] = {
        {"baud rate", IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, bytes(ULONG{115200}),
         bytes(ULONG{9600})},
        {"line control", IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL,
         bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}),
         bytes(SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7})},
        {"handflow", IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW,
         bytes(SERIAL_HANDFLOW{0, 0, 0, 0}),
         bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 2048,
                               512})},
        {"timeouts", IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
         bytes(SERIAL_TIMEOUTS{0, 0, 0, 0, 0}), bytes(SERIAL_TIMEOUTS{50, 10, 1000, 20, 2000})},
        {"modem control", IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_GET_MODEM_CONTROL,
         bytes(ULONG{0}), bytes(ULONG{0x33})},
    };
    auto get = [&](const Row& row) {
        std::vector<BYTE> out(row.stored.size(), 0xCD);
        Outcome r = Control(h, row.get, nullptr, 0, out.data(), static_cast<DWORD>(out.size()));
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.bytes, out.size());
        return out;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(get(row), row.defaults);
        Outcome r = Control(h, row.set, row.stored.data(), static_cast<DWORD>(row.stored.size()),
                            nullptr, 0);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(get(row), row.stored);
    }
    Close(h);
    h = Open();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.label) + " after reopening");
        EXPECT_EQ(get(row), row.stored);
    }
    // Get chars succeeds and returns nothing.
    SERIAL_CHARS chars{};
    Outcome r = Control(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
}

TEST_F(SerialControlTest, DtrLoopsBackToDsrAndRtsToCts) {
    std::u16string id = Port();
    EXPECT_EQ(StoredModemStatus(id), 0u);
    HANDLE h = Open();
    const ULONG both = SERIAL_CTS_STATE | SERIAL_DSR_STATE;
    EXPECT_EQ(StoredModemStatus(id), both);  // the open raises both

    struct Row {
        const char* label;
        DWORD code;
        ULONG control;  // for set modem control
        ULONG before, after;
    } rows[] = {
        {"clear DTR", IOCTL_SERIAL_CLR_DTR, 0, both, SERIAL_CTS_STATE},
        {"set DTR", IOCTL_SERIAL_SET_DTR, 0, 0, SERIAL_DSR_STATE},
        {"clear RTS", IOCTL_SERIAL_CLR_RTS, 0, both, SERIAL_DSR_STATE},
        {"set RTS", IOCTL_SERIAL_SET_RTS, 0, 0, SERIAL_CTS_STATE},
        {"modem control DTR", IOCTL_SERIAL_SET_MODEM_CONTROL, 0x01, SERIAL_CTS_STATE, both},
        {"modem control none", IOCTL_SERIAL_SET_MODEM_CONTROL, 0x00, both, SERIAL_CTS_STATE},
        {"modem control RTS only, CTS on", IOCTL_SERIAL_SET_MODEM_CONTROL, 0x02, both,
         SERIAL_CTS_STATE},
        {"modem control RTS only, CTS off", IOCTL_SERIAL_SET_MODEM_CONTROL, 0x02, SERIAL_DSR_STATE,
         0},
    };
    // Brings the stored status to `state` with the line requests alone.
    auto reach = [&](ULONG state) {
        ASSERT_TRUE(
            Set(h, (state & SERIAL_DSR_STATE) ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR, 0).ok);
        ASSERT_TRUE(
            Set(h, (state & SERIAL_CTS_STATE) ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS, 0).ok);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        reach(row.before);
        ASSERT_EQ(StoredModemStatus(id), row.before);
        Outcome r = Set(h, row.code, row.control);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(StoredModemStatus(id), row.after);
        // Asking for the status raises both lines, in the answer and in the stored status.
        EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_MODEMSTATUS), both);
        EXPECT_EQ(StoredModemStatus(id), both);
    }
    Close(h);
    EXPECT_EQ(StoredModemStatus(id), 0u);  // the close drops both
}

TEST_F(SerialControlTest, EveryListedRequestIsAnsweredAsItsRowSays) {
    Port();
    HANDLE h = Open();
    struct Row {
        DWORD code;
        bool ok;
        DWORD bytes;  // given 32 bytes of input and of output
    } rows[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, true, 4},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, true, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, true, 3},
        {IOCTL_SERIAL_SET_BREAK_ON, true, 0},
        {IOCTL_SERIAL_SET_BREAK_OFF, true, 0},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, true, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, true, 20},
        {IOCTL_SERIAL_GET_TIMEOUTS, true, 20},
        {IOCTL_SERIAL_SET_DTR, true, 0},
        {IOCTL_SERIAL_CLR_DTR, true, 0},
        {IOCTL_SERIAL_RESET_DEVICE, true, 0},
        {IOCTL_SERIAL_SET_RTS, true, 0},
        {IOCTL_SERIAL_CLR_RTS, true, 0},
        {IOCTL_SERIAL_SET_XOFF, true, 0},
        {IOCTL_SERIAL_SET_XON, true, 0},
        {IOCTL_SERIAL_GET_WAIT_MASK, true, 4},
        {IOCTL_SERIAL_SET_WAIT_MASK, true, 0},
        {IOCTL_SERIAL_PURGE, true, 4},
        {IOCTL_SERIAL_GET_BAUD_RATE, true, 4},
        {IOCTL_SERIAL_GET_LINE_CONTROL, true, 3},
        {IOCTL_SERIAL_GET_CHARS, true, 0},
        {IOCTL_SERIAL_SET_CHARS, true, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, true, 16},
        {IOCTL_SERIAL_SET_HANDFLOW, true, 16},
        {IOCTL_SERIAL_GET_MODEMSTATUS, true, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, true, 20},
        {IOCTL_SERIAL_XOFF_COUNTER, true, 0},
        {IOCTL_SERIAL_GET_PROPERTIES, true, 0},
        {IOCTL_SERIAL_GET_DTRRTS, true, 0},
        {IOCTL_SERIAL_LSRMST_INSERT, true, 0},
        {IOCTL_SERIAL_CONFIG_SIZE, true, 0},
        {IOCTL_SERIAL_GET_COMMCONFIG, false, 0},
        {IOCTL_SERIAL_SET_COMMCONFIG, false, 0},
        {IOCTL_SERIAL_GET_STATS, true, 0},
        {IOCTL_SERIAL_CLEAR_STATS, true, 0},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, true, 4},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, true, 4},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, true, 0},
        {kNoOperation, true, 0},
        // Not served: neighbours of the serial codes, another method, other private codes.
        {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS), false, 0},
        {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS), false, 0},
        {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS), false, 0},
        {CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS), false, 0},
        {CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << row.code);
        BYTE in[32] = {};
        BYTE out[32] = {};
        Outcome r = Control(h, row.code, in, sizeof in, out, sizeof out);
        EXPECT_EQ(r.ok, row.ok);
        if (!row.ok) {
            EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_GEN_FAILURE));  // STATUS_UNSUCCESSFUL
        }
        EXPECT_EQ(r.bytes, row.bytes);
    }
}

TEST_F(SerialControlTest, ShortBuffersAreRefusedAndNothingPastThemIsTouched) {
    Port();
    HANDLE h = Open();
    struct Row {
        const char* label;
        DWORD code;
        DWORD inSize, outSize;
    } rows[] = {
        {"set baud rate", IOCTL_SERIAL_SET_BAUD_RATE, 3, 0},
        {"set line control", IOCTL_SERIAL_SET_LINE_CONTROL, 2, 0},
        {"set timeouts", IOCTL_SERIAL_SET_TIMEOUTS, 19, 0},
        {"set handflow", IOCTL_SERIAL_SET_HANDFLOW, 15, 0},
        {"set wait mask", IOCTL_SERIAL_SET_WAIT_MASK, 0, 0},
        {"purge", IOCTL_SERIAL_PURGE, 3, 0},
        {"set modem control", IOCTL_SERIAL_SET_MODEM_CONTROL, 3, 0},
        // An output does not stand in for a missing input.
        {"set baud rate, input in output", IOCTL_SERIAL_SET_BAUD_RATE, 0, 4},
        {"get baud rate", IOCTL_SERIAL_GET_BAUD_RATE, 0, 3},
        {"get line control", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 2},
        {"get timeouts", IOCTL_SERIAL_GET_TIMEOUTS, 0, 19},
        {"get handflow", IOCTL_SERIAL_GET_HANDFLOW, 0, 15},
        {"get wait mask", IOCTL_SERIAL_GET_WAIT_MASK, 0, 3},
        {"get modem status", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 3},
        {"get comm status", IOCTL_SERIAL_GET_COMMSTATUS, 0, 19},
        {"get modem control", IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 3},
        {"get timeouts, output in input", IOCTL_SERIAL_GET_TIMEOUTS, 20, 0},
        {"wait on mask", IOCTL_SERIAL_WAIT_ON_MASK, 0, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        // Exactly the stated sizes: a read or write past them shows up under ASan.
        std::vector<BYTE> in(row.inSize, 0x7F), out(row.outSize, 0xAA);
        Outcome r = Control(h, row.code, row.inSize ? in.data() : nullptr, row.inSize,
                            row.outSize ? out.data() : nullptr, row.outSize);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(out, std::vector<BYTE>(row.outSize, 0xAA));
    }
    // Nothing was stored by the refused sets.
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    EXPECT_EQ(Get<SERIAL_TIMEOUTS>(h, IOCTL_SERIAL_GET_TIMEOUTS).ReadIntervalTimeout, 0u);
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_MODEM_CONTROL), 0u);

    // A set echoes its input, but never more than the caller's output buffer holds.
    ULONG baud = 4800;
    BYTE small[2] = {0xAA, 0xAA};
    Outcome r = Control(h, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, small, sizeof small);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_BAUD_RATE), 4800u);
}

TEST_F(SerialControlTest, WaitMasksAccumulateUntilAMaskOfZero) {
    Port();
    HANDLE h = Open();
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    SetMask(h, SERIAL_EV_RXCHAR);
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_WAIT_MASK), 0x0001u);
    SetMask(h, SERIAL_EV_CTS);
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_WAIT_MASK), 0x0009u);
    SetMask(h, 0);
    EXPECT_EQ(Get<ULONG>(h, IOCTL_SERIAL_GET_WAIT_MASK), 0u);
}

TEST_F(SerialControlTest, AWaitOnReceivedCharactersCompletesWhenBytesArrive) {
    Port();
    HANDLE h = Open();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    SetMask(h, SERIAL_EV_RXCHAR);
    std::chrono::steady_clock::duration slowest{};
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        Pending wait;
        StartWait(h, wait);
        // Both workers poll many times meanwhile: an empty ring reports nothing.
        EXPECT_FALSE(wait.Done(100));
        auto sent = std::chrono::steady_clock::now();
        printer_.send("x");
        auto deadline = sent + kWait;
        while (!wait.Done(1) && std::chrono::steady_clock::now() < deadline) {
        }
        auto took = std::chrono::steady_clock::now() - sent;
        ASSERT_TRUE(wait.Done());
        EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait.Bytes(), 4u);
        EXPECT_EQ(wait.word, static_cast<ULONG>(SERIAL_EV_RXCHAR));
        // Loopback delivery plus one poll; generous for sanitizer builds on a shared machine.
        EXPECT_LT(took, 1s);
        slowest = std::max(slowest, took);
        // The byte stays for the reads; the event is a level, so the next wait sees it at once.
        ASSERT_EQ(InputQueue(h), 1u);
        Pending again;
        DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &again.word, sizeof again.word,
                        nullptr, &again.ov);
        ASSERT_TRUE(again.Done(kWaitMs));
        EXPECT_EQ(again.word, static_cast<ULONG>(SERIAL_EV_RXCHAR));
        ASSERT_TRUE(Set(h, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}).ok);
    }
    RecordProperty(
        "slowest_rxchar_wait_us",
        static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(slowest).count()));
}

TEST_F(SerialControlTest, ModemControlBitsReportCtsAndDsrEvents) {
    Port();
    HANDLE h = Open();
    struct Row {
        const char* label;
        ULONG mask, control, word;
    } rows[] = {
        {"CTS", SERIAL_EV_CTS, 0x10, SERIAL_EV_CTS},
        {"DSR", SERIAL_EV_DSR, 0x20, SERIAL_EV_DSR},
        {"both", SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RXCHAR, 0x30,
         SERIAL_EV_CTS | SERIAL_EV_DSR},
        {"CTS bit, DSR mask", SERIAL_EV_DSR, 0x10, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        SetMask(h, 0);
        SetMask(h, row.mask);
        ASSERT_TRUE(Set(h, IOCTL_SERIAL_SET_MODEM_CONTROL, row.control).ok);
        Pending wait;
        DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &wait.word, sizeof wait.word,
                        nullptr, &wait.ov);
        if (row.word) {
            ASSERT_TRUE(wait.Done(kWaitMs));
            EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
            EXPECT_EQ(wait.word, row.word);
        } else {
            EXPECT_FALSE(wait.Done(100));  // ten emulation polls and more
            SetMask(h, row.mask);          // completes it with 0
            ASSERT_TRUE(wait.Done(kWaitMs));
            EXPECT_EQ(wait.word, 0u);
        }
    }
}

TEST_F(SerialControlTest, SetWaitMaskCompletesOneWaitWithZero) {
    Port();
    HANDLE h = Open();
    Pending first, second;
    StartWait(h, first);  // mask 0: nothing is ever reported
    StartWait(h, second);
    // It completes the oldest; the read thread rotates the queue every poll, so either.
    SetMask(h, SERIAL_EV_CTS);
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!first.Done() && !second.Done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_NE(first.Done(), second.Done());
    SetMask(h, SERIAL_EV_CTS);
    for (Pending* p : {&first, &second}) {
        EXPECT_TRUE(p->Done(kWaitMs));
        EXPECT_EQ(p->Status(), STATUS_SUCCESS);
        EXPECT_EQ(p->Bytes(), 4u);
        EXPECT_EQ(p->word, 0u);
    }
    Close(h);  // before the requests' OVERLAPPED blocks go out of scope
}

TEST_F(SerialControlTest, NineWaitsQueueAndATenthIsRefused) {
    Port();
    HANDLE h = Open();
    std::vector<std::unique_ptr<Pending>> waits;
    for (int i = 0; i < 9; ++i) {
        waits.push_back(std::make_unique<Pending>());
        StartWait(h, *waits.back());
    }
    Pending tenth;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &tenth.word,
                                 sizeof tenth.word, nullptr, &tenth.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (auto& w : waits)
        EXPECT_FALSE(w->Done());
    // Room again once one has gone. The read thread rotates the queue every poll, so the one
    // set-wait-mask completes may be any of the nine.
    SetMask(h, 0);
    auto completed = [&] {
        return std::count_if(waits.begin(), waits.end(), [](auto& w) { return w->Done(); });
    };
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (completed() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(completed(), 1);
    Pending replacement;
    StartWait(h, replacement);

    EXPECT_TRUE(CancelIo(h));
    int cancelled = 0;
    for (auto& w : waits) {
        EXPECT_TRUE(w->Done(kWaitMs));
        if (w->Status() == STATUS_CANCELLED) {
            EXPECT_EQ(w->Bytes(), 0u);
            ++cancelled;
        }
    }
    EXPECT_EQ(cancelled, 8);
    EXPECT_TRUE(replacement.Done(kWaitMs));
    EXPECT_EQ(replacement.Status(), STATUS_CANCELLED);
    Close(h);  // before the requests' OVERLAPPED blocks go out of scope
}

TEST_F(SerialControlTest, CancellingOneWaitLeavesTheOthersQueued) {
    Port();
    HANDLE h = Open();
    Pending first, middle, last;
    StartWait(h, first);
    // CancelIo cancels the calling thread's requests only: the middle one has its own thread.
    std::mutex m;
    std::condition_variable cv;
    bool issued = false, cancel = false;
    std::thread other([&] {
        StartWait(h, middle);
        std::unique_lock<std::mutex> lock(m);
        issued = true;
        cv.notify_all();
        cv.wait(lock, [&] { return cancel; });
        EXPECT_TRUE(CancelIo(h));
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return issued; });
    }
    StartWait(h, last);
    {
        std::lock_guard<std::mutex> lock(m);
        cancel = true;
    }
    cv.notify_all();
    other.join();
    EXPECT_TRUE(middle.Done(kWaitMs));
    EXPECT_EQ(middle.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(first.Done());
    EXPECT_FALSE(last.Done());
    // The read thread puts the oldest wait back at the tail every poll, so which of the two is
    // oldest changes; each set-wait-mask with 0 completes exactly one of them.
    SetMask(h, 0);
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!first.Done() && !last.Done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_NE(first.Done(), last.Done());
    SetMask(h, 0);
    EXPECT_TRUE(first.Done(kWaitMs));
    EXPECT_TRUE(last.Done(kWaitMs));
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(last.Status(), STATUS_SUCCESS);
    Close(h);  // before the requests' OVERLAPPED blocks go out of scope
}

TEST_F(SerialControlTest, CleanupCancelsQueuedWaitsAndWorkersEndingCompleteThem) {
    std::u16string id = Port();
    {
        SCOPED_TRACE("cleanup");
        HANDLE h = Open();
        Pending waits[3];
        for (auto& w : waits)
            StartWait(h, w);
        WaitForWorkers();
        hk::ClearDebugLines();
        Close(h);
        for (auto& w : waits) {
            ASSERT_TRUE(w.Done(kWaitMs));
            EXPECT_EQ(w.Status(), STATUS_CANCELLED);
            EXPECT_EQ(w.Bytes(), 0u);
        }
        EXPECT_THAT(
            hk::DebugLines(),
            testing::ElementsAre("VSERIAL_Cleanup Start \n", "pEmulationPollingFunction Exit\n",
                                 "pReadPollingFunction Exit\n", "VSERIAL_Cleanup End \n",
                                 "VSERIAL_Close Start \n", "VSERIAL_Close End \n"));
    }
    {
        SCOPED_TRACE("surprise removal");
        HANDLE h = Open();
        Pending waits[3];
        for (auto& w : waits)
            StartWait(h, w);
        WaitForWorkers();
        hk::ClearDebugLines();
        ASSERT_EQ(hk::SendPnpRequest(id, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        // The ending workers report the end to every waiting request with event word 0.
        for (auto& w : waits) {
            ASSERT_TRUE(w.Done(kWaitMs));
            EXPECT_EQ(w.Status(), STATUS_SUCCESS);
            EXPECT_EQ(w.Bytes(), 4u);
            EXPECT_EQ(w.word, 0u);
        }
        // Both workers gone (the read thread's exit would complete one more wait).
        ASSERT_TRUE(WaitForLine("pEmulationPollingFunction Exit\n"));
        ASSERT_TRUE(WaitForLine("pReadPollingFunction Exit\n"));
        // With no worker left, a new wait stays until cleanup cancels it.
        Pending late;
        StartWait(h, late);
        EXPECT_FALSE(late.Done(50));
        Close(h);
        ASSERT_TRUE(late.Done(kWaitMs));
        EXPECT_EQ(late.Status(), STATUS_CANCELLED);
    }
}

TEST_F(SerialControlTest, PurgeEmptiesTheInputQueueAndAbortsAWaitingRead) {
    std::u16string id = Port();
    HANDLE h = Open();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    printer_.send("0123456789");
    ASSERT_TRUE(WaitForInputQueue(h, 10));
    // Transmit purges have nothing to do; the received bytes stay.
    ASSERT_TRUE(Set(h, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR}).ok);
    EXPECT_EQ(InputQueue(h), 10u);
    ASSERT_TRUE(Set(h, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}).ok);
    EXPECT_EQ(InputQueue(h), 0u);
    // Bytes after the purge are read, none from before it.
    printer_.send("ab");
    ASSERT_TRUE(WaitForInputQueue(h, 2));
    char buffer[16];
    DWORD n = 0;
    Pending read;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, &read.ov) ||
                GetOverlappedResult(h, &read.ov, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "ab");

    // Without a read thread (after surprise removal) a read waits until the purge aborts it.
    ASSERT_EQ(hk::SendPnpRequest(id, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForLine("pReadPollingFunction Exit\n"));
    Pending waiting;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &waiting.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(waiting.Done(20));
    ASSERT_TRUE(Set(h, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}).ok);
    ASSERT_TRUE(waiting.Done(kWaitMs));
    EXPECT_EQ(waiting.Status(), STATUS_CANCELLED);
    EXPECT_EQ(waiting.Bytes(), 0u);
}

TEST_F(SerialControlTest, TheRemovalNotificationIsHeldUntilRemovalOrCancel) {
    std::u16string id = Port();
    HANDLE h = Open();
    Pending held;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, kRemovalNotify, nullptr, 0, nullptr, 0, nullptr, &held.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // One at a time: a second is refused at once, the first stays held.
    Outcome second = Control(h, kRemovalNotify, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(second.ok);
    EXPECT_EQ(second.error, static_cast<DWORD>(ERROR_BUSY));
    EXPECT_FALSE(held.Done(20));

    EXPECT_TRUE(CancelIo(h));
    ASSERT_TRUE(held.Done(kWaitMs));
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);

    // The slot is free again; surprise removal completes the next one with success.
    Pending next;
    EXPECT_FALSE(DeviceIoControl(h, kRemovalNotify, nullptr, 0, nullptr, 0, nullptr, &next.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(hk::SendPnpRequest(id, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_TRUE(next.Done(kWaitMs));
    EXPECT_EQ(next.Status(), STATUS_SUCCESS);
    EXPECT_EQ(next.Bytes(), 0u);
}

TEST_F(SerialControlTest, ReadTimeoutsSelectImmediateOrPolledReads) {
    Port();
    HANDLE h = Open();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    char buffer[16];
    DWORD n = 0;
    {
        SCOPED_TRACE("MAXULONG/0/x: immediate, whatever the constant");
        for (ULONG constant : {0u, 5000u}) {
            ASSERT_TRUE(
                Set(h, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, 0, constant, 0, 0}).ok);
            Pending read;
            // Completed inside ReadFile, not left to the read thread.
            EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, &read.ov));
            EXPECT_EQ(n, 0u);
        }
    }
    auto timedRead = [&](const SERIAL_TIMEOUTS& t) {
        EXPECT_TRUE(Set(h, IOCTL_SERIAL_SET_TIMEOUTS, t).ok);
        Pending read;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &read.ov));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_TRUE(read.Done(kWaitMs));
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Bytes(), 0u);
        return std::chrono::steady_clock::now() - start;
    };
    {
        SCOPED_TRACE("all 0: waits for the first poll");
        EXPECT_LT(timedRead(SERIAL_TIMEOUTS{0, 0, 0, 0, 0}), 2500ms);
    }
    {
        SCOPED_TRACE("constant 5000: eleven polls, not five seconds");
        auto took = timedRead(SERIAL_TIMEOUTS{0, 0, 5000, 0, 0});
        EXPECT_GE(took, 11ms);
        EXPECT_LT(took, 2500ms);
    }
    {
        SCOPED_TRACE("bytes arriving while the read waits");
        ASSERT_TRUE(Set(h, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 5000, 0, 0}).ok);
        // The bytes must land within the read's eleven polls; a slow round is tried again.
        bool served = false;
        for (int attempt = 0; attempt < 10 && !served; ++attempt) {
            ASSERT_TRUE(Set(h, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}).ok);
            Pending read;
            EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &read.ov));
            std::this_thread::sleep_for(4ms);
            printer_.send("xyz");
            ASSERT_TRUE(read.Done(kWaitMs));
            EXPECT_EQ(read.Status(), STATUS_SUCCESS);
            if (read.Bytes() == 0) {
                ASSERT_TRUE(WaitForInputQueue(h, 3));  // arrived too late for this read
                continue;
            }
            EXPECT_EQ(std::string(buffer, read.Bytes()), "xyz");
            served = true;
        }
        EXPECT_TRUE(served);
    }
}

}  // namespace
}  // namespace tarnel::test

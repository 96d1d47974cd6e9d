// The tool's printer port objects against the scripted serial device: port texts and the line
// settings they open with, chunked writes, queue reads, the read thread, modem lines, the list
// manager's ids and counts, and the facade's command replies.
#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/host/kernel/ntddser.h"
#include "tests/portio/scripted_serial.h"
#include "tool/app/test_print.h"
#include "tool/portio/port_com.h"
#include "tool/portio/port_facade.h"
#include "tool/portio/port_list_mng.h"

namespace tarnel::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr auto kWait = 20s;  // generous: sanitizer builds on a shared machine

class PortTest : public ScriptedSerialTest {
  protected:
    CPortListMng& Manager() { return *CPortListMng::GetInstance(); }
    // Creates and opens a port as the facade does, with or without the read thread.
    int OpenPort(const char16_t* text, bool readThread = true) {
        int id = Manager().Create(XStringW(text), 0);
        EXPECT_NE(id, 0);
        Manager().SetUseReadThread(id, readThread);
        EXPECT_EQ(Manager().OpenPort(id, 0), 1);
        return id;
    }
    void ClosePort(int id) {
        EXPECT_EQ(Manager().ClosePort(id), 0);
        EXPECT_EQ(Manager().Remove(id), 0);
    }
    bool WaitForAvailable(int id, int count) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (Manager().ReadAvailable(id, 0) < count &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return Manager().ReadAvailable(id, 0) == count;
    }
    static std::string Bytes(const BYTE* b, int n) {
        return std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
    }
};

TEST_F(PortTest, PortTextsOpenTheirDeviceWithTheirLineSettings) {
    Link(u"COM12");
    Link(u"COM3");
    Link(u"COM4");
    struct Case {
        const char16_t* text;
        ULONG baud;
        UCHAR dataBits, parity, stopBits;
        bool outputFlow, xonXoff, linesOn;
    } cases[] = {
        {u"COM12:9600", 9600, 8, NO_PARITY, STOP_BIT_1, true, false, true},
        {u"COM3:19200:7:2:0:1", 19200, 7, EVEN_PARITY, STOP_BIT_1, true, true, true},
        {u"COM4:115200:8:0:0:2", 115200, 8, NO_PARITY, STOP_BIT_1, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
        {
            std::lock_guard<std::mutex> lock(device_.mutex);
            device_.codes.clear();
        }
        int id = OpenPort(c.text);
        EXPECT_EQ(Setting<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, c.baud);
        auto line = Setting<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(line.WordLength, c.dataBits);
        EXPECT_EQ(line.Parity, c.parity);
        EXPECT_EQ(line.StopBits, c.stopBits);
        auto flow = Setting<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
        ULONG outputFlow = SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
        EXPECT_EQ(flow.ControlHandShake & outputFlow, c.outputFlow ? outputFlow : 0u);
        EXPECT_EQ((flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL, c.linesOn);
        EXPECT_EQ((flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL, c.linesOn);
        ULONG xon = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
        EXPECT_EQ(flow.FlowReplace & xon, c.xonXoff ? xon : 0u);
        EXPECT_EQ(flow.ControlHandShake & SERIAL_DSR_SENSITIVITY, 0u);
        EXPECT_EQ(Saw(IOCTL_SERIAL_SET_DTR), c.linesOn);
        EXPECT_EQ(Saw(IOCTL_SERIAL_CLR_DTR), !c.linesOn);
        auto t = Setting<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
        EXPECT_EQ(t.ReadIntervalTimeout, 2u);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, 50u);
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
        EXPECT_EQ(t.WriteTotalTimeoutConstant, 5000u);
        auto queue = Setting<SERIAL_QUEUE_SIZE>(IOCTL_SERIAL_SET_QUEUE_SIZE);
        EXPECT_EQ(queue.InSize, 4096u);
        EXPECT_EQ(queue.OutSize, 4096u);
        EXPECT_TRUE(Saw(IOCTL_SERIAL_PURGE));
        ClosePort(id);
    }
    EXPECT_NE(Count(TraceText(), "flowControl Xon/Xoff"), 0);
    EXPECT_NE(Count(TraceText(), "flowControl is None"), 0);
}

TEST_F(PortTest, PortTextsTheManagerRefusesOrUpperCases) {
    // com7 is made COM7 by the port itself, but the manager wants "COM" as written.
    CPortCom port;
    EXPECT_TRUE(port.SetPortText(32, XStringW(u"com7")));
    EXPECT_TRUE(port.m_portName == u"COM7");
    EXPECT_TRUE(port.GetDevicePath() == u"COM7");
    EXPECT_TRUE(port.SetPortText(32, XStringW(u"COM12:9600")));
    EXPECT_TRUE(port.GetDevicePath() == u"\\\\.\\COM12");
    EXPECT_EQ(port.GetBaudRate(), 9600);
    EXPECT_EQ(port.GetDataBits(), 8);
    EXPECT_FALSE(port.SetPortText(32, XStringW(u"LPT1")));
    for (const char16_t* text : {u"com7", u"com5", u"LPT1", u""})
        EXPECT_EQ(Manager().Create(XStringW(text), 0), 0);
    EXPECT_EQ(Count(TraceText(), "strPort is empty or invalid string."), 4);
}

TEST_F(PortTest, WritesGoOutInChunksAndStopAtAShortOne) {
    Link(u"COM21");
    std::string page(10000, '\0');
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<char>(i * 7);
    auto* bytes = reinterpret_cast<const BYTE*>(page.data());
    struct Case {
        const char* label;
        int shortWrite;
        size_t shortLength;
        int result;
        std::vector<size_t> sizes;
    } cases[] = {
        {"whole", -1, 0, 10000, {4096, 4096, 1808}},
        {"second part short", 1, 1000, 5096, {4096, 4096}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        {
            std::lock_guard<std::mutex> lock(device_.mutex);
            device_.writes.clear();
            device_.shortWrite = c.shortWrite;
            device_.shortLength = c.shortLength;
        }
        int id = OpenPort(u"COM21");
        EXPECT_EQ(Manager().Write(id, bytes, 10000), c.result);
        auto writes = Writes();
        std::vector<size_t> sizes;
        std::string joined;
        for (auto& w : writes) {
            sizes.push_back(w.size());
            joined += w;
        }
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(joined, page.substr(0, joined.size()));
        ClosePort(id);
    }
}

TEST_F(PortTest, WithTraceBinEveryWrittenByteIsDumped) {
    Link(u"COM21");
    std::ofstream(programDir_ / "trace.bin") << "on";
    int id = OpenPort(u"COM21");
    const BYTE page[] = {0x1B, 0x40, 'h', 'i', 0x00, 0x0A};
    EXPECT_EQ(Manager().Write(id, page, sizeof page), 6);
    ClosePort(id);
    std::string dumped;
    for (const auto& entry : std::filesystem::directory_iterator(programDir_ / "Log")) {
        if (entry.path().filename().string().rfind("ComPRN_", 0) == 0) {
            std::ifstream in(entry.path(), std::ios::binary);
            dumped += std::string(std::istreambuf_iterator<char>(in), {});
        }
    }
    EXPECT_EQ(dumped, Bytes(page, sizeof page));
}

TEST_F(PortTest, ReadsTakeFromTheQueueInOrder) {
    Link(u"COM21");
    int id = OpenPort(u"COM21");
    auto port = Manager().FindPort(id, TEXT("test"));
    ASSERT_TRUE(port);

    // 6 wanted, arriving as 2 and then 4 while the read waits.
    Receive("ab");
    std::thread later([&] {
        std::this_thread::sleep_for(150ms);
        Receive("cdef");
    });
    BYTE buffer[16] = {};
    int n = port->Read(buffer, 6, 5000, 0);
    later.join();
    EXPECT_EQ(Bytes(buffer, n), "abcdef");

    // 4 of 10 queued: the other 6 stay at the front.
    Receive("0123456789");
    ASSERT_TRUE(WaitForAvailable(id, 10));
    EXPECT_EQ(Manager().Read(id, buffer, 4, 0), 4);
    EXPECT_EQ(Bytes(buffer, 4), "0123");
    EXPECT_EQ(Manager().ReadAvailable(id, 0), 6);
    EXPECT_EQ(Manager().Read(id, buffer, 6, 0), 6);
    EXPECT_EQ(Bytes(buffer, 6), "456789");

    // Nothing there: the read gives up after its time-out with what it has.
    EXPECT_EQ(Manager().Read(id, buffer, 1, 0), 0);
    // Lengths below 1 are refused.
    EXPECT_EQ(port->Read(buffer, 0, 100, 0), 0);
    EXPECT_EQ(port->Read(buffer, -1, 100, 0), 0);
    // A device outside the parser's table is refused and marks nothing.
    EXPECT_EQ(Manager().OpenPort(id, 1), 2);
    EXPECT_EQ(Count(TraceText(), "over deviceId"), 1);
    EXPECT_EQ(Manager().ClosePort(id), 1);
    ClosePort(id);
}

TEST_F(PortTest, WithoutTheReadThreadOneReadTakesAtMostTheBuffer) {
    Link(u"COM21");
    int id = OpenPort(u"COM21", false);
    auto port = Manager().FindPort(id, TEXT("test"));
    std::string waiting(5000, 'x');
    for (size_t i = 0; i < waiting.size(); ++i)
        waiting[i] = static_cast<char>('a' + i % 26);
    Receive(waiting);
    std::vector<int> counts;
    std::string got;
    BYTE buffer[CPortInterface::kReadBufferSize];
    for (int n; (n = port->ReadPort(buffer, sizeof buffer)) > 0;) {
        counts.push_back(n);
        got += Bytes(buffer, n);
    }
    EXPECT_THAT(counts, ElementsAre(1024, 1024, 1024, 1024, 904));
    EXPECT_EQ(got, waiting);
    // The polling read without a thread, and its refusal of lengths below 1.
    Receive("xyz");
    EXPECT_EQ(port->Read(buffer, 3, 200, 0), 3);
    EXPECT_EQ(Bytes(buffer, 3), "xyz");
    EXPECT_EQ(port->Read(buffer, 0, 100, 0), 0);
    ClosePort(id);
}

TEST_F(PortTest, ModemLinesAreTheOnlineSignalTracedOncePerChange) {
    Link(u"COM21");
    int id = OpenPort(u"COM21");
    auto port = Manager().FindPort(id, TEXT("test"));
    auto waitState = [&](int state) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (port->GetState() != state && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return port->GetState() == state;
    };
    auto waitTrace = [&](const char* line, int count) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (Count(TraceText(), line) < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return Count(TraceText(), line) == count;
    };
    ASSERT_TRUE(waitTrace("Serial On-line signal", 1)) << "the thread's first look at the lines";
    SetModem(0x10);  // DSR gone
    ASSERT_TRUE(waitState(CPortInterface::kStateOffline));
    std::this_thread::sleep_for(350ms);  // several more reads of the thread
    EXPECT_FALSE(port->IsConnected());
    EXPECT_TRUE(port->IsOpen()) << "an off-line port stays open";
    std::string trace = TraceText();
    EXPECT_EQ(Count(trace, "Serial Off-line signal"), 1) << trace;
    EXPECT_EQ(Count(trace, "Serial On-line signal"), 1) << trace;
    SetModem(0x30);
    ASSERT_TRUE(waitState(CPortInterface::kStateOnline));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(Count(TraceText(), "Serial On-line signal"), 2);
    ClosePort(id);

    // Lines down at open: the open fails and closes the device again.
    SetModem(0x10);
    int closesBefore;
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        closesBefore = device_.closes;
    }
    int failed = Manager().Create(XStringW(u"COM21"), 0);
    EXPECT_EQ(Manager().OpenPort(failed, 0), 0);
    EXPECT_FALSE(Manager().FindPort(failed, nullptr)->IsReadThreadAlive());
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        EXPECT_EQ(device_.closes, closesBefore + 1);
    }
    EXPECT_EQ(Manager().Remove(failed), 0);
}

TEST_F(PortTest, AReadThreadThatDoesNotStopIsLeftToEndAndKeepsItsHandle) {
    Link(u"COM21");
    int id = OpenPort(u"COM21");
    std::weak_ptr<CPortInterface> port = Manager().FindPort(id, TEXT("test"));
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        device_.holdReads = true;
        device_.inbound = "late";
    }
    auto held = [&] {
        std::lock_guard<std::mutex> lock(device_.mutex);
        return device_.heldRead != nullptr;
    };
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!held() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(held()) << "the read thread waits in the device";

    // The purge does not end the read: the close gives up waiting, but kills nothing and leaves
    // the handle to the thread.
    EXPECT_EQ(Manager().ClosePort(id), 0);
    {
        std::shared_ptr<CPortInterface> alive = port.lock();
        ASSERT_TRUE(alive);
        EXPECT_TRUE(alive->IsReadThreadAlive());
        EXPECT_FALSE(alive->IsOpen());
    }
    EXPECT_EQ(Closes(), 0) << "the handle stays open while the thread may use it";
    std::string trace = TraceText();
    EXPECT_EQ(Count(trace, "wait Terminate count over."), 1);
    EXPECT_EQ(Count(trace, "read thread did not stop; left to end by itself"), 1);
    EXPECT_EQ(Manager().Remove(id), 0);
    EXPECT_FALSE(port.expired()) << "the thread holds the port";

    // The read ends: the thread sees the stop flag, and the port goes with its handle.
    ASSERT_TRUE(ReleaseHeldRead());
    deadline = std::chrono::steady_clock::now() + kWait;
    while ((!port.expired() || Closes() == 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(port.expired());
    EXPECT_EQ(Closes(), 1);
}

TEST_F(PortTest, IdsAndCountsOfTheManager) {
    Link(u"COM5");
    {
        CPortFacade facade;  // its end deletes the empty manager
        EXPECT_EQ(Manager().Create(XStringW(u"COM5"), 0), 100);
        EXPECT_EQ(Manager().Create(XStringW(u"COM5"), 0), 100);
        EXPECT_EQ(Manager().Create(XStringW(u"COM5:9600"), 0), 101);
        EXPECT_EQ(Manager().Remove(100), 1);
        EXPECT_TRUE(Manager().FindPort(100, nullptr));
        EXPECT_EQ(Manager().Remove(100), 0);
        EXPECT_FALSE(Manager().FindPort(100, nullptr));
        EXPECT_EQ(Manager().Remove(101), 0);
    }
    EXPECT_EQ(Manager().Create(XStringW(u"COM5"), 0), 100) << "a fresh manager";
    EXPECT_EQ(Manager().OpenPort(100, 0), 1);
    EXPECT_EQ(Manager().OpenPort(100, 0), 2);
    EXPECT_EQ(Manager().ClosePort(100), 1);
    EXPECT_TRUE(Manager().FindPort(100, nullptr)->IsOpen());
    EXPECT_EQ(Manager().ClosePort(100), 0);
    EXPECT_FALSE(Manager().FindPort(100, nullptr)->IsOpen());
    EXPECT_EQ(Manager().Remove(100), 0);
    // No port with that id.
    BYTE b = 0;
    EXPECT_EQ(Manager().ClosePort(177), -1);
    EXPECT_EQ(Manager().OpenPort(177, 0), 0);
    EXPECT_EQ(Manager().Write(177, &b, 1), 0);
    EXPECT_EQ(Manager().Read(177, &b, 1, 0), 0);
    EXPECT_EQ(Manager().ReadAvailable(177, 0), 0);
    // A facade that is not open touches nothing.
    CPortFacade idle;
    EXPECT_EQ(idle.Write(&b, 1), 0);
    EXPECT_EQ(idle.WaitReadAvailable(0), 0);
    EXPECT_FALSE(idle.Close());
}

TEST_F(PortTest, TransactCollectsTheReplyAfterItsHeader) {
    Link(u"COM21");
    const BYTE request[3] = {0x1D, 0x49, 0x43};
    std::string longName(300, 'N');
    struct Case {
        const char* label;
        std::string reply;
        std::string text;
    } cases[] = {
        {"model", std::string("_ABC\0", 5), "ABC"},
        {"bytes before the header", std::string("xy\x1D_ABC\0zz", 10), "ABC"},
        {"no header", std::string("ABC\0", 4), ""},
        {"silent", "", ""},
        {"longer than the buffer", "_" + longName + std::string(1, '\0'), longName.substr(0, 127)},
        {"a zero inside the name", std::string("_AB\0", 4), "AB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        {
            std::lock_guard<std::mutex> lock(device_.mutex);
            device_.reply = c.reply;
            device_.writes.clear();
        }
        CPortFacade facade;
        ASSERT_TRUE(facade.Open(XStringW(u"COM21"), 0, 0, true, true));
        XStringW text = facade.TransactText(0, request, 0x5F, 0x00);
        EXPECT_EQ(std::string(text.GetString(), text.GetString() + text.GetLength()), c.text);
        EXPECT_THAT(Writes(), ElementsAre(std::string("\x1D\x49\x43", 3)));
        EXPECT_TRUE(facade.Close());
    }

    // The raw reply keeps its terminator; 0x00 as terminator is not "no terminator".
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        device_.reply = std::string("_AB\0CD", 6);
    }
    CPortFacade facade;
    ASSERT_TRUE(facade.Open(XStringW(u"COM21"), 0, 0, true, true));
    BYTE out[16] = {};
    EXPECT_EQ(facade.Transact(0, request, 0x5F, 0x00, out, sizeof out), 3);
    EXPECT_EQ(Bytes(out, 3), std::string("AB\0", 3));
    EXPECT_EQ(
        facade.Transact(0, request, CPortFacade::kNoByte, CPortFacade::kNoByte, out, sizeof out),
        6);
    EXPECT_EQ(Bytes(out, 6), std::string("_AB\0CD", 6));
    EXPECT_TRUE(facade.Close());
}

struct QuietUi : TestPrintUi {
    std::vector<std::string> messages;
    void ShowMessage(const WCHAR* text, TestPrintIcon) override {
        messages.emplace_back(text, text + std::char_traits<char16_t>::length(text));
    }
};

TEST_F(PortTest, PosReceiptNamesTheModelAndThePortInsideTheCentring) {
    Link(u"COM5");
    const std::string equals(31, '=');
    struct Case {
        const char* label;
        std::string reply, model;
    } cases[] = {
        {"ABC", std::string("_ABC\0", 5), "ABC"},
        {"noise first", std::string("\x1D\x49_ABC\0", 7), "ABC"},
        {"a model of 140 bytes", "_" + std::string(140, 'M') + std::string(1, '\0'),
         std::string(127, 'M')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        {
            std::lock_guard<std::mutex> lock(device_.mutex);
            device_.reply = c.reply;
            device_.writes.clear();
        }
        TestPrintSelection selection;
        selection.selected = 1;
        selection.rowCount = 1;
        selection.assignInfo = XStringW(u"COM5");
        selection.assigned = 1;
        QuietUi ui;
        EXPECT_EQ(RunTestPrint(selection, ui), TestPrintResult::Printed);
        EXPECT_THAT(ui.messages, ElementsAre("Printer Test Success!!!"));
        EXPECT_THAT(Writes(),
                    ElementsAre(std::string("\x1D\x49\x43", 3), std::string("\x1B\x61\x01", 3),
                                equals + "\nBrisant Test\nTest is OK\n" + c.model + " <-> COM5\n" +
                                    equals + "\n",
                                std::string("\x1B\x61\x00", 3)));
    }
}

}  // namespace
}  // namespace tarnel::test

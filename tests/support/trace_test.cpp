// The trace log on a test machine: line formats and file names, levels, markers, rotation by
// size and age, dumps, fatal lines, the table's life, threads, and the program path functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/win32.h"
#include "tests/support/text_util.h"
#include "tool/support/program_path.h"
#include "tool/support/trace.h"

namespace fs = std::filesystem;

namespace {

SYSTEMTIME g_now;  // the trace clock in these tests: frozen, moved by the tests

void FakeClock(SYSTEMTIME* now) {
    *now = g_now;
}

void AdvanceClock(int minutes) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&g_now, &ft));
    ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    ticks += static_cast<ULONGLONG>(minutes) * 60 * 10000000ULL;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &g_now));
}

// "MMDD_HHMM" of the trace clock, as file names carry it.
std::string Stamp() {
    char text[32];
    std::snprintf(text, sizeof(text), "%02d%02d_%02d%02d", g_now.wMonth, g_now.wDay, g_now.wHour,
                  g_now.wMinute);
    return text;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A UTF-16LE file as readable text; fails the test on an odd size.
std::string ReadText(const fs::path& file) {
    const std::string bytes = ReadBytes(file);
    EXPECT_EQ(bytes.size() % 2, 0u) << file;
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return Show(text.data(), static_cast<int>(text.size()));
}

std::vector<std::string> ListFolder(const fs::path& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder))
        return names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = std::make_unique<tarnel::host::TestMachine>();
        programDir_ = machine_->machine().driveC() / "Program Files" / "Tarnel";
        fs::create_directories(programDir_);
        tarnel::host::SetProgramPath((programDir_ / "Tarnel_Configuration.exe").string());
        logDir_ = machine_->machine().driveC() / "Logs";
        GetLocalTime(&g_now);
        TraceSetClock(&FakeClock);
    }

    void TearDown() override {
        for (int id : registered_)
            TraceRemove(id);
        TraceRemove(-1);  // an empty table left by a fatal line goes too
        TraceSetClock(nullptr);
        tarnel::host::SetProgramPath("");
        machine_.reset();
    }

    void Register(int id, int level, const WCHAR* name, const WCHAR* folder = TEXT("C:\\Logs\\")) {
        registered_.insert(id);
        TraceRegister(id, level, name, folder);
    }
    void AddTarget(int level, int id, const WCHAR* name, bool checkMarker) {
        registered_.insert(id);
        TraceAddTarget(level, id, name, TEXT(""), checkMarker);
    }
    void PutMarker(const char* name) { std::ofstream(programDir_ / name) << "on"; }

    std::unique_ptr<tarnel::host::TestMachine> machine_;
    fs::path programDir_;
    fs::path logDir_;
    std::set<int> registered_;
};

TEST_F(TraceTest, LineFormatsAndFileName) {
    g_now.wHour = 9;
    g_now.wMinute = 5;
    g_now.wSecond = 7;
    g_now.wMilliseconds = 42;
    Register(TRACE_ID_MAIN, 2, TEXT("Tarnel_Configuration.exe"));

    Trace(TEXT("CWinHelper::GetOSVersion"), 146, TEXT("Windows %d.%d build %u"), 10, 0, 19045u);
    TraceError(TEXT("CRegHelper::OpenKey"), 88, TEXT("RegOpenKeyExW failed %d"), 5);
    const XStringW port(TEXT("COM7"));  // string objects travel as their text
    TraceTo(TEXT("CPortListMng::Open"), 12, TRACE_ID_MAIN, TEXT("%s opened"), port);
    TraceDetail(TEXT("CPortListMng::Read"), 301, TRACE_ID_MAIN, TEXT("%02X %02X"), 0x1B, 0x40);
    TraceErrorTo(TEXT("CPortListMng::Write"), 77, TRACE_ID_MAIN, TEXT("short write %hs"),
                 XStringA("(ansi)"));

    const std::string file = "Tarnel_Configuration_" + Stamp() + ".log";
    EXPECT_EQ(ListFolder(logDir_), std::vector<std::string>{file});
    EXPECT_EQ(ReadText(logDir_ / file),
              "(09:05:07.042) CWinHelper::GetOSVersion(146) Windows 10.0 build 19045\\u000D\\u000A"
              "(09:05:07.042) CRegHelper::OpenKey(88) <ERROR> RegOpenKeyExW failed 5\\u000D\\u000A"
              "(09:05:07.042) CPortListMng::Open(12) COM7 opened\\u000D\\u000A"
              "(09:05:07.042) CPortListMng::Read(301) 1B 40\\u000D\\u000A"
              "(09:05:07.042) CPortListMng::Write(77) <ERROR> short write (ansi)\\u000D\\u000A");
    EXPECT_EQ(ReadBytes(logDir_ / file).substr(0, 2), std::string("(\0", 2))
        << "no byte-order mark";
}

TEST_F(TraceTest, LevelsDecideWhatIsWritten) {
    struct Case {
        const char* label;
        int level;    // 0: not registered
        bool normal;  // TraceTo and TraceErrorTo lines expected
        bool detail;  // TraceDetail line expected
    };
    const Case cases[] = {
        {"not registered", 0, false, false},
        {"level 1", 1, true, false},
        {"level 2", 2, true, true},
    };
    int id = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ++id;
        // Another target fixes the folder, so that the one under test may be absent.
        Register(7, 1, TEXT("Other"));
        if (c.level > 0)
            Register(id, c.level, TEXT("Com"));
        TraceTo(TEXT("A::B"), 1, id, TEXT("normal"));
        TraceErrorTo(TEXT("A::B"), 2, id, TEXT("error"));
        TraceDetail(TEXT("A::B"), 3, id, TEXT("detail"));
        const fs::path file = logDir_ / ("Com_" + Stamp() + ".log");
        std::string expected;
        if (c.normal)
            expected += "(%) A::B(1) normal\\u000D\\u000A(%) A::B(2) <ERROR> error\\u000D\\u000A";
        if (c.detail)
            expected += "(%) A::B(3) detail\\u000D\\u000A";
        std::string actual = fs::exists(file) ? ReadText(file) : "";
        actual = std::regex_replace(actual, std::regex(R"(\(\d\d:\d\d:\d\d\.\d\d\d\))"), "(%)");
        EXPECT_EQ(actual, expected);
        TraceRemove(id);
        TraceRemove(7);
        fs::remove_all(logDir_);
    }

    // No target at all: nothing is written and the folder is not created.
    Trace(TEXT("A::B"), 1, TEXT("dropped"));
    TraceTo(TEXT("A::B"), 1, 5, TEXT("dropped"));
    TraceDump(5, "x", 1);
    EXPECT_FALSE(fs::exists(logDir_));

    // Level 0 never registers; a second registration keeps the first level and name.
    Register(5, 0, TEXT("Zero"));
    Register(6, 1, TEXT("First"));
    Register(6, 2, TEXT("Second"), TEXT("C:\\Elsewhere"));
    TraceTo(TEXT("A::B"), 1, 5, TEXT("to zero"));
    TraceTo(TEXT("A::B"), 1, 6, TEXT("kept"));
    TraceDetail(TEXT("A::B"), 2, 6, TEXT("not at level 1"));
    EXPECT_EQ(ListFolder(logDir_), std::vector<std::string>{"First_" + Stamp() + ".log"});
    EXPECT_EQ(ReadText(logDir_ / ("First_" + Stamp() + ".log")).find("not at level 1"),
              std::string::npos);
}

TEST_F(TraceTest, NamesAndLongMessages) {
    Register(1, 1, TEXT("a.b.exe"));
    Register(2, 1, TEXT("Upper.EXE"));
    Register(3, 1, TEXT("Long"));
    TraceTo(TEXT("X::Y"), 1, 1, TEXT("x"));
    TraceTo(TEXT("X::Y"), 1, 2, TEXT("x"));
    const std::u16string longText(3000, u'x');
    TraceTo(TEXT("X::Y"), 9, 3, TEXT("%s"), longText.c_str());
    EXPECT_EQ(ListFolder(logDir_),
              (std::vector<std::string>{"Long_" + Stamp() + ".log", "Upper.EXE_" + Stamp() + ".log",
                                        "a.b_" + Stamp() + ".log"}));
    const std::string line = ReadText(logDir_ / ("Long_" + Stamp() + ".log"));
    const std::string prefix = " X::Y(9) ";
    const size_t start = line.find(prefix) + prefix.size();
    EXPECT_EQ(line.substr(start), std::string(2047, 'x') + "\\u000D\\u000A");
}

TEST_F(TraceTest, RotationBySize) {
    struct Case {
        const char* label;
        uintmax_t size;
        bool rotates;
    };
    const Case cases[] = {
        {"just under 3 MiB is appended to", 3 * 1024 * 1024 - 1, false},
        {"3 MiB starts a new file", 3 * 1024 * 1024, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Register(100, 1, TEXT("Com"));
        Register(10100, 1, TEXT("ComPRN"));
        TraceTo(TEXT("A::B"), 1, 100, TEXT("first"));
        TraceDump(100, "\x01\x02", 2);
        const std::string first = Stamp();
        fs::resize_file(logDir_ / ("Com_" + first + ".log"), c.size);
        fs::resize_file(logDir_ / ("ComPRN_" + first + ".bin"), c.size);

        AdvanceClock(1);
        TraceTo(TEXT("A::B"), 2, 100, TEXT("second"));
        TraceDump(100, "\x03", 1);
        const std::string second = Stamp();
        if (c.rotates) {
            EXPECT_EQ(
                ListFolder(logDir_),
                (std::vector<std::string>{"ComPRN_" + first + ".bin", "ComPRN_" + second + ".bin",
                                          "Com_" + first + ".log", "Com_" + second + ".log"}));
            EXPECT_EQ(fs::file_size(logDir_ / ("Com_" + first + ".log")), c.size);
            EXPECT_NE(ReadText(logDir_ / ("Com_" + second + ".log")).find("A::B(2) second"),
                      std::string::npos);
            EXPECT_EQ(ReadBytes(logDir_ / ("ComPRN_" + second + ".bin")), "\x03");
        } else {
            EXPECT_EQ(ListFolder(logDir_), (std::vector<std::string>{"ComPRN_" + first + ".bin",
                                                                     "Com_" + first + ".log"}));
            EXPECT_GT(fs::file_size(logDir_ / ("Com_" + first + ".log")), c.size);
            EXPECT_EQ(fs::file_size(logDir_ / ("ComPRN_" + first + ".bin")), c.size + 1);
        }
        TraceRemove(100);
        TraceDumpRemove(100);
        fs::remove_all(logDir_);
    }
}

// Creation times are set back with SetFileTime, or the clock is moved on.
void BackdateCreation(const WCHAR* path, int minutes) {
    HANDLE file = CreateFileW(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME created;
    GetSystemTimeAsFileTime(&created);
    ULONGLONG ticks =
        (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    ticks -= static_cast<ULONGLONG>(minutes) * 60 * 10000000ULL;
    created.dwLowDateTime = static_cast<DWORD>(ticks);
    created.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    EXPECT_TRUE(SetFileTime(file, &created, nullptr, nullptr));
    CloseHandle(file);
}

TEST_F(TraceTest, RotationByAge) {
    struct Case {
        const char* label;
        int createdMinutesAgo;
        int minutesLater;
        bool rotates;
    };
    const Case cases[] = {
        {"59 minutes old is appended to, though the minute changed", 0, 59, false},
        {"61 minutes old starts a new file", 0, 61, true},
        {"created two hours ago starts a new file", 120, 1, true},
        {"created 30 minutes ago is appended to", 30, 1, false},
    };
    SYSTEMTIME start;
    GetLocalTime(&start);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        g_now = start;
        Register(100, 1, TEXT("Com"));
        TraceTo(TEXT("A::B"), 1, 100, TEXT("first"));
        const std::string first = "Com_" + Stamp() + ".log";
        if (c.createdMinutesAgo > 0) {
            const std::u16string path =
                TEXT("C:\\Logs\\") + std::u16string(first.begin(), first.end());
            BackdateCreation(path.c_str(), c.createdMinutesAgo);
        }
        AdvanceClock(c.minutesLater);
        TraceTo(TEXT("A::B"), 2, 100, TEXT("second"));
        const std::string second = "Com_" + Stamp() + ".log";
        if (c.rotates) {
            EXPECT_EQ(ListFolder(logDir_), (std::vector<std::string>{first, second}));
            EXPECT_EQ(ReadText(logDir_ / first).find("second"), std::string::npos);
            EXPECT_NE(ReadText(logDir_ / second).find("second"), std::string::npos);
        } else {
            EXPECT_EQ(ListFolder(logDir_), std::vector<std::string>{first});
            EXPECT_NE(ReadText(logDir_ / first).find("second"), std::string::npos);
        }
        TraceRemove(100);
        fs::remove_all(logDir_);
    }
}

TEST_F(TraceTest, RestartWithinTheMinuteAppends) {
    Register(100, 1, TEXT("Com"));
    TraceTo(TEXT("A::B"), 1, 100, TEXT("before"));
    TraceRemove(100);
    Register(100, 1, TEXT("Com"));
    TraceTo(TEXT("A::B"), 2, 100, TEXT("after"));
    const std::string file = "Com_" + Stamp() + ".log";
    EXPECT_EQ(ListFolder(logDir_), std::vector<std::string>{file});
    const std::string text = ReadText(logDir_ / file);
    EXPECT_NE(text.find("A::B(1) before"), std::string::npos);
    EXPECT_NE(text.find("A::B(2) after"), std::string::npos);
}

TEST_F(TraceTest, DumpsHoldTheBytesAsPassed) {
    Register(TRACE_ID_DUMP_BASE + 7, 1, TEXT("ComPRN"));
    const BYTE first[] = {0x00, 0x1B, 0x40, 0xFF};
    const BYTE second[] = {0x0D, 0x0A};
    TraceDump(7, first, sizeof(first));
    TraceDump(7, second, sizeof(second));
    TraceDump(8, second, sizeof(second));  // no such dump target
    TraceDump(7, second, 0);
    const std::string file = "ComPRN_" + Stamp() + ".bin";
    EXPECT_EQ(ListFolder(logDir_), std::vector<std::string>{file});
    EXPECT_EQ(ReadBytes(logDir_ / file), std::string("\x00\x1B\x40\xFF\x0D\x0A", 6));

    Register(8, 1, TEXT("Keep"));  // keeps the table and its folder
    TraceDumpRemove(7);
    TraceDump(7, first, sizeof(first));
    EXPECT_EQ(ReadBytes(logDir_ / file).size(), 6u);
}

TEST_F(TraceTest, TableIsDestroyedWithItsLastTargetAndCreatedAfresh) {
    Register(5, 1, TEXT("Five"), TEXT("C:\\First"));
    Register(6, 1, TEXT("Six"), TEXT("C:\\Second"));  // the folder is already fixed
    TraceTo(TEXT("A::B"), 1, 6, TEXT("x"));
    const fs::path driveC = machine_->machine().driveC();
    EXPECT_EQ(ListFolder(driveC / "First"), std::vector<std::string>{"Six_" + Stamp() + ".log"});
    EXPECT_FALSE(fs::exists(driveC / "Second"));

    TraceRemove(5);
    TraceRemove(6);  // the last one: the table goes
    Register(6, 1, TEXT("Six"), TEXT("C:\\Second"));
    TraceTo(TEXT("A::B"), 1, 6, TEXT("x"));
    EXPECT_EQ(ListFolder(driveC / "Second"), std::vector<std::string>{"Six_" + Stamp() + ".log"});

    // Removing everything and tracing again: a fresh table with the default folder.
    TraceRemove(6);
    AddTarget(1, 100, TEXT("Com"), false);
    TraceTo(TEXT("A::B"), 1, 100, TEXT("x"));
    EXPECT_EQ(ListFolder(programDir_ / "Log"), std::vector<std::string>{"Com_" + Stamp() + ".log"});
}

TEST_F(TraceTest, FatalLinesNeedNoTarget) {
    TraceFatal(TEXT("CTarnelApp::InitInstance"), 55, TEXT("cannot start: %d"), 1450);
    const std::string file = "fatal_" + Stamp() + ".log";
    EXPECT_EQ(ListFolder(programDir_ / "Log"), std::vector<std::string>{file});
    EXPECT_NE(ReadText(programDir_ / "Log" / file)
                  .find(") CTarnelApp::InitInstance(55) <ERROR> cannot start: 1450\\u000D\\u000A"),
              std::string::npos);
    TraceRemove(-1);

    // With a folder fixed by a registration, fatal lines go there; target 1000 gets nothing.
    Register(TRACE_ID_MAIN, 1, TEXT("Main"));
    TraceFatal(TEXT("X::Y"), 1, TEXT("one"));
    TraceFatal(TEXT("X::Y"), 2, TEXT("two"));
    EXPECT_EQ(ListFolder(logDir_), std::vector<std::string>{file});
    const std::string text = ReadText(logDir_ / file);
    EXPECT_NE(text.find("X::Y(1) <ERROR> one"), std::string::npos);
    EXPECT_NE(text.find("X::Y(2) <ERROR> two"), std::string::npos);
}

TEST_F(TraceTest, MarkerFilesSwitchTracingOn) {
    const fs::path log = programDir_ / "Log";
    const std::string mainFile = "Tarnel_Configuration_" + Stamp() + ".log";

    // Off: TraceInit registers nothing and ordinary tracing creates no folder.
    EXPECT_FALSE(TraceMarkerExists(TEXT("trace.txt")));
    registered_.insert(TRACE_ID_MAIN);
    TraceInit();
    Trace(TEXT("A::B"), 1, TEXT("off"));
    TraceError(TEXT("A::B"), 2, TEXT("off"));
    EXPECT_FALSE(fs::exists(log));

    // A port registered at level 1 stays at level 1: no detail lines.
    AddTarget(1, 100, TEXT("Com"), true);
    TraceDetail(TEXT("A::B"), 3, 100, TEXT("detail off"));
    TraceTo(TEXT("A::B"), 4, 100, TEXT("normal"));
    EXPECT_EQ(ReadText(log / ("Com_" + Stamp() + ".log")).find("detail off"), std::string::npos);
    TraceRemove(100);
    fs::remove_all(log);

    // On: target 1000 at level 1 under the program's name, a port at level 2.
    PutMarker("trace.txt");
    EXPECT_TRUE(TraceMarkerExists(TEXT("trace.txt")));
    TraceInit();
    Trace(TEXT("A::B"), 5, TEXT("on"));
    TraceDetail(TEXT("A::B"), 6, TRACE_ID_MAIN, TEXT("main detail"));
    AddTarget(1, 100, TEXT("Com"), true);
    TraceDetail(TEXT("A::B"), 7, 100, TEXT("detail on"));
    EXPECT_NE(ReadText(log / mainFile).find("A::B(5) on"), std::string::npos);
    EXPECT_EQ(ReadText(log / mainFile).find("main detail"), std::string::npos);
    EXPECT_NE(ReadText(log / ("Com_" + Stamp() + ".log")).find("A::B(7) detail on"),
              std::string::npos);
    TraceExit();
    TraceRemove(100);

    // The dump marker is only looked for.
    EXPECT_FALSE(TraceMarkerExists(TEXT("trace.bin")));
    PutMarker("trace.bin");
    EXPECT_TRUE(TraceMarkerExists(TEXT("trace.bin")));
}

TEST_F(TraceTest, LinesFromManyThreadsStayWhole) {
    Register(TRACE_ID_MAIN, 1, TEXT("Main"));
    Register(100, 2, TEXT("Com"));
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        // The main thread's part: targets come and go while others trace.
        for (int i = 0; !stop.load(); ++i) {
            TraceRegister(200 + i % 3, 1, TEXT("Port"), TEXT(""));
            TraceTo(TEXT("Churn::Run"), i, 200 + i % 3, TEXT("churn"));
            TraceRemove(200 + i % 3);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Trace(TEXT("Writer::Main"), t, TEXT("line %d of thread %d with some text"), i, t);
                TraceDetail(TEXT("Writer::Port"), t, 100, TEXT("detail %d"), i);
            }
        });
    }
    for (std::thread& w : writers)
        w.join();
    stop = true;
    churn.join();

    const std::regex mainLine(
        R"(\(\d\d:\d\d:\d\d\.\d\d\d\) Writer::Main\(\d\) line \d+ of thread \d with some text)");
    const std::regex portLine(R"(\(\d\d:\d\d:\d\d\.\d\d\d\) Writer::Port\(\d\) detail \d+)");
    const struct {
        std::string file;
        const std::regex* pattern;
    } files[] = {{"Main_" + Stamp() + ".log", &mainLine}, {"Com_" + Stamp() + ".log", &portLine}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const std::string text = ReadText(logDir_ / f.file);
        int lines = 0;
        size_t at = 0;
        for (size_t end; (end = text.find("\\u000D\\u000A", at)) != std::string::npos;
             at = end + 12) {
            ++lines;
            const std::string line = text.substr(at, end - at);
            ASSERT_TRUE(std::regex_match(line, *f.pattern)) << line;
        }
        EXPECT_EQ(at, text.size());
        EXPECT_EQ(lines, kThreads * kLines);
    }
}

TEST_F(TraceTest, ProgramPathFunctions) {
    struct Case {
        const char* label;
        std::string linuxName;  // inside C:\Program Files\Tarnel
        const WCHAR* fileWithExtension;
        const WCHAR* fileWithout;
    };
    const Case cases[] = {
        {"the tool", "Tarnel_Configuration.exe", TEXT("Tarnel_Configuration.exe"),
         TEXT("Tarnel_Configuration")},
        {"two dots", "a.b.exe", TEXT("a.b.exe"), TEXT("a.b")},
        {"no extension", "tool", TEXT("tool"), TEXT("tool")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        tarnel::host::SetProgramPath((programDir_ / c.linuxName).string());
        EXPECT_EQ(Show(GetProgramDirectory()), "C:\\Program Files\\Tarnel");
        EXPECT_EQ(Show(GetProgramFileName(true)), Show(c.fileWithExtension));
        EXPECT_EQ(Show(GetProgramFileName(false)), Show(c.fileWithout));
    }

    // The test program itself, on Z:.
    tarnel::host::SetProgramPath("");
    const fs::path self = fs::read_symlink("/proc/self/exe");
    std::string expected = "Z:" + self.parent_path().string();
    std::replace(expected.begin(), expected.end(), '/', '\\');
    EXPECT_EQ(Show(GetProgramDirectory()), expected);
    EXPECT_EQ(Show(GetProgramFileName(true)), self.filename().string());
}

}  // namespace

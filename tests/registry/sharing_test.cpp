// One hive shared by processes and threads: writes seen at once by other processes, no write
// lost between concurrent writers, damaged hives refused and left as they are, and writers
// killed half-way that leave the previous hive whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/ntapi.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/registry_store.h"
#include "platform/host/win32/registry.h"
#include "tests/registry/registry_test_util.h"

namespace tarnel::host {
namespace {

using namespace regtest;

std::u16string numbered(const char16_t* prefix, int i) {
    std::u16string s = prefix;
    for (char c : std::to_string(i))
        s += static_cast<char16_t>(c);
    return s;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

DWORD valueCount(HKEY key) {
    DWORD count = 0;
    for (;; ++count) {
        WCHAR name[64];
        DWORD n = 64;
        if (RegEnumValueW(key, count, name, &n, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return count;
    }
}

HKEY openShared(const char16_t* path) {
    return createKey(HKEY_CURRENT_USER, path);
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe(fds) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (r >= 0)
            close(r);
        r = -1;
    }
    void closeWrite() {
        if (w >= 0)
            close(w);
        w = -1;
    }
};

// Kills and reaps a child the test did not wait for (a failed assertion returns early).
struct Reaper {
    pid_t pid;
    int wait() {
        int status = waitChild(pid);
        pid = -1;
        return status;
    }
    ~Reaper() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitChild(pid);
        }
    }
};

TEST(RegistrySharing, AnotherProcessSeesEachWriteAtOnce) {
    TestMachine machine;
    HKEY key = openShared(u"Software\\Shared");
    ASSERT_NE(key, nullptr);

    int status = runChild([] {
        HKEY k = openShared(u"Software\\Shared");
        return k && setValue(k, u"FromChild", REG_DWORD, dwordBytes(7)) == ERROR_SUCCESS ? 0 : 1;
    });
    ASSERT_TRUE(exitedWith(status, 0));
    EXPECT_EQ(readValue(key, u"FromChild").data, dwordBytes(7));

    ASSERT_EQ(setValue(key, u"FromParent", REG_DWORD, dwordBytes(8)), ERROR_SUCCESS);
    status = runChild([] {
        HKEY k = openShared(u"Software\\Shared");
        return readValue(k, u"FromParent").data == dwordBytes(8) ? 0 : 1;
    });
    EXPECT_TRUE(exitedWith(status, 0));

    // Turns taken through pipes: each side checks the other's last write before its own, and
    // the values keep the order in which the two processes created them. Each side closes the
    // pipe ends it does not use, so that either one ending early ends the other's wait.
    Pipe toChild, toParent;
    constexpr int kRounds = 20;
    Reaper child{startChild([&] {
        toChild.closeWrite();
        toParent.closeRead();
        HKEY k = openShared(u"Software\\Turns");
        for (int i = 0; i < kRounds; ++i) {
            char token;
            if (read(toChild.r, &token, 1) != 1)
                return 2;
            if (readValue(k, numbered(u"p", i).c_str()).data != dwordBytes(i))
                return 3;
            if (setValue(k, numbered(u"c", i).c_str(), REG_DWORD, dwordBytes(i)) != ERROR_SUCCESS)
                return 4;
            if (write(toParent.w, "c", 1) != 1)
                return 5;
        }
        return 0;
    })};
    toChild.closeRead();
    toParent.closeWrite();
    HKEY turns = openShared(u"Software\\Turns");
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(setValue(turns, numbered(u"p", i).c_str(), REG_DWORD, dwordBytes(i)),
                  ERROR_SUCCESS);
        ASSERT_EQ(write(toChild.w, "p", 1), 1);
        char token;
        ASSERT_EQ(read(toParent.r, &token, 1), 1) << "the child ended early";
        ASSERT_EQ(readValue(turns, numbered(u"c", i).c_str()).data, dwordBytes(i));
    }
    EXPECT_TRUE(exitedWith(child.wait(), 0));
    for (int i = 0; i < 2 * kRounds; ++i) {
        WCHAR name[16];
        DWORD n = 16;
        ASSERT_EQ(RegEnumValueW(turns, i, name, &n, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(name, n), numbered(i % 2 ? u"c" : u"p", i / 2));
    }
    RegCloseKey(key);
    RegCloseKey(turns);
}

TEST(RegistrySharing, ConcurrentWritersInProcessesAndThreadsLoseNothing) {
    TestMachine machine;
    constexpr int kProcesses = 2, kThreads = 3, kValues = 40;
    auto writeMany = [](const char16_t* prefix) {
        HKEY k = openShared(u"Software\\Busy");
        int failures = 0;
        for (int i = 0; i < kValues; ++i) {
            failures +=
                setValue(k, numbered(prefix, i).c_str(), REG_DWORD, dwordBytes(i)) != ERROR_SUCCESS;
            failures += readValue(k, numbered(prefix, i).c_str()).data != dwordBytes(i);
        }
        RegCloseKey(k);
        return failures;
    };
    std::vector<pid_t> children;
    const char16_t* processPrefixes[kProcesses] = {u"procA", u"procB"};
    for (const char16_t* prefix : processPrefixes)
        children.push_back(startChild([&] { return writeMany(prefix) ? 1 : 0; }));
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads);
    const char16_t* threadPrefixes[kThreads] = {u"thrA", u"thrB", u"thrC"};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { failures[t] = writeMany(threadPrefixes[t]); });
    for (std::thread& t : threads)
        t.join();
    for (pid_t pid : children)
        EXPECT_TRUE(exitedWith(waitChild(pid), 0));
    for (int f : failures)
        EXPECT_EQ(f, 0);

    HKEY key = openShared(u"Software\\Busy");
    EXPECT_EQ(valueCount(key), DWORD((kProcesses + kThreads) * kValues));
    RegCloseKey(key);
}

TEST(RegistrySharing, AKeyDeletedByAnotherProcessIsDeletedForOpenHandles) {
    TestMachine machine;
    HKEY key = openShared(u"Software\\Doomed");
    ASSERT_EQ(setValue(key, u"v", REG_DWORD, dwordBytes(1)), ERROR_SUCCESS);
    int status = runChild([] { return SHDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Doomed"); });
    ASSERT_TRUE(exitedWith(status, 0));
    EXPECT_EQ(readValue(key, u"v").status, ERROR_KEY_DELETED);
    RegCloseKey(key);
}

// Builds a hive with a few values and returns its text and the line number of "Port_".
std::string sampleHive(TestMachine& machine, int& portLine) {
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7");
    setValue(key, u"IPAddress", REG_DWORD, {0xC0, 0xA8, 0x01, 0xC8});
    setValue(key, u"Port_", REG_DWORD, dwordBytes(9100));
    RegCloseKey(key);
    std::string text = readFile(machine.machine().hivePath());
    size_t at = text.find("\"Port_\"=");
    portLine = 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
    return text;
}

TEST(RegistrySharing, ADamagedHiveIsRefusedWithFileAndLineAndLeftUntouched) {
    struct Case {
        const char* label;
        std::function<std::string(const std::string&)> damage;
        std::string reason;  // expected after "FILE:LINE: "; LINE -1 stands for the Port_ line
        int line;
    };
    const Case cases[] = {
        {"garbled value line",
         [](const std::string& t) {
             std::string s = t;
             s.replace(s.find("dword:0000238c"), 14, "dword:0000238");
             return s;
         },
         "dword needs 8 hex digits", -1},
        {"cut in half", [](const std::string& t) { return t.substr(0, t.find("\"Port_\"=")); },
         "truncated hive: no END line", -2},
        {"empty", [](const std::string&) { return std::string(); }, "empty file", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TestMachine machine;
        int portLine = 0;
        std::string good = sampleHive(machine, portLine);
        std::filesystem::path hive = machine.machine().hivePath();
        std::string bad = c.damage(good);
        writeFile(hive, bad);
        int line = c.line == -1 ? portLine : c.line == -2 ? portLine - 1 : c.line;
        std::string expected = hive.string() + ":" + std::to_string(line) + ": " + c.reason;

        // This process, which had the good hive loaded, and a process starting afresh.
        for (bool fresh : {false, true}) {
            SCOPED_TRACE(fresh ? "fresh process" : "process that saw the good hive");
            if (fresh)
                Machine::use(machine.root());
            testing::internal::CaptureStderr();
            HKEY key = nullptr;
            EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key),
                      ERROR_REGISTRY_CORRUPT);
            EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, nullptr, 0,
                                      KEY_WRITE, nullptr, &key, nullptr),
                      ERROR_REGISTRY_CORRUPT);
            DWORD one = 1;
            EXPECT_EQ(RegSetValueExW(HKEY_CURRENT_USER, u"x", 0, REG_DWORD,
                                     reinterpret_cast<BYTE*>(&one), 4),
                      ERROR_REGISTRY_CORRUPT);
            EXPECT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik"),
                      ERROR_REGISTRY_CORRUPT);
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik\\TARNEL\\");
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            HANDLE h;
            EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_REGISTRY_CORRUPT);
            EXPECT_EQ(
                RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"x", REG_SZ, &one, 4),
                STATUS_REGISTRY_CORRUPT);
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(Machine::current().registry().lastError().substr(0, expected.size()),
                      expected);
            // Printed once, however many calls failed.
            size_t first = err.find(expected);
            EXPECT_NE(first, std::string::npos) << err;
            EXPECT_EQ(err.find(expected, first + 1), std::string::npos) << err;
            EXPECT_EQ(readFile(hive), bad);
        }

        // Mended by hand, the hive is taken again.
        writeFile(hive, good);
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7", 0,
                                KEY_READ | KEY_WOW64_64KEY, &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(readValue(key, u"Port_").data, dwordBytes(9100));
        EXPECT_TRUE(Machine::current().registry().lastError().empty());
        RegCloseKey(key);
    }
}

TEST(RegistrySharing, AWriterKilledHalfwayLeavesThePreviousHive) {
    TestMachine machine;
    HKEY key = openShared(u"Software\\Killed");
    ASSERT_EQ(setValue(key, u"before", REG_DWORD, dwordBytes(1)), ERROR_SUCCESS);
    std::filesystem::path hive = machine.machine().hivePath();
    std::string before = readFile(hive);

    int status = runChild([] {
        Machine::current().registry().setMidWriteHookForTests([] { raise(SIGKILL); });
        HKEY k = openShared(u"Software\\Killed");
        setValue(k, u"during", REG_BINARY, std::vector<BYTE>(4096, 0xAB));
        return 0;  // not reached
    });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // The half-written text is left beside the hive; the hive itself is the one before.
    std::filesystem::path tmp = hive;
    tmp += ".tmp";
    ASSERT_TRUE(std::filesystem::exists(tmp));
    std::string partial = readFile(tmp);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_EQ(partial.find("END generation"), std::string::npos);
    EXPECT_EQ(readFile(hive), before);
    EXPECT_EQ(readValue(key, u"during").status, ERROR_FILE_NOT_FOUND);
    // The lock died with the writer: the next write goes through and replaces the leftover.
    ASSERT_EQ(setValue(key, u"after", REG_DWORD, dwordBytes(2)), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(tmp));
    EXPECT_EQ(readValue(key, u"before").data, dwordBytes(1));
    RegCloseKey(key);
}

TEST(RegistrySharing, WritersKilledAtRandomMomentsNeverDamageTheHive) {
    TestMachine machine;
    std::mt19937 random(12345);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::u16string path = numbered(u"Software\\Run", round);
        Reaper child{startChild([&] {
            HKEY k = openShared(path.c_str());
            for (int i = 0;; ++i) {
                if (setValue(k, numbered(u"v", i).c_str(), REG_BINARY,
                             std::vector<BYTE>(64 + i % 200, BYTE(i))) != ERROR_SUCCESS)
                    return 1;
            }
        })};
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 40));
        kill(child.pid, SIGKILL);
        int status = child.wait();
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed before it was killed";

        // A fresh look at the file: it parses, and holds the values 0..n-1, each whole.
        Machine::use(machine.root());
        HKEY key = openShared(path.c_str());
        ASSERT_NE(key, nullptr);
        DWORD n = valueCount(key);
        for (DWORD i = 0; i < n; ++i) {
            ReadValue v = readValue(key, numbered(u"v", i).c_str());
            ASSERT_EQ(v.status, ERROR_SUCCESS) << "value " << i << " of " << n;
            EXPECT_EQ(v.data, std::vector<BYTE>(64 + i % 200, BYTE(i)));
        }
        RegCloseKey(key);
    }
}

}  // namespace
}  // namespace tarnel::host

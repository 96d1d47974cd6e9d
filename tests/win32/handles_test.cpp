// The kernel-object handle table: Windows-like values, lookup by kind, closing, object lifetime
// across a close that races with a user, and concurrent use.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/win32/handles.h"
#include "platform/host/win32/process.h"

namespace {

using tarnel::host::HandleKind;
using tarnel::host::HandleTable;
using tarnel::host::KernelObject;

struct Counters {
    std::atomic<int> cleanups{0};
    std::atomic<int> destroyed{0};
};

class Widget : public KernelObject {
  public:
    static const HandleKind kKind;
    explicit Widget(Counters* counters) : KernelObject(kKind), counters_(counters) {}
    ~Widget() override {
        if (counters_)
            ++counters_->destroyed;
    }
    void cleanup() override {
        if (counters_)
            ++counters_->cleanups;
    }

  private:
    Counters* counters_;
};
const HandleKind Widget::kKind{"Widget"};

class Gadget : public KernelObject {
  public:
    static const HandleKind kKind;
    Gadget() : KernelObject(kKind) {}
};
const HandleKind Gadget::kKind{"Gadget"};

TEST(HandleTable, ValuesAreLikeWindows) {
    HandleTable& table = HandleTable::instance();
    std::set<HANDLE> seen;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 100; ++i) {
        HANDLE h = table.insert(std::make_shared<Widget>(nullptr));
        ASSERT_NE(nullptr, h);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_NE(GetCurrentThread(), h);
        EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(h) % 4);
        EXPECT_TRUE(seen.insert(h).second) << "handle values are distinct";
        handles.push_back(h);
    }
    for (HANDLE h : handles)
        EXPECT_TRUE(CloseHandle(h));
    // A closed value is not handed out again right away: a stale handle stays invalid.
    HANDLE fresh = table.insert(std::make_shared<Widget>(nullptr));
    EXPECT_EQ(0u, seen.count(fresh));
    EXPECT_TRUE(CloseHandle(fresh));
}

TEST(HandleTable, LookupByKind) {
    HandleTable& table = HandleTable::instance();
    HANDLE widget = table.insert(std::make_shared<Widget>(nullptr));
    HANDLE gadget = table.insert(std::make_shared<Gadget>());
    EXPECT_NE(nullptr, table.lookup<Widget>(widget));
    EXPECT_NE(nullptr, table.lookup<Gadget>(gadget));

    SetLastError(0);
    EXPECT_EQ(nullptr, table.lookup<Widget>(gadget)) << "wrong kind";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, table.lookup<Widget>(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(0);
    EXPECT_FALSE(table.close(gadget, &Widget::kKind)) << "closing as the wrong kind";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_TRUE(table.close(gadget, &Gadget::kKind));

    EXPECT_TRUE(CloseHandle(widget));
    SetLastError(0);
    EXPECT_EQ(nullptr, table.lookup<Widget>(widget)) << "closed";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(widget)) << "closed twice";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "pseudo-handles close as a no-op";
}

TEST(HandleTable, ObjectOutlivesACloseWhileInUse) {
    Counters counters;
    HandleTable& table = HandleTable::instance();
    HANDLE h = table.insert(std::make_shared<Widget>(&counters));
    std::shared_ptr<Widget> inUse = table.lookup<Widget>(h);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(1, counters.cleanups.load()) << "cleanup runs at CloseHandle";
    EXPECT_EQ(0, counters.destroyed.load()) << "the user still holds it";
    inUse.reset();
    EXPECT_EQ(1, counters.destroyed.load());
    EXPECT_EQ(1, counters.cleanups.load());
}

TEST(HandleTable, ConcurrentUse) {
    Counters counters;
    HandleTable& table = HandleTable::instance();
    size_t before = table.size();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                HANDLE h = table.insert(std::make_shared<Widget>(&counters));
                if (!table.lookup<Widget>(h) || !CloseHandle(h) || table.lookup<Widget>(h))
                    ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(before, table.size());
    EXPECT_EQ(20000, counters.cleanups.load());
    EXPECT_EQ(20000, counters.destroyed.load());
}

}  // namespace

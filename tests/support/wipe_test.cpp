// Released buffers hold no text: a watching allocator under the support library records every
// block and checks, when each is given back, its size and that every byte is zero.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tool/support/ostra_queue.h"
#include "tool/support/support_memory.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

namespace {

// Installed for the life of the object; the library is single-threaded in these tests.
class WatchedHeap {
  public:
    WatchedHeap() { previous_ = SetSupportAllocator({&Allocate, &Release}); }
    ~WatchedHeap() { SetSupportAllocator(previous_); }

    static void Reset() {
        live().clear();
        sizes().clear();
        faults().clear();
        releases() = 0;
    }
    static std::map<void*, size_t>& live() {
        static std::map<void*, size_t> blocks;
        return blocks;
    }
    static std::vector<size_t>& sizes() {
        static std::vector<size_t> all;
        return all;
    }
    static std::vector<std::string>& faults() {
        static std::vector<std::string> all;
        return all;
    }
    static int& releases() {
        static int count = 0;
        return count;
    }

  private:
    static void* Allocate(size_t bytes) {
        void* block = std::malloc(bytes);
        // Junk first: the library must hand out zeros itself.
        if (block != nullptr)
            std::memset(block, 0xA5, bytes);
        live()[block] = bytes;
        sizes().push_back(bytes);
        return block;
    }
    static void Release(void* block, size_t bytes) {
        const auto found = live().find(block);
        if (found == live().end()) {
            faults().push_back("released a block it did not allocate");
        } else {
            if (found->second != bytes) {
                faults().push_back("released " + std::to_string(bytes) + " bytes of a block of " +
                                   std::to_string(found->second));
            }
            const auto* p = static_cast<const unsigned char*>(block);
            for (size_t i = 0; i < found->second; ++i) {
                if (p[i] != 0) {
                    faults().push_back("byte " + std::to_string(i) + " of a block of " +
                                       std::to_string(found->second) + " is not zero");
                    break;
                }
            }
            live().erase(found);
        }
        ++releases();
        std::free(block);
    }

    SupportAllocator previous_;
};

struct Scenario {
    const char* label;
    std::function<void()> run;
};

TEST(SupportWipe, EveryReleasedBlockIsZero) {
    const Scenario scenarios[] = {
        {"destroyed string", [] { XStringW s(TEXT("password=secret")); }},
        {"reassigned to a longer text",
         [] {
             XStringW s(TEXT("secret"));
             s = TEXT("a longer secret replacement");
         }},
        {"reassigned from another string",
         [] {
             XStringW s(TEXT("secret"));
             const XStringW t(TEXT("another, longer secret"));
             s = t;
         }},
        {"growth by Append",
         [] {
             XStringW s(TEXT("secret"));
             s.Append(TEXT(" and more"));
             s += s;
         }},
        {"Format and AppendFormat",
         [] {
             XStringW s(TEXT("secret"));
             s.Format(TEXT("%s %d %@"), TEXT("key"), 42, XStringW(TEXT("value")));
             s.AppendFormat(TEXT("%0200d"), 7);
             s.Format(TEXT("%@%@"), s, s);
         }},
        {"Replace, Insert, Delete, Trim",
         [] {
             XStringW s(TEXT(" a-b-c "));
             s.Replace(TEXT("-"), TEXT("<secret>"));
             s.Replace(TEXT("<secret>"), TEXT(""));
             s.Insert(0, TEXT('x'));
             s.Delete(1, 2);
             s.TrimLeft();
             s.TrimRight();
             s.Empty();
         }},
        {"slices, concatenation and Split",
         [] {
             const XStringW s(TEXT("10.0.0.1:9100"));
             const XStringW host = s.Left(s.Find(TEXT(":")));
             const XStringW port = s.Mid(s.Find(TEXT(":")) + 1);
             const XStringW joined = host + TEXT(" ") + port;
             XStringWList parts = joined.Split(TEXT(". "), true);
             XStringWList copy(parts);
             copy.Add(s.Right(4));
         }},
        {"conversions, twice each",
         [] {
             XStringW w(TEXT("caf\u00E9"));
             w.GetMultiByte();
             w.GetMultiByte();
             XStringA a("caf\xE9");
             a.GetWide();
             a.GetWide();
         }},
        {"eight-bit strings",
         [] {
             XStringA a("secret");
             a.Append(" more");
             a.Format("%s%d", "x", 1);
         }},
        {"byte queue",
         [] {
             COstraQueue q(8);
             const BYTE data[] = {'s', 'e', 'c', 'r', 'e', 't', '!', '!', '!', '!'};
             q.Append(data, sizeof(data));
             q.Prepend(data, 3);
             q.Push('x');
             BYTE out[4];
             q.Pop(out, 4);
             q.Grow(16);
             q.Empty();
             COstraData d;
             d.Append(data, sizeof(data));
         }},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.label);
        WatchedHeap heap;
        WatchedHeap::Reset();
        s.run();
        EXPECT_GT(WatchedHeap::releases(), 0);
        EXPECT_TRUE(WatchedHeap::live().empty())
            << WatchedHeap::live().size() << " blocks were never released";
        for (const std::string& fault : WatchedHeap::faults())
            ADD_FAILURE() << fault;
    }
}

TEST(SupportWipe, GrowthAllocatesExactSizes) {
    WatchedHeap heap;
    WatchedHeap::Reset();
    {
        XStringW s(TEXT("abc"));
        s.Append(TEXT("de"));
        s.Append(TEXT(""));
    }
    EXPECT_EQ(WatchedHeap::sizes(), (std::vector<size_t>{4 * sizeof(WCHAR), 6 * sizeof(WCHAR)}));

    WatchedHeap::Reset();
    {
        COstraQueue q;
        std::vector<BYTE> hundred(100, 0x41);
        q.Append(hundred.data(), 100);
        q.Push(1);
    }
    EXPECT_EQ(WatchedHeap::sizes(), (std::vector<size_t>{64, 100, 101}));
}

}  // namespace

// COstraQueue and COstraData: each row runs a few queue operations and checks the content, the
// exact capacity, what the pops returned and that the bytes after the content are zero.
#include <gtest/gtest.h>

#include <vector>

#include "tool/support/ostra_queue.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Step {
    enum Kind { Push, Append, Prepend, Pop, Grow, Empty, AppendSelf } kind;
    Bytes bytes;  // Push / Append / Prepend
    int count;    // Pop / Grow
};

struct Case {
    const char* label;
    int capacity;  // 0: the default constructor
    std::vector<Step> steps;
    Bytes content;
    int finalCapacity;
    std::vector<Bytes> popped;
};

Bytes Range(int n) {
    Bytes out;
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<BYTE>(i));
    return out;
}

void ExpectQueue(const COstraQueue& q, const Case& c) {
    EXPECT_EQ(Bytes(q.GetBuffer(), q.GetBuffer() + q.GetLength()), c.content);
    EXPECT_EQ(q.GetCapacity(), c.finalCapacity);
    for (int i = q.GetLength(); i < q.GetCapacity(); ++i) {
        ASSERT_EQ(q.GetBuffer()[i], 0) << "byte " << i << " after the content";
    }
}

TEST(COstraQueue, Operations) {
    const Case cases[] = {
        {"new queue", 0, {}, {}, 64, {}},
        {"100 bytes through one Append into a new queue",
         0,
         {{Step::Append, Range(100), 0}},
         Range(100),
         100,
         {}},
        {"Append within the capacity", 8, {{Step::Append, {1, 2, 3}, 0}}, {1, 2, 3}, 8, {}},
        {"Pop 4 of 10 leaves 6 at the front",
         0,
         {{Step::Append, Range(10), 0}, {Step::Pop, {}, 4}},
         {4, 5, 6, 7, 8, 9},
         64,
         {{0, 1, 2, 3}}},
        {"Pop 10 of 3 takes all",
         0,
         {{Step::Append, {7, 8, 9}, 0}, {Step::Pop, {}, 10}},
         {},
         64,
         {{7, 8, 9}}},
        {"Pop of an empty queue", 0, {{Step::Pop, {}, 5}}, {}, 64, {{}}},
        {"Pop of 0", 0, {{Step::Append, {1}, 0}, {Step::Pop, {}, 0}}, {1}, 64, {{}}},
        {"Prepend 02 03 to 41 42",
         0,
         {{Step::Append, {0x41, 0x42}, 0}, {Step::Prepend, {0x02, 0x03}, 0}},
         {0x02, 0x03, 0x41, 0x42},
         64,
         {}},
        {"Prepend past the capacity grows exactly",
         2,
         {{Step::Append, {0x41, 0x42}, 0}, {Step::Prepend, {0x02, 0x03}, 0}},
         {0x02, 0x03, 0x41, 0x42},
         4,
         {}},
        {"Prepend to an empty queue", 8, {{Step::Prepend, {5, 6}, 0}}, {5, 6}, 8, {}},
        {"Push into a full queue grows by one",
         8,
         {{Step::Append, Range(8), 0}, {Step::Push, {9}, 0}},
         {0, 1, 2, 3, 4, 5, 6, 7, 9},
         9,
         {}},
        {"Pop then Append reuses the room",
         4,
         {{Step::Append, {1, 2, 3, 4}, 0}, {Step::Pop, {}, 2}, {Step::Append, {5, 6}, 0}},
         {3, 4, 5, 6},
         4,
         {{1, 2}}},
        {"Grow holds the content and sets the capacity",
         64,
         {{Step::Append, {1, 2}, 0}, {Step::Grow, {}, 3}, {Step::Append, {3, 4, 5}, 0}},
         {1, 2, 3, 4, 5},
         5,
         {}},
        {"Append of the queue's own bytes while growing",
         3,
         {{Step::Append, {1, 2, 3}, 0}, {Step::AppendSelf, {}, 0}},
         {1, 2, 3, 1, 2, 3},
         6,
         {}},
        {"Empty wipes the content",
         8,
         {{Step::Append, {1, 2}, 0}, {Step::Empty, {}, 0}},
         {},
         8,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        COstraQueue q = c.capacity == 0 ? COstraQueue() : COstraQueue(c.capacity);
        std::vector<Bytes> popped;
        for (const Step& step : c.steps) {
            switch (step.kind) {
                case Step::Push:
                    q.Push(step.bytes[0]);
                    break;
                case Step::Append:
                    q.Append(step.bytes.data(), static_cast<int>(step.bytes.size()));
                    break;
                case Step::Prepend:
                    q.Prepend(step.bytes.data(), static_cast<int>(step.bytes.size()));
                    break;
                case Step::Pop: {
                    Bytes out(static_cast<size_t>(step.count) + 1, 0xEE);
                    const int n = q.Pop(out.data(), step.count);
                    ASSERT_GE(n, 0);
                    EXPECT_EQ(out[static_cast<size_t>(n)], 0xEE) << "Pop wrote past its count";
                    out.resize(static_cast<size_t>(n));
                    popped.push_back(out);
                    break;
                }
                case Step::Grow:
                    q.Grow(step.count);
                    break;
                case Step::Empty:
                    q.Empty();
                    break;
                case Step::AppendSelf:
                    q.Append(q.GetBuffer(), q.GetLength());
                    break;
            }
        }
        ExpectQueue(q, c);
        EXPECT_EQ(popped, c.popped);
    }
}

TEST(COstraQueue, DataIsTheSameQueue) {
    COstraData data(4);
    const BYTE command[] = {0x1B, 0x40, 0x0A, 0x0D, 0x00, 0x7F};
    data.Append(command, sizeof(command));
    EXPECT_EQ(data.GetCapacity(), 6);
    BYTE out[6] = {};
    EXPECT_EQ(data.Pop(out, 6), 6);
    EXPECT_EQ(Bytes(out, out + 6), Bytes(command, command + 6));
    EXPECT_EQ(data.GetLength(), 0);
    EXPECT_EQ(data.Pop(nullptr, 1), 0);
}

}  // namespace

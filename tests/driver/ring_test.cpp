// The receive ring on its own: put and get at every wrap position, the free position that
// separates full from empty, and a long random run against a simple model of a byte queue.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "driver/ring.h"
#include "platform/host/kernel/host_kernel.h"

namespace {

constexpr ULONG kSize = VSERIAL_RING_SIZE;  // 262,145 positions, 262,144 bytes at most

class RingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ring_ = VSERIAL_RingAllocate();
        ASSERT_NE(ring_, nullptr);
    }
    void TearDown() override {
        VSERIAL_RingFree(ring_);
        EXPECT_EQ(tarnel::host::kernel::PoolOutstanding("10XB"), 0u);
    }
    void Place(ULONG read, ULONG write) {
        ring_->ReadIndex = read;
        ring_->WriteIndex = write;
    }
    VSERIAL_RING* ring_ = nullptr;
};

std::vector<UCHAR> Pattern(ULONG n, UCHAR first) {
    std::vector<UCHAR> bytes(n);
    for (ULONG i = 0; i < n; ++i)
        bytes[i] = static_cast<UCHAR>(first + i);
    return bytes;
}

struct PutCase {
    const char* label;
    ULONG read, write, length;
    ULONG accepted, newWrite;
};

TEST_F(RingTest, PutAtEveryPosition) {
    const PutCase cases[] = {
        {"empty ring, short put", 0, 0, 10, 10, 10},
        {"write behind read leaves one position free", 100, 50, 80, 49, 99},
        {"write just behind read: full", 100, 99, 5, 0, 99},
        {"room to the end exceeds the length", 10, 200, 1000, 1000, 1200},
        {"read at 0: stops one short of the end", 0, 262140, 10, 4, 262144},
        {"read at 0 and ring full", 0, 262144, 1, 0, 262144},
        {"wraps to the front, up to read - 1", 20, 262140, 30, 5 + 19, 19},
        {"wraps with room to spare", 100, 262140, 30, 30, 25},
        {"exactly to the end with read > 0", 7, 262140, 5, 5, 0},
        {"read at 1: nothing fits at the front", 1, 262144, 10, 1, 0},
        {"zero length", 5, 5, 0, 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Place(c.read, c.write);
        std::vector<UCHAR> bytes = Pattern(c.length, 1);
        EXPECT_EQ(VSERIAL_RingPut(ring_, bytes.data(), c.length), c.accepted);
        EXPECT_EQ(ring_->WriteIndex, c.newWrite);
        EXPECT_EQ(ring_->ReadIndex, c.read);  // the writer never moves the read index
    }
}

struct GetCase {
    const char* label;
    ULONG read, write, length;
    ULONG taken, newRead;
};

TEST_F(RingTest, GetAtEveryPosition) {
    const GetCase cases[] = {
        {"empty", 77, 77, 100, 0, 77},
        {"30 held, read of 100", 0, 30, 100, 30, 30},
        {"more held than asked", 10, 500, 100, 100, 110},
        {"wrapped, length short of the end", 262100, 50, 20, 20, 262120},
        {"wrapped, takes the end then the front", 262140, 50, 100, 5 + 50, 50},
        {"wrapped, front partly", 262140, 50, 20, 20, 15},
        {"wrapped, exactly to the end", 262140, 50, 5, 5, 0},
        {"full ring read in one go", 0, 262144, 300000, 262144, 262144},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Place(c.read, c.write);
        std::vector<UCHAR> out(c.length);
        EXPECT_EQ(VSERIAL_RingGet(ring_, out.data(), c.length), c.taken);
        EXPECT_EQ(ring_->ReadIndex, c.newRead);
        EXPECT_EQ(ring_->WriteIndex, c.write);  // the reader never moves the write index
    }
}

TEST_F(RingTest, CountFollowsTheIndices) {
    struct {
        ULONG read, write, count;
    } cases[] = {{0, 0, 0},           {5, 5, 0},        {0, 30, 30},
                 {0, 262144, 262144}, {262140, 50, 55}, {100, 99, 262144}};
    for (const auto& c : cases) {
        Place(c.read, c.write);
        EXPECT_EQ(VSERIAL_RingCount(ring_), c.count) << c.read << "/" << c.write;
    }
}

TEST_F(RingTest, WrappedBytesComeBackInOrder) {
    Place(262100, 262100);
    std::vector<UCHAR> in = Pattern(100, 7);
    ASSERT_EQ(VSERIAL_RingPut(ring_, in.data(), 100), 100u);
    EXPECT_EQ(ring_->WriteIndex, 55u);
    EXPECT_EQ(VSERIAL_RingCount(ring_), 100u);
    std::vector<UCHAR> out(100);
    ASSERT_EQ(VSERIAL_RingGet(ring_, out.data(), 100), 100u);
    EXPECT_EQ(out, in);
    EXPECT_EQ(VSERIAL_RingCount(ring_), 0u);
}

TEST_F(RingTest, FullRingAcceptsNothingUntilSomethingIsTaken) {
    std::vector<UCHAR> big = Pattern(kSize + 10, 0);
    EXPECT_EQ(VSERIAL_RingPut(ring_, big.data(), static_cast<ULONG>(big.size())), kSize - 1);
    EXPECT_EQ(VSERIAL_RingCount(ring_), kSize - 1);
    UCHAR one = 0xEE;
    EXPECT_EQ(VSERIAL_RingPut(ring_, &one, 1), 0u);
    UCHAR first[3];
    ASSERT_EQ(VSERIAL_RingGet(ring_, first, 3), 3u);
    EXPECT_EQ(VSERIAL_RingPut(ring_, big.data(), 10), 3u);
    EXPECT_EQ(VSERIAL_RingCount(ring_), kSize - 1);
}

TEST_F(RingTest, ResetEmptiesTheRing) {
    Place(262140, 50);
    VSERIAL_RingReset(ring_);
    EXPECT_EQ(VSERIAL_RingCount(ring_), 0u);
    UCHAR out[4];
    EXPECT_EQ(VSERIAL_RingGet(ring_, out, 4), 0u);
    UCHAR in[4] = {1, 2, 3, 4};
    EXPECT_EQ(VSERIAL_RingPut(ring_, in, 4), 4u);
    EXPECT_EQ(VSERIAL_RingGet(ring_, out, 4), 4u);
    EXPECT_EQ(out[3], 4);
}

TEST_F(RingTest, RandomPutsAndGetsMatchAByteQueue) {
    std::mt19937 rng(20240611);
    std::deque<UCHAR> model;
    UCHAR next = 0;
    std::vector<UCHAR> buffer(kSize + 1000);
    for (int step = 0; step < 600; ++step) {
        // Lengths up to beyond the ring, so that every wrap and the full ring come up.
        ULONG length = rng() % 3 == 0 ? rng() % (kSize + 1000) : rng() % 5000;
        if (rng() % 2) {
            for (ULONG i = 0; i < length; ++i)
                buffer[i] = static_cast<UCHAR>(next + i);
            ULONG room = static_cast<ULONG>(kSize - 1 - model.size());
            ULONG accepted = VSERIAL_RingPut(ring_, buffer.data(), length);
            ASSERT_EQ(accepted, std::min(room, length)) << "step " << step;
            for (ULONG i = 0; i < accepted; ++i)
                model.push_back(static_cast<UCHAR>(next + i));
            next = static_cast<UCHAR>(next + accepted);
        } else {
            ULONG taken = VSERIAL_RingGet(ring_, buffer.data(), length);
            ASSERT_EQ(taken, std::min<ULONG>(static_cast<ULONG>(model.size()), length))
                << "step " << step;
            for (ULONG i = 0; i < taken; ++i) {
                ASSERT_EQ(buffer[i], model.front()) << "step " << step << " byte " << i;
                model.pop_front();
            }
        }
        ASSERT_EQ(VSERIAL_RingCount(ring_), model.size());
        ASSERT_LT(ring_->ReadIndex, kSize);
        ASSERT_LT(ring_->WriteIndex, kSize);
    }
}

}  // namespace

#include "serial/AfCircularBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

// Stored bytes read the way the write thread reads them, run by run through
// ReadPtr/LinearReadSize, without removing anything: a wrapped queue continues
// at the start of the storage.
std::string Peek(const TAfCircularBuffer& b, const std::uint8_t* storage) {
    std::string out(reinterpret_cast<const char*>(b.ReadPtr()),
                    static_cast<std::size_t>(b.LinearReadSize()));
    const std::int32_t rest = b.Count() - b.LinearReadSize();
    out.append(reinterpret_cast<const char*>(storage), static_cast<std::size_t>(rest));
    return out;
}

bool WriteText(TAfCircularBuffer& b, const std::string& s) {
    return b.Write(s.data(), static_cast<std::int32_t>(s.size()));
}

struct Snapshot {
    std::int32_t count, free, linear;
    const std::uint8_t* ptr;
    std::string bytes;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Snap(const TAfCircularBuffer& b, const std::uint8_t* storage) {
    return {b.Count(), b.FreeSpace(), b.LinearReadSize(), b.ReadPtr(), Peek(b, storage)};
}

} // namespace

TEST(AfCircularBuffer, NewBufferIsEmptyAndPointsAtStorageStart) {
    TAfCircularBuffer b(8);
    const std::uint8_t* storage = b.ReadPtr();
    EXPECT_NE(storage, nullptr);
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.FreeSpace(), 8);
    EXPECT_EQ(b.LinearReadSize(), 0);
    EXPECT_EQ(b.Size(), 8);
    // Zero-length write is a refusal, zero-length remove a success.
    const char c = 'x';
    EXPECT_FALSE(b.Write(&c, 0));
    EXPECT_TRUE(b.Remove(0));
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.ReadPtr(), storage);
}

TEST(AfCircularBuffer, WrapAroundRunsAreSplitAtTheEndOfStorage) {
    TAfCircularBuffer b(8);
    const std::uint8_t* storage = b.ReadPtr();
    ASSERT_TRUE(WriteText(b, "ABCDEF"));
    ASSERT_TRUE(b.Remove(4));
    EXPECT_EQ(b.ReadPtr(), storage + 4);
    ASSERT_TRUE(WriteText(b, "GHIJK"));
    // G, H at offsets 6 and 7; I, J, K at 0..2.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage) + 6, 2), "GH");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage), 3), "IJK");
    EXPECT_EQ(b.Count(), 7);
    EXPECT_EQ(b.FreeSpace(), 1);
    EXPECT_EQ(b.LinearReadSize(), 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.ReadPtr()), 4), "EFGH");

    ASSERT_TRUE(b.Remove(4));
    EXPECT_EQ(b.ReadPtr(), storage);
    EXPECT_EQ(b.LinearReadSize(), 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.ReadPtr()), 3), "IJK");
    EXPECT_EQ(b.Count(), 3);
}

TEST(AfCircularBuffer, ExactFillThenRefusalChangesNothing) {
    TAfCircularBuffer b(8);
    const std::uint8_t* storage = b.ReadPtr();
    ASSERT_TRUE(WriteText(b, "abc"));
    ASSERT_TRUE(WriteText(b, "defgh")); // exactly FreeSpace
    EXPECT_EQ(b.Count(), 8);
    EXPECT_EQ(b.FreeSpace(), 0);
    EXPECT_EQ(b.LinearReadSize(), 8);

    const Snapshot before = Snap(b, storage);
    EXPECT_EQ(before.bytes, "abcdefgh");
    EXPECT_FALSE(WriteText(b, "z"));
    EXPECT_EQ(Snap(b, storage), before);
    // The full buffer is not mistaken for an empty one by a Remove(0).
    EXPECT_TRUE(b.Remove(0));
    EXPECT_EQ(Snap(b, storage), before);
    EXPECT_FALSE(b.Remove(9));
    EXPECT_EQ(Snap(b, storage), before);

    // Any positive removal clears the full state.
    ASSERT_TRUE(b.Remove(1));
    EXPECT_EQ(b.Count(), 7);
    EXPECT_EQ(b.FreeSpace(), 1);
    EXPECT_EQ(Peek(b, storage), "bcdefgh");
}

TEST(AfCircularBuffer, OversizedWriteStoresNothingAtAll) {
    TAfCircularBuffer b(8);
    const std::uint8_t* storage = b.ReadPtr();
    // Mark the whole storage, then empty the queue (positions back at 0).
    ASSERT_TRUE(WriteText(b, "########"));
    ASSERT_TRUE(b.Remove(8));
    ASSERT_EQ(b.ReadPtr(), storage);
    ASSERT_TRUE(WriteText(b, "0123"));
    ASSERT_TRUE(b.Remove(2));
    ASSERT_EQ(b.FreeSpace(), 6);
    const Snapshot before = Snap(b, storage);
    EXPECT_FALSE(WriteText(b, "abcdefg"));
    EXPECT_EQ(Snap(b, storage), before);
    // No byte of a partial store reached the free region (4..7 and 0..1).
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage) + 4, 4), "####");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage), 2), "01");
    ASSERT_TRUE(WriteText(b, "abcdef"));
    EXPECT_EQ(Peek(b, storage), "23abcdef");

    TAfCircularBuffer c(8);
    ASSERT_TRUE(WriteText(c, "1234"));
    EXPECT_FALSE(WriteText(c, "56789")); // 5 bytes, 4 free
    EXPECT_EQ(c.Count(), 4);
    EXPECT_EQ(Peek(c, c.ReadPtr()), "1234");
}

TEST(AfCircularBuffer, FullWriteIntoEmptyBufferAtOffset) {
    for (std::int32_t k = 1; k < 8; ++k) {
        SCOPED_TRACE(k);
        TAfCircularBuffer b(8);
        const std::uint8_t* storage = b.ReadPtr();
        ASSERT_TRUE(b.Write(std::string(static_cast<std::size_t>(k), '.').data(), k));
        ASSERT_TRUE(b.Remove(k)); // empty, both positions at k
        EXPECT_EQ(b.Count(), 0);
        EXPECT_EQ(b.ReadPtr(), storage + k); // no reset to 0 on emptying

        ASSERT_TRUE(WriteText(b, "ABCDEFGH"));
        EXPECT_EQ(b.Count(), 8);
        EXPECT_EQ(b.FreeSpace(), 0);
        EXPECT_EQ(b.LinearReadSize(), 8 - k);
        EXPECT_EQ(b.ReadPtr(), storage + k);
        EXPECT_EQ(Peek(b, storage), "ABCDEFGH");
        // The head k bytes landed at offset 0.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage), static_cast<std::size_t>(k)),
                  std::string("ABCDEFGH").substr(static_cast<std::size_t>(8 - k)));
    }
}

TEST(AfCircularBuffer, RemoveAllKeepsPositionsClearResetsThem) {
    TAfCircularBuffer b(8);
    const std::uint8_t* storage = b.ReadPtr();
    ASSERT_TRUE(WriteText(b, "hello"));
    ASSERT_TRUE(b.Remove(b.Count()));
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.LinearReadSize(), 0);
    EXPECT_EQ(b.ReadPtr(), storage + 5);
    ASSERT_TRUE(WriteText(b, "xy"));
    EXPECT_EQ(b.ReadPtr(), storage + 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage) + 5, 2), "xy");

    b.Clear();
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.FreeSpace(), 8);
    EXPECT_EQ(b.ReadPtr(), storage);
    // Clear of a full buffer really empties it (Full is reset too).
    ASSERT_TRUE(WriteText(b, "12345678"));
    b.Clear();
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.FreeSpace(), 8);
    EXPECT_TRUE(WriteText(b, "87654321"));
    EXPECT_EQ(Peek(b, storage), "87654321");
}

TEST(AfCircularBuffer, NegativeAndBadArgumentsAreRefusedWithoutChange) {
    TAfCircularBuffer b(8);
    const std::uint8_t* storage = b.ReadPtr();
    ASSERT_TRUE(WriteText(b, "abcdef"));
    ASSERT_TRUE(b.Remove(3));
    const Snapshot before = Snap(b, storage);

    const char data[8] = {};
    EXPECT_FALSE(b.Write(data, -1));
    EXPECT_FALSE(b.Write(data, INT32_MIN));
    EXPECT_FALSE(b.Remove(-1));
    EXPECT_FALSE(b.Remove(-3)); // would move ReadPos back onto stale bytes
    EXPECT_FALSE(b.Remove(INT32_MIN));
    EXPECT_FALSE(b.Remove(4)); // more than Count
    EXPECT_FALSE(b.Write(nullptr, 2));
    EXPECT_FALSE(b.Write(data, INT32_MAX));
    EXPECT_EQ(Snap(b, storage), before);
    EXPECT_EQ(before.bytes, "def");
}

TEST(AfCircularBuffer, CapacityZeroAndNegativeCapacity) {
    for (std::int32_t cap : {0, -5}) {
        SCOPED_TRACE(cap);
        TAfCircularBuffer b(cap);
        const char c = 'q';
        EXPECT_EQ(b.Size(), 0);
        EXPECT_EQ(b.Count(), 0);
        EXPECT_EQ(b.FreeSpace(), 0);
        EXPECT_EQ(b.LinearReadSize(), 0);
        EXPECT_FALSE(b.Write(&c, 1));
        EXPECT_TRUE(b.Remove(0));
        EXPECT_FALSE(b.Remove(1));
        EXPECT_EQ(b.Count(), 0);
        EXPECT_EQ(b.FreeSpace(), 0);
        b.Clear();
        EXPECT_EQ(b.Count(), 0);
    }
}

TEST(AfCircularBuffer, CapacityOneAlternatesFullAndEmpty) {
    TAfCircularBuffer b(1);
    const std::uint8_t* storage = b.ReadPtr();
    for (int i = 0; i < 5; ++i) {
        const auto v = static_cast<std::uint8_t>('a' + i);
        ASSERT_TRUE(b.Write(&v, 1));
        EXPECT_EQ(b.Count(), 1);
        EXPECT_EQ(b.FreeSpace(), 0);
        EXPECT_EQ(b.LinearReadSize(), 1);
        EXPECT_EQ(*b.ReadPtr(), v);
        EXPECT_FALSE(b.Write(&v, 1));
        ASSERT_TRUE(b.Remove(1));
        EXPECT_EQ(b.Count(), 0);
        EXPECT_EQ(b.ReadPtr(), storage);
    }
}

// The consumer's in-place pattern: while the device works on a run, a
// producer may only fill the free region, so the run keeps its bytes.
TEST(AfCircularBuffer, WriteDuringInPlaceReadLeavesTheRunIntact) {
    TAfCircularBuffer b(16);
    const std::uint8_t* storage = b.ReadPtr();
    ASSERT_TRUE(WriteText(b, "0123456789"));
    ASSERT_TRUE(b.Remove(6)); // run "6789" at offset 6..9
    const std::uint8_t* run = b.ReadPtr();
    const std::int32_t len = b.LinearReadSize();
    ASSERT_EQ(len, 4);
    // Fill every free byte while the run is "in the device".
    ASSERT_TRUE(WriteText(b, "abcdefghijkl"));
    EXPECT_EQ(b.FreeSpace(), 0);
    EXPECT_FALSE(WriteText(b, "!"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(run), 4), "6789");
    ASSERT_TRUE(b.Remove(len));
    EXPECT_EQ(Peek(b, storage), "abcdefghijkl");
}

// A million random operations against a std::deque model. Every read goes
// through ReadPtr/LinearReadSize the way the write thread drains the queue.
TEST(AfCircularBuffer, RandomOperationsMatchADequeModel) {
    std::mt19937 rng(20240611u);
    for (std::int32_t cap : {1, 2, 7, 64, 257}) {
        SCOPED_TRACE(cap);
        TAfCircularBuffer b(cap);
        const std::uint8_t* storage = b.ReadPtr();
        std::deque<std::uint8_t> model;
        std::vector<std::uint8_t> src(static_cast<std::size_t>(cap) + 8);
        std::uint8_t next = 0;
        const int ops = cap == 257 ? 600000 : 100000;
        for (int op = 0; op < ops; ++op) {
            const int kind = static_cast<int>(rng() % 8);
            if (kind < 4) {
                const std::int32_t n =
                    static_cast<std::int32_t>(rng() % static_cast<unsigned>(cap + 3));
                for (std::int32_t i = 0; i < n; ++i)
                    src[static_cast<std::size_t>(i)] = next++;
                const bool fits = n >= 1 && n <= cap - static_cast<std::int32_t>(model.size());
                ASSERT_EQ(b.Write(src.data(), n), fits) << "op " << op << " n " << n;
                if (fits)
                    model.insert(model.end(), src.begin(), src.begin() + n);
                else
                    next = static_cast<std::uint8_t>(next - n); // not stored
            } else if (kind < 6) {
                // Drain in place: consume part of the linear run.
                const std::int32_t linear = b.LinearReadSize();
                ASSERT_LE(linear, b.Count());
                ASSERT_GE(linear, model.empty() ? 0 : 1);
                ASSERT_LE(b.ReadPtr() - storage + linear, cap);
                const std::uint8_t* p = b.ReadPtr();
                for (std::int32_t i = 0; i < linear; ++i)
                    ASSERT_EQ(p[i], model[static_cast<std::size_t>(i)])
                        << "op " << op << " i " << i;
                const std::int32_t take =
                    linear == 0
                        ? 0
                        : static_cast<std::int32_t>(rng() % static_cast<unsigned>(linear + 1));
                ASSERT_TRUE(b.Remove(take));
                model.erase(model.begin(), model.begin() + take);
            } else if (kind < 7) {
                const std::int32_t n =
                    static_cast<std::int32_t>(rng() % static_cast<unsigned>(cap + 3)) - 1;
                const bool ok = n >= 0 && n <= static_cast<std::int32_t>(model.size());
                ASSERT_EQ(b.Remove(n), ok) << "op " << op << " n " << n;
                if (ok)
                    model.erase(model.begin(), model.begin() + n);
            } else if (rng() % 64 == 0) {
                b.Clear();
                model.clear();
                ASSERT_EQ(b.ReadPtr(), storage);
            }
            ASSERT_EQ(b.Count(), static_cast<std::int32_t>(model.size())) << "op " << op;
            ASSERT_EQ(b.FreeSpace(), cap - static_cast<std::int32_t>(model.size()));
        }
        // Whole content, across the wrap.
        ASSERT_EQ(Peek(b, storage), std::string(model.begin(), model.end()));
    }
}

// AutoGrowBuffer: growth, compaction, the 1 MiB limit and consumer contracts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/auto_grow_buffer.h"

using kestrel::AutoGrowBuffer;

namespace {

struct Sink {
    std::string taken;
    long answer = -100;  // -100: take everything offered
};

long Consume(void* user, const char* data, unsigned long len) {
    auto* sink = static_cast<Sink*>(user);
    long n = sink->answer == -100 ? static_cast<long>(len) : sink->answer;
    if (n > 0 && static_cast<unsigned long>(n) <= len)
        sink->taken.append(data, n);
    return n;
}

}  // namespace

TEST(AutoGrowBufferTest, ReAllocLenIsTheNextPowerOfTwoAbove) {
    const struct {
        unsigned long n, want;
    } cases[] = {{0, 1}, {1, 2}, {1000, 1024}, {1023, 1024}, {1024, 2048}, {1048576, 2097152}};
    for (const auto& c : cases)
        EXPECT_EQ(c.want, AutoGrowBuffer::GetReAllocLen(c.n)) << c.n;
}

TEST(AutoGrowBufferTest, FifoAcrossCompactionAndGrowth) {
    AutoGrowBuffer buf(8, true);
    Sink sink;
    EXPECT_EQ(0, buf.AddTailData(nullptr, 3));
    EXPECT_EQ(0, buf.AddTailData("abc", 0));
    EXPECT_EQ(6, buf.AddTailData("abcdef", 6));
    sink.answer = 4;
    EXPECT_EQ(4, buf.PopHeadData(Consume, &sink));
    // 2 unread + 5 new fits in 8 after moving the unread bytes to the front.
    EXPECT_EQ(5, buf.AddTailData("ghijk", 5));
    EXPECT_EQ(8u, buf.GetCapacity());
    // Now it must grow: 7 unread + 9 → 16 → capacity 32.
    EXPECT_EQ(9, buf.AddTailData("lmnopqrst", 9));
    EXPECT_EQ(32u, buf.GetCapacity());
    sink.answer = -100;
    EXPECT_EQ(16, buf.PopHeadData(Consume, &sink));
    EXPECT_EQ("abcdefghijklmnopqrst", sink.taken);
    EXPECT_EQ(0u, buf.GetSize());
    EXPECT_EQ(0, buf.PopHeadData(Consume, &sink));
}

TEST(AutoGrowBufferTest, OneMebibyteLimit) {
    std::vector<char> mib(AutoGrowBuffer::kMaxLen + 1, 'x');
    AutoGrowBuffer small(1024, false);
    EXPECT_EQ(-1, small.AddTailData(mib.data(), mib.size()));
    // Exactly 1 MiB would need a 2 MiB array: refused, content kept.
    EXPECT_EQ(3, small.AddTailData("abc", 3));
    EXPECT_EQ(-1, small.AddTailData(mib.data(), AutoGrowBuffer::kMaxLen));
    EXPECT_EQ(3u, small.GetSize());
    // A buffer already at the limit takes 1 MiB when empty.
    AutoGrowBuffer full(AutoGrowBuffer::kMaxLen, false);
    EXPECT_EQ(static_cast<long>(AutoGrowBuffer::kMaxLen),
              full.AddTailData(mib.data(), AutoGrowBuffer::kMaxLen));
    EXPECT_EQ(-1, full.AddTailData("y", 1));
}

TEST(AutoGrowBufferTest, ConsumerContractViolationsLeaveTheBufferAlone) {
    AutoGrowBuffer buf(16, true);
    buf.AddTailData("0123456789", 10);
    Sink sink;
    EXPECT_EQ(-1, buf.PopHeadData(nullptr, &sink));
    EXPECT_EQ(-1, buf.PopHeadData(Consume, &sink, 0));
    sink.answer = 11;
    EXPECT_EQ(-3, buf.PopHeadData(Consume, &sink));
    sink.answer = 5;
    EXPECT_EQ(-2, buf.PopHeadData(Consume, &sink, 4));
    sink.answer = -1;
    EXPECT_EQ(-3, buf.PopHeadData(Consume, &sink, 4));
    EXPECT_EQ(10u, buf.GetSize());
    sink.answer = -100;
    EXPECT_EQ(4, buf.PopHeadData(Consume, &sink, 4));
    EXPECT_EQ("0123", sink.taken);
}

// The write turn shared by the paths that drain a ring: budget, a frame held
// back across turns (intact after the ring has moved on), and ended turns.
#include "sdk/streaming/write_turn.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kestrel::FrameRingBuffer;
using kestrel::MediaSpecialInfo;
using kestrel::WriteTurn;

std::vector<unsigned char> Payload(unsigned len, uint64_t index) {
    std::vector<unsigned char> v(len);
    for (unsigned i = 0; i < len; ++i)
        v[i] = static_cast<unsigned char>((index * 131 + i * 7) & 0xFF);
    return v;
}

void Put(FrameRingBuffer& ring, uint64_t index, unsigned len = 1000) {
    MediaSpecialInfo d{2, static_cast<uint32_t>(index * 40), 0, 0, index};
    std::vector<unsigned char> p = Payload(len, index);
    ASSERT_EQ(FrameRingBuffer::kOk,
              ring.DataOneFrameIn(p.data(), len, &d, sizeof(MediaSpecialInfo)));
}

// What a sink saw: the frame's number (its timestamp / 40), whether it was the
// held one, and whether its bytes were still the ones written.
struct Seen {
    uint64_t index;
    bool held;
    bool intact;
    bool operator==(const Seen& o) const {
        return index == o.index && held == o.held && intact == o.intact;
    }
};

struct Sink {
    std::vector<Seen> seen;
    uint64_t verdict_at = ~0ull;  // the frame that gets `verdict`
    WriteTurn::Verdict verdict = WriteTurn::kTaken;
    WriteTurn::Verdict operator()(const WriteTurn::Frame& f) {
        uint64_t index = f.desc.timestamp / 40;
        seen.push_back({index, f.held,
                        std::vector<unsigned char>(f.data, f.data + f.len) ==
                            Payload(f.len, index)});
        return index == verdict_at ? verdict : WriteTurn::kTaken;
    }
};

TEST(WriteTurn, BudgetHoldBackAndStop) {
    FrameRingBuffer ring(64 * 1024, "[t]");
    WriteTurn turn;
    for (uint64_t i = 1; i <= 5; ++i)
        Put(ring, i);

    // The budget ends a turn once it is spent, never in the middle of a frame.
    Sink a;
    EXPECT_EQ(WriteTurn::kBudgetSpent, turn.Run(ring, 2500, "[t]", a));
    EXPECT_EQ((std::vector<Seen>{{1, false, true}, {2, false, true}, {3, false, true}}), a.seen);

    // A frame held back goes first next turn, intact although the ring has
    // since handed out and taken in other frames.
    Sink b;
    b.verdict_at = 4;
    b.verdict = WriteTurn::kHoldBack;
    EXPECT_EQ(WriteTurn::kHeldBack, turn.Run(ring, 1 << 20, "[t]", b));
    EXPECT_TRUE(turn.Holding());
    for (uint64_t i = 6; i <= 40; ++i)
        Put(ring, i);
    Sink c;
    c.verdict_at = 5;
    c.verdict = WriteTurn::kStop;
    EXPECT_EQ(WriteTurn::kStopped, turn.Run(ring, 1 << 20, "[t]", c));
    EXPECT_EQ((std::vector<Seen>{{4, true, true}, {5, false, true}}), c.seen);
    EXPECT_FALSE(turn.Holding());

    // A stopped ring frame is gone; a stopped held frame stays held.
    Sink d;
    d.verdict_at = 6;
    d.verdict = WriteTurn::kHoldBack;
    EXPECT_EQ(WriteTurn::kHeldBack, turn.Run(ring, 1 << 20, "[t]", d));
    Sink e;
    e.verdict_at = 6;
    e.verdict = WriteTurn::kStop;
    EXPECT_EQ(WriteTurn::kStopped, turn.Run(ring, 1 << 20, "[t]", e));
    EXPECT_TRUE(turn.Holding());
    Sink f;
    EXPECT_EQ(WriteTurn::kRingEmpty, turn.Run(ring, 1 << 20, "[t]", f));
    ASSERT_EQ(35u, f.seen.size());  // 6 held, then 7..40
    EXPECT_EQ((Seen{6, true, true}), f.seen.front());
    EXPECT_EQ((Seen{40, false, true}), f.seen.back());
    EXPECT_FALSE(turn.Holding());
}

// The sink sees a ring frame where it lies, still queued while it decides;
// a frame it holds back is copied and the ring lets go of it, so a sink that
// cannot go on never keeps a full ring from taking new frames.
TEST(WriteTurn, RingFramesAreSeenInPlaceAndAHeldOneIsCopiedOut) {
    FrameRingBuffer ring(4096, "[t]");
    WriteTurn turn;
    Put(ring, 1);
    Put(ring, 2);
    bool in_place = false;
    auto hold = [&](const WriteTurn::Frame& f) {
        const unsigned char* at = nullptr;
        unsigned len = 0;
        MediaSpecialInfo d{};
        in_place = ring.PeekFrame(&at, &len, &d) == 0 && at == f.data && len == f.len;
        return WriteTurn::kHoldBack;
    };
    EXPECT_EQ(WriteTurn::kHeldBack, turn.Run(ring, 1 << 20, "[t]", hold));
    EXPECT_TRUE(in_place);
    EXPECT_EQ(1000u + FrameRingBuffer::kHeaderSize + sizeof(MediaSpecialInfo),
              ring.GetRecordBytes());  // frame 2 only
    // Audio-only: a full ring drops its oldest, here frame 2 and then the
    // first of the new ones; the held frame is out of the ring's reach.
    for (uint64_t i = 3; i <= 6; ++i) {
        MediaSpecialInfo d{2, static_cast<uint32_t>(i * 40), 0, 0, i};
        std::vector<unsigned char> p = Payload(1000, i);
        ring.DataOneFrameIn(p.data(), 1000, &d, sizeof d);
    }
    EXPECT_GT(ring.GetFrameDropAndReset(), 0);
    Sink all;
    EXPECT_EQ(WriteTurn::kRingEmpty, turn.Run(ring, 1 << 20, "[t]", all));
    ASSERT_LE(2u, all.seen.size());
    EXPECT_EQ((Seen{1, true, true}), all.seen.front());
    EXPECT_EQ((Seen{6, false, true}), all.seen.back());
    EXPECT_EQ(0u, ring.GetRecordBytes());
}

}  // namespace

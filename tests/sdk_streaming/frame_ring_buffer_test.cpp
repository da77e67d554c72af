#include "sdk/streaming/frame_ring_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

using kestrel::FrameRingBuffer;
using kestrel::MediaSpecialInfo;

namespace {

constexpr unsigned kDesc = sizeof(MediaSpecialInfo);
constexpr unsigned kRecord =
    FrameRingBuffer::kHeaderSize + kDesc;  // record bytes besides the frame

MediaSpecialInfo Desc(char kind, uint64_t index) {
    switch (kind) {
        case 'K':
            return {1, static_cast<uint32_t>(index * 40), 1, 0, index};
        case 'P':
            return {1, static_cast<uint32_t>(index * 40), 0, 0, index};
        default:
            return {2, static_cast<uint32_t>(index * 40), 0, 0, index};
    }
}

// Frame bytes that name their frame, so a mix-up or a torn copy shows.
std::vector<unsigned char> Payload(unsigned len, uint64_t index) {
    std::vector<unsigned char> v(len);
    for (unsigned i = 0; i < len; ++i)
        v[i] = static_cast<unsigned char>((index * 131 + i * 7) & 0xFF);
    return v;
}

int Put(FrameRingBuffer& rb, char kind, unsigned len, uint64_t index) {
    MediaSpecialInfo d = Desc(kind, index);
    std::vector<unsigned char> p = Payload(len, index);
    return rb.DataOneFrameIn(p.data(), len, &d, kDesc);
}

struct Taken {
    int rc = 0;
    uint64_t index = 0;
    bool key = false;
    bool intact = false;
};

Taken Take(FrameRingBuffer& rb) {
    unsigned char* frame = nullptr;
    unsigned len = 0;
    MediaSpecialInfo* desc = nullptr;
    unsigned desc_len = 0;
    Taken t;
    t.rc = rb.DataOneFrameOut(&frame, &len, &desc, &desc_len);
    if (t.rc != 0)
        return t;
    t.index = desc->index;
    t.key = desc->key_frame == 1;
    t.intact = desc_len == kDesc &&
               Payload(len, desc->index) == std::vector<unsigned char>(frame, frame + len);
    return t;
}

// The next record in place; the ring keeps it until ReleaseFrame.
Taken Peek(FrameRingBuffer& rb, const unsigned char** at = nullptr) {
    const unsigned char* frame = nullptr;
    unsigned len = 0;
    MediaSpecialInfo desc{};
    Taken t;
    t.rc = rb.PeekFrame(&frame, &len, &desc);
    if (t.rc != 0)
        return t;
    if (at)
        *at = frame;
    t.index = desc.index;
    t.key = desc.key_frame == 1;
    t.intact = Payload(len, desc.index) == std::vector<unsigned char>(frame, frame + len);
    return t;
}

TEST(FrameRingBuffer, CapacityIsAPowerOfTwoBetween1KiBAnd8MiB) {
    const struct {
        unsigned requested, size;
    } cases[] = {{0, 1024},        {1000, 1024},       {1024, 1024},       {1025, 2048},
                 {300000, 524288}, {8388608, 8388608}, {8388609, 8388608}, {20000000, 8388608}};
    for (const auto& c : cases) {
        FrameRingBuffer rb(c.requested, "[t]");
        EXPECT_EQ(c.size, rb.GetSize()) << c.requested;
        EXPECT_EQ(c.size, rb.GetDataUnused());
    }
}

TEST(FrameRingBuffer, FramesWrappingTheArrayEndComeBackIntact) {
    FrameRingBuffer rb(1024, "[t]");
    uint64_t next_in = 0, next_out = 0;
    // Odd sizes walk the records across every offset of the array.
    for (int round = 0; round < 200; ++round) {
        unsigned len = 37 + (round * 53) % 400;
        ASSERT_EQ(0, Put(rb, round % 5 ? 'A' : 'K', len, next_in++));
        if (round % 2) {
            for (int i = 0; i < 2; ++i) {
                Taken t = Take(rb);
                ASSERT_EQ(0, t.rc);
                EXPECT_EQ(next_out++, t.index);
                EXPECT_TRUE(t.intact) << "frame " << t.index;
            }
        }
    }
    EXPECT_EQ(next_in, next_out);
    EXPECT_EQ(-4, Take(rb).rc);
    EXPECT_EQ(0, rb.GetFrameDropAndReset());
}

// One step of a scenario: put a frame ('K' key, 'P' other video, 'A' audio)
// and expect a result, or take one ('<') or peek at one ('?') and expect its
// index (or -4 empty), release the peeked one ('!'), or clear the ring ('C').
struct Step {
    char op;
    unsigned len;
    int expect;
};

struct Scenario {
    const char* name;
    int strategy;
    std::vector<Step> steps;
    unsigned dropped;  // bytes reported by GetFrameDropAndReset at the end, refused frames included
};

constexpr unsigned R = 300 + kRecord;  // 336: three fill 1008 of 1024 bytes

const Scenario kScenarios[] = {
    {"a full ring of two GOPs drops the older GOP for a P-frame",
     0,
     {{'K', 300, 0}, {'P', 300, 0}, {'K', 300, 0}, {'P', 300, -9}, {'<', 0, 2}, {'<', 0, 3}},
     2 * R},
    {"a full ring of one GOP is emptied, then waits for a key frame",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'P', 300, 0},
      {'P', 300, -6},
      {'P', 100, -7},
      {'A', 100, -7},
      {'K', 100, 0},
      {'P', 100, 0},
      {'<', 0, 6},
      {'<', 0, 7},
      {'<', 0, -4}},
     4 * R + 2 * (100 + kRecord)},
    {"the tail of a GOP whose key frame was read goes first",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'P', 300, 0},
      {'<', 0, 0},
      {'K', 300, 0},
      {'P', 300, -9},
      {'<', 0, 4},
      {'<', 0, 5}},
     2 * R},
    {"a key frame for a ring without a key position empties it and is kept",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'P', 300, 0},
      {'<', 0, 0},
      {'P', 300, 0},
      {'K', 300, -9},
      {'<', 0, 5},
      {'<', 0, -4}},
     3 * R},
    {"strategy 1 refuses, keeps its content and admits no hole in the GOP",
     1,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'P', 300, 0},
      {'P', 300, -8},
      {'<', 0, 0},
      {'P', 10, -7},
      {'A', 10, -7},
      {'K', 10, 0},
      {'<', 0, 1},
      {'<', 0, 2},
      {'<', 0, 7}},
     R + 2 * (10 + kRecord)},
    {"strategy 1 refusing audio does not wait for a key frame",
     1,
     {{'K', 300, 0}, {'P', 300, 0}, {'P', 300, 0}, {'A', 300, -8}, {'<', 0, 0}, {'A', 10, 0}},
     R},
    {"a record larger than the ring is refused and its GOP waits",
     0,
     {{'K', 100, 0}, {'P', 1000, -2}, {'P', 10, -7}, {'K', 10, 0}, {'<', 0, 0}, {'<', 0, 3}},
     1010 + 2 * kRecord},
    {"clearing a video ring waits for the next key frame",
     0,
     {{'K', 100, 0}, {'P', 100, 0}, {'C', 0, 0}, {'P', 100, -7}, {'K', 100, 0}, {'<', 0, 4}},
     3 * (100 + kRecord)},
    {"audio in a video ring that had to be emptied waits too",
     0,
     {{'K', 300, 0}, {'P', 300, 0}, {'P', 300, 0}, {'A', 300, -6}, {'A', 10, -7}, {'K', 10, 0}},
     4 * R + 10 + kRecord},
    {"an audio-only ring drops its oldest records and never waits",
     0,
     {{'A', 300, 0},
      {'A', 300, 0},
      {'A', 300, 0},
      {'A', 300, -9},
      {'A', 600, -9},
      {'<', 0, 3},
      {'C', 0, 0},
      {'A', 10, 0},
      {'<', 0, 7}},
     3 * R + 600 + kRecord},
    {"an audio-only ring with strategy 1 refuses and goes on",
     1,
     {{'A', 300, 0}, {'A', 300, 0}, {'A', 300, 0}, {'A', 300, -8}, {'<', 0, 0}, {'A', 10, 0}},
     R},
    {"a peeked record stays queued, the same one, until released",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'?', 0, 0},
      {'?', 0, 0},
      {'!', 0, 0},
      {'!', 0, 0},
      {'?', 0, 1},
      {'!', 0, 0},
      {'?', 0, -4},
      {'<', 0, -4}},
     0},
    {"a released key frame leaves the index: the tail of its GOP is what goes",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'K', 300, 0},
      {'?', 0, 0},
      {'!', 0, 0},
      {'P', 300, 0},
      {'P', 300, -9},
      {'<', 0, 2},
      {'<', 0, 5},
      {'<', 0, 6},
      {'<', 0, -4}},
     R},
    {"a record that does not fit before the end starts over at the front",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'K', 300, 0},
      {'?', 0, 0},
      {'!', 0, 0},
      {'P', 300, 0},
      {'<', 0, 1},
      {'<', 0, 2},
      {'?', 0, 5},
      {'!', 0, 0}},
     0},
    {"clearing during a peek keeps the peeked record and drops the rest",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'?', 0, 0},
      {'C', 0, 0},
      {'P', 300, -7},
      {'K', 300, 0},
      {'!', 0, 0},
      {'<', 0, 5},
      {'<', 0, -4}},
     2 * R},
    {"the reader's own thread writing into space its peek holds is refused",
     0,
     {{'K', 300, 0},
      {'P', 300, 0},
      {'P', 300, 0},
      {'?', 0, 0},
      {'P', 300, -8},
      {'!', 0, 0},
      {'P', 10, -7},
      {'K', 10, 0},
      {'<', 0, 1},
      {'<', 0, 2},
      {'<', 0, 7}},
     R + 10 + kRecord},
    {"strategy 1 refuses during a peek as without one",
     1,
     {{'A', 300, 0},
      {'A', 300, 0},
      {'A', 300, 0},
      {'?', 0, 0},
      {'A', 300, -8},
      {'!', 0, 0},
      {'<', 0, 1}},
     R},
};

TEST(FrameRingBuffer, DropAndKeyFrameRules) {
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        FrameRingBuffer rb(1024, "[t]");
        rb.SetPackageDropStrategy(s.strategy);
        uint64_t index = 0;
        for (size_t i = 0; i < s.steps.size(); ++i) {
            const Step& st = s.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            if (st.op == '<' || st.op == '?') {
                Taken t = st.op == '<' ? Take(rb) : Peek(rb);
                if (st.expect < 0) {
                    EXPECT_EQ(st.expect, t.rc);
                } else {
                    ASSERT_EQ(0, t.rc);
                    EXPECT_EQ(static_cast<uint64_t>(st.expect), t.index);
                    EXPECT_TRUE(t.intact);
                }
            } else if (st.op == 'C') {
                rb.CleanAllFrameData();
            } else if (st.op == '!') {
                rb.ReleaseFrame();
            } else {
                EXPECT_EQ(st.expect, Put(rb, st.op, st.len, index));
            }
            ++index;
        }
        EXPECT_EQ(static_cast<int>(s.dropped), rb.GetFrameDropAndReset());
        EXPECT_EQ(0, rb.GetFrameDropAndReset());
        // Nothing is lost track of: what is left is still queued.
        while (Take(rb).rc == 0) {
        }
        EXPECT_EQ(0u, rb.GetRecordBytes());
        EXPECT_EQ(0, rb.GetFrameDropAndReset());
    }
}

TEST(FrameRingBuffer, BadInputIsRefusedWithoutTouchingTheRing) {
    kestrel_test::LogCapture log;
    FrameRingBuffer rb(4096, "[t]");
    MediaSpecialInfo d = Desc('K', 0);
    std::vector<unsigned char> big(FrameRingBuffer::kMaxFrame + 1);
    unsigned char one = 1;
    const struct {
        const unsigned char* frame;
        unsigned len;
        const MediaSpecialInfo* desc;
        unsigned desc_len;
        int expect;
    } cases[] = {
        {&one, 0, &d, kDesc, -1},
        {&one, 1, &d, 0, -1},
        {nullptr, 1, &d, kDesc, -1},
        {&one, 1, nullptr, kDesc, -1},
        {big.data(), FrameRingBuffer::kMaxFrame + 1, &d, kDesc, -2},
        {&one, 1, &d, 16, -2},
        {&one, 1, &d, 25, -2},
        {&one, 1, &d, 512, -2},
        {&one, 1, &d, 513, -2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expect, rb.DataOneFrameIn(c.frame, c.len, c.desc, c.desc_len)) << c.desc_len;
    EXPECT_EQ(0u, rb.GetDataUsed());
    EXPECT_FALSE(rb.IsWaitingForKey());
    EXPECT_TRUE(log.Contains("Descriptor length 16 is not 24"));
}

// The reader's area holds the largest frame plus the muxer's room on both
// sides; under AddressSanitizer a short area fails here.
TEST(FrameRingBuffer, LargestFramesLeaveHeadAndTailRoom) {
    FrameRingBuffer rb(4 * 1024 * 1024, "[t]");
    const unsigned sizes[] = {
        32768 - 48, 32768 - 47, 40000, 100000, 1048575, FrameRingBuffer::kMaxFrame, 10};
    uint64_t index = 0;
    for (unsigned len : sizes) {
        SCOPED_TRACE(len);
        ASSERT_EQ(0, Put(rb, 'K', len, index));
        unsigned char* frame = nullptr;
        unsigned got = 0;
        MediaSpecialInfo* desc = nullptr;
        unsigned desc_len = 0;
        ASSERT_EQ(0, rb.DataOneFrameOut(&frame, &got, &desc, &desc_len));
        ASSERT_EQ(len, got);
        EXPECT_EQ(Payload(len, index), std::vector<unsigned char>(frame, frame + len));
        memset(frame - FrameRingBuffer::kHeadRoom, 0xAB,
               FrameRingBuffer::kHeadRoom + len + FrameRingBuffer::kTailRoom);
        ++index;
    }
}

class CorruptibleRing : public FrameRingBuffer {
  public:
    CorruptibleRing() : FrameRingBuffer(1024, "[t]") {}
    void Smash(unsigned offset) { data[offset & mask] ^= 0xFF; }
    const unsigned char* Base() const { return data; }
};

// A record that does not fit before the array's end starts at its front, in
// one span; the tail it skips takes space but is neither read nor dropped.
TEST(FrameRingBuffer, RecordsNeverWrapTheArrayEnd) {
    const unsigned tails[] = {0, 1, 11, 12, 13, 100};
    for (unsigned tail : tails) {
        SCOPED_TRACE(tail);
        CorruptibleRing rb;
        // The second record ends `tail` bytes short of the array's end.
        const unsigned second = 1024 - 400 - tail;
        ASSERT_EQ(0, Put(rb, 'A', 400 - kRecord, 0));
        ASSERT_EQ(0, Put(rb, 'A', second - kRecord, 1));
        ASSERT_EQ(0u, Take(rb).index);
        ASSERT_EQ(0, Put(rb, 'A', 300, 2));
        EXPECT_EQ(second + tail + 300 + kRecord, rb.GetDataUsed());
        EXPECT_EQ(second + 300 + kRecord, rb.GetRecordBytes());
        EXPECT_EQ(1u, Take(rb).index);
        const unsigned char* at = nullptr;
        Taken t = Peek(rb, &at);
        EXPECT_EQ(2u, t.index);
        EXPECT_TRUE(t.intact);
        EXPECT_EQ(rb.Base() + FrameRingBuffer::kHeaderSize, at);
        rb.ReleaseFrame();
        EXPECT_EQ(0u, rb.GetDataUsed());
        EXPECT_EQ(0, rb.GetFrameDropAndReset());
    }
    // Free space that lies on both sides of the end does not count as room.
    CorruptibleRing rb;
    ASSERT_EQ(0, Put(rb, 'A', 400 - kRecord, 0));
    ASSERT_EQ(0, Put(rb, 'A', 524 - kRecord, 1));
    ASSERT_EQ(0u, Take(rb).index);
    ASSERT_EQ(500u, rb.GetDataUnused());
    EXPECT_EQ(-9, Put(rb, 'A', 450 - kRecord, 2));
    EXPECT_EQ(524, rb.GetFrameDropAndReset());
    const unsigned char* at = nullptr;
    EXPECT_EQ(2u, Peek(rb, &at).index);
    EXPECT_EQ(rb.Base() + FrameRingBuffer::kHeaderSize, at);
}

TEST(FrameRingBuffer, CorruptRecordIsReportedAndTheOwnersClearWaitsForAKeyFrame) {
    kestrel_test::LogCapture log;
    const struct {
        const char* name;
        unsigned offset;
    } cases[] = {{"magic", 0}, {"frame length", 5}, {"descriptor length", 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CorruptibleRing rb;
        ASSERT_EQ(0, Put(rb, 'K', 100, 0));
        ASSERT_EQ(0, Put(rb, 'P', 100, 1));
        rb.Smash(c.offset);
        EXPECT_EQ(-5, Take(rb).rc);
        rb.CleanAllFrameData();
        EXPECT_EQ(-7, Put(rb, 'P', 100, 2));
        EXPECT_EQ(0, Put(rb, 'K', 100, 3));
        Taken t = Take(rb);
        EXPECT_EQ(0, t.rc);
        EXPECT_EQ(3u, t.index);
    }
    EXPECT_TRUE(log.Contains("[t] Should not happen, data was corrupted"));
}

TEST(FrameRingBuffer, KeyFrameOutOfIndexIsCorrupt) {
    CorruptibleRing rb;
    ASSERT_EQ(0, Put(rb, 'P', 100, 0));
    // Turn the queued P-frame into a key frame behind the index's back.
    rb.Smash(FrameRingBuffer::kHeaderSize + 100 + 8);
    EXPECT_EQ(-5, Take(rb).rc);
}

TEST(FrameRingBuffer, UsePercent) {
    FrameRingBuffer rb(1024, "[t]");
    EXPECT_EQ(0u, rb.GetUsePercent());
    ASSERT_EQ(0, Put(rb, 'K', 300, 0));
    EXPECT_EQ((300 + kRecord) / 10, rb.GetUsePercent());
}

// The order a reader sees frames in, from a producer whose every third frame
// is audio: no frame before an earlier one, and every gap in the video
// (the start included) ends at a key frame.
struct Order {
    int64_t last_index = -1, last_video = -1;
    bool bad_order = false, hole = false;
    void Note(const MediaSpecialInfo& desc) {
        int64_t index = static_cast<int64_t>(desc.index);
        bad_order |= index <= last_index;
        last_index = index;
        if (desc.media == 1) {
            int64_t expected_next = last_video + 1 + ((last_video + 1) % 3 == 2 ? 1 : 0);
            if (index != expected_next && desc.key_frame != 1)
                hole = true;
            last_video = index;
        }
    }
};

// The next frame by either reader; a peeked one stays queued until released.
int Next(FrameRingBuffer& rb, bool peek, const unsigned char** frame, unsigned* len,
         MediaSpecialInfo* desc) {
    if (peek)
        return rb.PeekFrame(frame, len, desc);
    unsigned char* out;
    MediaSpecialInfo* d;
    unsigned desc_len;
    int rc = rb.DataOneFrameOut(&out, len, &d, &desc_len);
    *frame = out;
    if (rc == 0)
        *desc = *d;
    return rc;
}

// One producer, one consumer, a ring small enough to overflow all the time,
// for both strategies and both readers: the copying one, and the one that
// peeks and holds each record while the producer floods the ring (clearing
// it now and then). Whatever is dropped, the reader sees frames intact and in
// order, a peeked frame stays intact until released, every gap in the video
// is followed by a key frame, and every stored byte is either read or
// reported dropped.
TEST(FrameRingBufferThreads, ProducerAndConsumerKeepTheStreamDecodable) {
    kestrel_test::LogCapture log;  // quiet: every overflow logs a line
    for (int run = 0; run < 4; ++run) {
        const int strategy = run % 2;
        const bool peek = run >= 2;
        SCOPED_TRACE("strategy " + std::to_string(strategy) + (peek ? ", peeking" : ", copying"));
        FrameRingBuffer rb(64 * 1024, "[t]");
        rb.SetPackageDropStrategy(strategy);
        const uint64_t kFrames = 6000;
        std::atomic<bool> done{false};
        std::atomic<uint64_t> attempts{0};
        uint64_t offered_bytes = 0;
        unsigned not_stored = 0;

        std::thread producer([&] {
            for (uint64_t i = 0; i < kFrames; ++i) {
                bool audio = i % 3 == 2;
                char kind = audio ? 'A' : (i % 30 == 0 ? 'K' : 'P');
                unsigned len = audio ? 200 : (kind == 'K' ? 6000 : 300 + (i * 37) % 2500);
                int rc = Put(rb, kind, len, i);
                // Every frame is either read or counted as dropped, refused ones too.
                offered_bytes += len + kRecord;
                if (rc != 0 && rc != -9)
                    ++not_stored;
                if (peek && i % 997 == 996)
                    rb.CleanAllFrameData();
                attempts.fetch_add(1);
            }
            done = true;
        });

        uint64_t read_bytes = 0;
        uint64_t dropped = 0;
        Order order;
        bool bad_content = false, torn = false;
        for (;;) {
            const unsigned char* frame = nullptr;
            unsigned len = 0;
            MediaSpecialInfo desc{};
            bool finished = done.load();
            int rc = Next(rb, peek, &frame, &len, &desc);
            if (rc == -4) {
                if (finished)
                    break;
                std::this_thread::yield();
                continue;
            }
            ASSERT_EQ(0, rc);
            const std::vector<unsigned char> expected = Payload(len, desc.index);
            bad_content |= expected != std::vector<unsigned char>(frame, frame + len);
            if (peek) {
                // Held while the producer runs into a full ring.
                uint64_t before = attempts.load();
                for (int i = 0; i < 64 && attempts.load() < before + 2 && !done.load(); ++i)
                    std::this_thread::yield();
                torn |= expected != std::vector<unsigned char>(frame, frame + len);
                rb.ReleaseFrame();
            }
            dropped += static_cast<uint64_t>(rb.GetFrameDropAndReset());
            read_bytes += len + kRecord;
            order.Note(desc);
        }
        producer.join();
        dropped += static_cast<uint64_t>(rb.GetFrameDropAndReset());
        EXPECT_FALSE(order.bad_order);
        EXPECT_FALSE(bad_content);
        EXPECT_FALSE(torn);
        EXPECT_FALSE(order.hole);
        EXPECT_EQ(offered_bytes, read_bytes + dropped);
        EXPECT_EQ(0u, rb.GetRecordBytes());
        // The ring did overflow: by dropping old data, or by refusing new.
        EXPECT_GT(strategy == 0 ? dropped : not_stored, 0u);
    }
}

}  // namespace

#include "proto/rtmp_chunk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

struct Delivered {
    rtmp_chunk_header_t header;
    Bytes payload;
};

// Feeds `in` in pieces of `step` bytes and collects every message.
int ReadAll(RtmpChunkReader& reader, const Bytes& in, size_t step, std::vector<Delivered>* out) {
    for (size_t pos = 0; pos < in.size();) {
        size_t n = std::min(step, in.size() - pos);
        size_t used = 0;
        rtmp_message_t msg;
        int rc = reader.Read(in.data() + pos, n, &used, &msg);
        if (rc < 0) {
            return rc;
        }
        EXPECT_LE(used, n);
        pos += used;
        if (rc == RTMP_CHUNK_MESSAGE) {
            out->push_back({msg.header, Bytes(msg.payload, msg.payload + msg.length)});
        } else {
            EXPECT_EQ(used, n);
        }
    }
    return 0;
}

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return b;
}

rtmp_chunk_header_t Header(uint8_t fmt, uint32_t cid, uint32_t ts, uint32_t len, uint8_t type,
                           uint32_t sid) {
    rtmp_chunk_header_t h;
    h.fmt = fmt;
    h.cid = cid;
    h.timestamp = ts;
    h.length = len;
    h.type = type;
    h.stream_id = sid;
    return h;
}

TEST(RtmpChunk, MessageIsCutAtChunkSizeAndReassembledFromAnySplit) {
    Bytes payload = Pattern(300);
    RtmpChunkWriter writer;
    Bytes wire;
    ASSERT_EQ(writer.Write(Header(0, 4, 1000, 300, RTMP_TYPE_VIDEO, 1), payload.data(), &wire), 0);
    ASSERT_EQ(wire.size(), 12u + 128 + 1 + 128 + 1 + 44);
    EXPECT_EQ(wire[0], 0x04);
    EXPECT_EQ(Bytes(wire.begin() + 1, wire.begin() + 12),
              (Bytes{0x00, 0x03, 0xE8, 0x00, 0x01, 0x2C, 9, 1, 0, 0, 0}));
    EXPECT_EQ(wire[12 + 128], 0xC4);
    EXPECT_EQ(wire[12 + 128 + 1 + 128], 0xC4);

    for (size_t step : {size_t{1}, size_t{5}, size_t{129}, wire.size()}) {
        RtmpChunkReader reader;
        std::vector<Delivered> got;
        ASSERT_EQ(ReadAll(reader, wire, step, &got), 0);
        ASSERT_EQ(got.size(), 1u) << step;
        EXPECT_EQ(got[0].payload, payload);
        EXPECT_EQ(got[0].header.timestamp, 1000u);
        EXPECT_EQ(got[0].header.type, RTMP_TYPE_VIDEO);
        EXPECT_EQ(got[0].header.stream_id, 1u);
    }
}

TEST(RtmpChunk, ExtendedTimestampIsOnEveryChunkOfTheMessage) {
    Bytes payload = Pattern(200);
    RtmpChunkWriter writer;
    Bytes wire;
    ASSERT_EQ(writer.Write(Header(0, 4, 0x1000000, 200, RTMP_TYPE_AUDIO, 1), payload.data(), &wire),
              0);
    ASSERT_EQ(wire.size(), 1u + 11 + 4 + 128 + 1 + 4 + 72);
    EXPECT_EQ(Bytes(wire.begin() + 1, wire.begin() + 4), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(wire.begin() + 12, wire.begin() + 16), (Bytes{0x01, 0, 0, 0}));
    size_t cont = 16 + 128;
    EXPECT_EQ(wire[cont], 0xC4);
    EXPECT_EQ(Bytes(wire.begin() + cont + 1, wire.begin() + cont + 5), (Bytes{0x01, 0, 0, 0}));
    RtmpChunkReader reader;
    std::vector<Delivered> got;
    ASSERT_EQ(ReadAll(reader, wire, 3, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].header.timestamp, 0x1000000u);
    EXPECT_EQ(got[0].payload, payload);
}

// Timestamps that run through the 24-bit boundary, compressed headers and
// multi-chunk messages: the reader gives back every absolute timestamp.
TEST(RtmpChunk, TimestampsRunThroughThe24BitBoundary) {
    RtmpChunkWriter writer;
    Bytes wire;
    std::vector<uint32_t> stamps;
    Bytes payload = Pattern(300);
    for (uint32_t t = 0xFFFF00; t < 0x1000100; t += 40) {
        stamps.push_back(t);
        ASSERT_EQ(writer.Write(Header(1, 4, t, 300, RTMP_TYPE_VIDEO, 1), payload.data(), &wire), 0);
    }
    RtmpChunkReader reader;
    std::vector<Delivered> got;
    ASSERT_EQ(ReadAll(reader, wire, 7, &got), 0);
    ASSERT_EQ(got.size(), stamps.size());
    for (size_t i = 0; i < stamps.size(); ++i) {
        EXPECT_EQ(got[i].header.timestamp, stamps[i]) << i;
        EXPECT_EQ(got[i].payload, payload);
    }
}

TEST(RtmpChunk, CompressedHeadersCarryDeltas) {
    // fmt 0 at 1000, fmt 1 with delta 40, then fmt 3 reusing the delta.
    const Bytes wire = {0x04, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x02, 0x08, 1,
                        0,    0,    0,    'a',  'b',  0x44, 0x00, 0x00, 0x28,
                        0x00, 0x00, 0x02, 0x08, 'c',  'd',  0xC4, 'e',  'f'};
    RtmpChunkReader reader;
    std::vector<Delivered> got;
    ASSERT_EQ(ReadAll(reader, wire, 1, &got), 0);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].header.timestamp, 1000u);
    EXPECT_EQ(got[1].header.timestamp, 1040u);
    EXPECT_EQ(got[2].header.timestamp, 1080u);
    EXPECT_EQ(got[2].payload, (Bytes{'e', 'f'}));
    EXPECT_EQ(got[2].header.stream_id, 1u);

    // The writer compresses the same way when asked to.
    RtmpChunkWriter writer;
    Bytes out;
    uint8_t abc[3] = {'a', 'b', 'c'};
    writer.Write(Header(1, 4, 1000, 2, 8, 1), abc, &out);
    writer.Write(Header(1, 4, 1040, 2, 8, 1), abc, &out);
    writer.Write(Header(1, 4, 1080, 2, 8, 1), abc, &out);
    writer.Write(Header(1, 4, 1080, 3, 8, 1), abc, &out);
    EXPECT_EQ(out[0] >> 6, 0);
    EXPECT_EQ(out[14] >> 6, 2);  // same type and length, new delta
    EXPECT_EQ(out[20] >> 6, 3);
    EXPECT_EQ(out[23] >> 6, 1);  // length changed
}

TEST(RtmpChunk, BasicHeaderFormsAtTheirBoundaries) {
    struct Case {
        uint32_t cid;
        Bytes bytes;
    };
    const Case cases[] = {{2, {0x02}},
                          {63, {0x3F}},
                          {64, {0x00, 0x00}},
                          {318, {0x00, 0xFE}},
                          {319, {0x01, 0xFF, 0x00}},
                          {320, {0x01, 0x00, 0x01}},
                          {65599, {0x01, 0xFF, 0xFF}}};
    for (const Case& c : cases) {
        uint8_t buf[3];
        size_t n = rtmp_chunk_basic_header_write(buf, 0, c.cid);
        EXPECT_EQ(Bytes(buf, buf + n), c.bytes) << c.cid;
        uint8_t fmt = 9;
        uint32_t cid = 0;
        EXPECT_EQ(rtmp_chunk_basic_header_read(c.bytes.data(), c.bytes.size(), &fmt, &cid),
                  c.bytes.size());
        EXPECT_EQ(cid, c.cid);
    }
    // The three-byte form of a small id is read too.
    const Bytes long_form = {0x01, 0x00, 0x00};
    uint8_t fmt;
    uint32_t cid;
    EXPECT_EQ(rtmp_chunk_basic_header_read(long_form.data(), 3, &fmt, &cid), 3u);
    EXPECT_EQ(cid, 64u);
    uint8_t buf[3];
    EXPECT_EQ(rtmp_chunk_basic_header_write(buf, 0, 1), 0u);
    EXPECT_EQ(rtmp_chunk_basic_header_write(buf, 0, 65600), 0u);
}

TEST(RtmpChunk, ControlMessagesAreByteExact) {
    uint8_t buf[32];
    EXPECT_EQ(Bytes(buf, buf + rtmp_set_chunk_size(buf, sizeof buf, 65536)),
              (Bytes{2, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(Bytes(buf, buf + rtmp_acknowledgement(buf, sizeof buf, 0x01020304)),
              (Bytes{2, 0, 0, 0, 0, 0, 4, 3, 0, 0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(Bytes(buf, buf + rtmp_window_acknowledgement_size(buf, sizeof buf, 2500000)),
              (Bytes{2, 0, 0, 0, 0, 0, 4, 5, 0, 0, 0, 0, 0, 0x26, 0x25, 0xA0}));
    EXPECT_EQ(Bytes(buf, buf + rtmp_event_pong(buf, sizeof buf, 1234)),
              (Bytes{2, 0, 0, 0, 0, 0, 6, 4, 0, 0, 0, 0, 0, 7, 0, 0, 0x04, 0xD2}));
    EXPECT_EQ(Bytes(buf, buf + rtmp_event_set_buffer_length(buf, sizeof buf, 1, 30000)),
              (Bytes{2, 0, 0, 0, 0, 0, 10, 4, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0x75, 0x30}));
    EXPECT_EQ(rtmp_event_pong(buf, 17, 1), 0u);
    EXPECT_EQ(rtmp_set_chunk_size(buf, 15, 1), 0u);
}

TEST(RtmpChunk, WriterRefusesWhatItCannotSend) {
    RtmpChunkWriter writer;
    Bytes out;
    uint8_t b[1] = {0};
    EXPECT_EQ(writer.Write(Header(2, 4, 0, 1, 8, 1), b, &out), RTMP_CHUNK_BAD_ARGUMENT);
    EXPECT_EQ(writer.Write(Header(0, 1, 0, 1, 8, 1), b, &out), RTMP_CHUNK_BAD_ARGUMENT);
    EXPECT_EQ(writer.Write(Header(0, 7, 0, 1, 8, 1), b, &out), RTMP_CHUNK_BAD_ARGUMENT);
    EXPECT_EQ(writer.Write(Header(0, 4, 0, 0xFFFFFF, 8, 1), b, &out), RTMP_CHUNK_BAD_ARGUMENT);
    EXPECT_EQ(writer.Write(Header(0, 4, 0, 0, 8, 1), nullptr, &out), 0);
    EXPECT_TRUE(out.empty());
}

// A 256-byte message whose second chunk comes with a full header claiming a
// much longer message.
Bytes MidMessageHeader() {
    Bytes wire = {0x03, 0, 0, 0, 0x00, 0x01, 0x00, 20, 0, 0, 0, 0};
    wire.resize(wire.size() + 128, 'x');
    wire.insert(wire.end(), {0x03, 0, 0, 0, 0x03, 0xFF, 0xFF, 20, 0, 0, 0, 0});
    wire.resize(wire.size() + 1024, 'y');
    return wire;
}

// Each case is a peer that breaks the chunk stream; the reader stops for
// good instead of writing past a buffer or reserving what the peer asks.
TEST(RtmpChunk, HostilePeersAreRefused) {
    struct Case {
        const char* what;
        Bytes wire;
        int rc;
    };
    const Case cases[] = {
        {"new header mid-message", MidMessageHeader(), RTMP_CHUNK_MALFORMED},
        {"length beyond the inbound cap",
         {0x03, 0, 0, 0, 0xFF, 0xFF, 0xFE, 20, 0, 0, 0, 0},
         RTMP_CHUNK_TOO_LONG},
        {"continuation of an unknown stream", {0xC5, 'x'}, RTMP_CHUNK_MALFORMED},
        {"delta header of an unknown stream", {0x85, 0, 0, 1}, RTMP_CHUNK_MALFORMED},
    };
    for (const Case& c : cases) {
        RtmpChunkReader reader;
        std::vector<Delivered> got;
        EXPECT_EQ(ReadAll(reader, c.wire, 1, &got), c.rc) << c.what;
        // The error sticks.
        size_t used = 9;
        rtmp_message_t msg;
        uint8_t more = 0x02;
        EXPECT_EQ(reader.Read(&more, 1, &used, &msg), c.rc) << c.what;
        EXPECT_EQ(used, 0u);
    }

    // Eight chunk streams fit; the ninth does not.
    Bytes wire;
    for (uint8_t cid = 2; cid < 11; ++cid) {
        wire.insert(wire.end(), {cid, 0, 0, 0, 0, 0, 1, 8, 1, 0, 0, 0, 'a'});
    }
    RtmpChunkReader reader;
    std::vector<Delivered> got;
    EXPECT_EQ(ReadAll(reader, wire, wire.size(), &got), RTMP_CHUNK_TOO_MANY_STREAMS);
    EXPECT_EQ(got.size(), 8u);
}

TEST(RtmpChunk, ReaderChunkSizeBoundsAndEmptyMessages) {
    RtmpChunkReader reader;
    EXPECT_EQ(reader.SetChunkSize(63), RTMP_CHUNK_BAD_ARGUMENT);
    EXPECT_EQ(reader.SetChunkSize(0x800001), RTMP_CHUNK_BAD_ARGUMENT);
    EXPECT_EQ(reader.SetChunkSize(64), 0);
    EXPECT_EQ(reader.ChunkSize(), 64u);
    // A zero-length message is delivered without payload bytes.
    const Bytes wire = {0x03, 0, 0, 5, 0, 0, 0, 20, 0, 0, 0, 0};
    std::vector<Delivered> got;
    ASSERT_EQ(ReadAll(reader, wire, 1, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].payload.empty());
    EXPECT_EQ(got[0].header.timestamp, 5u);
}

}  // namespace
}  // namespace kestrel

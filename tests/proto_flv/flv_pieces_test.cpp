// The bodies in pieces and the chunked messages made of them equal, byte for
// byte, what the copying paths make; clear payload is pointed at, not copied.
#include <gtest/gtest.h>

#include <functional>

#include "flv_test_util.h"
#include "proto/flv_mux.h"
#include "proto/rtmp_chunk.h"

using namespace kestrel;
using flvtest::Bytes;
using flvtest::Cat;
using flvtest::Hex;

namespace {

const Bytes kSc4 = {0, 0, 0, 1};
const Bytes kSps = Hex("674d401fda014016ec0440000003004000000c83c60ca8");
const Bytes kPps = Hex("68ef3c80");
const Bytes kIdr = Hex("65888427d4fe");
const Bytes kIdr2 = Hex("6500443322");
const Bytes kP = Hex("419a0011");
const Bytes kCamSei = Hex("06515a515a0102030405");  // the camera's private SEI
const Bytes kHVps = Hex("40010c01ffff01600000030090000003000003003c959809");
const Bytes kHSps =
    Hex("42010101600000030090000003000003003ca00a080f165959a4932bc05a020000030002000003003210");
const Bytes kHPps = Hex("4401c172b46240");
const Bytes kHIdr = Hex("2801af1d20bc");
const char kKeyB64[] = "MDEyMzQ1Njc4OWFiY2RlZg==";
const char kIvB64[] = "ZmVkY2JhOTg3NjU0MzIxMA==";

Bytes Au(std::initializer_list<Bytes> units) {
    Bytes out;
    for (const Bytes& u : units) {
        out.insert(out.end(), kSc4.begin(), kSc4.end());
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

// A big slice so that messages span many chunks.
Bytes BigIdr(size_t n) {
    Bytes s(n, 0x5a);
    s[0] = 0x65;
    return s;
}

struct Flat {
    std::vector<Bytes> bodies;
    std::vector<uint32_t> ts;
    std::vector<int> types;
};

int Keep(void* param, FlvMux::DataType type, const char* data, size_t len, uint32_t ts) {
    auto* f = static_cast<Flat*>(param);
    f->bodies.emplace_back(reinterpret_cast<const uint8_t*>(data),
                           reinterpret_cast<const uint8_t*>(data) + len);
    f->ts.push_back(ts);
    f->types.push_back(type);
    return 0;
}
void NoStatus(void*, FlvMux::Status) {}

using Step = std::function<int(FlvMux&, FlvBodies*)>;

Step Video(int format, int key, Bytes au, uint32_t ts) {
    auto shared = std::make_shared<Bytes>(std::move(au));
    return [=](FlvMux& m, FlvBodies* out) {
        const char* d = reinterpret_cast<const char*>(shared->data());
        uint32_t n = static_cast<uint32_t>(shared->size());
        return out ? m.SendVideo(format, key, d, n, ts, out) : m.SendVideo(format, key, d, n, ts);
    };
}
Step Audio(Bytes frame, uint32_t ts) {
    auto shared = std::make_shared<Bytes>(std::move(frame));
    return [=](FlvMux& m, FlvBodies* out) {
        const char* d = reinterpret_cast<const char*>(shared->data());
        uint32_t n = static_cast<uint32_t>(shared->size());
        return out ? m.SendAudio(d, n, ts, out) : m.SendAudio(d, n, ts);
    };
}
Step Script(FlvMux::ScriptType t) {
    return [=](FlvMux& m, FlvBodies* out) { return out ? m.SendScript(t, out) : m.SendScript(t); };
}

struct Case {
    const char* name;
    bool encrypt;
    AudioFormat audio;
    uint32_t chunk_size;
    std::vector<Step> steps;
};

Bytes Adts(size_t payload) {
    size_t n = payload + 7;
    Bytes h = {0xFF, 0xF1, 0x50, static_cast<uint8_t>(0x80 | (n >> 11)),
               static_cast<uint8_t>(n >> 3), static_cast<uint8_t>((n & 7) << 5 | 0x1F), 0xFC};
    h.resize(n, 0x21);
    return h;
}

}  // namespace

TEST(FlvPieces, BodiesAndChunksMatchTheCopyingPathsByteForByte) {
    const uint32_t kExt = 0x1000000;  // past the 24-bit field: extended timestamps
    std::vector<Case> cases = {
        {"h264 sei multi-slice", false, AUDIO_FORMAT_AAC, 128,
         {Video(0, 1, Au({kSps, kPps, kCamSei, kIdr, kIdr2}), 0), Video(0, 0, Au({kP}), 40),
          Audio(Adts(100), 41), Video(0, 0, Au({kP, kP}), 80), Script(FlvMux::SCRIPT_VOD_COMPLETE)}},
        {"h265 large, big chunks", false, AUDIO_FORMAT_G711A, 4096,
         {Video(1, 1, Au({kHVps, kHSps, kHPps, kHIdr, BigIdr(20000)}), 5),
          Audio(Bytes(160, 0xd5), 6), Video(1, 1, Au({kHIdr}), 45)}},
        {"extended timestamps", false, AUDIO_FORMAT_AAC, 128,
         {Video(0, 1, Au({kSps, kPps, BigIdr(1000)}), kExt), Video(0, 0, Au({kP}), kExt + 40),
          Audio(Adts(300), kExt + 41)}},
        {"encrypted", true, AUDIO_FORMAT_AAC, 128,
         {Video(0, 1, Au({kSps, kPps, kCamSei, BigIdr(7000)}), 0), Video(0, 0, Au({kP}), 40),
          Audio(Adts(50), 41), Script(FlvMux::SCRIPT_PRE_COMPLETE)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Flat flat;
        FlvMux a(FlvMux::MODE_RTMP, &flat, &Keep, &NoStatus);
        FlvMux b(FlvMux::MODE_RTMP, nullptr, nullptr, &NoStatus);
        for (FlvMux* m : {&a, &b}) {
            m->SetMetadata(10);
            ASSERT_EQ(FLV_OK, m->SetAudioCodec(c.audio, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                               AUDIO_RATE_44K, AUDIO_ADD_RATE_8000));
            if (c.encrypt) {
                ASSERT_EQ(FLV_OK, m->SetEncryption(kKeyB64, kIvB64));
            }
        }
        RtmpChunkWriter wa, wb;
        wa.SetChunkSize(c.chunk_size);
        wb.SetChunkSize(c.chunk_size);
        size_t seen = 0;
        for (size_t s = 0; s < c.steps.size(); ++s) {
            SCOPED_TRACE(s);
            FlvBodies out;
            ASSERT_EQ(FLV_OK, c.steps[s](a, nullptr));
            ASSERT_EQ(FLV_OK, c.steps[s](b, &out));
            ASSERT_EQ(flat.bodies.size() - seen, out.bodies.size());
            Bytes wire_a;
            IoPieces wire_b;
            for (const FlvBodies::Body& body : out.bodies) {
                Bytes mine;
                for (size_t i = body.first; i < body.first + body.count; ++i) {
                    mine.insert(mine.end(), out.pieces.Data(i),
                                out.pieces.Data(i) + out.pieces.At(i).len);
                }
                EXPECT_EQ(flat.bodies[seen], mine);
                EXPECT_EQ(flat.ts[seen], body.timestamp);
                EXPECT_EQ(flat.types[seen], body.type);
                EXPECT_EQ(mine.size(), body.length);
                rtmp_chunk_header_t h;
                h.cid = body.type == FlvMux::DATA_VIDEO || body.type == FlvMux::DATA_AUDIO
                            ? RTMP_CHANNEL_MEDIA
                            : RTMP_CHANNEL_INVOKE;
                h.type = body.type == FlvMux::DATA_AUDIO ? RTMP_TYPE_AUDIO : RTMP_TYPE_VIDEO;
                h.timestamp = body.timestamp;
                h.length = static_cast<uint32_t>(body.length);
                h.stream_id = 1;
                ASSERT_EQ(0, wa.Write(h, flat.bodies[seen].data(), &wire_a));
                ASSERT_EQ(0, wb.WritePieces(h, out.pieces, body.first, body.count, &wire_b));
                ++seen;
            }
            Bytes flat_b;
            wire_b.AppendTo(&flat_b);
            EXPECT_EQ(wire_a, flat_b);
            EXPECT_EQ(wire_a.size(), wire_b.Total());
        }
    }
}

// The payload of a clear frame reaches the wire list by reference: only the
// framing (tag header, length prefixes, chunk headers) is ever written.
TEST(FlvPieces, ClearPayloadIsPointedAtNotCopied) {
    FlvMux m(FlvMux::MODE_RTMP, nullptr, nullptr, &NoStatus);
    m.SetMetadata(0);
    Bytes key = Au({kSps, kPps, kIdr});
    FlvBodies first;
    ASSERT_EQ(FLV_OK, m.SendVideo(0, 1, reinterpret_cast<const char*>(key.data()),
                                  static_cast<uint32_t>(key.size()), 0, &first));
    Bytes frame = Au({BigIdr(50000)});
    FlvBodies out;
    ASSERT_EQ(FLV_OK, m.SendVideo(0, 1, reinterpret_cast<const char*>(frame.data()),
                                  static_cast<uint32_t>(frame.size()), 40, &out));
    ASSERT_EQ(1u, out.bodies.size());
    RtmpChunkWriter w;
    w.SetChunkSize(4096);
    IoPieces wire;
    rtmp_chunk_header_t h;
    h.cid = RTMP_CHANNEL_MEDIA;
    h.type = RTMP_TYPE_VIDEO;
    h.timestamp = 40;
    h.length = static_cast<uint32_t>(out.bodies[0].length);
    h.stream_id = 1;
    ASSERT_EQ(0, w.WritePieces(h, out.pieces, 0, out.bodies[0].count, &wire));
    size_t borrowed = 0, transient = 0;
    for (size_t i = 0; i < wire.Count(); ++i) {
        const uint8_t* d = wire.Data(i);
        bool in_frame = d >= frame.data() && d + wire.At(i).len <= frame.data() + frame.size();
        (in_frame ? borrowed : transient) += wire.At(i).len;
        EXPECT_EQ(!in_frame, wire.Transient(i)) << i;
    }
    EXPECT_EQ(50000u, borrowed);
    // 5 tag header + 4 length + 12 first chunk header + 12 one-byte continuation headers.
    EXPECT_EQ(5u + 4u + 12u + 12u, transient);
}

// A live relay whose server stops reading. The relay writes frames from where
// they lie in the ring; the one the connection cannot take is copied out, so
// a stalled network never holds the ring: the application goes on writing
// (the ring drops old groups of pictures as it fills) and never waits for
// the network. Once the server reads again, every frame it gets is whole and
// in order, and every gap in the stream ends at a key frame.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "net/net_connector.h"
#include "net/rtmp_client.h"
#include "net_rtmp/rtmp_peers.h"
#include "proto/rtmp_chunk.h"
#include "sdk/streaming/relay_service.h"

using namespace kestrel;

namespace {

// Frame numbers stay below 128: one pattern byte names them.
constexpr unsigned kFrames = 50;
constexpr unsigned kLast = 60;  // a key frame sent once the server reads again

// Slices of a quarter and of almost a whole mebibyte, in turns, so that the
// connection's queue runs full within a few frames.
size_t SliceLen(unsigned n) {
    return n % 2 ? RtmpClient::kMaxFrame - 64 : 250000;
}

// Frame n: a key frame carries SPS and PPS; the slice's bytes name the frame.
std::vector<unsigned char> Frame(bool key, unsigned n) {
    static const unsigned char kSps[] = {0,    0,    0,    1,    0x67, 0x4d, 0x40, 0x1f, 0xda,
                                         0x01, 0x40, 0x16, 0xec, 0x04, 0x40, 0x00, 0x00, 0x03,
                                         0x00, 0x40, 0x00, 0x00, 0x0c, 0x83, 0xc6, 0x0c, 0xa8};
    static const unsigned char kPps[] = {0, 0, 0, 1, 0x68, 0xef, 0x3c, 0x80};
    std::vector<unsigned char> f;
    if (key) {
        f.insert(f.end(), kSps, kSps + sizeof kSps);
        f.insert(f.end(), kPps, kPps + sizeof kPps);
    }
    f.insert(f.end(), {0, 0, 0, 1, static_cast<unsigned char>(key ? 0x65 : 0x41)});
    for (size_t i = 1; i < SliceLen(n); ++i)
        f.push_back(static_cast<unsigned char>(0x80 | ((i + n) & 0x7f)));
    return f;
}

// The frame a video message carries: its number, or -1 when the slice is
// not there whole and unchanged. A sequence header names none (-2).
int FrameOf(const rtmptest::Bytes& m, bool* key) {
    if (m.size() < 5 || (m[0] & 0x0f) != 7)
        return -1;
    if (m[1] == 0)
        return -2;
    *key = (m[0] >> 4) == 1;
    size_t at = 5;
    while (at + 4 <= m.size()) {
        size_t len =
            size_t{m[at]} << 24 | size_t{m[at + 1]} << 16 | size_t{m[at + 2]} << 8 | m[at + 3];
        at += 4;
        if (len > m.size() - at)
            return -1;
        const unsigned char type = m[at] & 0x1f;
        if ((type == 1 || type == 5) && len > 1) {
            const int n = ((m[at + 1] & 0x7f) + 127) % 128;
            if (len != SliceLen(static_cast<unsigned>(n)))
                return -1;
            for (size_t i = 1; i < len; ++i) {
                if (m[at + i] != static_cast<unsigned char>(0x80 | ((i + n) & 0x7f)))
                    return -1;
            }
            return n;
        }
        at += len;
    }
    return -1;
}

// The server's side of a publication, up to Publish.Start. The chunk size
// the client sets right after its publish command is read before the answer,
// so that nothing after it is left in the peer's own reader.
bool Publish(rtmptest::PeerConn& c) {
    std::string name;
    if (!c.ServerHandshake() || !c.ReadCommand(&name) || name != "connect" ||
        !c.SendConnectResult())
        return false;
    for (const char* want : {"releaseStream", "FCPublish", "createStream"}) {
        if (!c.ReadCommand(&name) || name != want)
            return false;
    }
    if (!c.SendResult(2, 1) || !c.ReadCommand(&name) || name != "publish")
        return false;
    rtmp_chunk_header_t h;
    rtmptest::Bytes payload;
    while (c.ReadMessage(&h, &payload) && h.type != RTMP_TYPE_SET_CHUNK_SIZE) {
    }
    return h.type == RTMP_TYPE_SET_CHUNK_SIZE &&
           c.SendStatus("status", "NetStream.Publish.Start", "Start publishing");
}

// The server reads again, until the frame numbered kLast arrives. Frames of a
// mebibyte are more than the test peer's own reader takes: the media is read
// with one of its own.
void ReadVideos(rtmptest::PeerConn& c, std::atomic<bool>& last_seen,
                std::vector<rtmptest::Bytes>* videos) {
    RtmpChunkReader reader(2 * 1024 * 1024);
    reader.SetChunkSize(65536);
    std::vector<uint8_t> buf(1 << 20);
    std::vector<uint8_t> in;
    while (!last_seen.load()) {
        pollfd p{c.fd(), POLLIN, 0};
        ssize_t got = poll(&p, 1, 5000) == 1 ? recv(c.fd(), buf.data(), buf.size(), 0) : 0;
        if (got <= 0)
            return;
        in.insert(in.end(), buf.data(), buf.data() + got);
        size_t at = 0;
        for (;;) {
            size_t used = 0;
            rtmp_message_t msg;
            int rc = reader.Read(in.data() + at, in.size() - at, &used, &msg);
            at += used;
            if (rc < 0)
                return;
            if (rc != RTMP_CHUNK_MESSAGE)
                break;
            if (msg.header.type != RTMP_TYPE_VIDEO)
                continue;
            videos->emplace_back(msg.payload, msg.payload + msg.length);
            bool key = false;
            last_seen = FrameOf(videos->back(), &key) == static_cast<int>(kLast);
        }
        in.erase(in.begin(), in.begin() + at);
    }
}

// Every frame whole and in order, every gap ending at a key frame, the last
// one there; some dropped while the server did not read, some through.
void CheckStream(const std::vector<rtmptest::Bytes>& videos) {
    int previous = -1;
    unsigned frames = 0;
    for (const rtmptest::Bytes& m : videos) {
        bool key = false;
        int n = FrameOf(m, &key);
        if (n == -2)
            continue;
        ASSERT_GE(n, 0) << "after frame " << previous;
        EXPECT_GT(n, previous);
        EXPECT_EQ(n % 10 == 0, key) << n;
        if (n != previous + 1) {
            EXPECT_TRUE(key) << "a gap before frame " << n << " that no key frame ends";
        }
        previous = n;
        ++frames;
    }
    EXPECT_EQ(static_cast<int>(kLast), previous);
    EXPECT_LT(frames, kFrames + 1);
    EXPECT_GT(frames, 2u);
}

SharedPtr<RelayServiceLive> StartRelay(int port) {
    SharedPtr<RelayServiceLive> relay(new RelayServiceLive);
    relay->SetDeviceInfo(nullptr, 1, 7, "stalled", "[stalled]");
    relay->SetBuffer(6144);  // 2 MiB: a few frames
    ks_video_param_s video{};
    video.format = KS_VIDEO_FORMAT_H264;
    video.fps = 25;
    video.key_frame_interval = 10;
    relay->SetVideoCodec(&video);
    SharedPtr<RtmpClient> client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(relay));
    if (!client)
        return SharedPtr<RelayServiceLive>();
    relay->SetClient(1, client);
    relay->Start("rtmp://127.0.0.1:" + std::to_string(port) + "/live/stalled", 0);
    return relay;
}

template <typename Pred>
bool Wait(Pred done, int ms) {
    for (int i = 0; i < ms && !done(); ++i)
        usleep(1000);
    return done();
}

// Far more than the socket buffers and the connection's queue hold. Each
// frame waits for the relay to take it until one is not taken: the
// connection asks for no more, and the application floods the ring. True when
// that happened and the application never waited for the network.
bool FloodUntilStalled(RelayServiceLive& relay, FrameRingBuffer& ring) {
    std::atomic<unsigned> written{1};
    std::atomic<bool> stalled{false};
    std::thread app([&] {
        for (unsigned i = 1; i < kFrames; ++i) {
            std::vector<unsigned char> f = Frame(i % 10 == 0, i);
            relay.AddVideoFrame(0, i % 10 == 0, f.data(), f.size(), 40 * i);
            written = i + 1;
            if (!stalled && !Wait([&] { return ring.GetDataUsed() == 0; }, 1000))
                stalled = true;
        }
    });
    const bool app_done = Wait([&] { return written.load() == kFrames; }, 60000);
    app.join();
    return app_done && stalled.load();
}

}  // namespace

TEST(RelayStall, AStalledServerNeverHoldsTheRingAndGetsWholeFramesInOrder) {
    kestrel_test::LogCapture log;  // every dropped group of pictures logs a line
    std::atomic<int> pokes{0};
    std::atomic<bool> reading{false};
    std::atomic<bool> last_seen{false};
    std::vector<rtmptest::Bytes> videos;
    rtmptest::ScriptedPeer peer(
        [&](rtmptest::PeerConn& c) {
            if (!Publish(c))
                return;
            // Told again that it may publish, the relay takes a write turn
            // although its connection does not ask for one.
            for (int answered = 0; !reading.load(); usleep(1000)) {
                if (pokes.load() > answered) {
                    c.SendStatus("status", "NetStream.Publish.Start", "Start publishing");
                    ++answered;
                }
            }
            ReadVideos(c, last_seen, &videos);
        },
        4096);
    // However the test ends, the peer stops waiting and reading.
    struct Release {
        std::atomic<bool>& reading;
        std::atomic<bool>& done;
        ~Release() {
            done = true;
            reading = true;
        }
    } release{reading, last_seen};
    ASSERT_EQ(0, NetConnector::Start());
    SharedPtr<RelayServiceLive> relay = StartRelay(peer.port());
    ASSERT_TRUE(relay);
    FrameRingBuffer* ring = relay->Buffer();
    ASSERT_NE(nullptr, ring);

    // Once the first frame has left the ring, the server has taken the
    // publication and stops reading.
    std::vector<unsigned char> first = Frame(true, 0);
    ASSERT_EQ(0, relay->AddVideoFrame(0, true, first.data(), first.size(), 0));
    ASSERT_TRUE(Wait([&] { return ring->GetDataUsed() == 0; }, 10000));

    ASSERT_TRUE(FloodUntilStalled(*relay, *ring));
    // Pairs of a quarter and of almost a whole mebibyte, each given a turn,
    // until the connection has no room for the first of a pair: it is held
    // back, out of the ring, while the server reads nothing. Without the copy
    // it would stay in the ring for as long as the server does not read.
    const uint64_t kRecord = FrameRingBuffer::kHeaderSize + sizeof(MediaSpecialInfo);
    bool held = false;
    for (unsigned n = kFrames; n + 1 < kLast && !held; n += 2) {
        for (unsigned i = n; i < n + 2; ++i) {
            std::vector<unsigned char> f = Frame(i % 10 == 0, i);
            ASSERT_EQ(0, relay->AddVideoFrame(0, i % 10 == 0, f.data(), f.size(), 40 * i));
        }
        ++pokes;
        // The first of the pair leaves the ring, sent, queued or held.
        const uint64_t second = SliceLen(n + 1) + 5 + kRecord;
        ASSERT_TRUE(Wait([&] { return ring->GetRecordBytes() <= second; }, 10000)) << n;
        held = log.Contains("bytes held back");
    }
    ASSERT_TRUE(held);
    reading = true;
    std::vector<unsigned char> f = Frame(true, kLast);
    ASSERT_GE(relay->AddVideoFrame(0, true, f.data(), f.size(), 40 * kLast), 0);
    peer.Join();
    ASSERT_TRUE(last_seen.load());

    CheckStream(videos);
    relay->Stop();
    NetConnector::Stop();
}

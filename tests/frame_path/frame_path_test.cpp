// What a frame costs on its way from the application into nginx over a plain
// TCP live relay: user-space copies of its bytes and mutexes taken, per
// thread. The frame ring is where the application's thread and the network
// thread meet; its own lock is counted apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "core/logger.h"
#include "counting_hooks.h"
#include "net/net_connector.h"
#include "net/rtmp_client.h"
#include "net_rtmp/rtmp_peers.h"
#include "sdk/streaming/relay_service.h"

using namespace kestrel;

namespace {

std::vector<unsigned char> Frame(bool key, size_t slice, unsigned n) {
    static const unsigned char kSps[] = {0, 0, 0, 1, 0x67, 0x4d, 0x40, 0x1f, 0xda, 0x01, 0x40,
                                         0x16, 0xec, 0x04, 0x40, 0x00, 0x00, 0x03, 0x00, 0x40,
                                         0x00, 0x00, 0x0c, 0x83, 0xc6, 0x0c, 0xa8};
    static const unsigned char kPps[] = {0, 0, 0, 1, 0x68, 0xef, 0x3c, 0x80};
    std::vector<unsigned char> f;
    if (key) {
        f.insert(f.end(), kSps, kSps + sizeof kSps);
        f.insert(f.end(), kPps, kPps + sizeof kPps);
    }
    f.insert(f.end(), {0, 0, 0, 1, static_cast<unsigned char>(key ? 0x65 : 0x41)});
    for (size_t i = 1; i < slice; ++i) {
        f.push_back(static_cast<unsigned char>(0x80 | ((i + n) & 0x7f)));  // no start codes
    }
    return f;
}

template <typename Pred>
bool Wait(Pred done, int ms) {
    for (int i = 0; i < ms && !done(); ++i) {
        usleep(1000);
    }
    return done();
}

}  // namespace

TEST(FramePath, PlainRelayCopiesAFrameOnlyIntoTheRingAndLocksOnlyTheRing) {
    logger_set_level(KS_LOG_WARN);
    rtmptest::NginxRelay nginx;
    ASSERT_TRUE(nginx.Started()) << nginx.ErrorLog();
    ASSERT_EQ(0, NetConnector::Start());
    SharedPtr<RelayServiceLive> relay(new RelayServiceLive);
    relay->SetDeviceInfo(nullptr, 1, 7, "counted", "[counted]");
    relay->SetBuffer(1000);
    ks_video_param_s video{};
    video.format = KS_VIDEO_FORMAT_H264;
    video.fps = 25;
    video.key_frame_interval = 25;
    relay->SetVideoCodec(&video);
    SharedPtr<RtmpClient> client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(relay));
    ASSERT_TRUE(client);
    relay->SetClient(1, client);
    relay->Start("rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live/counted", 0);
    FrameRingBuffer* ring = relay->Buffer();
    ASSERT_NE(nullptr, ring);
    auto drained = [&] { return ring->GetDataUsed() == 0; };

    // Until nginx takes the publication, the ring is not read.
    std::vector<unsigned char> first = Frame(true, 20000, 0);
    ASSERT_EQ(0, relay->AddVideoFrame(0, true, first.data(), first.size(), 0));
    ASSERT_TRUE(Wait(drained, 10000));

    framepath::Learn(true);
    ring->IsWaitingForKey();  // takes the ring's lock and no other
    framepath::Learn(false);
    ASSERT_NE(nullptr, framepath::Learned());
    framepath::Ignore(framepath::Learned());

    // Frames one at a time, each written before the next comes, as a paced
    // camera's are; slices of 20000 bytes, so a copy of 256 bytes or more is
    // a copy of frame bytes (framing, descriptors and log text are smaller).
    const unsigned kFrames = 100;
    const size_t kSlice = 20000;
    std::vector<std::vector<unsigned char>> frames;
    uint64_t payload = 0;
    for (unsigned i = 1; i <= kFrames; ++i) {
        frames.push_back(Frame(i % 25 == 0, kSlice, i));
        payload += frames.back().size();
    }
    framepath::SetApp(framepath::Tid());
    framepath::Start(256);
    for (unsigned i = 0; i < kFrames; ++i) {
        const std::vector<unsigned char>& f = frames[i];
        ASSERT_EQ(0, relay->AddVideoFrame(0, (i + 1) % 25 == 0, f.data(), f.size(), 40 * (i + 1)));
        ASSERT_TRUE(Wait(drained, 5000)) << i;
    }
    usleep(100 * 1000);  // the last frame's write turn ends
    framepath::Stop();

    pid_t me = framepath::Tid();
    framepath::ThreadCount app, below;
    for (const framepath::ThreadCount& c : framepath::Snapshot()) {
        framepath::ThreadCount& to = c.tid == me ? app : below;
        to.locks += c.locks;
        to.ignored_locks += c.ignored_locks;
        to.big_copies += c.big_copies;
        to.big_copy_bytes += c.big_copy_bytes;
    }
    double app_copies = static_cast<double>(app.big_copy_bytes) / payload;
    double net_copies = static_cast<double>(below.big_copy_bytes) / payload;
    std::printf("per frame: application thread %.3f copies, %.2f locks (+%.2f ring); "
                "below the ring %.3f copies, %.2f locks (+%.2f ring)\n",
                app_copies, static_cast<double>(app.locks) / kFrames,
                static_cast<double>(app.ignored_locks) / kFrames, net_copies,
                static_cast<double>(below.locks) / kFrames,
                static_cast<double>(below.ignored_locks) / kFrames);
    // Into the ring on the application's thread, and that is all: the
    // network thread writes the frame from where it lies in the ring, and
    // would copy only what the socket could not take at once.
    EXPECT_NEAR(1.0, app_copies, 0.01);
    EXPECT_NEAR(0.0, net_copies, 0.01);
    // The ring's lock is the hand-off itself; the engine's wake-up that
    // follows takes none (a lock-free doorbell and pipe). Below the ring the
    // network thread locks nothing per frame.
    uint64_t private_locks = framepath::PrivateLocksOfOthers();
    std::printf("below the ring, on mutexes of its own: %.2f locks per frame; %d mutexes shared\n",
                static_cast<double>(private_locks) / kFrames, framepath::SharedMutexes());
    EXPECT_EQ(0u, private_locks);
    EXPECT_EQ(0u, app.locks);
    EXPECT_LE(app.ignored_locks, uint64_t{kFrames});
    EXPECT_EQ(0u, below.locks);
    relay->Stop();
    NetConnector::Stop();
    nginx.Stop();
}

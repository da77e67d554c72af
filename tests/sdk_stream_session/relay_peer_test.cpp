// Sessions against real relays: nginx with the RTMP module records a live
// stream fed through ks_stream_send_media, and a scripted server checks where
// the pre-event completion marker lands.
#include <future>
#include <sstream>

#include "core/job_pool.h"
#include "net_rtmp/rtmp_peers.h"
#include "sdk/device_env.h"
#include "sdk_stream_session/session_fixture.h"

namespace streamtest {
namespace {

using rtmptest::Frame;
using rtmptest::RunCommand;

const ks_video_param_s kVideo = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
const ks_audio_param_s kAudio = {KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_16000, KS_AUDIO_BITS_16,
                                 KS_AUDIO_CHANNEL_MONO};

void SendConfig(int id, unsigned kbps) {
    ks_stream_send_config_param_s c{};
    c.bitrate_kbps = kbps;
    c.video = &kVideo;
    c.audio = &kAudio;
    ASSERT_EQ(0, ks_stream_send_config(id, &c));
}

// Returns the video and audio frames sent.
std::pair<int, int> SendFrames(int id, const std::vector<Frame>& frames) {
    int video = 0, audio = 0;
    for (const Frame& f : frames) {
        ks_stream_send_media_param_s m{};
        m.type = f.video ? 0 : 1;
        m.len = static_cast<uint32_t>(f.data.size());
        m.timestamp = f.timestamp;
        m.p = reinterpret_cast<unsigned char*>(const_cast<char*>(f.data.data()));
        m.key_frame = f.key ? 1 : 0;
        m.audio_format = KS_AUDIO_FORMAT_AAC;
        EXPECT_EQ(0, ks_stream_send_media(id, &m));
        (f.video ? video : audio)++;
    }
    return {video, audio};
}

kestrel::FrameRingBuffer* RingOf(kestrel::StreamSession* session, int service_id,
                                 kestrel::SharedPtr<kestrel::RelayServiceBase>& keep) {
    kestrel::SharedPtr<kestrel::StreamRoute> route = session->Manager()->Route(service_id);
    if (!route || !route->relay)
        return nullptr;
    keep = route->relay;
    return keep->Buffer();
}

TEST_F(StreamTest, LiveStreamRecordedByNginxAndReportedWhenTheRelayGoes) {
    rtmptest::NginxRelay nginx;
    ASSERT_TRUE(nginx.Started()) << nginx.ErrorLog();
    Call("StartPushStreaming", "{\"PushUrl\":\"" + LiveUrl(nginx.port(), "camlive", "&private=0") +
                                   "\",\"StreamType\":0}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    const int id = app.starts[0].service_id;
    SendConfig(id, 6144);  // a 2 MiB buffer holds the whole sample at once
    std::vector<Frame> frames = rtmptest::SampleFrames(9500);
    auto sent = SendFrames(id, frames);

    kestrel::SharedPtr<kestrel::RelayServiceBase> relay;
    kestrel::FrameRingBuffer* ring = RingOf(Session(), id, relay);
    ASSERT_NE(nullptr, ring);
    for (int i = 0; i < 500 && ring->GetDataUsed() > 0; ++i)
        usleep(10000);
    ASSERT_EQ(0u, ring->GetDataUsed());
    relay = kestrel::SharedPtr<kestrel::RelayServiceBase>();
    // nginx is stopped under the publisher: the relay loses its connection.
    nginx.Stop(1500);
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }));
    EXPECT_EQ(id, app.stops[0].service_id);
    EXPECT_EQ(KS_STREAM_CMD_LIVE, app.stops[0].cmd_type);
    ASSERT_TRUE(app.WaitFor([&] {
        int n = 0;
        for (const auto& m : app.published)
            n += m.find("transQualityStatistic") != std::string::npos ||
                 m.find(
                     "\"method\":\"startRelayStreaming\",\"code\":1010,\"message\":"
                     "\"Connection lost\"") != std::string::npos;
        return n == 2;
    }));

    std::string out;
    ASSERT_EQ(0, RunCommand("ffprobe -v error -show_entries packet=codec_type,pts -of csv=p=0 '" +
                                nginx.Recording("camlive") + "'",
                            &out))
        << out;
    int video = 0, audio = 0;
    long last_video = -1;
    bool ordered = true;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("video,", 0) == 0) {
            long pts = std::stol(line.substr(6));
            ordered = ordered && pts >= last_video;
            last_video = pts;
            ++video;
        } else if (line.rfind("audio,", 0) == 0) {
            ++audio;
        }
    }
    EXPECT_TRUE(ordered);
    EXPECT_EQ(sent.first, video);
    EXPECT_EQ(sent.second, audio);
    EXPECT_GE(last_video, 9000);
    ASSERT_EQ(
        0, RunCommand("ffmpeg -v error -i '" + nginx.Recording("camlive") + "' -f null -", &out));
    EXPECT_EQ("", out);
}

// The pre-event completion goes out after every frame queued before it,
// even when it is sent before the server has accepted the stream.
TEST_F(StreamTest, PreEventCompletionFollowsEveryQueuedFrame) {
    std::mutex mu;
    int video_before = -1, video_after = 0;
    rtmptest::ScriptedPeer peer([&](rtmptest::PeerConn& c) {
        if (!c.ServerHandshake())
            return;
        std::string name;
        // Hold the publish answer back until the frames and the command are queued.
        if (!c.ReadCommand(&name) || !c.SendConnectResult())
            return;
        for (const char* want : {"releaseStream", "FCPublish", "createStream"})
            if (!c.ReadCommand(&name) || name != want)
                return;
        if (!c.SendResult(2, 1) || !c.ReadCommand(&name) || name != "publish")
            return;
        usleep(300000);
        if (!c.SendStatus("status", "NetStream.Publish.Start", "go"))
            return;
        int video = 0;
        kestrel::rtmp_chunk_header_t h;
        rtmptest::Bytes payload;
        while (c.ReadMessage(&h, &payload, 1000)) {
            std::string text(payload.begin(), payload.end());
            if (h.type == kestrel::RTMP_TYPE_VIDEO && payload.size() > 1 && payload[1] == 1)
                ++video;
            if (text.find("NetStream.Pre.Complete") != std::string::npos) {
                std::lock_guard<std::mutex> l(mu);
                video_before = video;
                video = 0;
            }
        }
        std::lock_guard<std::mutex> l(mu);
        video_after = video;
    });
    Call("StartPushStreaming", "{\"PushUrl\":\"" +
                                   LiveUrl(peer.port(), "pre1", "&pre=1&private=0") +
                                   "\",\"StreamType\":0,\"PreTime\":3}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    const int id = app.starts[0].service_id;
    SendConfig(id, 1000);
    auto sent = SendFrames(id, rtmptest::SampleFrames(3000));
    ASSERT_EQ(0, ks_stream_send_cmd(id, KS_PRE_EVENT_RECORD_COMPLETE));
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }, 10000));
    peer.Join();
    std::lock_guard<std::mutex> l(mu);
    EXPECT_EQ(sent.first, video_before);
    EXPECT_EQ(0, video_after);
    EXPECT_TRUE(log_.Contains("Pre complete"));
}

// Key-frame requests reach the application (two in a row may be folded into
// one); the report keeps the time of the first one and of the key frame
// that answered it.
TEST_F(StreamTest, LiveKeyFrameRequestsReachTheApplication) {
    rtmptest::ScriptedPeer peer([&](rtmptest::PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        for (int i = 0; i < 2; ++i)
            if (!c.SendStatus("status", "NetStream.ForceIFrame.Start", ""))
                return;
        kestrel::rtmp_chunk_header_t h;
        rtmptest::Bytes payload;
        while (c.ReadMessage(&h, &payload, 800)) {
        }
    });
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(peer.port(), "iframe", "&private=0") + "\",\"StreamType\":0}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    const int id = app.starts[0].service_id;
    SendConfig(id, 1000);
    ASSERT_TRUE(app.WaitFor([&] { return app.cmds.size() >= 1; }));
    SendFrames(id, rtmptest::SampleFrames(1000));
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }, 10000));
    peer.Join();
    std::lock_guard<std::mutex> l(app.mu);
    for (const Command& c : app.cmds) {
        EXPECT_EQ(id, c.service_id);
        EXPECT_EQ(KS_LIVE_REQUEST_I_FRAME, c.cmd);
    }
    std::string report;
    for (const auto& m : app.published)
        if (m.find("startRelayStreaming") != std::string::npos)
            report = m;
    EXPECT_EQ(std::string::npos, report.find("\"forceCmdTs\":\"\"")) << report;
    EXPECT_EQ(std::string::npos, report.find("\"forceIframeTs\":\"\"")) << report;
    EXPECT_EQ(app.cmds.size(), log_.Count("Recv cmd: request I frame"));
}

// A relay's flood of key-frame requests while the application is busy
// becomes one waiting request, not one job each.
TEST_F(StreamTest, StatusFloodLeavesOneKeyFrameRequestWaiting) {
    constexpr int kFlood = 2000;
    rtmptest::ScriptedPeer peer([&](rtmptest::PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        for (int i = 0; i < kFlood; ++i)
            if (!c.SendStatus("status", "NetStream.ForceIFrame.Start", ""))
                return;
        c.SendStatus("status", "NetStream.Flood.End", "");
        kestrel::rtmp_chunk_header_t h;
        rtmptest::Bytes payload;
        while (c.ReadMessage(&h, &payload, 800)) {
        }
    });
    // The application's thread is held until the whole flood has been read.
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    struct Hold : kestrel::JobProperty {
        explicit Hold(std::shared_future<void> f) : f_(std::move(f)) {}
        void Run() override { f_.wait(); }
        std::shared_future<void> f_;
    };
    kestrel::DeviceEnv::Get()->JobUser()->AddJob(new Hold(open));
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(peer.port(), "flood", "&private=0") + "\",\"StreamType\":0}");
    bool flood_read = log_.WaitFor("NetStream.Flood.End", 10000);
    gate.set_value();
    ASSERT_TRUE(flood_read);
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    SendConfig(app.starts[0].service_id, 1000);
    ASSERT_TRUE(app.WaitFor([&] { return app.cmds.size() >= 1; }));
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }, 10000));
    peer.Join();
    std::lock_guard<std::mutex> l(app.mu);
    EXPECT_EQ(1u, app.cmds.size());
    EXPECT_EQ(1u, log_.Count("Recv cmd: request I frame"));
}

// A frame the connection can never carry is dropped with a line and a
// key-frame request; the frames after it still reach the relay.
TEST_F(StreamTest, FrameNearOneMebibyteIsDroppedAndTheStreamGoesOn) {
    std::mutex mu;
    int video = 0;
    rtmptest::ScriptedPeer peer([&](rtmptest::PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        kestrel::rtmp_chunk_header_t h;
        rtmptest::Bytes payload;
        while (c.ReadMessage(&h, &payload, 1500)) {
            if (h.type == kestrel::RTMP_TYPE_VIDEO && payload.size() > 1 && payload[1] == 1) {
                std::lock_guard<std::mutex> l(mu);
                ++video;
            }
        }
    });
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(peer.port(), "big", "&private=0") + "\",\"StreamType\":0}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    const int id = app.starts[0].service_id;
    SendConfig(id, 6144);  // a ring that takes a 1 MiB frame
    std::vector<Frame> frames = rtmptest::SampleFrames(2000);
    std::vector<Frame> before, after;
    for (const Frame& f : frames)
        (f.timestamp < 1000 ? before : after).push_back(f);
    auto sent_before = SendFrames(id, before);
    ASSERT_TRUE(log_.WaitFor("send I frame"));
    std::string big(1024 * 1024, '\x11');
    big[0] = big[1] = big[2] = 0;
    big[3] = 1;
    big[4] = 0x41;  // a non-IDR slice
    ks_stream_send_media_param_s m{};
    m.type = 0;
    m.len = static_cast<uint32_t>(big.size());
    m.timestamp = before.back().timestamp + 1;
    m.p = reinterpret_cast<unsigned char*>(&big[0]);
    ASSERT_EQ(0, ks_stream_send_media(id, &m));
    // One byte more than a queue can ever hold is refused at once, and the
    // application is told.
    std::string huge(1024 * 1024 + 1, '\x11');
    ks_stream_send_media_param_s h = m;
    h.len = static_cast<uint32_t>(huge.size());
    h.p = reinterpret_cast<unsigned char*>(&huge[0]);
    EXPECT_EQ(KS_ERR_FRAME_DROPPED, ks_stream_send_media(id, &h));
    auto sent_after = SendFrames(id, after);
    ASSERT_TRUE(log_.WaitFor("frame of 1048576 bytes dropped, asking for a key frame", 10000));
    ASSERT_TRUE(app.WaitFor([&] { return app.cmds.size() >= 1; }));
    ASSERT_TRUE(app.WaitFor(
        [&] {
            std::lock_guard<std::mutex> l(mu);
            return video == sent_before.first + sent_after.first;
        },
        10000));
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }, 10000));
    peer.Join();
    std::lock_guard<std::mutex> l(app.mu);
    EXPECT_EQ(KS_LIVE_REQUEST_I_FRAME, app.cmds[0].cmd);
}

}  // namespace
}  // namespace streamtest

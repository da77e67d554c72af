// The stream session and its relays seen from the application: which cloud
// requests make sessions, the limits and evictions, the stop the application
// gets for every end, and the playback relay's commands.
#include <atomic>
#include <cmath>
#include <functional>
#include <set>
#include <thread>

#include "sdk_stream_session/session_fixture.h"

namespace streamtest {
namespace {

using kestrel::RelayServiceBase;
using kestrel::RelayServiceFactory;
using kestrel::StreamManager;
using kestrel::StreamManagerProperty;

StreamManagerProperty Entry(int dev, int type, int stream_type = 0) {
    StreamManagerProperty p;
    p.dev_id = dev;
    p.type = type;
    p.stream_type = stream_type;
    return p;
}

TEST(ServiceTable, FindsTheOldestMatchingEntryAndCountsByDeviceOrType) {
    kestrel_test::LogCapture log;
    StreamManager table;
    using kestrel::kServiceLive;
    using kestrel::kServicePre;
    using kestrel::kServiceVod;
    ASSERT_TRUE(table.Open(13, Entry(1, kServiceVod, 1)));
    ASSERT_TRUE(table.Open(10, Entry(1, kServiceLive, 0)));
    ASSERT_TRUE(table.Open(12, Entry(2, kServiceVod, 1)));
    ASSERT_TRUE(table.Open(11, Entry(1, kServiceVod, 0)));
    EXPECT_FALSE(table.Open(13, Entry(3, kServiceLive)));
    EXPECT_TRUE(log.Contains("Bind new service failed, id = 13"));
    struct Case {
        const char* what;
        std::function<bool(int&)> find;
        int want;  // -1: none
    } cases[] = {
        {"device+type", [&](int& id) { return table.FindByDevice(1, kServiceVod, id); }, 11},
        {"device+type, none", [&](int& id) { return table.FindByDevice(2, kServiceLive, id); }, -1},
        {"stream", [&](int& id) { return table.FindByStream(1, kServiceVod, 1, id); }, 13},
        {"stream, other type", [&](int& id) { return table.FindByStream(1, kServicePre, 0, id); },
         -1},
        {"type", [&](int& id) { return table.FindOfType(kServiceVod, id); }, 11},
        {"type, none", [&](int& id) { return table.FindOfType(kServicePre, id); }, -1},
    };
    for (const Case& c : cases) {
        int id = -1;
        EXPECT_EQ(c.want >= 0, c.find(id)) << c.what;
        if (c.want >= 0) {
            EXPECT_EQ(c.want, id) << c.what;
        }
    }
    EXPECT_EQ(3u, table.CountOfType(kServiceVod));
    EXPECT_EQ(2u, table.CountByDevice(1, kServiceVod));
    EXPECT_EQ(0u, StreamManager().CountOfType(kServiceVod));

    StreamManagerProperty out;
    EXPECT_TRUE(table.Take(11, &out));
    EXPECT_EQ(kServiceVod, out.type);
    EXPECT_FALSE(table.Take(11));
    EXPECT_FALSE(table.Find(11, out));
    EXPECT_FALSE(table.Route(11));
    EXPECT_FALSE(table.DetachRelayKeepRecording(11));
    table.Clear();
    EXPECT_EQ(0u, table.Size());
}

// A recording attached to a live entry rides along until it is detached; a
// relay that closes under a recording leaves a recording entry; routes handed
// out before a change stay as they were.
TEST(ServiceTable, AttachAndDetachMakeNewRoutes) {
    StreamManager table;
    StreamManagerProperty live = Entry(1, kestrel::kServiceLive, 0);
    live.relay_id = 5;
    ASSERT_TRUE(table.Open(20, live));
    kestrel::SharedPtr<kestrel::StreamRoute> before = table.Route(20);
    ASSERT_TRUE(before);
    EXPECT_FALSE(table.DetachRelayKeepRecording(20));  // no recording: the caller ends it
    EXPECT_TRUE(table.AttachRecording(20, 7, kestrel::SharedPtr<kestrel::DoaService>()));
    EXPECT_FALSE(table.AttachRecording(20, 8, kestrel::SharedPtr<kestrel::DoaService>()));
    EXPECT_EQ(0, before->entry.doa);
    EXPECT_EQ(7, table.Route(20)->entry.doa);
    EXPECT_FALSE(table.DetachRecording(20, 8));
    EXPECT_TRUE(table.DetachRecording(20, 7));
    EXPECT_EQ(0, table.Route(20)->entry.doa);

    ASSERT_TRUE(table.AttachRecording(20, 9, kestrel::SharedPtr<kestrel::DoaService>()));
    EXPECT_TRUE(table.DetachRelayKeepRecording(20));
    StreamManagerProperty now;
    ASSERT_TRUE(table.Find(20, now));
    EXPECT_EQ(kestrel::kServiceDoa, now.type);
    EXPECT_EQ(0, now.relay_id);
    EXPECT_EQ(9, now.doa);
    // Without its relay, the recording can no longer be detached alone.
    EXPECT_FALSE(table.DetachRecording(20, 9));
    int id = 0;
    EXPECT_TRUE(table.FindByStream(1, kestrel::kServiceDoa, 0, id));
    EXPECT_EQ(20, id);
}

TEST(RelayReport, EveryCloseHasACodeAndMessage) {
    struct Case {
        int result;
        const char* code;
        const char* message;
    } cases[] = {
        {0, "1010", "Connection lost"},
        {1, "1007", "Illegal Addr"},
        {2, "1005", "Connect failed"},
        {3, "1015", "System error"},
        {4, "1016", "Read error"},
        {5, "1011", "Write error"},
        {6, "1015", "System error"},
        {7, "1013", "Device close connection"},
        {kestrel::RTMP_CLOSE_BAD_URL, "1015", "System error"},
        {kestrel::RTMP_CLOSE_START_TIMEOUT, "1005", "Connect failed"},
        {kestrel::RTMP_CLOSE_STALLED, "1011", "Write error"},
        {kestrel::RTMP_CLOSE_PROTOCOL, "1016", "Read error"},
        {99, "1015", "System error"},
    };
    for (const Case& c : cases) {
        std::string code, message;
        RelayServiceBase::CloseCode(c.result, code, message);
        EXPECT_EQ(c.code, code) << c.result;
        EXPECT_EQ(c.message, message) << c.result;
    }
    EXPECT_EQ(262144u, RelayServiceBase::BufferSizeFor(2047));
    EXPECT_EQ(524288u, RelayServiceBase::BufferSizeFor(2048));
    EXPECT_EQ(1048576u, RelayServiceBase::BufferSizeFor(4096));
    EXPECT_EQ(2097152u, RelayServiceBase::BufferSizeFor(6144));
}

TEST_F(StreamTest, BadStartRequestsGetAnErrorLineAndNoSession) {
    SilentPeer peer;
    const std::string url = LiveUrl(peer.port(), "s1", "&private=0");
    struct Case {
        const char* service;
        std::string payload;
        const char* error;
    } cases[] = {
        {"StartPushStreaming", "garbage{", "parse value error:garbage{"},
        {"StartPushStreaming", "[1,2]", "parse value error:"},
        {"StartPushStreaming", "{\"StreamType\":0}", "parse value error:"},
        {"StartPushStreaming", "{\"PushUrl\":5,\"StreamType\":0}", "parse value error:"},
        {"StartPushStreaming", "{\"PushUrl\":\"" + url + "\",\"StreamType\":\"0\"}",
         "parse value error:"},
        {"StartPushStreaming", "{\"PushUrl\":\"" + url + "\",\"StreamType\":1e300}",
         "parse value error:"},
        {"StartPushStreaming", "{\"PushUrl\":\"" + url + "\",\"StreamType\":0,\"PreTime\":-1}",
         "parse value error:"},
        {"StartPushStreaming", "{\"PushUrl\":\"http:/x\",\"StreamType\":0}", "parse url error"},
        {"StartVodByTime", "{\"BeginTime\":1,\"EndTime\":2,\"SessionID\":\"s\"}",
         "parse value error:"},
        {"StartVodByTime",
         "{\"BeginTime\":-5,\"EndTime\":2,\"SessionID\":\"s\",\"PushUrl\":\"" + url + "\"}",
         "parse value error:"},
        {"StartVodByTime",
         "{\"BeginTime\":1,\"EndTime\":2,\"SessionID\":7,\"PushUrl\":\"" + url + "\"}",
         "parse value error:"},
        {"StartVod", "{\"FileName\":\"YQ==\",\"SessionID\":\"s\"}", "parse value error:"},
        {"StartVod", "{\"FileName\":\"!!\",\"SessionID\":\"s\",\"PushUrl\":\"" + url + "\"}",
         "Decode file name failed"},
        {"StartVod", "{\"FileName\":\"\",\"SessionID\":\"s\",\"PushUrl\":\"" + url + "\"}",
         "Decode file name failed"},
        {"StartVod", "{\"FileName\":\"YQBi\",\"SessionID\":\"s\",\"PushUrl\":\"" + url + "\"}",
         "Decode file name failed"},
    };
    for (const Case& c : cases) {
        log_.Clear();
        Call(c.service, c.payload);
        EXPECT_TRUE(log_.Contains(c.error)) << c.service << " " << c.payload;
        EXPECT_EQ(0u, Sessions()) << c.payload;
        EXPECT_EQ(0u, Relays()) << c.payload;
    }
    Deliver(KS_MESSAGE_ADAPTER_TYPE_KESTREL, "/vision/biz/record/downstream", "{\"method\":1}");
    Flush();
    EXPECT_TRUE(log_.Contains("Json parse failed, value = {\"method\":1}"));
    std::lock_guard<std::mutex> l(App::Get().mu);
    EXPECT_TRUE(App::Get().starts.empty());
}

TEST_F(StreamTest, ThirtyTwoStartsForOneDeviceKeepTheLimits) {
    RelayServiceFactory::SetClientTimeouts(60000, 60000);
    SilentPeer peer;
    const std::string live =
        "{\"PushUrl\":\"" + LiveUrl(peer.port(), "s1", "&private=0") + "\",\"StreamType\":0}";
    for (int i = 0; i < 16; ++i) {
        Call("StartPushStreaming", live);
        Call("StartVodByTime",
             "{\"BeginTime\":100,\"EndTime\":200,\"SessionID\":\"s" + std::to_string(i) +
                 "\",\"PushUrl\":\"" +
                 VodUrl(peer.port(), "s" + std::to_string(i), "&seek=5&recordType=2") + "\"}");
    }
    // One live session (repeats reuse it) and the newest playback.
    EXPECT_EQ(2u, Sessions());
    EXPECT_EQ(15u, log_.Count("Relay service is already exist, do nothing"));
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 17 && app.stops.size() == 15; }));
    std::lock_guard<std::mutex> l(app.mu);
    std::vector<int> vods;
    for (const Started& s : app.starts) {
        if (s.cmd_type == KS_STREAM_CMD_STORAGE_RECORD_BY_UTC_TIME) {
            vods.push_back(s.service_id);
            EXPECT_EQ(100u, s.begin);
            EXPECT_EQ(200u, s.end);
        }
    }
    ASSERT_EQ(16u, vods.size());
    for (size_t i = 0; i < app.stops.size(); ++i) {
        EXPECT_EQ(vods[i], app.stops[i].service_id) << "the oldest playback goes first";
        EXPECT_EQ(KS_STREAM_CMD_STORAGE_RECORD_BY_UTC_TIME, app.stops[i].cmd_type);
    }
    EXPECT_EQ(5, app.starts.back().seek);
    EXPECT_EQ(2, app.starts.back().record_type);
}

TEST_F(StreamTest, DestroyEndsEverySessionWithoutStopCalls) {
    RelayServiceFactory::SetClientTimeouts(60000, 60000);
    SilentPeer peer;
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(peer.port(), "s1", "&private=0") + "\",\"StreamType\":0}");
    Call("StartVod", "{\"FileName\":\"L3JlYy9hLm1wNA==\",\"SessionID\":\"s\",\"PushUrl\":\"" +
                         VodUrl(peer.port(), "s") + "\"}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 2; }));
    EXPECT_EQ("/rec/a.mp4", app.starts[1].file);
    EXPECT_EQ(KS_STREAM_CMD_STORAGE_RECORD_BY_FILE, app.starts[1].cmd_type);
    ks_destroy();
    EXPECT_EQ(nullptr, kestrel::Single<RelayServiceFactory>::Peek());
    std::lock_guard<std::mutex> l(app.mu);
    EXPECT_TRUE(app.stops.empty());
}

TEST_F(StreamTest, ARelayThatNeverAnswersIsClosedWithinItsBoundAndReported) {
    RelayServiceFactory::SetClientTimeouts(300, 1000);
    SilentPeer peer;
    auto begun = std::chrono::steady_clock::now();
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(peer.port(), "s1", "&private=0") + "\",\"StreamType\":1}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] {
        for (const auto& m : app.published)
            if (m.find("startRelayStreaming") != std::string::npos)
                return !app.stops.empty();
        return false;
    }));
    auto took = std::chrono::steady_clock::now() - begun;
    EXPECT_LT(took, std::chrono::seconds(3));
    std::lock_guard<std::mutex> l(app.mu);
    ASSERT_EQ(1u, app.starts.size());
    EXPECT_EQ(1, app.starts[0].stream_type);
    EXPECT_EQ(app.starts[0].service_id, app.stops[0].service_id);
    std::string report;
    for (const auto& m : app.published)
        if (m.find("startRelayStreaming") != std::string::npos)
            report = m;
    EXPECT_NE(std::string::npos, report.find("\"code\":1005,\"message\":\"Connect failed\""))
        << report;
    EXPECT_EQ(0u, Sessions());
}

TEST_F(StreamTest, AStartWhoseConnectionFailsStopsTheApplicationsStreamAfterItsStart) {
    int port;
    {
        SilentPeer gone;  // a port nobody listens on once it is closed
        port = gone.port();
    }
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(port, "s1", "&private=0") + "\",\"StreamType\":0}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }));
    std::lock_guard<std::mutex> l(app.mu);
    ASSERT_EQ(1u, app.starts.size()) << "the stop must not overtake the start";
    EXPECT_EQ(app.starts[0].service_id, app.stops[0].service_id);
    EXPECT_EQ(0u, Sessions());
}

TEST_F(StreamTest, AStartTheApplicationRefusesTakesTheRelayDownAndTellsTheCloud) {
    SilentPeer peer;  // no close of its own within the test
    App& app = App::Get();
    {
        std::lock_guard<std::mutex> l(app.mu);
        app.start_result = -1;
    }
    Call("StartPushStreaming",
         "{\"PushUrl\":\"" + LiveUrl(peer.port(), "s1", "&private=0") + "\",\"StreamType\":0}");
    ASSERT_TRUE(app.WaitFor([&] {
        for (const auto& m : app.published)
            if (m.find("startRelayStreaming") != std::string::npos)
                return true;
        return false;
    }));
    EXPECT_EQ(0u, Sessions());
    EXPECT_EQ(1u, log_.Count("Application refused the stream start, result = -1"));
    std::lock_guard<std::mutex> l(app.mu);
    EXPECT_EQ(1u, app.starts.size());
    EXPECT_TRUE(app.stops.empty()) << "nothing to stop: the application never started";
}

TEST_F(StreamTest, ANewSessionReplacesTheRunningLiveRelayAndARepeatDoesNot) {
    SilentPeer peer;  // the relays stay connecting for the whole test
    auto url = [&](const std::string& token) {
        return "{\"PushUrl\":\"rtmp://127.0.0.1:" + std::to_string(peer.port()) + "/live?token=" +
               token + "&private=0/s1\",\"StreamType\":0}";
    };
    App& app = App::Get();
    Call("StartPushStreaming", url("first"));
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    Call("StartPushStreaming", url("second"));
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 2 && app.stops.size() == 1; }));
    Call("StartPushStreaming", url("second"));  // the same session again: nothing changes
    Flush();
    EXPECT_TRUE(log_.Contains("Relay service is already exist, do nothing"));
    EXPECT_EQ(1u, Sessions());
    std::lock_guard<std::mutex> l(app.mu);
    ASSERT_EQ(2u, app.starts.size());
    ASSERT_EQ(1u, app.stops.size());
    EXPECT_EQ(app.starts[0].service_id, app.stops[0].service_id);
    EXPECT_NE(app.starts[0].service_id, app.starts[1].service_id);
}

TEST_F(StreamTest, ApplicationCallsForUnknownServicesAndCommandsFail) {
    unsigned char frame[4] = {0, 0, 0, 1};
    ks_stream_send_media_param_s media;
    memset(&media, 0, sizeof media);
    media.p = frame;
    media.len = sizeof frame;
    EXPECT_EQ(-1, ks_stream_send_media(77, &media));
    EXPECT_TRUE(log_.Contains("[Service:77] service is not exist"));
    media.type = 5;
    EXPECT_EQ(-1, ks_stream_send_media(77, &media));
    EXPECT_EQ(-1, ks_stream_send_cmd(77, KS_STORAGE_RECORD_COMPLETE));

    RelayServiceFactory::SetClientTimeouts(60000, 60000);
    SilentPeer peer;
    Call("StartPushStreaming", "{\"PushUrl\":\"" + LiveUrl(peer.port(), "s1", "&pre=1") +
                                   "\",\"StreamType\":0,\"PreTime\":5}");
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    int id = app.starts[0].service_id;
    EXPECT_EQ(KS_STREAM_CMD_PRE_EVENT_RECORD, app.starts[0].cmd_type);
    EXPECT_EQ(5, app.starts[0].pre_time);
    EXPECT_EQ(-1, ks_stream_send_cmd(id, static_cast<ks_push_stream_cmd_s>(2)));
    // Before the configuration the relay has no buffer: refused there, not here.
    media.type = 0;
    EXPECT_EQ(0, ks_stream_send_media(id, &media));
    EXPECT_TRUE(log_.Contains("Set buffer before add data"));
    EXPECT_EQ(0, ks_stream_send_cmd(id, KS_PRE_EVENT_RECORD_COMPLETE));
}

// Evictions on the task thread, closes on the network thread and frames from
// the application at once: every session started is stopped exactly once, and
// frames for a session that is going never touch a freed relay.
TEST_F(StreamTest, EvictionsClosesAndFramesRaceWithoutLosingAStop) {
    RelayServiceFactory::SetClientTimeouts(40, 1000);
    SilentPeer peer;
    std::atomic<bool> done{false};
    std::thread app_thread([&] {
        unsigned char frame[64] = {0, 0, 0, 1, 0x65};
        ks_stream_send_media_param_s m{};
        m.p = frame;
        m.len = sizeof frame;
        m.key_frame = 1;
        const ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
        const ks_audio_param_s audio = {KS_AUDIO_FORMAT_AAC, 8, 1, 0};
        ks_stream_send_config_param_s cfg{1000, 0, &video, &audio};
        std::set<int> configured;
        while (!done) {
            std::vector<int> ids;
            {
                App& a = App::Get();
                std::lock_guard<std::mutex> l(a.mu);
                for (const Started& s : a.starts)
                    ids.push_back(s.service_id);
            }
            // The newest few: the ones that may still be running.
            for (size_t i = ids.size() > 3 ? ids.size() - 3 : 0; i < ids.size(); ++i) {
                if (configured.insert(ids[i]).second)
                    ks_stream_send_config(ids[i], &cfg);
                m.timestamp += 40;
                ks_stream_send_media(ids[i], &m);
                ks_stream_send_cmd(ids[i], KS_STORAGE_RECORD_COMPLETE);
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::string sid = "r" + std::to_string(i);
        Call("StartVodByTime", "{\"BeginTime\":1,\"EndTime\":2,\"SessionID\":\"" + sid +
                                   "\",\"PushUrl\":\"" + VodUrl(peer.port(), sid) + "\"}");
    }
    App& app = App::Get();
    bool all = app.WaitFor([&] { return app.starts.size() == 20 && app.stops.size() == 20; });
    done = true;
    app_thread.join();
    ASSERT_TRUE(all);
    std::lock_guard<std::mutex> l(app.mu);
    std::set<int> started, stopped;
    for (const Started& s : app.starts)
        started.insert(s.service_id);
    for (const Stopped& s : app.stops)
        EXPECT_TRUE(stopped.insert(s.service_id).second) << "two stops for " << s.service_id;
    EXPECT_EQ(started, stopped);
    EXPECT_EQ(0u, Sessions());
}

// The playback relay's decisions, driven the way the network thread drives
// them, without a connection.
class VodRelayTest : public StreamTest {
  protected:
    void SetUp() override {
        StreamTest::SetUp();
        relay.SetDeviceInfo(nullptr, 0, 9, "sess", "[t]");
        ks_video_param_s video{KS_VIDEO_FORMAT_H264, 25, 2000, 0};
        relay.SetVideoCodec(&video);
        relay.SetBuffer(1000);
    }
    std::vector<int> Cmds() {
        App& app = App::Get();
        std::lock_guard<std::mutex> l(app.mu);
        std::vector<int> out;
        for (const Command& c : app.cmds)
            out.push_back(c.cmd);
        return out;
    }
    void Notify(kestrel::rtmp_client_notify_t code, void* arg = nullptr) {
        relay.OnNotify(code, arg);
    }
    int Video(bool key, unsigned len = 1000) {
        std::vector<unsigned char> data(len, key ? 0x65 : 0x41);
        return relay.AddVideoFrame(0, key, data.data(), len, ts += 40);
    }
    unsigned Used() { return relay.Buffer()->GetDataUsed(); }
    bool WaitCmds(size_t n) {
        App& app = App::Get();
        return app.WaitFor([&] { return app.cmds.size() >= n; }, 2000);
    }

    kestrel::RelayServiceVod relay;
    unsigned ts = 0;
};

TEST_F(VodRelayTest, PauseIsTheUnionOfServerAndBufferAndIsToldOncePerChange) {
    Notify(kestrel::RTMP_NOTIFY_PUBLISH_START);
    Notify(kestrel::RTMP_NOTIFY_PLAY_START);
    double at = 1000;
    Notify(kestrel::RTMP_NOTIFY_PAUSE, &at);
    // Fill past the high-water mark: the buffer wants a pause too.
    Video(true, 20000);
    while (relay.Buffer()->GetUsePercent() <= kestrel::RelayServiceVod::kPauseAbove)
        ASSERT_GE(Video(false, 20000), 0);
    Notify(kestrel::RTMP_NOTIFY_PAUSE, &at);
    Notify(kestrel::RTMP_NOTIFY_UNPAUSE, &at);  // the buffer still wants it
    ASSERT_TRUE(WaitCmds(2));
    double pos = 61000.9;
    Notify(kestrel::RTMP_NOTIFY_SEEK, &pos);  // flushes: the queued frames predate the seek
    EXPECT_EQ(0u, Used());
    ASSERT_TRUE(WaitCmds(3));
    std::vector<int> want = {KS_STORAGE_RECORD_START, KS_STORAGE_RECORD_PAUSE,
                             KS_STORAGE_RECORD_SEEK};
    EXPECT_EQ(want, Cmds());
    std::lock_guard<std::mutex> l(App::Get().mu);
    EXPECT_EQ(61000u, App::Get().cmds[2].timestamp);
    EXPECT_EQ(9, App::Get().cmds[2].service_id);
}

TEST_F(VodRelayTest, KeyOnlyDropsInterFramesAndAudioAndWaitsForAKeyAfterward) {
    unsigned char audio[8] = {0xaf};
    Notify(kestrel::RTMP_NOTIFY_SET_PLAY_PARAM,
           const_cast<char*>("{\"onlyKeyFrame\":1,\"speed\":4.5}"));
    ASSERT_TRUE(WaitCmds(1));
    {
        std::lock_guard<std::mutex> l(App::Get().mu);
        const Command& c = App::Get().cmds[0];
        EXPECT_EQ(KS_STORAGE_RECORD_SET_PARAM, c.cmd);
        EXPECT_EQ(4u, c.speed);
        EXPECT_EQ(1u, c.key_only);
    }
    Video(false);
    relay.AddAudioFrame(audio, sizeof audio, ts);
    EXPECT_EQ(0u, Used());
    Video(true);
    unsigned after_key = Used();
    EXPECT_GT(after_key, 0u);
    Notify(kestrel::RTMP_NOTIFY_SET_PLAY_PARAM,
           const_cast<char*>("{\"onlyKeyFrame\":0,\"speed\":1}"));
    Video(false);
    EXPECT_EQ(after_key, Used()) << "inter frames wait for the next key frame";
    Video(true);
    Video(false);
    relay.AddAudioFrame(audio, sizeof audio, ts);
    EXPECT_GT(Used(), after_key + 2000);

    for (const char* bad :
         {"{\"onlyKeyFrame\":1}", "nope", "{\"speed\":2,\"onlyKeyFrame\":\"1\"}"}) {
        log_.Clear();
        Notify(kestrel::RTMP_NOTIFY_SET_PLAY_PARAM, const_cast<char*>(bad));
        EXPECT_TRUE(log_.Contains("Parse param error")) << bad;
    }
    Notify(kestrel::RTMP_NOTIFY_SET_PLAY_PARAM, nullptr);
    ASSERT_TRUE(WaitCmds(2));
    EXPECT_EQ(2u, Cmds().size());
}

TEST(VodSupport, LimitsAreClamped) {
    kestrel_test::LogCapture log;
    kestrel::StreamSession s;
    struct Case {
        unsigned solo, all, want_solo, want_all;
    } cases[] = {{0, 0, 1, 1}, {20, 3, 8, 8}, {2, 1000, 2, 256}, {3, 5, 3, 5}};
    for (const Case& c : cases) {
        s.SetVodSupport(c.solo, c.all);
        EXPECT_EQ(c.want_solo, s.VodSoloMax()) << c.solo << " " << c.all;
        EXPECT_EQ(c.want_all, s.VodAllMax()) << c.solo << " " << c.all;
    }
}

}  // namespace
}  // namespace streamtest

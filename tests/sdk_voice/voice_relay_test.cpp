// Voice sessions through the public API against a scripted relay server on a
// loopback port: device audio goes up only after "NetStream.TalkReady",
// downlink bodies (clear or AES) reach the application on the session's own
// thread, bad ones are dropped while the session goes on, a new request
// replaces the old session, and a close never waits for the application.
#include <gtest/gtest.h>
#include <kestrel/ks_api.h>
#include <mbedtls/aes.h>
#include <mbedtls/base64.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/single.h"
#include "log_capture.h"
#include "net_rtmp/rtmp_peers.h"
#include "sdk/message_service.h"
#include "sdk/streaming/stream_manager.h"
#include "sdk/streaming/stream_session.h"

namespace {

using rtmptest::Bytes;
using rtmptest::NowMs;
using rtmptest::PeerConn;

struct Got {
    int service_id;
    std::string bytes;
    uint32_t ts;
    ks_audio_param_s audio;
    std::thread::id thread;
};

// What the application was told, and the gate that can hold its data callback.
struct App {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> starts;
    std::vector<std::pair<int, int>> stops;
    std::vector<Got> data;
    std::vector<std::string> published;
    bool hold = false;
    bool inside = false;
    int data_after_stop = 0;

    static App& Get() {
        static App app;
        return app;
    }
    void Reset() {
        std::lock_guard<std::mutex> l(mu);
        starts.clear();
        stops.clear();
        data.clear();
        published.clear();
        hold = inside = false;
        data_after_stop = 0;
    }
    bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(ms), done);
    }
    void Release() {
        std::lock_guard<std::mutex> l(mu);
        hold = false;
        cv.notify_all();
    }
};

int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    EXPECT_EQ(KS_STREAM_CMD_VOICE, p->stream_cmd_type);
    a.starts.push_back(p->service_id);
    a.cv.notify_all();
    return 0;
}
int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    a.stops.push_back({p->service_id, p->stream_cmd_type});
    a.cv.notify_all();
    return 0;
}
int OnData(const ks_device_auth_s*, const ks_on_push_streaming_data_param_s* p) {
    App& a = App::Get();
    std::unique_lock<std::mutex> l(a.mu);
    a.inside = true;
    a.cv.notify_all();
    a.cv.wait(l, [&] { return !a.hold; });
    a.inside = false;
    for (const auto& s : a.stops)
        a.data_after_stop += s.first == p->service_id;
    a.data.push_back({p->service_id, std::string(reinterpret_cast<const char*>(p->p), p->len),
                      p->timestamp, *p->audio_param, std::this_thread::get_id()});
    a.cv.notify_all();
    return 0;
}
int OnCmd(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s*) {
    return 0;
}
void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    a.published.push_back(std::string(p->topic) + " " + p->message);
}
void OnQuery(const ks_device_auth_s*, const ks_query_record_param_s*) {}
int OnPicture(const ks_device_auth_s*, const ks_trigger_picture_param_s*) {
    return 0;
}
int OnFeature() {
    return 0;
}

std::string B64(const uint8_t* p, size_t n) {
    unsigned char out[64];
    size_t olen = 0;
    mbedtls_base64_encode(out, sizeof out, &olen, p, n);
    return std::string(reinterpret_cast<char*>(out), olen);
}

// The cloud's side of the cipher, written against mbedTLS directly.
Bytes Encrypt(const Bytes& clear, const uint8_t key[16], const uint8_t iv[16]) {
    Bytes b = clear;
    size_t pad = 16 - b.size() % 16;
    b.insert(b.end(), pad, static_cast<uint8_t>(pad));
    Bytes out(b.size());
    uint8_t v[16];
    memcpy(v, iv, 16);
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, key, 128);
    mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_ENCRYPT, b.size(), v, b.data(), out.data());
    mbedtls_aes_free(&ctx);
    return out;
}

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kIv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

// 20 ms of A-law, numbered so that loss or reordering shows.
std::string Samples(int n) {
    std::string s(160, static_cast<char>(0xD5));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>((n * 7 + i) & 0xFF);
    return s;
}

class VoiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App::Get().Reset();
        pk_ = "pkVoice";
        dn_ = "camVoice";
        ds_ = "c2VjcmV0LWtleS0xMjM0";
        auth_ = {0, &pk_[0], &dn_[0], &ds_[0]};
        ks_init_config_s c;
        memset(&c, 0, sizeof c);
        c.log_level = 5;
        c.process_parallel = 1;
        ks_init_callback_s cb;
        memset(&cb, 0, sizeof cb);
        cb.message_publish_cb = OnPublish;
        cb.start_push_streaming_cb = OnStart;
        cb.stop_push_streaming_cb = OnStop;
        cb.on_push_streaming_cmd_cb = OnCmd;
        cb.on_push_streaming_data_cb = OnData;
        cb.query_storage_record_cb = OnQuery;
        cb.trigger_picture_cb = OnPicture;
        cb.feature_check_cb = OnFeature;
        ks_init_system_s sys{0};
        ASSERT_EQ(0, ks_init(&c, &cb, &sys));
        ks_message_adapter_param_s p;
        memset(&p, 0, sizeof p);
        p.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
        ASSERT_EQ(0, ks_message_adapter(&auth_, &p));
    }
    void TearDown() override {
        StopFeeding();
        ks_destroy();
    }

    void StartVoice(int port, const std::string& stream, bool encrypted) {
        std::string key = "{}";
        if (encrypted)
            key = "{\\\"key\\\":\\\"" + B64(kKey, 16) + "\\\",\\\"iv\\\":\\\"" + B64(kIv, 16) +
                  "\\\"}";
        std::string url =
            "rtmp://127.0.0.1:" + std::to_string(port) + "/voice?token=tok&private=0/" + stream;
        std::string payload = "{\"IntercomUrl\":\"" + url + "\",\"Key\":\"" + key + "\"}";
        std::string id = std::to_string(++msg_id_);
        std::string service = "StartVoiceIntercom";
        ks_message_adapter_param_s p;
        memset(&p, 0, sizeof p);
        p.type = KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE;
        p.msg_id = id.c_str();
        p.msg_id_len = static_cast<uint32_t>(id.size());
        p.service = service.c_str();
        p.service_len = static_cast<uint32_t>(service.size());
        p.payload = payload.c_str();
        p.payload_len = static_cast<uint32_t>(payload.size());
        ASSERT_EQ(0, ks_message_adapter(&auth_, &p));
    }

    // The camera's microphone: configuration, then 20 ms of A-law at a time.
    void Feed(int service_id) {
        static const ks_audio_param_s audio = {KS_AUDIO_FORMAT_G711A, KS_AUDIO_SAMPLE_RATE_8000,
                                               KS_AUDIO_BITS_16, KS_AUDIO_CHANNEL_MONO};
        // The API takes the camera's whole configuration; a voice relay
        // uses the audio part.
        static const ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
        ks_stream_send_config_param_s c{};
        c.bitrate_kbps = 64;
        c.video = &video;
        c.audio = &audio;
        ASSERT_EQ(0, ks_stream_send_config(service_id, &c));
        feeding_ = true;
        feeder_ = std::thread([this, service_id] {
            std::string frame(160, static_cast<char>(0xD5));
            std::unique_lock<std::mutex> l(feed_mu_);
            for (uint32_t ts = 0; feeding_; ts += 20) {
                ks_stream_send_media_param_s m{};
                m.type = 1;
                m.len = static_cast<uint32_t>(frame.size());
                m.timestamp = ts;
                m.p = reinterpret_cast<unsigned char*>(&frame[0]);
                m.audio_format = KS_AUDIO_FORMAT_G711A;
                ks_stream_send_media(service_id, &m);
                feed_cv_.wait_for(l, std::chrono::milliseconds(20), [this] { return !feeding_; });
            }
        });
    }
    void StopFeeding() {
        {
            std::lock_guard<std::mutex> l(feed_mu_);
            feeding_ = false;
            feed_cv_.notify_all();
        }
        if (feeder_.joinable())
            feeder_.join();
    }

    std::string pk_, dn_, ds_;
    ks_device_auth_s auth_;
    int msg_id_ = 0;
    kestrel_test::LogCapture log_;
    std::mutex feed_mu_;
    std::condition_variable feed_cv_;
    bool feeding_ = false;
    std::thread feeder_;
};

// Reads for `ms`, counting audio messages.
int CountAudio(PeerConn& c, int ms) {
    int n = 0;
    uint64_t until = NowMs() + ms;
    kestrel::rtmp_chunk_header_t h;
    Bytes payload;
    for (uint64_t now = NowMs(); now < until; now = NowMs()) {
        if (c.ReadMessage(&h, &payload, static_cast<int>(until - now)) &&
            h.type == kestrel::RTMP_TYPE_AUDIO)
            ++n;
    }
    return n;
}

struct Downlink {
    bool encrypted;
    int frames;
};

class VoiceDownlinkTest : public VoiceTest, public ::testing::WithParamInterface<bool> {};

// The server holds "NetStream.TalkReady" back while the camera already
// speaks: nothing goes up before it. Then the downlink, with broken bodies in
// between, reaches the application whole and in order.
TEST_P(VoiceDownlinkTest, TalkReadyLateThenBothWays) {
    const bool encrypted = GetParam();
    const int frames = 20;
    std::atomic<int> early{-1}, late{-1};
    std::atomic<bool> done{false};
    rtmptest::ScriptedPeer peer([&](PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        early = CountAudio(c, 400);
        c.SendStatus("status", "NetStream.TalkReady", "Talk ready");
        auto send = [&](const Bytes& clear, uint32_t ts) {
            c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, encrypted ? Encrypt(clear, kKey, kIv) : clear,
                   ts);
        };
        send({0x72, 0x00, 0xB0, 0x00}, 0);
        for (int i = 0; i < frames; ++i) {
            std::string s = Samples(i);
            Bytes body = {0x72, 0x01};
            body.insert(body.end(), s.begin(), s.end());
            send(body, static_cast<uint32_t>(i * 20));
            if (i == 5)
                send({0x52, 0x01, 0x00, 0x00}, 0);  // unknown format
            if (i == 10)
                send({0x72}, 0);  // too short
            if (i == 12 && encrypted) {
                Bytes bad = Encrypt(body, kKey, kIv);
                bad.pop_back();  // not whole blocks
                c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, bad, 0);
            }
        }
        late = CountAudio(c, 600);
        for (uint64_t until = NowMs() + 5000; !done && NowMs() < until;)
            CountAudio(c, 50);
    });
    StartVoice(peer.port(), "talk1", encrypted);
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    const int id = app.starts[0];
    Feed(id);
    ASSERT_TRUE(app.WaitFor([&] { return app.data.size() == static_cast<size_t>(frames); }))
        << app.data.size();
    done = true;
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }));
    peer.Join();
    EXPECT_EQ(0, early.load());
    EXPECT_GT(late.load(), 10);
    EXPECT_TRUE(log_.Contains("Talk is not ready, device audio is not queued"));
    EXPECT_TRUE(log_.Contains("Recv cmd: talk ready"));
    // In the clear the one-byte body is refused before parsing, without a line
    // of its own; encrypted, it arrives as a whole block and fails once decrypted.
    EXPECT_EQ(encrypted ? 3u : 1u, log_.Count("Audio parse failed"));
    std::lock_guard<std::mutex> l(app.mu);
    for (int i = 0; i < frames; ++i) {
        const Got& g = app.data[i];
        EXPECT_EQ(id, g.service_id);
        EXPECT_EQ(Samples(i), g.bytes) << i;
        EXPECT_EQ(static_cast<uint32_t>(i * 20), g.ts);
        EXPECT_EQ(KS_AUDIO_FORMAT_G711A, g.audio.format);
        EXPECT_EQ(KS_AUDIO_SAMPLE_RATE_8000, g.audio.sample_rate);
        EXPECT_EQ(KS_AUDIO_BITS_16, g.audio.bits_per_sample);
        EXPECT_EQ(KS_AUDIO_CHANNEL_MONO, g.audio.channel);
        EXPECT_EQ(app.data[0].thread, g.thread);
    }
    EXPECT_EQ(std::make_pair(id, static_cast<int>(KS_STREAM_CMD_VOICE)), app.stops[0]);
    EXPECT_EQ(0, app.data_after_stop);
}

INSTANTIATE_TEST_SUITE_P(ClearAndEncrypted, VoiceDownlinkTest, ::testing::Bool());

// A second request for the device replaces the first session: the first is
// stopped before the second starts, and only one stays in the table.
TEST_F(VoiceTest, NewRequestReplacesTheDevicesSession) {
    auto script = [](PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        c.SendStatus("status", "NetStream.TalkReady", "Talk ready");
        c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, {0x72, 0x00, 0xB0, 0x00}, 0);
        for (int i = 0; i < 50 && c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, {0x72, 0x01, 1, 2}, 0);
             ++i)
            CountAudio(c, 20);
    };
    rtmptest::ScriptedPeer first(script), second(script);
    App& app = App::Get();
    StartVoice(first.port(), "talkA", false);
    ASSERT_TRUE(app.WaitFor([&] { return !app.data.empty(); }));
    StartVoice(second.port(), "talkB", false);
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 2 && !app.stops.empty(); }));
    std::lock_guard<std::mutex> l(app.mu);
    EXPECT_EQ(app.starts[0], app.stops[0].first);
    EXPECT_EQ(KS_STREAM_CMD_VOICE, app.stops[0].second);
    EXPECT_EQ(0, app.data_after_stop);
    EXPECT_EQ(1u, kestrel::Single<kestrel::StreamSession>::Instance()->Manager()->Size());
}

// The server drops the connection while the application sits in its data
// callback: the close goes through on the network thread at once, and the
// application hears of the stop only after its callback has returned.
TEST_F(VoiceTest, CloseDoesNotWaitForTheApplicationsCallback) {
    std::atomic<bool> closed{false};
    rtmptest::ScriptedPeer peer([&](PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        c.SendStatus("status", "NetStream.TalkReady", "Talk ready");
        c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, {0x72, 0x00, 0xB0, 0x00}, 0);
        c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, {0x72, 0x01, 1, 2}, 20);
        App& a = App::Get();
        a.WaitFor([&] { return a.inside; });
        c.Send(4, kestrel::RTMP_TYPE_AUDIO, 1, {0x72, 0x01, 3, 4}, 40);
        CountAudio(c, 50);
    });
    App& app = App::Get();
    {
        std::lock_guard<std::mutex> l(app.mu);
        app.hold = true;
    }
    StartVoice(peer.port(), "talkC", false);
    ASSERT_TRUE(app.WaitFor([&] { return app.inside; }));
    peer.Join();
    // The relay's own close line comes after delivery was halted; the
    // socket's line before it would let the held frame's successor through.
    EXPECT_TRUE(log_.WaitFor("Connection is closed, result"));
    {
        std::lock_guard<std::mutex> l(app.mu);
        EXPECT_TRUE(app.stops.empty());
        EXPECT_TRUE(app.inside);
    }
    app.Release();
    ASSERT_TRUE(app.WaitFor([&] { return app.stops.size() == 1; }));
    std::lock_guard<std::mutex> l(app.mu);
    EXPECT_EQ(1u, app.data.size());
    EXPECT_EQ(0, app.data_after_stop);
}

// A configuration with values out of range changes nothing: the camera's
// audio keeps going up with the codec it had.
TEST_F(VoiceTest, RefusedAudioConfigurationKeepsTheUplinkGoing) {
    std::atomic<int> before{0}, after{0};
    std::atomic<bool> refused{false};
    rtmptest::ScriptedPeer peer([&](PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        c.SendStatus("status", "NetStream.TalkReady", "Talk ready");
        kestrel::rtmp_chunk_header_t h;
        Bytes payload;
        for (uint64_t until = NowMs() + 5000; NowMs() < until && after < 10;) {
            if (c.ReadMessage(&h, &payload, 100) && h.type == kestrel::RTMP_TYPE_AUDIO &&
                payload.size() > 1 && payload[1] == 1)
                ++(refused ? after : before);
        }
    });
    StartVoice(peer.port(), "talkD", false);
    App& app = App::Get();
    ASSERT_TRUE(app.WaitFor([&] { return app.starts.size() == 1; }));
    const int id = app.starts[0];
    Feed(id);
    for (int i = 0; i < 400 && before < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(before.load(), 5);
    static const ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
    static const ks_audio_param_s bad = {KS_AUDIO_FORMAT_G711U, KS_AUDIO_SAMPLE_RATE_8000, 7,
                                         KS_AUDIO_CHANNEL_MONO};
    ks_stream_send_config_param_s c{};
    c.bitrate_kbps = 64;
    c.video = &video;
    c.audio = &bad;
    ks_stream_send_config(id, &c);
    refused = true;
    peer.Join();
    EXPECT_GE(after.load(), 10);
    EXPECT_TRUE(log_.Contains("illegal audio input"));
    EXPECT_FALSE(log_.Contains("Audio codec refused"));
    EXPECT_FALSE(log_.Contains("Audio refused"));
}

}  // namespace

// The RTMP connection against scripted servers: start failures, time-outs,
// stalls, the private handshake, notifications, received audio and
// acknowledgements.
#include "net/rtmp_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <string>

#include "net/net_connector.h"
#include "net_rtmp/rtmp_peers.h"
#include "proto/rtmp_command.h"

namespace rtmptest {
namespace {

using namespace kestrel;

class RtmpClientTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NetConnector::Start(), 0); }
    void TearDown() override {
        if (owner) {
            owner->Forget();
        }
        NetConnector::Stop();
    }

    // A client owned by `owner`, bounds shortened so failures show fast.
    void Make(unsigned long start_ms = 3000, unsigned long stall_ms = 3000) {
        owner = SharedPtr<Owner>(new Owner);
        client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(owner));
        ASSERT_TRUE(client);
        client->SetLogInfo("[test]");
        client->SetTimeouts(start_ms, stall_ms);
        ASSERT_EQ(client->SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                        AUDIO_RATE_44K, AUDIO_ADD_RATE_16000),
                  0);
        owner->client = client;
    }

    std::string Url(int port, const std::string& path = "live/cam1") {
        return "rtmp://127.0.0.1:" + std::to_string(port) + "/" + path;
    }

    SharedPtr<Owner> owner;
    SharedPtr<RtmpClient> client;
};

TEST_F(RtmpClientTest, StartFailuresAreReportedAsCloses) {
    struct Case {
        std::string url;
        int reason;
    };
    const Case cases[] = {
        {"http://127.0.0.1:1935/live/cam1", RTMP_CLOSE_BAD_URL},
        {"rtmp://127.0.0.1:99999/live/cam1", RTMP_CLOSE_BAD_URL},
        {"rtmp://127.0.0.1:1935/live", RTMP_CLOSE_CREATE_FAILED},
        {"rtmp://127.0.0.1:1935/live/" + std::string(256, 's'), RTMP_CLOSE_CREATE_FAILED},
        {"rtmp://127.0.0.1:1935/" + std::string(300, 'a') + "/cam1", RTMP_CLOSE_CREATE_FAILED},
    };
    for (const Case& c : cases) {
        Make();
        client->Start(c.url, 0);
        ASSERT_TRUE(owner->WaitClosed(3000)) << c.url;
        std::lock_guard<std::mutex> lock(owner->mu);
        EXPECT_EQ(owner->close_result, c.reason) << c.url;
        EXPECT_EQ(owner->closes, 1);
        EXPECT_EQ(owner->connects, 0);
        owner->Forget();
    }
}

TEST_F(RtmpClientTest, SilentServerEndsAtTheStartBound) {
    ScriptedPeer peer([](PeerConn& c) {
        Bytes hello;
        c.ReadExact(1537, &hello);
        Bytes rest;
        c.ReadExact(1, &rest, 2000);  // answers nothing until the client gives up
    });
    Make(300);
    uint64_t t0 = NowMs();
    client->Start(Url(peer.port()), 0);
    ASSERT_TRUE(owner->WaitClosed(3000));
    EXPECT_LT(NowMs() - t0, 2000u);
    std::lock_guard<std::mutex> lock(owner->mu);
    EXPECT_EQ(owner->close_result, RTMP_CLOSE_START_TIMEOUT);
    EXPECT_EQ(owner->connects, 1);
}

TEST_F(RtmpClientTest, ServerDroppingTheHandshakeGivesTheEngineResult) {
    ScriptedPeer peer([](PeerConn& c) {
        Bytes hello;
        c.ReadExact(1537, &hello);
        c.Write({3});
    });
    Make();
    client->Start(Url(peer.port()), 0);
    ASSERT_TRUE(owner->WaitClosed(3000));
    std::lock_guard<std::mutex> lock(owner->mu);
    EXPECT_EQ(owner->close_result, DISCONNECT_PEER_CLOSED);
    EXPECT_TRUE(owner->notices.empty());
}

// A strict server: small acknowledgement window, notifications, intercom
// audio, and it stops sending until it has been acknowledged.
TEST_F(RtmpClientTest, PublishesAndTakesNotificationsAudioAndAcknowledges) {
    std::string connect_app;
    uint32_t acked = 0;
    int video_messages = 0;
    Bytes first_video;
    ScriptedPeer peer([&](PeerConn& c) {
        if (!c.ServerHandshake()) {
            return;
        }
        std::string name;
        Bytes body;
        if (!c.ReadCommand(&name, &body) || name != "connect") {
            return;
        }
        connect_app.assign(body.begin(), body.end());
        c.Send(2, RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE, 0, {0, 0, 0x10, 0});  // 4096
        c.SendConnectResult();
        for (int i = 0; i < 3; ++i) {
            c.ReadCommand(&name);
        }
        c.SendResult(2, 1);
        c.ReadCommand(&name);
        c.SendStatus("status", "NetStream.Publish.Start", "go");
        c.SendStatus("status", "NetStream.Pause.Start", "1500");
        c.Send(4, RTMP_TYPE_AUDIO, 1, {0x72, 0x00, 0xB0, 0x00}, 0);
        for (uint32_t i = 0; i < 20; ++i) {
            Bytes audio(501, static_cast<uint8_t>(i));
            audio[0] = 0x72;
            audio[1] = 0x01;
            c.Send(4, RTMP_TYPE_AUDIO, 1, audio, i * 20);
        }
        // Everything the client sends until its acknowledgement comes.
        rtmp_chunk_header_t h;
        Bytes payload;
        while (c.ReadMessage(&h, &payload)) {
            if (h.type == RTMP_TYPE_VIDEO && video_messages++ == 0) {
                first_video = payload;
            }
            if (h.type == RTMP_TYPE_ACKNOWLEDGEMENT) {
                acked = payload[0] << 24 | payload[1] << 16 | payload[2] << 8 | payload[3];
                break;
            }
        }
        c.SendStatus("status", "NetStream.TalkReady", "");
        c.ReadExact(1 << 20, &payload, 1000);  // until the client closes
    });
    Make();
    owner->frames = SampleFrames(400);
    owner->stop_when_done = false;
    // More than the connector can ever queue: refused for good (not held
    // for a later turn) before anything is taken.
    owner->oversize_len = 2 << 20;
    client->Start(Url(peer.port()), 0);
    ASSERT_TRUE(owner->WaitFor(
        [&] { return owner->audio.size() == 20 && owner->notices.size() == 3; }, 5000));
    client->Stop();
    ASSERT_TRUE(owner->WaitClosed(3000));
    peer.Join();

    EXPECT_NE(connect_app.find("tcUrl"), std::string::npos);
    EXPECT_GE(acked, 4096u);
    ASSERT_GE(video_messages, 1);
    EXPECT_EQ(first_video[0], 0x17);  // key frame, AVC
    EXPECT_EQ(first_video[1], 0x00);  // sequence header first
    std::lock_guard<std::mutex> lock(owner->mu);
    EXPECT_EQ(owner->notices[0].code, RTMP_NOTIFY_PUBLISH_START);
    EXPECT_EQ(owner->notices[1].code, RTMP_NOTIFY_PAUSE);
    EXPECT_EQ(owner->notices[1].value, 1500.0);
    EXPECT_EQ(owner->notices[2].code, RTMP_NOTIFY_TALK_READY);
    EXPECT_EQ(owner->audio_format, AUDIO_FORMAT_G711A);
    EXPECT_EQ(owner->audio_bit, 1);
    EXPECT_EQ(owner->audio_channel, 0);
    EXPECT_EQ(owner->audio_rate, AUDIO_ADD_RATE_8000);
    EXPECT_EQ(owner->audio[5], Bytes(499, 5));
    EXPECT_EQ(owner->audio_ts[5], 100u);
    EXPECT_EQ(owner->close_result, DISCONNECT_CLOSED);
    EXPECT_GT(owner->sent, 0u);
    EXPECT_EQ(owner->oversize_rc, -3);
}

TEST_F(RtmpClientTest, PrivateModeSendsItsCommandsBeforeTheServerAnswers) {
    bool got_commands = false;
    uint8_t version = 0;
    rtmp_chunk_header_t after_handshake{};
    // Stop drops what the connector still queues, so the client is stopped
    // only once the server has its first message after the handshake.
    std::promise<void> first_read;
    std::future<void> first_read_done = first_read.get_future();
    ScriptedPeer peer([&](PeerConn& c) {
        Bytes hello;
        if (!c.ReadExact(1537, &hello)) {
            return;
        }
        version = hello[0];
        c.SetReaderChunkSize(60000);
        c.SetWriterChunkSize(60000);
        std::string connect, publish;
        got_commands = c.ReadCommand(&connect) && connect == "connect" && c.ReadCommand(&publish) &&
                       publish == "publish";
        Bytes s(1537, 0x33);
        s[0] = 4;
        c.Write(s);
        c.SendStatus("status", "NetStream.Publish.Start", "");
        // No C2: what follows the handshake is chunk data.
        Bytes payload;
        c.ReadMessage(&after_handshake, &payload);
        first_read.set_value();
        c.ReadExact(1 << 20, &payload, 1000);
    });
    Make();
    owner->frames = SampleFrames(200);
    owner->stop_when_done = false;
    client->Start(Url(peer.port()), 1);
    bool first_read_in_time =
        first_read_done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    client->Stop();
    ASSERT_TRUE(owner->WaitClosed(3000));
    peer.Join();
    ASSERT_TRUE(first_read_in_time);
    EXPECT_EQ(version, 4);
    EXPECT_TRUE(got_commands);
    EXPECT_EQ(after_handshake.type, RTMP_TYPE_DATA);  // metadata leads the media
    EXPECT_EQ(after_handshake.stream_id, 1u);
    std::lock_guard<std::mutex> lock(owner->mu);
    EXPECT_GT(owner->sent, 0u);
}

// A server that stops reading: the queue stops draining and the client
// closes after the stall bound instead of waiting for ever.
TEST_F(RtmpClientTest, StalledConnectionIsClosed) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ScriptedPeer peer(
        [released](PeerConn& c) {
            if (c.ServerHandshake() && c.AcceptPublish()) {
                released.wait_for(std::chrono::seconds(10));  // reads nothing more
            }
        },
        4096);
    Make(3000, 300);
    owner->frames = SampleFrames();
    owner->loop = true;
    client->Start(Url(peer.port()), 0);
    bool closed = owner->WaitClosed(10000);
    release.set_value();
    ASSERT_TRUE(closed);
    std::lock_guard<std::mutex> lock(owner->mu);
    EXPECT_EQ(owner->close_result, RTMP_CLOSE_STALLED);
    EXPECT_GT(owner->sent, 0u);
}

}  // namespace
}  // namespace rtmptest

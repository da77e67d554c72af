// A relay that attacks the camera: floods of media it cannot use, a start
// it never finishes, frames too large for a message, play parameters in
// either form. Each attack must end in a bounded, logged outcome.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "net/net_connector.h"
#include "net/rtmp_client.h"
#include "net_rtmp/rtmp_peers.h"
#include "proto/amf0.h"
#include "proto/rtmp_command.h"

namespace rtmptest {
namespace {

using namespace kestrel;

class HostileRelayTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NetConnector::Start(), 0); }
    void TearDown() override {
        if (owner) {
            owner->Forget();
        }
        NetConnector::Stop();
    }

    void Make(unsigned long start_ms = 3000) {
        owner = SharedPtr<Owner>(new Owner);
        client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(owner));
        ASSERT_TRUE(client);
        client->SetLogInfo("[hostile]");
        client->SetTimeouts(start_ms, 3000);
        owner->client = client;
    }

    std::string Url(int port) { return "rtmp://127.0.0.1:" + std::to_string(port) + "/live/cam"; }

    kestrel_test::LogCapture log_;
    SharedPtr<Owner> owner;
    SharedPtr<RtmpClient> client;
};

// One audio message of `body` on chunk stream 4, then `repeats` more of the
// same length, each a type-3 chunk header followed by the body.
Bytes AudioFlood(const Bytes& body, size_t repeats) {
    Bytes out = {0x04, 0, 0, 0, 0, 0, static_cast<uint8_t>(body.size()), RTMP_TYPE_AUDIO, 1, 0, 0, 0};
    out.insert(out.end(), body.begin(), body.end());
    for (size_t i = 0; i < repeats; ++i) {
        out.push_back(0xC4);
        out.insert(out.end(), body.begin(), body.end());
    }
    return out;
}

// Every message the relay sends is useless: the connection is closed after a
// few, with a handful of lines, and nothing reaches the owner.
TEST_F(HostileRelayTest, UnusableAudioFloodClosesTheConnection) {
    struct Case {
        const char* name;
        Bytes body;
    };
    const Case cases[] = {
        {"empty", {}},
        {"tag header only", {0xAF}},
        {"unknown codec", {0xF2, 0x00, 0x01}},
    };
    for (const Case& c : cases) {
        log_.Clear();
        ScriptedPeer peer([&](PeerConn& conn) {
            if (!conn.ServerHandshake() || !conn.AcceptPublish()) {
                return;
            }
            // 1 MiB of messages unless the client hangs up first.
            conn.Write(AudioFlood(c.body, (1u << 20) / (c.body.size() + 1)));
            Bytes rest;
            conn.ReadExact(1 << 22, &rest, 2000);
        });
        Make();
        client->Start(Url(peer.port()), 0);
        ASSERT_TRUE(owner->WaitClosed(5000)) << c.name;
        peer.Join();
        {
            std::lock_guard<std::mutex> lock(owner->mu);
            EXPECT_EQ(owner->close_result, RTMP_CLOSE_PROTOCOL) << c.name;
            EXPECT_TRUE(owner->audio.empty()) << c.name;
        }
        EXPECT_EQ(log_.Count("unusable media messages"), 1u) << c.name;
        EXPECT_LE(log_.Count("Audio parse failed"), 3u) << c.name;
        EXPECT_LT(log_.Lines().size(), 40u) << c.name;
        owner->Forget();
    }
}

// The start bound covers the statuses the owner waits for, whichever
// handshake: a relay that answers the handshake and then stays silent is
// closed, not kept.
TEST_F(HostileRelayTest, RelayThatNeverStartsIsClosedAtTheStartBound) {
    struct Case {
        const char* name;
        int private_mode;
        unsigned notices;
    };
    const Case cases[] = {
        {"private handshake, no Publish.Start", 1, 1u << RTMP_NOTIFY_PUBLISH_START},
        {"published, no TalkReady", 0,
         1u << RTMP_NOTIFY_PUBLISH_START | 1u << RTMP_NOTIFY_TALK_READY},
        {"published, no Play.Start", 0,
         1u << RTMP_NOTIFY_PUBLISH_START | 1u << RTMP_NOTIFY_PLAY_START},
    };
    for (const Case& c : cases) {
        log_.Clear();
        ScriptedPeer peer([&](PeerConn& conn) {
            Bytes rest;
            if (c.private_mode) {
                Bytes hello;
                if (!conn.ReadExact(1537, &hello)) {
                    return;
                }
                Bytes s(1537, 0x33);
                s[0] = 4;
                conn.Write(s);
            } else if (!conn.ServerHandshake() || !conn.AcceptPublish()) {
                return;
            }
            conn.ReadExact(1 << 22, &rest, 3000);  // silent until the client leaves
        });
        Make(300);
        client->SetStartNotices(c.notices);
        client->Start(Url(peer.port()) + "?token=secret-token-value", c.private_mode);
        ASSERT_TRUE(owner->WaitClosed(5000)) << c.name;
        peer.Join();
        std::lock_guard<std::mutex> lock(owner->mu);
        EXPECT_EQ(owner->close_result, RTMP_CLOSE_START_TIMEOUT) << c.name;
        // The time-out line names the URL, never its signed query.
        EXPECT_EQ(log_.Count("RTMP start took over"), 1u) << c.name;
        EXPECT_EQ(log_.Count("secret-token-value"), 0u) << c.name;
        owner->Forget();
    }
}

// A frame the connector can never queue is refused for good (the owner
// drops it), one that fits an empty queue goes out instead of waiting for
// room that can never come.
TEST_F(HostileRelayTest, FramesNearOneMebibyteAreSentOrRefusedForGood) {
    struct Case {
        size_t len;
        bool refused_for_good;
    };
    const Case cases[] = {
        {1024 * 1024, true},
        {RtmpClient::kMaxFrame + 1, true},
        {1024 * 1024 - 32 * 1024, false},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer([](PeerConn& conn) {
            Bytes rest;
            if (conn.ServerHandshake() && conn.AcceptPublish()) {
                conn.ReadExact(1 << 22, &rest, 1000);
            }
        });
        Make();
        owner->oversize_len = c.len;
        owner->stop_when_done = false;
        client->Start(Url(peer.port()), 0);
        ASSERT_TRUE(owner->WaitFor([&] { return owner->oversize_rc != 1; }, 5000)) << c.len;
        client->Stop();
        ASSERT_TRUE(owner->WaitClosed(3000));
        peer.Join();
        std::lock_guard<std::mutex> lock(owner->mu);
        if (c.refused_for_good) {
            EXPECT_EQ(owner->oversize_rc, -3) << c.len;
        } else {
            EXPECT_NE(owner->oversize_rc, -2) << c.len;  // never "no room" on an empty queue
        }
        owner->Forget();
    }
    EXPECT_EQ(log_.Count("over the"), 2u);
}

// onStatus NetStream.SetPlayParam.Start whose description is `desc_marker`
// + value: a String holding the object's bytes, or the bare object.
Bytes PlayParamStatus(bool bare) {
    uint8_t obj[128];
    const uint8_t* oe = obj + sizeof obj;
    uint8_t* q = AMFWriteObject(obj, oe);
    q = AMFWriteNamedBoolean(q, oe, "onlyKeyFrame", 12, 1);
    q = AMFWriteNamedDouble(q, oe, "speed", 5, 4);
    q = AMFWriteObjectEnd(q, oe);
    Bytes b(512);
    const uint8_t* e = b.data() + b.size();
    uint8_t* p = AMFWriteString(b.data(), e, "onStatus", 8);
    p = AMFWriteDouble(p, e, 0);
    p = AMFWriteNull(p, e);
    p = AMFWriteObject(p, e);
    p = AMFWriteNamedString(p, e, "level", 5, "status", 6);
    const char code[] = "NetStream.SetPlayParam.Start";
    p = AMFWriteNamedString(p, e, "code", 4, code, sizeof code - 1);
    if (bare) {
        const uint8_t name[] = {0, 11, 'd', 'e', 's', 'c', 'r', 'i', 'p', 't', 'i', 'o', 'n'};
        p = std::copy(name, name + sizeof name, p);
        p = std::copy(obj, q, p);
    } else {
        p = AMFWriteNamedString(p, e, "description", 11, reinterpret_cast<const char*>(obj),
                                static_cast<size_t>(q - obj));
    }
    p = AMFWriteObjectEnd(p, e);
    b.resize(static_cast<size_t>(p - b.data()));
    return b;
}

TEST_F(HostileRelayTest, PlayParametersAreReadInBothForms) {
    ScriptedPeer peer([](PeerConn& conn) {
        Bytes rest;
        if (conn.ServerHandshake() && conn.AcceptPublish()) {
            conn.Send(5, RTMP_TYPE_INVOKE, 1, PlayParamStatus(false));
            conn.Send(5, RTMP_TYPE_INVOKE, 1, PlayParamStatus(true));
            conn.ReadExact(1 << 22, &rest, 1000);
        }
    });
    Make();
    owner->stop_when_done = false;
    client->Start(Url(peer.port()), 0);
    ASSERT_TRUE(owner->WaitFor([&] { return owner->notices.size() >= 3; }, 5000));
    client->Stop();
    ASSERT_TRUE(owner->WaitClosed(3000));
    peer.Join();
    std::lock_guard<std::mutex> lock(owner->mu);
    ASSERT_EQ(owner->notices.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(owner->notices[i].code, RTMP_NOTIFY_SET_PLAY_PARAM) << i;
        EXPECT_TRUE(owner->notices[i].has_data) << i;
        EXPECT_EQ(owner->notices[i].text, "{\"onlyKeyFrame\":1, \"speed\":4.000000}") << i;
    }
}

}  // namespace
}  // namespace rtmptest

#include "proto/rtmp_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "proto/amf0.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes H(const char* hex) {
    Bytes b;
    for (const char* p = hex; *p;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        b.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return b;
}

Bytes T(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Command bodies as the server expects them, written out by hand.
const Bytes kConnect = Cat({H("02 0007"),
                            T("connect"),
                            H("00 3ff0000000000000 03"),
                            H("0003"),
                            T("app"),
                            H("02 0004"),
                            T("live"),
                            H("0008"),
                            T("flashVer"),
                            H("02 000d"),
                            T("LNX 9,0,124,2"),
                            H("0005"),
                            T("tcUrl"),
                            H("02 000d"),
                            T("rtmp://h/live"),
                            H("0004"),
                            T("fpad"),
                            H("01 00"),
                            H("000c"),
                            T("capabilities"),
                            H("00 402e000000000000"),
                            H("000b"),
                            T("audioCodecs"),
                            H("00 40a8ee0000000000"),
                            H("000b"),
                            T("videoCodecs"),
                            H("00 406f800000000000"),
                            H("000d"),
                            T("videoFunction"),
                            H("00 3ff0000000000000"),
                            H("000e"),
                            T("objectEncoding"),
                            H("00 0000000000000000"),
                            H("000009")});
const Bytes kReleaseStream =
    Cat({H("02 000d"), T("releaseStream"), H("00 0000000000000000 05 02 0004"), T("cam1")});
const Bytes kFcPublish =
    Cat({H("02 0009"), T("FCPublish"), H("00 0000000000000000 05 02 0004"), T("cam1")});
const Bytes kCreateStream = Cat({H("02 000c"), T("createStream"), H("00 4000000000000000 05")});
const Bytes kPublish = Cat({H("02 0007"), T("publish"), H("00 0000000000000000 05 02 0004"),
                            T("cam1"), H("02 0004"), T("live")});
const Bytes kPlay = Cat({H("02 0004"), T("play"), H("00 0000000000000000 05 02 0004"), T("cam1"),
                         H("00 c000000000000000 00 bff0000000000000 01 01")});

struct Delivered {
    rtmp_chunk_header_t header;
    Bytes payload;
};

// Reads what the client sent as a server would, following its chunk size.
class ClientStream {
  public:
    explicit ClientStream(uint32_t chunk_size = 128) { reader_.SetChunkSize(chunk_size); }
    std::vector<Delivered> Take(Bytes* out) {
        std::vector<Delivered> got;
        size_t pos = 0;
        while (pos < out->size()) {
            size_t used = 0;
            rtmp_message_t msg;
            int rc = reader_.Read(out->data() + pos, out->size() - pos, &used, &msg);
            EXPECT_GE(rc, 0);
            if (rc < 0) {
                break;
            }
            pos += used;
            if (rc == RTMP_CHUNK_MESSAGE) {
                got.push_back({msg.header, Bytes(msg.payload, msg.payload + msg.length)});
                if (msg.header.type == RTMP_TYPE_SET_CHUNK_SIZE) {
                    reader_.SetChunkSize(msg.payload[0] << 24 | msg.payload[1] << 16 |
                                         msg.payload[2] << 8 | msg.payload[3]);
                }
            }
        }
        out->clear();
        return got;
    }

  private:
    RtmpChunkReader reader_;
};

// The server side of the conversation.
class Server {
  public:
    Bytes Message(uint32_t cid, uint8_t type, uint32_t sid, const Bytes& payload, uint32_t ts = 0) {
        rtmp_chunk_header_t h;
        h.cid = cid;
        h.type = type;
        h.stream_id = sid;
        h.timestamp = ts;
        h.length = static_cast<uint32_t>(payload.size());
        Bytes out;
        EXPECT_EQ(writer_.Write(h, payload.data(), &out), 0);
        return out;
    }
    void SetChunkSize(uint32_t size) { writer_.SetChunkSize(size); }
    Bytes Command(const Bytes& body) { return Message(3, RTMP_TYPE_INVOKE, 0, body); }
    Bytes ConnectResult() {
        uint8_t b[512];
        const uint8_t* e = b + sizeof b;
        uint8_t* p = AMFWriteString(b, e, "_result", 7);
        p = AMFWriteDouble(p, e, 1);
        p = AMFWriteObject(p, e);
        p = AMFWriteNamedString(p, e, "fmsVer", 6, "FMS/3,0,1,123", 13);
        p = AMFWriteNamedDouble(p, e, "capabilities", 12, 31);
        p = AMFWriteObjectEnd(p, e);
        p = AMFWriteObject(p, e);
        p = AMFWriteNamedString(p, e, "level", 5, "status", 6);
        p = AMFWriteNamedString(p, e, "code", 4, "NetConnection.Connect.Success", 29);
        p = AMFWriteNamedString(p, e, "description", 11, "Connection succeeded.", 21);
        p = AMFWriteObjectEnd(p, e);
        return Command(Bytes(b, p));
    }
    Bytes Result(double txn, double stream_id) {
        uint8_t b[64];
        const uint8_t* e = b + sizeof b;
        uint8_t* p = AMFWriteString(b, e, "_result", 7);
        p = AMFWriteDouble(p, e, txn);
        p = AMFWriteNull(p, e);
        p = AMFWriteDouble(p, e, stream_id);
        return Command(Bytes(b, p));
    }
    Bytes Status(const std::string& level, const std::string& code, const Bytes& description,
                 const char* name = "onStatus") {
        Bytes b(1024);
        const uint8_t* e = b.data() + b.size();
        uint8_t* p = AMFWriteString(b.data(), e, name, std::strlen(name));
        p = AMFWriteDouble(p, e, 0);
        p = AMFWriteNull(p, e);
        p = AMFWriteObject(p, e);
        p = AMFWriteNamedString(p, e, "level", 5, level.data(), level.size());
        p = AMFWriteNamedString(p, e, "code", 4, code.data(), code.size());
        p = AMFWriteNamedString(p, e, "description", 11,
                                reinterpret_cast<const char*>(description.data()),
                                description.size());
        p = AMFWriteObjectEnd(p, e);
        b.resize(p - b.data());
        return Command(b);
    }
    Bytes Control(uint8_t type, const Bytes& payload) { return Message(2, type, 0, payload); }

  private:
    RtmpChunkWriter writer_;
};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i * 13 + seed);
    }
    return b;
}

RtmpSessionConfig Config(int private_mode = 0, int publish = 0) {
    RtmpSessionConfig c;
    c.app = "live";
    c.stream = "cam1";
    c.tc_url = "rtmp://h/live";
    c.private_mode = private_mode;
    c.publish = publish;
    return c;
}

std::vector<RtmpEvent> Events(RtmpSession& s) {
    std::vector<RtmpEvent> all;
    RtmpEvent ev;
    while (s.PollEvent(&ev)) {
        all.push_back(ev);
    }
    return all;
}

// A normal-mode session that has been through the handshake and, when
// `publish_ready`, has its stream.
void Establish(RtmpSession& s, Server& server, ClientStream& client, int publish = 0,
               bool publish_ready = true) {
    ASSERT_EQ(s.Configure(Config(0, publish)), 0);
    ASSERT_EQ(s.Start(1, nullptr), 0);
    s.Output().clear();
    Bytes hs = Cat({{3}, Pattern(1536, 1), Pattern(1536, 2)});
    ASSERT_EQ(s.Input(hs.data(), hs.size(), 2), 0);
    s.Output().erase(s.Output().begin(), s.Output().begin() + 1536);
    if (publish_ready) {
        Bytes in = Cat({server.ConnectResult(), server.Result(2, 1)});
        ASSERT_EQ(s.Input(in.data(), in.size(), 3), 0);
    }
    client.Take(&s.Output());
    Events(s);
}

TEST(RtmpSession, PublishSequenceIsByteExact) {
    RtmpSession s;
    Server server;
    ClientStream client;
    ASSERT_EQ(s.Configure(Config()), 0);
    Bytes random = Pattern(RTMP_HANDSHAKE_RANDOM, 9);
    ASSERT_EQ(s.Start(0x11223344, random.data()), 0);
    Bytes& out = s.Output();
    ASSERT_EQ(out.size(), 1537u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 9), H("03 11223344 00000000"));
    EXPECT_EQ(Bytes(out.begin() + 9, out.end()), random);
    out.clear();

    // S0 and S1 split at odd places, then S2: C2 echoes S1 with our time.
    Bytes s1 = Pattern(1536, 5);
    Bytes hs = Cat({{3}, s1});
    ASSERT_EQ(s.Input(hs.data(), 700, 0x55667788), 0);
    ASSERT_EQ(s.Input(hs.data() + 700, hs.size() - 700, 0x55667788), 0);
    Bytes c2 = s1;
    std::memcpy(c2.data() + 4, H("55667788").data(), 4);
    EXPECT_EQ(out, c2);
    out.clear();
    Bytes s2 = Pattern(1536, 6);
    ASSERT_EQ(s.Input(s2.data(), s2.size(), 0), 0);
    auto msgs = client.Take(&out);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].payload, kConnect);
    EXPECT_EQ(msgs[0].header.cid, 3u);
    EXPECT_EQ(msgs[0].header.type, RTMP_TYPE_INVOKE);
    EXPECT_EQ(msgs[0].header.stream_id, 0u);

    Bytes result = server.ConnectResult();
    ASSERT_EQ(s.Input(result.data(), result.size(), 0), 0);
    msgs = client.Take(&out);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].payload, kReleaseStream);
    EXPECT_EQ(msgs[1].payload, kFcPublish);
    EXPECT_EQ(msgs[2].payload, kCreateStream);
    for (const auto& m : msgs) {
        EXPECT_EQ(m.header.stream_id, 0u);
    }
    uint8_t media[4] = {0x17, 0, 0, 0};
    EXPECT_EQ(s.PushMedia(RTMP_CHANNEL_MEDIA, RTMP_TYPE_VIDEO, media, 4, 0),
              RTMP_SESSION_NO_STREAM);
    EXPECT_TRUE(out.empty());

    result = server.Result(2, 1);
    ASSERT_EQ(s.Input(result.data(), result.size(), 0), 0);
    msgs = client.Take(&out);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].payload, kPublish);
    EXPECT_EQ(msgs[0].header.stream_id, 1u);
    EXPECT_EQ(msgs[1].header.type, RTMP_TYPE_SET_CHUNK_SIZE);
    EXPECT_EQ(msgs[1].payload, H("00010000"));
    EXPECT_EQ(s.OutChunkSize(), 65536u);

    // Media now goes out on stream 1, at the new chunk size.
    Bytes frame = Pattern(70000, 3);
    ASSERT_EQ(s.PushMedia(RTMP_CHANNEL_MEDIA, RTMP_TYPE_VIDEO, frame.data(), frame.size(), 40), 0);
    EXPECT_EQ(out.size(), 12u + 65536 + 1 + (70000 - 65536));
    msgs = client.Take(&out);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].payload, frame);
    EXPECT_EQ(msgs[0].header.stream_id, 1u);
    EXPECT_EQ(msgs[0].header.timestamp, 40u);

    Bytes status = server.Status("status", "netstream.PUBLISH.start", T("go"));
    ASSERT_EQ(s.Input(status.data(), status.size(), 0), 0);
    auto events = Events(s);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, RTMP_EVENT_CONNECTED);
    EXPECT_EQ(events[1].kind, RTMP_EVENT_STREAM_CREATED);
    EXPECT_EQ(events[2].kind, RTMP_EVENT_NOTIFY);
    EXPECT_EQ(events[2].notify, RTMP_NOTIFY_PUBLISH_START);
    EXPECT_TRUE(s.Started());
}

TEST(RtmpSession, PrivateModeSendsEverythingAtOnceWithoutC2) {
    RtmpSession s;
    ASSERT_EQ(s.Configure(Config(1)), 0);
    ASSERT_EQ(s.Start(7, nullptr), 0);
    Bytes out = s.Output();
    s.Output().clear();
    ASSERT_GT(out.size(), 1537u);
    EXPECT_EQ(out[0], 4);
    out.erase(out.begin(), out.begin() + 1537);
    ClientStream client(60000);
    auto msgs = client.Take(&out);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].payload, kConnect);
    EXPECT_EQ(msgs[1].payload, kPublish);
    EXPECT_EQ(msgs[1].header.stream_id, 1u);
    EXPECT_EQ(s.StreamId(), 1u);

    // S0 of 4 and S1 end the handshake; nothing is answered.
    Bytes hs = Cat({{4}, Pattern(1536, 1)});
    ASSERT_EQ(s.Input(hs.data(), hs.size(), 8), 0);
    EXPECT_TRUE(s.HandshakeDone());
    EXPECT_TRUE(s.Output().empty());
    // The connect result asks for nothing more.
    // The private server writes at the chunk size agreed in advance.
    Server server;
    server.SetChunkSize(60000);
    Bytes result = server.ConnectResult();
    ASSERT_EQ(s.Input(result.data(), result.size(), 8), 0);
    EXPECT_TRUE(s.Output().empty());
}

TEST(RtmpSession, ServerVersionByte) {
    struct Case {
        int private_mode;
        uint8_t s0;
        bool ok;
    };
    const Case cases[] = {{0, 3, true}, {0, 4, false}, {0, 6, false},
                          {1, 3, true}, {1, 4, true},  {1, 5, false}};
    for (const Case& c : cases) {
        RtmpSession s;
        ASSERT_EQ(s.Configure(Config(c.private_mode)), 0);
        ASSERT_EQ(s.Start(0, nullptr), 0);
        int rc = s.Input(&c.s0, 1, 0);
        EXPECT_EQ(rc == 0, c.ok) << c.private_mode << " " << int(c.s0);
        if (!c.ok) {
            EXPECT_FALSE(s.LastError().empty());
        }
    }
}

Bytes PlayParamObject() {
    uint8_t b[64];
    const uint8_t* e = b + sizeof b;
    uint8_t* p = AMFWriteObject(b, e);
    p = AMFWriteNamedBoolean(p, e, "onlyKeyFrame", 12, 1);
    p = AMFWriteNamedDouble(p, e, "speed", 5, 2);
    p = AMFWriteObjectEnd(p, e);
    return Bytes(b, p);
}

TEST(RtmpSession, StatusCodesBecomeNotifications) {
    struct Case {
        int publish;
        const char* level;
        const char* code;
        Bytes description;
        int rc;
        int notify;        // RTMP_NOTIFY_NONE: no notification
        const char* text;  // expected text, null for none
        double value;      // expected value when non-zero
    };
    const int kNone = RTMP_NOTIFY_NONE;
    const Case cases[] = {
        {0, "status", "NetStream.Publish.Start", T("x"), 0, 1, nullptr, 0},
        {0, "status", "netstream.publish.start", T("x"), 0, 1, nullptr, 0},
        {0, "status", "NetStream.Play.Start", T("hello"), 0, 0, "hello", 0},
        {0, "status", "NetStream.Pause.Start", T("1500"), 0, 2, nullptr, 1500.0},
        {0, "status", "NetStream.Unpause.Start", T("20.5"), 0, 3, nullptr, 20.5},
        {0, "warning", "NetStream.Seek.Start", T("3000"), 0, 4, nullptr, 3000.0},
        {0, "status", "NetStream.Complete.Response", T(""), 0, 5, nullptr, 0},
        {0, "status", "NetStream.Stop.Start", T(""), 0, 6, nullptr, 0},
        {0, "status", "NetStream.ForceIFrame.Start", T(""), 0, 9, nullptr, 0},
        {0, "status", "NetStream.SetPlayParam.Start", T("not amf"), 0, 10, nullptr, 0},
        {0, "status", "NetStream.SetPlayParam.Start", PlayParamObject(), 0, 10,
         "{\"onlyKeyFrame\":1, \"speed\":2.000000}", 0},
        {0, "status", "NetStream.TalkReady", T(""), 0, 11, nullptr, 0},
        {0, "status", "NetStream.Play.Complete", T(""), 0, kNone, nullptr, 0},
        {0, "status", "NetStream.Pre.Complete", T(""), 0, kNone, nullptr, 0},
        {0, "status", "NetStream.Play.Reset", T(""), 0, kNone, nullptr, 0},
        {0, "status", "NetStream.VOD.Complete", T(""), 0, kNone, nullptr, 0},
        {0, "error", "NetStream.Complete.Response", T(""), -1, 5, nullptr, 0},
        {0, "error", "NetStream.Publish.Start", T(""), -1, kNone, nullptr, 0},
        {0, "status", "NetConnection.Connect.Rejected", T(""), -1, kNone, nullptr, 0},
        {0, "status", "NetStream.Play.StreamNotFound", T(""), -1, kNone, nullptr, 0},
        {1, "status", "NetStream.Play.Complete", T(""), 0, 7, nullptr, 0},
        {1, "status", "NetStream.Pre.Complete", T(""), 0, 8, nullptr, 0},
        {1, "status", "NetStream.Play.Start", T("p"), 0, 0, "p", 0},
        {1, "status", "NetStream.Publish.Start", T(""), 0, kNone, nullptr, 0},
        {1, "status", "NetStream.Pause.Start", T("1"), 0, kNone, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.level) + " " + c.code);
        RtmpSession s;
        Server server;
        ClientStream client;
        Establish(s, server, client, c.publish);
        Bytes msg = server.Status(c.level, c.code, c.description);
        EXPECT_EQ(s.Input(msg.data(), msg.size(), 0), c.rc);
        auto events = Events(s);
        if (c.notify == kNone) {
            EXPECT_TRUE(events.empty());
            continue;
        }
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].notify, c.notify);
        EXPECT_EQ(events[0].has_text, c.text != nullptr);
        if (c.text) {
            EXPECT_EQ(events[0].text, c.text);
        }
        EXPECT_EQ(events[0].has_value, c.value != 0);
        EXPECT_EQ(events[0].value, c.value);
    }
}

TEST(RtmpSession, UnknownLevelsAndCodesAreReportedNotActedOn) {
    for (const char* level : {"status", "notalevel-and-long", ""}) {
        RtmpSession s;
        Server server;
        ClientStream client;
        Establish(s, server, client);
        const char* code = std::string(level) == "status" ? "Vendor.Thing" : "NetStream.Failed";
        Bytes msg = server.Status(level, code, T("d"));
        ASSERT_EQ(s.Input(msg.data(), msg.size(), 0), 0) << level;
        auto events = Events(s);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, RTMP_EVENT_STATUS_UNHANDLED);
        EXPECT_TRUE(s.Output().empty());
    }
}

TEST(RtmpSession, CommandsThatFailOrAreIgnored) {
    struct Case {
        const char* what;
        int rc;
    };
    Server shapes;
    const std::pair<Bytes, Case> cases[] = {
        {shapes.Result(7, 1), {"_result of an unknown transaction", 0}},
        {shapes.Status("error", "X", T(""), "_error"), {"_error", -1}},
        {shapes.Status("status", "X", T(""), "play"), {"server-role request", 0}},
        {shapes.Status("status", "X", T(""), "whatever"), {"unknown command", 0}},
        {shapes.Command(H("02 0003 414243")), {"no transaction id", RTMP_SESSION_MALFORMED}},
        {shapes.Command(H("00 3ff0000000000000")), {"no name", RTMP_SESSION_MALFORMED}},
        {shapes.Command(Cat({H("02 0008"), T("onStatus"), H("00 0000000000000000 05 03 0004")})),
         {"truncated status", RTMP_SESSION_MALFORMED}},
        {shapes.Command(Cat({H("02 0007"), T("_result"), H("00 4000000000000000 05")})),
         {"createStream result without id", RTMP_SESSION_MALFORMED}},
        {shapes.Message(3, 7, 0, H("00")), {"unknown message type", -1}},
        {shapes.Result(2, std::nan("")), {"stream id not a number", RTMP_SESSION_MALFORMED}},
        {shapes.Result(2, 0), {"stream id 0", -1}},
        {shapes.Result(2, 1.5), {"fractional stream id", -1}},
        {shapes.Result(2, 5e9), {"stream id beyond 32 bits", -1}},
    };
    for (const auto& [wire, c] : cases) {
        RtmpSession s;
        Server server;
        ClientStream client;
        Establish(s, server, client, 0, false);
        EXPECT_EQ(s.Input(wire.data(), wire.size(), 0), c.rc) << c.what;
        EXPECT_TRUE(s.Output().empty()) << c.what;
        EXPECT_EQ(s.StreamId(), 0u) << c.what;
    }
}

TEST(RtmpSession, ControlMessagesAreAnswered) {
    RtmpSession s;
    Server server;
    ClientStream client;
    Establish(s, server, client);
    Bytes in = Cat({server.Control(RTMP_TYPE_EVENT, H("0006 000004d2")),
                    server.Control(RTMP_TYPE_SET_PEER_BANDWIDTH, H("00001000 02")),
                    server.Control(RTMP_TYPE_EVENT, H("0003 00000001 00000bb8")),
                    server.Control(RTMP_TYPE_SET_CHUNK_SIZE, H("00000040")),
                    server.Control(RTMP_TYPE_ABORT, H("00000004")),
                    server.Control(RTMP_TYPE_SET_CHUNK_SIZE, H("0000"))});  // wrong size: dropped
    ASSERT_EQ(s.Input(in.data(), in.size(), 0), 0);
    auto msgs = client.Take(&s.Output());
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].header.type, RTMP_TYPE_EVENT);
    EXPECT_EQ(msgs[0].payload, H("0007 000004d2"));
    EXPECT_EQ(msgs[1].header.type, RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE);
    EXPECT_EQ(msgs[1].payload, H("002625a0"));

    // The server's chunk size 64 now applies.
    Bytes audio = Pattern(100, 4);
    rtmp_chunk_header_t h;
    h.cid = 4;
    h.type = RTMP_TYPE_AUDIO;
    h.length = 100;
    h.timestamp = 77;
    h.stream_id = 1;
    RtmpChunkWriter small;
    small.SetChunkSize(64);
    Bytes wire;
    small.Write(h, audio.data(), &wire);
    ASSERT_EQ(s.Input(wire.data(), wire.size(), 0), 0);
    auto events = Events(s);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, RTMP_EVENT_AUDIO);
    EXPECT_EQ(events[0].data, audio);
    EXPECT_EQ(events[0].timestamp, 77u);

    for (const Bytes& bad : {H("0000003f"), H("00800001")}) {
        RtmpSession t;
        Server srv;
        ClientStream cl;
        Establish(t, srv, cl);
        Bytes m = srv.Control(RTMP_TYPE_SET_CHUNK_SIZE, bad);
        EXPECT_EQ(t.Input(m.data(), m.size(), 0), -1);
    }
    RtmpSession u;
    Server srv;
    ClientStream cl;
    Establish(u, srv, cl);
    Bytes short_event = srv.Control(RTMP_TYPE_EVENT, H("0006 0000"));
    EXPECT_EQ(u.Input(short_event.data(), short_event.size(), 0), -1);
}

// A strict server stalls its downlink until the client acknowledges each
// window of bytes.
TEST(RtmpSession, AcknowledgesEachWindowOfReceivedBytes) {
    RtmpSession s;
    Server server;
    ClientStream client;
    Establish(s, server, client);
    uint64_t fed = 1 + 1536 + 1536 + server.ConnectResult().size() + server.Result(2, 1).size();
    Bytes window = server.Control(RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE, H("00001000"));
    ASSERT_EQ(s.Input(window.data(), window.size(), 0), 0);
    fed += window.size();
    EXPECT_EQ(s.WindowSize(), 4096u);
    std::vector<uint32_t> acks;
    std::vector<uint64_t> fed_at;
    for (int i = 0; i < 20; ++i) {
        Bytes audio = server.Message(4, RTMP_TYPE_AUDIO, 1, Pattern(1000, 1), i * 20);
        ASSERT_EQ(s.Input(audio.data(), audio.size(), 0), 0);
        fed += audio.size();
        for (const auto& m : client.Take(&s.Output())) {
            ASSERT_EQ(m.header.type, RTMP_TYPE_ACKNOWLEDGEMENT);
            acks.push_back(m.payload[0] << 24 | m.payload[1] << 16 | m.payload[2] << 8 |
                           m.payload[3]);
            fed_at.push_back(fed);
        }
    }
    ASSERT_GE(acks.size(), 4u);
    for (size_t i = 0; i < acks.size(); ++i) {
        EXPECT_EQ(acks[i], fed_at[i]);
        if (i) {
            EXPECT_GE(acks[i] - acks[i - 1], 4096u);
        }
    }
    EXPECT_LT(fed - acks.back(), 4096u);
}

TEST(RtmpSession, NamesThatDoNotFitAreRefused) {
    struct Case {
        size_t app, stream, tc_url;
        int rc;
    };
    const Case cases[] = {{255, 255, 255, 0},
                          {256, 4, 0, RTMP_SESSION_BAD_ARGUMENT},
                          {4, 256, 0, RTMP_SESSION_BAD_ARGUMENT},
                          {4, 4, 256, RTMP_SESSION_BAD_ARGUMENT},
                          {0, 4, 0, RTMP_SESSION_BAD_ARGUMENT},
                          {4, 0, 0, RTMP_SESSION_BAD_ARGUMENT}};
    for (const Case& c : cases) {
        RtmpSession s;
        RtmpSessionConfig cfg;
        cfg.app.assign(c.app, 'a');
        cfg.stream.assign(c.stream, 's');
        cfg.tc_url.assign(c.tc_url, 't');
        EXPECT_EQ(s.Configure(cfg), c.rc);
        if (c.rc == 0) {
            // The longest names still make a connect and a publish.
            ASSERT_EQ(s.Start(0, nullptr), 0);
        } else {
            EXPECT_EQ(s.Start(0, nullptr), RTMP_SESSION_BAD_STATE);
        }
    }
}

TEST(RtmpSession, PlayModeAsksForTheStreamAfterConnect) {
    RtmpSession s;
    RtmpSessionConfig cfg = Config(0, 3);
    cfg.transcode = 1;
    ASSERT_EQ(s.Configure(cfg), 0);
    ASSERT_EQ(s.Start(0, nullptr), 0);
    Bytes hs = Cat({{3}, Pattern(3072, 1)});
    ASSERT_EQ(s.Input(hs.data(), hs.size(), 0), 0);
    s.Output().erase(s.Output().begin(), s.Output().begin() + 1536 + 1);
    s.Output().clear();
    Server server;
    ClientStream client;
    Bytes in = Cat({server.ConnectResult(), server.Result(2, 5)});
    ASSERT_EQ(s.Input(in.data(), in.size(), 0), 0);
    auto msgs = client.Take(&s.Output());
    ASSERT_EQ(msgs.size(), 5u);
    std::string request(msgs[0].payload.begin(), msgs[0].payload.end());
    EXPECT_NE(request.find("NetStream.RequestAudioType"), std::string::npos);
    EXPECT_NE(request.find(std::string("\x00\x0a"
                                       "audio_type\x02\x00\x01"
                                       "1",
                                       16)),
              std::string::npos);
    EXPECT_EQ(msgs[1].payload, kCreateStream);
    EXPECT_EQ(msgs[2].payload, Cat({H("02 000f"), T("getStreamLength"),
                                    H("00 4008000000000000 05 02 0004"), T("cam1")}));
    EXPECT_EQ(msgs[3].payload, kPlay);
    EXPECT_EQ(msgs[3].header.stream_id, 5u);
    EXPECT_EQ(msgs[4].payload, H("0003 00000005 00007530"));
}

}  // namespace
}  // namespace kestrel

// The sample media published through RtmpClient into nginx with the RTMP
// module, which records it; ffprobe and ffmpeg then judge the recording.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "net/net_connector.h"
#include "net/rtmp_client.h"
#include "net_rtmp/rtmp_peers.h"
#include "proto/url.h"

namespace rtmptest {
namespace {

using namespace kestrel;

struct Packet {
    std::string type;
    double dts;
    bool key;
};

std::vector<Packet> Packets(const std::string& file) {
    std::string out;
    EXPECT_EQ(
        RunCommand("ffprobe -v error -show_entries packet=codec_type,dts_time,flags -of csv=p=0 '" +
                       file + "'",
                   &out),
        0)
        << out;
    std::vector<Packet> packets;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        std::istringstream fields(line);
        std::string type, dts, flags;
        std::getline(fields, type, ',');
        std::getline(fields, dts, ',');
        std::getline(fields, flags, ',');
        char* end = nullptr;
        double value = std::strtod(dts.c_str(), &end);
        EXPECT_TRUE(end && *end == '\0' && !dts.empty()) << line;
        packets.push_back({type, value, flags.find('K') != std::string::npos});
    }
    return packets;
}

std::string StreamInfo(const std::string& file, const char* select) {
    std::string out;
    RunCommand(std::string("ffprobe -v error -select_streams ") + select +
                   " -show_entries stream=codec_name,profile,width,height,sample_rate,channels "
                   "-of default=nw=1 '" +
                   file + "'",
               &out);
    return out;
}

class RtmpRelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(relay.Started()) << "nginx with the RTMP module did not start:\n"
                                     << relay.ErrorLog();
        ASSERT_EQ(NetConnector::Start(), 0);
        owner = SharedPtr<Owner>(new Owner);
        client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(owner));
        ASSERT_TRUE(client);
        client->SetLogInfo("[relay]");
        ASSERT_EQ(client->SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                        AUDIO_RATE_44K, AUDIO_ADD_RATE_16000),
                  0);
        owner->client = client;
        dir = TempDir();
    }
    void TearDown() override {
        owner->Forget();
        NetConnector::Stop();
        RunCommand("rm -rf '" + dir + "'", nullptr);
    }

    // Publishes owner->frames, waits for the close and stops the relay so
    // the recording is complete.
    std::string Publish(const std::string& stream) {
        client->Start("rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/" + stream, 0);
        EXPECT_TRUE(owner->WaitClosed(30000));
        relay.Stop();
        std::lock_guard<std::mutex> lock(owner->mu);
        EXPECT_EQ(owner->close_result, DISCONNECT_CLOSED);
        EXPECT_EQ(owner->sent, owner->frames.size());
        EXPECT_EQ(owner->refused, 0);
        return relay.Recording(stream);
    }

    // The frames' own video written as a raw stream, for ffprobe to compare.
    std::string RawVideo() {
        std::string path = dir + "/source.h264";
        std::ofstream out(path, std::ios::binary);
        for (const Frame& f : owner->frames) {
            if (f.video) {
                out << f.data;
            }
        }
        return path;
    }

    NginxRelay relay;
    SharedPtr<Owner> owner;
    SharedPtr<RtmpClient> client;
    std::string dir;
};

TEST_F(RtmpRelayTest, RecordingDecodesWithEveryFrameInPlace) {
    owner->frames = SampleFrames();
    std::string file = Publish("cam1");

    std::string errors;
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + file + "' -f null -", &errors), 0);
    EXPECT_EQ(errors, "");
    std::string video = StreamInfo(file, "v");
    EXPECT_NE(video.find("codec_name=h264"), std::string::npos) << video;
    EXPECT_EQ(video, StreamInfo(RawVideo(), "v"));
    std::string audio = StreamInfo(file, "a");
    EXPECT_NE(audio.find("codec_name=aac"), std::string::npos) << audio;
    EXPECT_NE(audio.find("sample_rate=16000"), std::string::npos) << audio;
    EXPECT_NE(audio.find("channels=1"), std::string::npos) << audio;

    std::vector<bool> keys;
    size_t audio_frames = 0;
    for (const Frame& f : owner->frames) {
        if (f.video) {
            keys.push_back(f.key);
        } else {
            ++audio_frames;
        }
    }
    std::vector<bool> recorded_keys;
    size_t recorded_audio = 0;
    double last_video = -1, last_audio = -1;
    for (const Packet& p : Packets(file)) {
        if (p.type == "video") {
            recorded_keys.push_back(p.key);
            EXPECT_GE(p.dts, last_video);
            last_video = p.dts;
        } else if (p.type == "audio") {
            ++recorded_audio;
            EXPECT_GE(p.dts, last_audio);
            last_audio = p.dts;
        }
    }
    EXPECT_EQ(recorded_keys, keys);
    EXPECT_EQ(recorded_audio, audio_frames);
}

// Timestamps that start just below 0xFFFFFF run through the point where the
// chunk headers switch to extended timestamps.
TEST_F(RtmpRelayTest, TimestampsRunThroughTheExtendedBoundary) {
    owner->frames = SampleFrames(3000);
    owner->timestamp_base = 0xFFFFFF - 1000;
    std::string file = Publish("wrap");

    std::string errors;
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + file + "' -f null -", &errors), 0);
    EXPECT_EQ(errors, "");
    std::vector<double> video;
    for (const Packet& p : Packets(file)) {
        if (p.type == "video") {
            video.push_back(p.dts);
        }
    }
    size_t sent_video = 0;
    for (const Frame& f : owner->frames) {
        sent_video += f.video;
    }
    ASSERT_EQ(video.size(), sent_video) << relay.ErrorLog();
    for (size_t i = 1; i < video.size(); ++i) {
        EXPECT_GT(video[i], video[i - 1]) << i;
    }
    EXPECT_NEAR(video.back() - video.front(), owner->frames.back().timestamp / 1000.0, 0.1);
}

struct Tag {
    uint8_t type;
    Bytes body;
};

// The tags of an FLV file; an empty list when the framing is broken.
std::vector<Tag> FlvTags(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Tag> tags;
    if (data.size() < 13 || data.compare(0, 3, "FLV") != 0) {
        return tags;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t pos = 13; pos + 11 <= data.size();) {
        size_t size = p[pos + 1] << 16 | p[pos + 2] << 8 | p[pos + 3];
        if (pos + 11 + size + 4 > data.size()) {
            return {};
        }
        tags.push_back({p[pos], Bytes(p + pos + 11, p + pos + 11 + size)});
        pos += 11 + size + 4;
    }
    return tags;
}

// What openssl makes of an encrypted body with the session key.
Bytes OpensslDecrypt(const std::string& dir, const Bytes& body) {
    std::string in = dir + "/enc.bin", out = dir + "/dec.bin";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(body.data()), body.size());
    std::string log;
    EXPECT_EQ(RunCommand("openssl enc -d -aes-128-cbc -K 000102030405060708090a0b0c0d0e0f "
                         "-iv 101112131415161718191a1b1c1d1e1f -in '" +
                             in + "' -out '" + out + "'",
                         &log),
              0)
        << log;
    std::ifstream f(out, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int Capture(void* param, FlvMux::DataType type, const char* data, size_t len, uint32_t) {
    auto* bodies = static_cast<std::vector<Tag>*>(param);
    bodies->push_back(
        {static_cast<uint8_t>(type == FlvMux::DATA_VIDEO ? 9 : 8), Bytes(data, data + len)});
    return 0;
}

void NoStatus(void*, FlvMux::Status) {}

// Key frames and audio go to the relay encrypted; the recording holds them
// as sent, and openssl with the session key gives back the clear bodies.
TEST_F(RtmpRelayTest, EncryptedBodiesDecryptWithOpenssl) {
    const std::string key = "AAECAwQFBgcICQoLDA0ODw==", iv = "EBESExQVFhcYGRobHB0eHw==";
    ASSERT_EQ(client->SetEncryption(key, iv), 0);
    owner->frames = SampleFrames(1000);
    std::string file = Publish("sealed");

    // The same frames muxed in clear.
    std::vector<Tag> clear;
    FlvMux mux(FlvMux::MODE_RTMP, &clear, &Capture, &NoStatus);
    mux.SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO, AUDIO_RATE_44K,
                      AUDIO_ADD_RATE_16000);
    for (const Frame& f : owner->frames) {
        auto len = static_cast<uint32_t>(f.data.size());
        f.video ? mux.SendVideo(0, f.key, f.data.data(), len, f.timestamp)
                : mux.SendAudio(f.data.data(), len, f.timestamp);
    }
    std::vector<Bytes> want_audio, want_key, got_audio, got_key;
    for (const Tag& t : clear) {
        if (t.type == 8 && t.body[1] == 1) {
            want_audio.push_back(t.body);
        } else if (t.type == 9 && t.body[0] == 0x17 && t.body[1] == 1) {
            want_key.push_back(Bytes(t.body.begin() + 5, t.body.end()));
        }
    }
    std::vector<Tag> recorded = FlvTags(file);
    ASSERT_FALSE(recorded.empty());
    for (const Tag& t : recorded) {
        if (t.type == 8) {
            Bytes plain = OpensslDecrypt(dir, t.body);
            if (plain.size() > 1 && plain[1] == 1) {
                got_audio.push_back(plain);
            }
        } else if (t.type == 9 && t.body.size() > 5 && t.body[0] == 0x17 && t.body[1] == 1) {
            got_key.push_back(OpensslDecrypt(dir, Bytes(t.body.begin() + 5, t.body.end())));
        }
    }
    ASSERT_FALSE(want_audio.empty());
    EXPECT_EQ(got_audio.size(), want_audio.size());
    EXPECT_TRUE(got_audio == want_audio);
    ASSERT_FALSE(want_key.empty());
    EXPECT_TRUE(got_key == want_key);
}

struct Unit {
    const uint8_t* data;
    size_t len;
};

// NAL units of an Annex-B stream (start codes and trailing zeros dropped).
std::vector<Unit> NalUnits(const Bytes& es) {
    std::vector<Unit> units;
    size_t i = 0, start = SIZE_MAX;
    while (i + 3 <= es.size()) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && es[end - 1] == 0) {
                    --end;
                }
                units.push_back({es.data() + start, end - start});
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX) {
        units.push_back({es.data() + start, es.size() - start});
    }
    return units;
}

// H.265 access units in Annex B, each flagged when it holds an IRAP picture.
std::vector<Frame> HevcAccessUnits(const Bytes& es) {
    std::vector<Frame> frames;
    bool vcl_seen = false;
    for (const Unit& u : NalUnits(es)) {
        int type = (u.data[0] >> 1) & 0x3F;
        bool vcl = type < 32;
        bool first_slice = vcl && u.len > 2 && (u.data[2] & 0x80);
        bool opens = (type >= 32 && type <= 35) || type == 39;
        if (frames.empty() || (vcl_seen && (opens || first_slice))) {
            frames.push_back({true, false, static_cast<uint32_t>(frames.size() * 40), ""});
            vcl_seen = false;
        }
        Frame& f = frames.back();
        f.data.append("\0\0\0\1", 4);
        f.data.append(reinterpret_cast<const char*>(u.data), u.len);
        f.key = f.key || (type >= 16 && type <= 21);
        vcl_seen = vcl_seen || vcl;
    }
    return frames;
}

void AppendUnit(Bytes* out, const uint8_t* p, size_t len) {
    out->insert(out->end(), {0, 0, 0, 1});
    out->insert(out->end(), p, p + len);
}

// The recorded HEVC tags back in Annex B: parameter sets from each decoder
// configuration record, then every length-prefixed unit of each frame.
bool HevcTagsToAnnexB(const std::vector<Tag>& tags, Bytes* out, size_t* frames) {
    *frames = 0;
    for (const Tag& t : tags) {
        if (t.type != 9 || t.body.size() < 5 || (t.body[0] & 0x0F) != 12) {
            continue;
        }
        const uint8_t* p = t.body.data() + 5;
        const uint8_t* end = t.body.data() + t.body.size();
        if (t.body[1] == 0) {  // HEVCDecoderConfigurationRecord
            if (end - p < 23) {
                return false;
            }
            int arrays = p[22];
            p += 23;
            for (int a = 0; a < arrays; ++a) {
                if (end - p < 3) {
                    return false;
                }
                int count = p[1] << 8 | p[2];
                p += 3;
                for (int n = 0; n < count; ++n) {
                    if (end - p < 2 ||
                        static_cast<size_t>(end - p - 2) < size_t(p[0] << 8 | p[1])) {
                        return false;
                    }
                    size_t len = p[0] << 8 | p[1];
                    AppendUnit(out, p + 2, len);
                    p += 2 + len;
                }
            }
            continue;
        }
        ++*frames;
        while (p < end) {
            if (end - p < 4) {
                return false;
            }
            size_t len = size_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
            if (static_cast<size_t>(end - p - 4) < len) {
                return false;
            }
            AppendUnit(out, p + 4, len);
            p += 4 + len;
        }
    }
    return true;
}

// ffmpeg reads no H.265 from FLV, so the recording is turned back into an
// elementary stream for it to decode.
TEST_F(RtmpRelayTest, HevcRecordingDecodesAfterConversion) {
    std::string es_path = dir + "/source.hevc", log;
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                         "-t 2 -c:v libx265 -x265-params keyint=25:log-level=error -f hevc '" +
                             es_path + "'",
                         &log),
              0)
        << log;
    std::ifstream in(es_path, std::ios::binary);
    Bytes es((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames = HevcAccessUnits(es);
    ASSERT_EQ(frames.size(), 50u);
    ASSERT_TRUE(frames[0].key);
    owner->frames = frames;
    owner->video_format = 1;
    std::string file = Publish("hevc");

    Bytes annexb;
    size_t recorded = 0;
    ASSERT_TRUE(HevcTagsToAnnexB(FlvTags(file), &annexb, &recorded));
    EXPECT_EQ(recorded, frames.size());
    std::string back = dir + "/back.hevc";
    std::ofstream(back, std::ios::binary)
        .write(reinterpret_cast<const char*>(annexb.data()), annexb.size());
    std::string out;
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -f hevc -i '" + back + "' -f null -", &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(RunCommand("ffprobe -v error -count_frames -show_entries "
                         "stream=codec_name,width,height,nb_read_frames -of default=nw=1 "
                         "-f hevc '" +
                             back + "'",
                         &out),
              0);
    EXPECT_NE(out.find("codec_name=hevc"), std::string::npos) << out;
    EXPECT_NE(out.find("width=320"), std::string::npos) << out;
    EXPECT_NE(out.find("nb_read_frames=50"), std::string::npos) << out;
}

// A signed live URL as the stream session builds it, checked by nginx's
// on_publish call to a separate checker: the right signature publishes, a
// signature for another token is turned away before any media is taken.
TEST(RtmpRelayTokenTest, RelayAcceptsOnlyTheSignedToken) {
    const std::string secret = "c2VjcmV0LWtleS1mb3ItdGhlLXRlc3Q=", pk = "pkRelay", dn = "cam-7";
    TokenChecker checker(secret, pk, dn);
    ASSERT_TRUE(checker.Started()) << checker.Verdicts();
    NginxRelay relay(checker.Url());
    ASSERT_TRUE(relay.Started()) << relay.ErrorLog();
    ASSERT_EQ(NetConnector::Start(), 0);
    struct Case {
        const char* signed_token;
        bool accepted;
    };
    for (const Case& c : {Case{"tok123", true}, Case{"other", false}}) {
        CloudUrl cloud;
        ASSERT_EQ(cloud_url_parse("rtmp://127.0.0.1:" + std::to_string(relay.port()) +
                                      "/live?x=1&token=tok123/cam7",
                                  &cloud),
                  URL_OK);
        std::string sign;
        unsigned key_len = 0;
        ASSERT_EQ(
            url_sign(url_sign_content("cam7", pk, dn, c.signed_token), secret, &sign, &key_len),
            URL_SIGN_OK);
        SharedPtr<Owner> owner(new Owner);
        SharedPtr<RtmpClient> client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(owner));
        ASSERT_TRUE(client);
        client->SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO, AUDIO_RATE_44K,
                              AUDIO_ADD_RATE_16000);
        owner->client = client;
        owner->frames = SampleFrames(1000);
        client->Start(url_rtmp_live(cloud, sign), 0);
        ASSERT_TRUE(owner->WaitClosed(10000));
        {
            std::lock_guard<std::mutex> lock(owner->mu);
            bool published =
                !owner->notices.empty() && owner->notices[0].code == RTMP_NOTIFY_PUBLISH_START;
            EXPECT_EQ(published, c.accepted) << checker.Verdicts();
            EXPECT_EQ(owner->sent == owner->frames.size(), c.accepted);
            EXPECT_EQ(owner->close_result == DISCONNECT_CLOSED, c.accepted) << owner->close_result;
        }
        owner->Forget();
        std::string verdicts = checker.Verdicts();
        EXPECT_NE(verdicts.find(std::string(c.accepted ? "accepted" : "refused") +
                                " rtmp://127.0.0.1:" + std::to_string(relay.port()) +
                                "/live?token=tok123-" + sign + "&x=1/ cam7"),
                  std::string::npos)
            << verdicts;
    }
    relay.Stop();
    NetConnector::Stop();
}

}  // namespace
}  // namespace rtmptest

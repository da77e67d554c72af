// The sample media published through RtmpClient into nginx with the RTMP
// module, which records it; ffprobe and ffmpeg then judge the recording.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "net/net_connector.h"
#include "net/rtmp_client.h"
#include "net_rtmp/rtmp_peers.h"

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

}  // namespace
}  // namespace rtmptest

// The demo's record of received voice, read back by ffmpeg: G.711 as a WAV
// file with the samples as received, AAC as an ADTS stream a player decodes.
#include "demo/app/voice_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net_rtmp/rtmp_peers.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int Write(int id, ks_audio_format_e format, int rate, const std::string& bytes, uint32_t ts) {
    ks_audio_param_s audio = {format, rate, KS_AUDIO_BITS_16, KS_AUDIO_CHANNEL_MONO};
    ks_on_push_streaming_data_param_s p{};
    p.service_id = id;
    p.len = static_cast<uint32_t>(bytes.size());
    p.timestamp = ts;
    p.audio_param = &audio;
    p.p = reinterpret_cast<const unsigned char*>(bytes.data());
    return voice_file_write(id, &p);
}

class VoiceFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = rtmptest::TempDir();
        ASSERT_TRUE(getcwd(old_, sizeof old_));
        ASSERT_EQ(0, chdir(dir_.c_str()));
    }
    void TearDown() override {
        ASSERT_EQ(0, chdir(old_));
        std::string out;
        rtmptest::RunCommand("rm -rf '" + dir_ + "'", &out);
    }
    std::string Probe(const std::string& file) {
        std::string out;
        EXPECT_EQ(0, rtmptest::RunCommand("ffprobe -v error -show_entries "
                                          "stream=codec_name,sample_rate,channels -of csv=p=0 " +
                                              file,
                                          &out))
            << out;
        return out;
    }
    std::string dir_;
    char old_[4096];
};

TEST_F(VoiceFileTest, G711IsAWavFileHoldingTheSamplesAsReceived) {
    std::string a(160, '\x11'), b(160, '\x22');
    ASSERT_EQ(0, Write(7, KS_AUDIO_FORMAT_G711U, KS_AUDIO_SAMPLE_RATE_8000, a, 0));
    ASSERT_EQ(0, Write(7, KS_AUDIO_FORMAT_G711U, KS_AUDIO_SAMPLE_RATE_8000, b, 20));
    // A codec change midway would make the file unplayable: refused.
    EXPECT_EQ(-1, Write(7, KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_8000, a, 40));
    voice_file_close(7);
    std::string wav = ReadFile("voice_7.wav");
    ASSERT_EQ(58u + 320u, wav.size());
    EXPECT_EQ(a + b, wav.substr(58));
    EXPECT_EQ("pcm_mulaw,8000,1\n", Probe("voice_7.wav"));
    std::string raw;
    EXPECT_EQ(0, rtmptest::RunCommand("ffmpeg -v error -i voice_7.wav -f mulaw -", &raw));
    EXPECT_EQ(a + b, raw);
}

TEST_F(VoiceFileTest, AacIsAnAdtsStreamThatDecodes) {
    std::string out;
    ASSERT_EQ(0, rtmptest::RunCommand("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1 "
                                      "-ar 16000 -ac 1 -c:a aac -f adts src.aac",
                                      &out))
        << out;
    std::string src = ReadFile("src.aac");
    int frames = 0;
    for (size_t pos = 0; pos + 7 <= src.size(); ++frames) {
        const unsigned char* h = reinterpret_cast<const unsigned char*>(src.data() + pos);
        ASSERT_EQ(0xFF, h[0]);
        size_t len = ((h[3] & 3u) << 11) | (h[4] << 3) | (h[5] >> 5);
        ASSERT_GT(len, 7u);
        ASSERT_EQ(0, Write(9, KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_16000,
                           src.substr(pos + 7, len - 7), static_cast<uint32_t>(frames * 64)));
        pos += len;
    }
    voice_file_close(9);
    EXPECT_EQ("aac,16000,1\n", Probe("voice_9.aac"));
    std::string count;
    EXPECT_EQ(0, rtmptest::RunCommand("ffprobe -v error -count_frames -select_streams a "
                                      "-show_entries stream=nb_read_frames -of csv=p=0 voice_9.aac",
                                      &count));
    EXPECT_EQ(std::to_string(frames) + "\n", count);
}

}  // namespace

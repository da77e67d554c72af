// Real media through the muxer, judged by ffmpeg: the camera's sample stream
// written as an FLV file, multi-slice H.264 and H.265 made at test time and
// turned back into Annex B, and stereo AAC. A missing ffmpeg fails the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "flv_test_util.h"
#include "proto/codec_config.h"
#include "proto/flv_mux.h"

using namespace kestrel;
using flvtest::Body;
using flvtest::Bytes;
using flvtest::Capture;

namespace {

struct IndexLine {
    int media;
    uint32_t offset, len, timestamp;
    int key;
};

std::vector<IndexLine> ReadIndex(const std::string& path) {
    std::vector<IndexLine> out;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        IndexLine l;
        if (sscanf(line.c_str(), "media=%d,offset=%u,len=%u,timestamp=%u,key=%d", &l.media,
                   &l.offset, &l.len, &l.timestamp, &l.key) == 5) {
            out.push_back(l);
        }
    }
    return out;
}

// "key=value" pairs of each stream ffprobe reports, in stream order.
std::vector<std::map<std::string, std::string>> Probe(const std::string& file,
                                                      const std::string& format = "") {
    std::string out;
    int rc =
        flvtest::Run("ffprobe -v error " + format +
                         " -count_frames -show_entries "
                         "stream=codec_type,codec_name,profile,width,height,sample_rate,channels,"
                         "nb_read_frames -of compact=p=0 " +
                         file,
                     &out);
    EXPECT_EQ(rc, 0) << out;
    std::vector<std::map<std::string, std::string>> streams;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::map<std::string, std::string> s;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '|')) {
            size_t eq = field.find('=');
            if (eq != std::string::npos) {
                s[field.substr(0, eq)] = field.substr(eq + 1);
            }
        }
        streams.push_back(s);
    }
    return streams;
}

// Full decode; ffmpeg prints nothing at -v error when the stream is sound.
void ExpectCleanDecode(const std::string& input) {
    std::string out;
    EXPECT_EQ(flvtest::Run("ffmpeg -nostdin -v error " + input + " -f null -", &out), 0);
    EXPECT_EQ(out, "") << input;
}

// The md5 of every decoded picture, in order.
std::vector<std::string> FrameHashes(const std::string& input) {
    std::string out;
    EXPECT_EQ(flvtest::Run("ffmpeg -nostdin -v error " + input + " -map 0:v -f framemd5 -", &out),
              0)
        << out;
    std::vector<std::string> hashes;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') {
            hashes.push_back(line.substr(line.rfind(',') + 1));
        }
    }
    return hashes;
}

// Groups an Annex-B elementary stream into access units: a unit opens when a
// parameter set, delimiter or prefix SEI, or the first slice of a picture,
// follows a picture's slices.
std::vector<std::pair<Bytes, bool>> AccessUnits(const Bytes& es, bool hevc) {
    std::vector<NalUnit> units;
    EXPECT_EQ(nal_split(es.data(), es.size(), &units), CODEC_OK);
    std::vector<std::pair<Bytes, bool>> out;
    bool has_slice = false;
    for (const NalUnit& u : units) {
        int t = hevc ? h265_nal_type(u) : h264_nal_type(u);
        bool vcl = hevc ? t < 32 : (t >= 1 && t <= 5);
        bool first = vcl && (hevc ? (u.len > 2 && (u.data[2] & 0x80)) : (u.data[1] & 0x80));
        bool opens = hevc ? (t >= 32 && t <= 35) || t == 39 : (t >= 6 && t <= 9);
        if (out.empty() || (has_slice && (opens || first))) {
            out.push_back({Bytes(), false});
            has_slice = false;
        }
        Bytes& au = out.back().first;
        au.insert(au.end(), {0, 0, 0, 1});
        au.insert(au.end(), u.data, u.data + u.len);
        has_slice = has_slice || vcl;
        out.back().second = out.back().second || (hevc ? (t >= 16 && t <= 21) : t == 5);
    }
    return out;
}

class FlvMedia : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = flvtest::TempDir("media");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

}  // namespace

TEST_F(FlvMedia, SampleStreamDecodesWholeFromAnFlvFile) {
    const std::string base = std::string(KESTREL_SOURCE_DIR) + "/demo/media/avc_aac_1000k";
    Bytes data;
    ASSERT_TRUE(flvtest::ReadFile(base, &data));
    std::vector<IndexLine> index = ReadIndex(base + ".index");
    ASSERT_GT(index.size(), 100u);

    Capture c;
    c.mux.SetMetadata(24);
    ASSERT_EQ(c.mux.SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, AUDIO_ADD_RATE_16000),
              FLV_OK);
    Bytes es;  // the camera's video as one elementary stream, for comparison
    int video = 0, audio = 0, keys = 0;
    for (const IndexLine& l : index) {
        ASSERT_LE(static_cast<size_t>(l.offset) + l.len, data.size());
        Bytes frame(data.begin() + l.offset + 4, data.begin() + l.offset + l.len);  // no marker
        if (l.media == 0) {
            ASSERT_EQ(c.Video(0, l.key != 0, frame, l.timestamp), FLV_OK) << l.offset;
            es.insert(es.end(), frame.begin(), frame.end());
            ++video;
            keys += l.key ? 1 : 0;
        } else {
            ASSERT_EQ(c.Audio(frame, l.timestamp), FLV_OK) << l.offset;
            ++audio;
        }
    }
    // One metadata body, a sequence header per key frame only when it changes.
    size_t headers = 0;
    for (const Body& b : c.bodies) {
        headers += b.type == FlvMux::DATA_VIDEO && b.data[1] == 0 ? 1 : 0;
    }
    EXPECT_EQ(headers, 1u);
    EXPECT_GT(keys, 1);

    ASSERT_TRUE(flvtest::WriteFile(Path("sample.flv"), flvtest::FlvFile(c.bodies)));
    ASSERT_TRUE(flvtest::WriteFile(Path("sample.h264"), es));
    auto streams = Probe(Path("sample.flv"));
    ASSERT_EQ(streams.size(), 2u);
    for (auto& s : streams) {
        if (s["codec_type"] == "video") {
            EXPECT_EQ(s["codec_name"], "h264");
            EXPECT_EQ(s["profile"], "Main");
            EXPECT_EQ(s["width"], "1280");
            EXPECT_EQ(s["height"], "720");
            EXPECT_EQ(s["nb_read_frames"], std::to_string(video));
        } else {
            EXPECT_EQ(s["codec_name"], "aac");
            EXPECT_EQ(s["sample_rate"], "16000");
            EXPECT_EQ(s["channels"], "1");
            EXPECT_EQ(s["nb_read_frames"], std::to_string(audio));
        }
    }
    ExpectCleanDecode("-i " + Path("sample.flv"));
    // Every picture decodes to exactly what the camera's own stream gives.
    auto from_flv = FrameHashes("-i " + Path("sample.flv"));
    EXPECT_EQ(from_flv.size(), static_cast<size_t>(video));
    EXPECT_EQ(from_flv, FrameHashes("-f h264 -i " + Path("sample.h264")));
}

// Pictures cut into several slices lose nothing: the FLV bodies turned back
// into Annex B decode to the same pictures as the encoder's output.
TEST_F(FlvMedia, MultiSliceStreamsSurviveTheRoundTrip) {
    struct Case {
        const char* name;
        bool hevc;
        const char* encoder;
        const char* profile;
    } cases[] = {
        {"h264", false,
         "-c:v libx264 -profile:v main -bf 0 -g 25 -x264-params slices=4:repeat-headers=1 -f h264",
         "Main"},
        {"hevc", true,
         "-c:v libx265 -x265-params "
         "log-level=error:info=0:slices=2:bframes=0:keyint=25:repeat-headers=1 -f hevc",
         "Main"},
    };
    for (const Case& c : cases) {
        std::string es_path = Path(std::string(c.name) + ".es");
        std::string out;
        ASSERT_EQ(flvtest::Run(
                      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 "
                      "-pix_fmt yuv420p " +
                          std::string(c.encoder) + " " + es_path,
                      &out),
                  0)
            << out;
        Bytes es;
        ASSERT_TRUE(flvtest::ReadFile(es_path, &es));
        auto aus = AccessUnits(es, c.hevc);
        ASSERT_EQ(aus.size(), 50u) << c.name;

        Capture cap;
        uint32_t ts = 0;
        for (auto& au : aus) {
            ASSERT_EQ(cap.Video(c.hevc ? 1 : 0, au.second, au.first, ts), FLV_OK) << c.name;
            ts += 40;
        }
        Bytes annexb;
        ASSERT_TRUE(flvtest::VideoToAnnexB(cap.bodies, c.hevc, &annexb)) << c.name;
        std::string rebuilt = Path(std::string(c.name) + ".rebuilt");
        ASSERT_TRUE(flvtest::WriteFile(rebuilt, annexb));
        std::string fmt = c.hevc ? "-f hevc " : "-f h264 ";
        ExpectCleanDecode(fmt + "-i " + rebuilt);
        auto hashes = FrameHashes(fmt + "-i " + rebuilt);
        EXPECT_EQ(hashes.size(), 50u) << c.name;
        EXPECT_EQ(hashes, FrameHashes(fmt + "-i " + es_path)) << c.name;
        auto streams = Probe(rebuilt, fmt);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0]["profile"], c.profile) << c.name;
        EXPECT_EQ(streams[0]["width"], "320") << c.name;
        if (!c.hevc) {
            std::string flv = Path("slices.flv");
            ASSERT_TRUE(flvtest::WriteFile(flv, flvtest::FlvFile(cap.bodies)));
            ExpectCleanDecode("-i " + flv);
            EXPECT_EQ(FrameHashes("-i " + flv), hashes);
        }
    }
}

// The ADTS header tells the real rate and channel count; the settings only
// fill in for frames that carry none.
TEST_F(FlvMedia, StereoAacKeepsItsChannels) {
    std::string out;
    ASSERT_EQ(
        flvtest::Run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 "
                     "-t 1 -ac 2 -c:a aac -b:a 96k -f adts " +
                         Path("stereo.aac"),
                     &out),
        0)
        << out;
    Bytes es;
    ASSERT_TRUE(flvtest::ReadFile(Path("stereo.aac"), &es));
    Capture c;
    ASSERT_EQ(c.mux.SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, AUDIO_ADD_RATE_8000),
              FLV_OK);
    size_t frames = 0;
    for (size_t at = 0; at < es.size(); ++frames) {
        AdtsHeader h;
        ASSERT_GE(es.size() - at, 7u);
        size_t len = ((es[at + 3] & 3u) << 11) | (es[at + 4] << 3) | (es[at + 5] >> 5);
        ASSERT_LE(at + len, es.size());
        ASSERT_EQ(adts_parse(es.data() + at, len, &h), CODEC_OK);
        Bytes frame(es.begin() + at, es.begin() + at + len);
        ASSERT_EQ(c.Audio(frame, static_cast<uint32_t>(frames * 1024 * 1000 / 44100)), FLV_OK);
        at += len;
    }
    ASSERT_TRUE(flvtest::WriteFile(Path("stereo.flv"), flvtest::FlvFile(c.bodies)));
    auto streams = Probe(Path("stereo.flv"));
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0]["sample_rate"], "44100");
    EXPECT_EQ(streams[0]["channels"], "2");
    EXPECT_EQ(streams[0]["nb_read_frames"], std::to_string(frames));
    ExpectCleanDecode("-i " + Path("stereo.flv"));
}

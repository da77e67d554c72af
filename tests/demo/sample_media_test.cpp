// The sample media: the committed streams and the variants the generator makes
// on demand must read back through the camera's own readers and decode cleanly
// once their frames are put back together.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "camera/stream_files.h"
#include "camera_fixture.h"

using namespace kestrel::camera;
using camera_test::TempDir;

namespace {

const std::string kMediaDir = KESTREL_MEDIA_DIR;

// Runs a shell command; its standard output and error together.
int Shell(const std::string& cmd, std::string* out) {
    out->clear();
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out->append(buf, n);
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// NAL unit types of an Annex-B access unit.
std::set<int> NalTypes(const std::string& au, bool h265) {
    std::set<int> types;
    for (size_t i = 0; i + 3 < au.size(); ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            unsigned char h = static_cast<unsigned char>(au[i + 3]);
            types.insert(h265 ? (h >> 1) & 0x3f : h & 0x1f);
            i += 2;
        }
    }
    return types;
}

struct Expect {
    const char* name;
    ks_video_format_e video;
    ks_audio_format_e audio;
    int sample_rate;
    unsigned min_seconds, max_seconds;
    unsigned kbps;  // 0: not checked
};

void CheckStream(const std::string& dir, const Expect& e, const std::string& scratch) {
    SCOPED_TRACE(e.name);
    const std::string n = dir + "/" + e.name;
    std::vector<IndexInfo> index;
    StreamParam param;
    ASSERT_EQ(ReadStreamIndex(n + ".index", &index), 0);
    ASSERT_EQ(ReadStreamMeta(n + ".meta", &param), 0);
    EXPECT_EQ(param.video.format, e.video);
    EXPECT_EQ(param.video.fps, 25u);
    EXPECT_EQ(param.audio.format, e.audio);
    EXPECT_EQ(param.audio.sample_rate, e.sample_rate);
    EXPECT_EQ(param.audio.channel, KS_AUDIO_CHANNEL_MONO);
    EXPECT_EQ(param.audio.bits_per_sample, KS_AUDIO_BITS_16);
    EXPECT_GE(param.duration, e.min_seconds);
    EXPECT_LE(param.duration, e.max_seconds);

    const std::string data = ReadAll(n);
    const bool h265 = e.video == KS_VIDEO_FORMAT_H265;
    std::string video, audio;
    size_t video_frames = 0, audio_frames = 0;
    uint32_t expected_offset = 0;
    std::vector<uint32_t> keys;
    for (const IndexInfo& f : index) {
        ASSERT_EQ(f.offset, expected_offset) << "frames lie one after the other";
        ASSERT_LE(f.len, kMaxFrameLen);
        ASSERT_LE(static_cast<size_t>(f.offset) + f.len, data.size());
        ASSERT_EQ(data.compare(f.offset, 4, "\xfc\xfc\xfc\xfc"), 0);
        std::string payload = data.substr(f.offset + 4, f.len - 4);
        expected_offset += f.len;
        if (f.media == kMediaVideo) {
            ++video_frames;
            if (f.key) {
                keys.push_back(f.timestamp);
                // Any key frame must be able to start a decoder (jumps, loops).
                std::set<int> types = NalTypes(payload, h265);
                std::set<int> needed = h265 ? std::set<int>{32, 33, 34} : std::set<int>{7, 8};
                for (int t : needed) {
                    EXPECT_TRUE(types.count(t))
                        << "key frame at " << f.timestamp << " lacks parameter set " << t;
                }
            }
            video += payload;
        } else {
            ASSERT_EQ(f.media, kMediaAudio);
            ++audio_frames;
            audio += payload;
        }
    }
    EXPECT_EQ(expected_offset, data.size()) << "nothing after the last frame";
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(index.front().media, kMediaVideo);
    EXPECT_TRUE(index.front().key) << "the stream opens with a key frame";
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i], 2000u * i) << "a key frame every 2 s";
    }
    EXPECT_EQ(video_frames, param.duration * 25u);
    // Both media end together, so a looping live replay has no hole in either.
    uint32_t last_audio = 0;
    for (const IndexInfo& f : index) {
        if (f.media == kMediaAudio) {
            last_audio = f.timestamp;
        }
    }
    const uint32_t audio_frame_ms = e.audio == KS_AUDIO_FORMAT_AAC ? 64 : 40;
    EXPECT_EQ(last_audio + audio_frame_ms, param.duration * 1000u);
    if (e.kbps != 0) {
        double kbps = data.size() * 8.0 / param.duration / 1000.0;
        EXPECT_GT(kbps, e.kbps * 0.8);
        EXPECT_LT(kbps, e.kbps * 1.25);
    }

    // Reassembled, both elementary streams decode without a complaint.
    const std::string es = scratch + "/" + e.name + (h265 ? ".hevc" : ".h264");
    std::ofstream(es, std::ios::binary) << video;
    std::string out;
    EXPECT_EQ(Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                    "stream=nb_read_frames -of csv=p=0 '" +
                        es + "'",
                    &out),
              0);
    EXPECT_EQ(out, std::to_string(video_frames) + "\n");
    EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + es + "' -f null -", &out), 0);
    EXPECT_EQ(out, "");

    if (e.audio == KS_AUDIO_FORMAT_AAC) {
        const std::string aac = scratch + "/" + e.name + ".aac";
        std::ofstream(aac, std::ios::binary) << audio;
        EXPECT_EQ(Shell("ffprobe -v error -count_frames -select_streams a:0 -show_entries "
                        "stream=nb_read_frames -of csv=p=0 '" +
                            aac + "'",
                        &out),
                  0);
        EXPECT_EQ(out, std::to_string(audio_frames) + "\n");
        EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + aac + "' -f null -", &out), 0);
        EXPECT_EQ(out, "");
    } else {
        const bool alaw = e.audio == KS_AUDIO_FORMAT_G711A;
        const std::string raw = scratch + "/" + e.name + (alaw ? ".alaw" : ".mulaw");
        std::ofstream(raw, std::ios::binary) << audio;
        EXPECT_EQ(audio.size() % 320, 0u) << "40 ms frames of 8 kHz samples";
        EXPECT_EQ(Shell(std::string("ffmpeg -nostdin -v error -f ") + (alaw ? "alaw" : "mulaw") +
                            " -ar 8000 -ac 1 -i '" + raw + "' -f null -",
                        &out),
                  0);
        EXPECT_EQ(out, "");
    }
}

TEST(SampleMedia, CommittedStreamsDecodeAndMatchTheirIndex) {
    TempDir scratch;
    const Expect streams[] = {
        {"avc_aac_1000k", KS_VIDEO_FORMAT_H264, KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_16000, 20,
         30, 1000},
        {"avc_aac_500k", KS_VIDEO_FORMAT_H264, KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_16000, 20,
         30, 500},
    };
    for (const Expect& e : streams) {
        CheckStream(kMediaDir, e, scratch.Path());
    }
    std::string jpeg = ReadAll(kMediaDir + "/1.jpg");
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_LE(jpeg.size(), 65536u) << "the camera reads at most 64 KiB of picture";
    EXPECT_EQ(jpeg.compare(0, 2, "\xff\xd8"), 0);
    std::string out;
    EXPECT_EQ(Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + kMediaDir +
                        "/1.jpg'",
                    &out),
              0);
    EXPECT_EQ(out, "mjpeg\n");
}

TEST(SampleMedia, GeneratedH265AndG711VariantsDecode) {
    TempDir out_dir;
    std::string out;
    ASSERT_EQ(Shell("'" + kMediaDir + "/make_media.sh' -o '" + out_dir.Path() +
                        "' -s 4 hevc_g711a avc_g711u",
                    &out),
              0)
        << out;
    const Expect streams[] = {
        {"hevc_g711a", KS_VIDEO_FORMAT_H265, KS_AUDIO_FORMAT_G711A, KS_AUDIO_SAMPLE_RATE_8000, 4, 4,
         0},
        {"avc_g711u", KS_VIDEO_FORMAT_H264, KS_AUDIO_FORMAT_G711U, KS_AUDIO_SAMPLE_RATE_8000, 4, 4,
         0},
    };
    for (const Expect& e : streams) {
        CheckStream(out_dir.Path(), e, out_dir.Path());
    }
}

TEST(SampleMedia, PackerRefusesInputItCannotSplit) {
    TempDir dir;
    camera_test::WriteText(dir.File("good.aac"),
                           std::string("\xff\xf1\x60\x40\x01\x7f\xfc", 7) + std::string(4, '\0'));
    camera_test::WriteText(dir.File("nostart.h264"), std::string(64, '\x11'));
    camera_test::WriteText(dir.File("bad.aac"), std::string(32, '\x22'));
    // One IDR picture: SPS, PPS and a slice whose first_mb_in_slice is 0.
    camera_test::WriteText(
        dir.File("one.h264"),
        std::string("\0\0\0\1\x67\x42\0\x1e\0\0\0\1\x68\xce\0\0\0\1\x65\x88", 20));
    struct Case {
        const char* what;
        const char* video;
        const char* audio;
        const char* message;
    } cases[] = {
        {"video without start codes", "nostart.h264", "good.aac",
         "frame_pack: no Annex-B start code in the video stream\n"},
        {"audio without ADTS headers", "one.h264", "bad.aac",
         "frame_pack: bad ADTS header at byte 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        EXPECT_EQ(Shell("python3 '" + kMediaDir + "/frame_pack.py' --video '" + dir.File(c.video) +
                            "' --video-codec h264 --fps 25 --audio '" + dir.File(c.audio) +
                            "' --audio-codec aac --out '" + dir.File("s") + "'",
                        &out),
                  1);
        EXPECT_EQ(out, c.message);
    }
    std::string out;
    ASSERT_EQ(Shell("python3 '" + kMediaDir + "/frame_pack.py' --video '" + dir.File("one.h264") +
                        "' --video-codec h264 --fps 25 --audio '" + dir.File("good.aac") +
                        "' --audio-codec aac --out '" + dir.File("s") + "'",
                    &out),
              0)
        << out;
    std::vector<IndexInfo> index;
    ASSERT_EQ(ReadStreamIndex(dir.File("s.index"), &index), 0);
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index[0].len, 4u + 20u);
    EXPECT_EQ(index[0].key, 1);
    EXPECT_EQ(index[1].media, kMediaAudio);
    EXPECT_EQ(index[1].len, 4u + 11u);
}

}  // namespace

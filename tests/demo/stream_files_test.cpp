#include "camera/stream_files.h"

#include <gtest/gtest.h>

#include "camera/media_parse.h"
#include "camera_fixture.h"

using namespace kestrel::camera;
using camera_test::TempDir;
using camera_test::WriteText;

namespace {

struct BadFile {
    const char* what;
    const char* text;
    const char* printed;
};

TEST(StreamIndex, RejectsBadFiles) {
    const BadFile cases[] = {
        {"empty", "", "Read index file failed: "},
        {"missing field", "media=0,offset=0,len=20,timestamp=0\n", "Read file failed: "},
        {"garbage after a good line", "media=0,offset=0,len=20,timestamp=0,key=1\nhello\n",
         "Read file failed: "},
        {"blank line", "media=0,offset=0,len=20,timestamp=0,key=1\n\n", "Read file failed: "},
        {"letters for a number", "media=0,offset=x,len=20,timestamp=0,key=1\n",
         "Read file failed: "},
        {"trailing junk", "media=0,offset=0,len=20,timestamp=0,key=1x\n", "Read file failed: "},
        {"negative length", "media=0,offset=0,len=-4,timestamp=0,key=1\n", "Read file failed: "},
        {"negative offset", "media=0,offset=-1,len=20,timestamp=0,key=1\n", "Read file failed: "},
        {"number beyond 32 bits", "media=0,offset=4294967296,len=20,timestamp=0,key=1\n",
         "Read file failed: "},
        {"timestamp going back",
         "media=0,offset=0,len=20,timestamp=40,key=1\nmedia=0,offset=20,len=20,timestamp=0,key=0\n",
         "Read file failed: "},
        {"line over 127 characters",
         "media=0,offset=0,len=20,timestamp=0,key=1                                        "
         "                                                                               \n",
         "Read file failed: "},
    };
    TempDir dir;
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir.File("s.index");
        WriteText(path, c.text);
        std::vector<IndexInfo> index = {{0, 1, 2, 3, 4}};
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadStreamIndex(path, &index), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed + path + "\n");
        EXPECT_EQ(index.size(), 1u) << "a rejected index must leave the output alone";
    }
    testing::internal::CaptureStdout();
    std::vector<IndexInfo> index;
    EXPECT_EQ(ReadStreamIndex(dir.File("absent.index"), &index), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read file failed: " + dir.File("absent.index") + "\n");
}

TEST(StreamIndex, ReadsLinesInOrderWithEitherLineBreak) {
    TempDir dir;
    WriteText(dir.File("s.index"),
              "media=0,offset=0,len=20,timestamp=0,key=1\r\n"
              "media=1,offset=20,len=11,timestamp=0,key=0\n"
              "media=7,offset=31,len=9,timestamp=64,key=0\n"
              "media=0,offset=40,len=131072,timestamp=2147483647,key=0");
    std::vector<IndexInfo> index;
    ASSERT_EQ(ReadStreamIndex(dir.File("s.index"), &index), 0);
    ASSERT_EQ(index.size(), 4u);
    EXPECT_EQ(index[0].media, 0);
    EXPECT_EQ(index[0].key, 1);
    EXPECT_EQ(index[1].media, 1);
    EXPECT_EQ(index[1].offset, 20u);
    EXPECT_EQ(index[1].len, 11u);
    EXPECT_EQ(index[2].media, 7);
    EXPECT_EQ(index[2].timestamp, 64u);
    EXPECT_EQ(index[3].len, 131072u);
    EXPECT_EQ(index[3].timestamp, 2147483647u);
}

TEST(StreamMeta, ReadsEveryKeyAndIgnoresOthers) {
    TempDir dir;
    WriteText(dir.File("s.meta"),
              "video.format=h265\r\nvideo.fps=30\nvendor.note=anything\n\naudio.format=g711u\n"
              "audio.sample_rate=8000\naudio.bits_per_sample=8\naudio.channel=2\nduration=61\n");
    StreamParam p;
    ASSERT_EQ(ReadStreamMeta(dir.File("s.meta"), &p), 0);
    EXPECT_EQ(p.video.format, KS_VIDEO_FORMAT_H265);
    EXPECT_EQ(p.video.fps, 30u);
    EXPECT_EQ(p.video.key_frame_interval, 0u);
    EXPECT_EQ(p.audio.format, KS_AUDIO_FORMAT_G711U);
    EXPECT_EQ(p.audio.sample_rate, KS_AUDIO_SAMPLE_RATE_8000);
    EXPECT_EQ(p.audio.bits_per_sample, KS_AUDIO_BITS_8);
    EXPECT_EQ(p.audio.channel, KS_AUDIO_CHANNEL_STEREO);
    EXPECT_EQ(p.duration, 61u);

    const std::pair<int, int> rates[] = {{96000, 0}, {88200, 1}, {64000, 2},  {48000, 3},
                                         {44100, 4}, {32000, 5}, {24000, 6},  {22050, 7},
                                         {16000, 8}, {12000, 9}, {11025, 10}, {8000, 11}};
    for (const auto& r : rates) {
        WriteText(dir.File("r.meta"), "audio.sample_rate=" + std::to_string(r.first) + "\n");
        ASSERT_EQ(ReadStreamMeta(dir.File("r.meta"), &p), 0);
        EXPECT_EQ(p.audio.sample_rate, r.second) << r.first;
    }
    const std::pair<const char*, int> formats[] = {{"aac", KS_AUDIO_FORMAT_AAC},
                                                   {"g711a", KS_AUDIO_FORMAT_G711A},
                                                   {"pcm", KS_AUDIO_FORMAT_PCM},
                                                   {"g711u", KS_AUDIO_FORMAT_G711U}};
    for (const auto& f : formats) {
        WriteText(dir.File("f.meta"), std::string("audio.format=") + f.first + "\n");
        ASSERT_EQ(ReadStreamMeta(dir.File("f.meta"), &p), 0);
        EXPECT_EQ(p.audio.format, f.second) << f.first;
    }
}

TEST(StreamMeta, RejectsValuesOutsideTheirLists) {
    const BadFile cases[] = {
        {"sample rate 44000", "audio.sample_rate=44000\n", "Invalid param:  44000\n"},
        {"sample rate text", "audio.sample_rate=fast\n", "Invalid param:  fast\n"},
        {"24 bits", "audio.bits_per_sample=24\n", "Invalid param:  24\n"},
        {"three channels", "audio.channel=3\n", "Invalid param:  3\n"},
        {"fps not a number", "video.fps=25fps\n", "Invalid param:  25fps\n"},
        {"negative duration", "duration=-5\n", "Invalid param:  -5\n"},
    };
    TempDir dir;
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.what);
        WriteText(dir.File("s.meta"), std::string("audio.format=aac\n") + c.text);
        StreamParam p;
        memset(&p, 0x7f, sizeof(p));
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadStreamMeta(dir.File("s.meta"), &p), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(p.duration, 0x7f7f7f7fu) << "a rejected file must leave the output alone";
    }
}

TEST(StreamMeta, UnknownFormatKeepsThePreviousOne) {
    TempDir dir;
    WriteText(dir.File("s.meta"),
              "video.format=h265\nvideo.format=vp8\naudio.format=g711a\naudio.format=opus\n");
    StreamParam p;
    testing::internal::CaptureStdout();
    ASSERT_EQ(ReadStreamMeta(dir.File("s.meta"), &p), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Invalid param:  vp8\nInvalid param:  opus\n");
    EXPECT_EQ(p.video.format, KS_VIDEO_FORMAT_H265);
    EXPECT_EQ(p.audio.format, KS_AUDIO_FORMAT_G711A);
}

TEST(StreamMeta, DurationComesFromTheMetaFile) {
    TempDir dir;
    WriteText(dir.File("s.meta"), "duration=42\n");
    double seconds = 0;
    EXPECT_EQ(MediaParse::GetDuration(dir.File("s"), &seconds), 0);
    EXPECT_EQ(seconds, 42.0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(MediaParse::GetDuration(dir.File("none"), &seconds), -1);
    testing::internal::GetCapturedStdout();
}

}  // namespace

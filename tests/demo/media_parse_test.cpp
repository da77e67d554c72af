// The replayer stepped cycle by cycle on simulated time.
#include "camera/media_parse.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "camera_fixture.h"

using namespace kestrel::camera;
using namespace camera_test;

namespace {

void OnVideo(void* user, int service_id, ks_video_format_e format, unsigned char* p, unsigned len,
             unsigned timestamp, int key) {
    static_cast<Recorder*>(user)->Add(service_id, 0, format, p, len, timestamp, key);
}

void OnAudio(void* user, int service_id, ks_audio_format_e format, unsigned char* p, unsigned len,
             unsigned timestamp) {
    static_cast<Recorder*>(user)->Add(service_id, 1, format, p, len, timestamp, 0);
}

class Replay : public testing::Test {
  protected:
    Replay() { parse.SetManualDrive(true); }

    // n cycles, 20 simulated ms apart; the result of the last one.
    bool Step(unsigned n) {
        bool more = true;
        for (unsigned i = 0; i < n; ++i) {
            more = parse.RunCycle();
            clock.Advance(MediaParse::kCycleMs);
        }
        return more;
    }

    std::vector<Frame> Video() {
        std::vector<Frame> v;
        for (const Frame& f : rec.Take()) {
            if (f.media == 0) {
                v.push_back(f);
            }
        }
        return v;
    }

    // Position in `frames` of the video frame with this timestamp.
    static unsigned VideoAt(const std::vector<FrameSpec>& frames, unsigned ts) {
        for (size_t i = 0; i < frames.size(); ++i) {
            if (frames[i].media == 0 && frames[i].timestamp == ts) {
                return static_cast<unsigned>(i);
            }
        }
        ADD_FAILURE() << "no video frame at " << ts;
        return 0;
    }

    TempDir dir;
    ManualClock clock;
    Recorder rec{&clock};
    MediaParse parse{&OnVideo, &OnAudio, &rec, clock};
};

TEST_F(Replay, LiveLoopsWithIncreasingTimestampsAtThePaceOfTheFile) {
    // Video 0..160 ms, audio 0..192 ms: a pass lasts until the audio frame
    // after 192 would play, 256 ms.
    std::vector<FrameSpec> frames = Gop(200);
    WriteStream(dir.File("s"), frames);
    uint64_t start = clock.NowMs();
    ASSERT_EQ(parse.StartLive(3, dir.File("s")), 0);
    ASSERT_TRUE(Step(40));  // 800 ms: three passes and a bit

    std::vector<Frame> got = rec.Take();
    ASSERT_GT(got.size(), 3 * frames.size());
    unsigned last[2] = {0, 0};
    for (size_t i = 0; i < got.size(); ++i) {
        const Frame& f = got[i];
        size_t pass = i / frames.size();
        const FrameSpec& want = frames[i % frames.size()];
        SCOPED_TRACE(testing::Message() << "frame " << i);
        EXPECT_EQ(f.number, i % frames.size()) << "frames play in index order, pass after pass";
        EXPECT_EQ(f.service_id, 3);
        EXPECT_EQ(f.len, 16u);
        EXPECT_EQ(f.format, f.media == 0 ? int{KS_VIDEO_FORMAT_H264} : int{KS_AUDIO_FORMAT_AAC});
        EXPECT_EQ(f.timestamp, MediaParse::kInitialLiveOffset + want.timestamp + 256 * pass);
        if (last[f.media] != 0) {
            EXPECT_GT(f.timestamp, last[f.media]) << "timestamps increase within each medium";
        }
        last[f.media] = f.timestamp;
        // Delivered no earlier than due and within one polling period after.
        uint64_t due = start + (f.timestamp - MediaParse::kInitialLiveOffset);
        EXPECT_GE(f.at, due);
        EXPECT_LT(f.at, due + MediaParse::kCycleMs);
    }
}

TEST_F(Replay, LiveStallDoesNotReplayTheBacklog) {
    std::vector<FrameSpec> frames = Gop(200);  // a 256 ms pass
    WriteStream(dir.File("s"), frames);
    ASSERT_EQ(parse.StartLive(1, dir.File("s")), 0);
    Step(1);
    rec.Take();
    clock.Advance(10000);  // the thread did not run for ten seconds
    Step(1);
    std::vector<Frame> burst = rec.Take();
    EXPECT_LE(burst.size(), frames.size() + 2) << "at most the rest of the pass catches up";
    Step(1);
    EXPECT_LE(rec.Take().size(), 1u) << "then the pace is normal again";
}

TEST_F(Replay, LiveKeyFrameRequestJumpsButKeepsTheTimeline) {
    // Key frames at 0 and 400 ms of a 700 ms stream.
    std::vector<FrameSpec> frames = Gop(700, 10);
    WriteStream(dir.File("s"), frames);
    struct Case {
        const char* what;
        unsigned cycles_before;  // 20 ms each
        unsigned key_ts;         // the key frame it must land on
    } cases[] = {
        {"forward to the next key frame", 3, 400},
        {"past the last key frame: back to it", 30, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(parse.StartLive(1, dir.File("s")), 0);
        Step(c.cycles_before);
        std::vector<Frame> before = Video();
        ASSERT_FALSE(before.empty());
        parse.RequestKeyFrame();
        Step(1);
        std::vector<Frame> after = Video();
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after[0].number, VideoAt(frames, c.key_ts));
        EXPECT_EQ(after[0].key, 1);
        // It takes the place of the next frame on the timeline: no gap, no step back.
        EXPECT_GT(after[0].timestamp, before.back().timestamp);
        EXPECT_LE(after[0].timestamp, before.back().timestamp + 40);
        parse.Stop();
    }
}

TEST_F(Replay, VodSeekLandsOnAKeyFrame) {
    // Key frames every 400 ms up to 1600; last video frame 1960.
    std::vector<FrameSpec> frames = Gop(2000, 10);
    WriteStream(dir.File("s"), frames);
    std::vector<FrameSpec> no_keys = Gop(2000, 1000);
    for (auto& f : no_keys) {
        f.key = 0;
    }
    WriteStream(dir.File("nokey"), no_keys);
    struct Case {
        const char* stream;
        unsigned target;
        unsigned video_ts;  // of the first frame played
    } cases[] = {
        {"s", 0, 0},         // a key frame exactly at the target is kept
        {"s", 1, 400},       // otherwise the first key frame after it
        {"s", 400, 400},     //
        {"s", 401, 800},     //
        {"s", 1700, 1600},   // none after: the last key frame
        {"s", 99999, 1600},  // beyond the end: clamped, then as above
        {"nokey", 800, 0},   // no key frame at all: from the start
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stream << " seek " << c.target);
        parse.Pause(true);
        ASSERT_EQ(parse.StartVod(9, dir.File(c.stream), 5000), 0);
        parse.Seek(c.target);
        Step(3);
        EXPECT_EQ(rec.Size(), 0u) << "nothing plays while paused";
        parse.Pause(false);
        Step(1);
        std::vector<Frame> v = Video();
        ASSERT_FALSE(v.empty());
        EXPECT_EQ(v[0].timestamp, 5000 + c.video_ts);
        EXPECT_EQ(v[0].service_id, 9);
        parse.Stop();
        parse.ResetPlayState();
    }
}

TEST_F(Replay, VodPauseHoldsAndResumesWithoutACatchUpBurst) {
    WriteStream(dir.File("s"), Gop(3000, 25, false));
    ASSERT_EQ(parse.StartVod(1, dir.File("s"), 0), 0);
    Step(10);  // 0..180 ms played
    std::vector<Frame> v = Video();
    ASSERT_EQ(v.size(), 5u);
    parse.Pause(true);
    Step(50);
    EXPECT_TRUE(rec.Take().empty());
    parse.Pause(false);
    Step(1);
    v = Video();
    ASSERT_EQ(v.size(), 1u) << "one second of pause must not come out at once";
    EXPECT_EQ(v[0].timestamp, 200u);
    Step(5);
    EXPECT_EQ(Video().size(), 2u);  // 100 ms more: 240, 280
}

TEST_F(Replay, VodSpeedRules) {
    WriteStream(dir.File("s"), Gop(20000, 50, false));
    ASSERT_EQ(parse.StartVod(1, dir.File("s"), 0), 0);
    Step(5);  // 0..80
    rec.Take();

    parse.SetSpeed(4, false);
    parse.SetSpeed(2, false);  // the first change is still pending: ignored
    // Re-anchored at the next frame (120); the last of the five cycles is 80 ms
    // later, 4 x 80 ms of media on.
    Step(5);
    std::vector<Frame> v = Video();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front().timestamp, 120u);
    EXPECT_EQ(v.back().timestamp, 120u + 4 * 80);

    parse.SetSpeed(17, false);  // out of range: ignored, speed stays 4
    parse.SetSpeed(0, false);
    Step(5);
    v = Video();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back().timestamp, 120u + 4 * 180) << "still 4x";
}

TEST_F(Replay, VodKeyOnlyModeAndLeavingIt) {
    std::vector<FrameSpec> frames = Gop(6000, 10);  // key every 400 ms
    WriteStream(dir.File("s"), frames);
    ASSERT_EQ(parse.StartVod(1, dir.File("s"), 0), 0);
    Step(2);
    rec.Take();
    parse.SetSpeed(8, true);
    Step(10);
    std::vector<Frame> got = rec.Take();
    ASSERT_GE(got.size(), 3u);
    for (const Frame& f : got) {
        EXPECT_EQ(f.media, 0) << "no audio in key-only mode";
        EXPECT_EQ(f.key, 1) << "no inter frames in key-only mode";
    }
    parse.SetSpeed(1, false);  // back to every frame: starts at a key frame
    Step(1);
    std::vector<Frame> v = Video();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v[0].key, 1);
    EXPECT_GT(v[0].timestamp, got.back().timestamp);
    Step(3);
    v = Video();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back().key, 0) << "inter frames follow again";
}

TEST_F(Replay, VodEndsAfterTheLastFrame) {
    WriteStream(dir.File("s"), Gop(100));
    ASSERT_EQ(parse.StartVod(1, dir.File("s"), 0), 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(Step(3));
    EXPECT_FALSE(Step(2));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "processVodFrames end\n");
    EXPECT_FALSE(parse.IsRunning());
    EXPECT_EQ(rec.Size(), Gop(100).size());
}

TEST_F(Replay, BadFrameEndsTheReplay) {
    struct Case {
        const char* what;
        const char* index_line;  // replaces the third frame's line
        const char* printed;
    } cases[] = {
        {"length over the buffer", "media=0,offset=40,len=131073,timestamp=40,key=0",
         "Buf is too large"},
        {"length under the marker", "media=0,offset=40,len=3,timestamp=40,key=0",
         "Read frame failed"},
        {"offset past the end", "media=0,offset=900000,len=20,timestamp=40,key=0",
         "Read frame failed"},
        {"no marker at the offset", "media=0,offset=41,len=20,timestamp=40,key=0",
         "Read frame failed"},
    };
    for (bool live : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (live ? "live: " : "vod: ") << c.what);
            WriteStream(dir.File("s"), {{0, 0, 1}, {1, 0, 0}, {0, 40, 0}, {0, 80, 0}});
            std::string index =
                "media=0,offset=0,len=20,timestamp=0,key=1\n"
                "media=1,offset=20,len=20,timestamp=0,key=0\n" +
                std::string(c.index_line) + "\nmedia=0,offset=60,len=20,timestamp=80,key=0\n";
            WriteText(dir.File("s.index"), index);
            ASSERT_EQ(
                live ? parse.StartLive(1, dir.File("s")) : parse.StartVod(1, dir.File("s"), 0), 0);
            testing::internal::CaptureStdout();
            EXPECT_FALSE(Step(5));
            std::string who = live ? "processLiveFrames " : "processVodFrames ";
            EXPECT_EQ(testing::internal::GetCapturedStdout(), who + c.printed + "\n");
            EXPECT_FALSE(parse.IsRunning());
            EXPECT_EQ(rec.Take().size(), 2u) << "the frames before the bad one were delivered";
            parse.Stop();
        }
    }
}

TEST_F(Replay, OpenFailuresNameTheMissingPart) {
    WriteStream(dir.File("good"), Gop(100));
    struct Case {
        const char* what;
        void (*spoil)(const std::string& n);
        std::string printed_tail;
    } cases[] = {
        {"no index", [](const std::string& n) { unlink((n + ".index").c_str()); },
         "Parse stream index failed\nOpen file failed\n"},
        {"bad meta", [](const std::string& n) { WriteText(n + ".meta", "audio.channel=5\n"); },
         "Invalid param:  5\nParse stream param failed\nOpen file failed\n"},
        {"no data file", [](const std::string& n) { unlink(n.c_str()); },
         "Parse stream file failed\nOpen file failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string n = dir.File(std::string("s_") + std::to_string(&c - cases));
        WriteStream(n, Gop(100));
        c.spoil(n);
        testing::internal::CaptureStdout();
        EXPECT_EQ(parse.StartLive(1, n), -1);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(
            out.size() >= c.printed_tail.size() &&
            out.compare(out.size() - c.printed_tail.size(), std::string::npos, c.printed_tail) == 0)
            << out;
        EXPECT_FALSE(parse.IsRunning());
    }
}

TEST_F(Replay, ParametersFollowTheOpenStream) {
    WriteStream(dir.File("s"), Gop(100),
                "video.format=h265\nvideo.fps=15\naudio.format=g711a\naudio.sample_rate=8000\n"
                "audio.bits_per_sample=16\naudio.channel=1\nduration=33\n");
    ks_video_param_s video;
    ks_audio_param_s audio;
    ASSERT_EQ(parse.StartLive(1, dir.File("s")), 0);
    parse.GetParam(video, audio);
    EXPECT_EQ(video.format, KS_VIDEO_FORMAT_H265);
    EXPECT_EQ(video.fps, 15u);
    EXPECT_EQ(video.duration, 0u) << "live has no duration";
    EXPECT_EQ(audio.format, KS_AUDIO_FORMAT_G711A);
    EXPECT_EQ(audio.sample_rate, KS_AUDIO_SAMPLE_RATE_8000);
    Step(1);
    Frame f = rec.Take().at(0);
    EXPECT_EQ(f.format, KS_VIDEO_FORMAT_H265);

    ASSERT_EQ(parse.StartVod(1, dir.File("s"), 0), 0);
    parse.GetParam(video, audio);
    EXPECT_EQ(video.duration, 33u);
    parse.Stop();
    parse.GetParam(video, audio);
    EXPECT_EQ(video.fps, 0u);
    EXPECT_EQ(audio.format, KS_AUDIO_FORMAT_PCM);
    EXPECT_EQ(parse.GetPath(), "");
}

}  // namespace

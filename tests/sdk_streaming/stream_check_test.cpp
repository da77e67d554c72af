#include "sdk/streaming/stream_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

using kestrel::BitrateCheck;
using kestrel::StreamCheck;
using kestrel::StreamCheckUnitInfo;
using kestrel::TimeStampCheck;
using kestrel::VideoCheck;

namespace {

// ---- timestamps ----

struct Event {
    char kind;  // 'K' key frame, 'P' other video, 'A' audio
    unsigned ts;
};

struct TimestampCase {
    const char* name;
    std::function<void(TimeStampCheck&)> setup;
    std::vector<Event> events;
    std::vector<const char*> errors;  // expected error lines, in order
};

std::vector<std::string> Errors(kestrel_test::LogCapture& log) {
    std::vector<std::string> out;
    for (const std::string& l : log.Lines()) {
        if (l.rfind("2 ", 0) == 0)
            out.push_back(l.substr(2));
    }
    return out;
}

TEST(TimeStampCheck, Settings) {
    TimeStampCheck c;
    EXPECT_EQ(200u, c.MaxVideoGap());
    c.SetFps(0);
    EXPECT_EQ(200u, c.MaxVideoGap());
    c.SetFps(25);
    EXPECT_EQ(80u, c.MaxVideoGap());
    c.SetFps(30);
    EXPECT_EQ(66u, c.MaxVideoGap());
    c.SetKeyFrameInterval(1500);
    EXPECT_EQ(2000u, c.KeyFrameInterval());
    c.SetKeyFrameInterval(4000);
    EXPECT_EQ(4000u, c.KeyFrameInterval());
    const struct {
        double in;
        int speed;
    } speeds[] = {{4, 4}, {0.5, 4}, {32, 4}, {-3, 4}, {1e300, 4}, {NAN, 4}, {16.9, 16}, {1, 1}};
    for (const auto& s : speeds) {
        c.SetMultiSpeed(s.in);
        EXPECT_EQ(s.speed, c.Speed()) << s.in;
    }
}

TEST(TimeStampCheck, ContinuityDriftAndSeek) {
    auto fps25 = [](TimeStampCheck& c) {
        c.SetServiceId(7);
        c.SetFps(25);
    };
    const TimestampCase cases[] = {
        {"steady 25 fps with audio in step",
         fps25,
         {{'K', 0}, {'A', 0}, {'P', 40}, {'A', 60}, {'P', 80}, {'P', 160}, {'A', 150}},
         {}},
        {"a gap beyond two frame intervals and a step back",
         fps25,
         {{'K', 0}, {'P', 81}, {'P', 50}},
         {"[Service:7] Video timestamp error, current = 81, last = 0",
          "[Service:7] Video timestamp error, current = 50, last = 81"}},
        {"speed 4 accepts 300 ms and not 400 ms",
         [&](TimeStampCheck& c) {
             fps25(c);
             c.SetMultiSpeed(4);
         },
         {{'K', 0}, {'P', 300}, {'P', 700}},
         {"[Service:7] Video timestamp error, current = 700, last = 300"}},
        {"key-only playback allows a key-frame interval between frames, and no more",
         [&](TimeStampCheck& c) {
             fps25(c);
             c.SetKeyFrameInterval(4000);
             c.SetKeyOnly(true);
         },
         {{'K', 0}, {'K', 4000}, {'K', 8080}, {'K', 12200}},
         {"[Service:7] Video timestamp error, current = 12200, last = 8080"}},
        {"an ignored speed keeps the running state",
         [&](TimeStampCheck& c) {
             fps25(c);
             c.SetMultiSpeed(0.5);
         },
         {{'K', 0}, {'P', 300}},
         {"[Service:7] Video timestamp error, current = 300, last = 0"}},
        {"audio and video drift apart",
         fps25,
         {{'K', 0}, {'A', 0}, {'P', 40}, {'P', 80}, {'A', 300}, {'A', 620}, {'A', 950}},
         {"[Service:7] Video or audio timestamp error, current audio = 620, last video = 80",
          "[Service:7] Audio timestamp error, current = 950, last = 620",
          "[Service:7] Video or audio timestamp error, current audio = 950, last video = 80"}},
        {"video runs ahead of audio",
         fps25,
         {{'A', 0},
          {'K', 0},
          {'P', 40},
          {'P', 80},
          {'A', 40},
          {'P', 120},
          {'P', 160},
          {'P', 200},
          {'P', 240},
          {'P', 280},
          {'P', 320},
          {'P', 360},
          {'P', 400},
          {'P', 440},
          {'P', 480},
          {'P', 520},
          {'P', 560}},
         {"[Service:7] Video or audio timestamp error, current video = 560, last audio = 40"}},
        {"a seek ends at a key frame near the target; audio after it resyncs",
         [&](TimeStampCheck& c) {
             fps25(c);
             c.SetSeekTimestamp(60000);
         },
         {{'K', 0}, {'A', 0}, {'P', 1000}, {'A', 1000}, {'K', 61000}, {'A', 61010}, {'P', 61040}},
         {}},
        {"a seek that finds no key frame in ten frames is an error",
         [&](TimeStampCheck& c) {
             fps25(c);
             c.SetSeekTimestamp(60000);
         },
         {{'K', 0},
          {'P', 1},
          {'P', 2},
          {'P', 3},
          {'P', 4},
          {'P', 5},
          {'P', 6},
          {'P', 7},
          {'P', 8},
          {'P', 9},
          {'P', 10},
          {'P', 11},
          {'P', 51}},
         {"[Service:7] Video error after seek, seek timestamp = 60000, current timestamp = 11"}},
    };
    for (const TimestampCase& tc : cases) {
        SCOPED_TRACE(tc.name);
        kestrel_test::LogCapture log;
        TimeStampCheck c;
        tc.setup(c);
        for (const Event& e : tc.events) {
            if (e.kind == 'A')
                c.CheckAudio(e.ts);
            else
                c.CheckVideo(100, e.kind == 'K', e.ts);
        }
        std::vector<std::string> got = Errors(log);
        ASSERT_EQ(tc.errors.size(), got.size()) << (got.empty() ? "" : got[0]);
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(tc.errors[i], got[i]);
    }
}

// ---- key frames ----

// A key frame of `len` bytes with the given NAL unit headers after start codes
// at `where`; the filler never forms a start code.
std::vector<unsigned char> KeyFrame(unsigned len,
                                    std::vector<std::pair<unsigned, unsigned char>> nals) {
    std::vector<unsigned char> f(len, 0x55);
    for (const auto& n : nals) {
        f[n.first] = 0;
        f[n.first + 1] = 0;
        f[n.first + 2] = 1;
        f[n.first + 3] = n.second;
    }
    return f;
}

TEST(VideoCheck, KeyFrameContent) {
    const struct {
        const char* name;
        int format;
        std::vector<unsigned char> frame;
        bool ok;
        const char* error;  // null: none
    } cases[] = {
        {"H.264 with SPS, PPS and IDR", 0, KeyFrame(5000, {{0, 0x67}, {20, 0x68}, {40, 0x65}}),
         true, nullptr},
        {"H.264 without PPS", 0, KeyFrame(5000, {{0, 0x67}, {40, 0x65}}), false,
         "[Service:3] Video data is not correct, sps = 1, pps = 0, idr = 1"},
        {"H.264 IDR found at the last scanned offset", 0,
         KeyFrame(4096, {{0, 0x67}, {20, 0x68}, {4091, 0x65}}), true, nullptr},
        {"H.264 IDR beyond the scanned bytes", 0,
         KeyFrame(4200, {{0, 0x67}, {20, 0x68}, {4092, 0x65}}), false,
         "[Service:3] Video data is not correct, sps = 1, pps = 1, idr = 0"},
        {"H.265 with VPS, SPS, PPS and CRA", 1,
         KeyFrame(5000, {{0, 32 << 1}, {30, 33 << 1}, {60, 34 << 1}, {90, 21 << 1}}), true,
         nullptr},
        {"H.265 without VPS", 1, KeyFrame(5000, {{30, 33 << 1}, {60, 34 << 1}, {90, 19 << 1}}),
         false, "[Service:3] Video data is not correct, sps = 1, pps = 1, vps = 0, idr = 1"},
        {"a short key frame is not scanned", 0, KeyFrame(3000, {}), true,
         "[Service:3] Key frame is too short, len = 3000"},
        {"an unknown format", 2, KeyFrame(5000, {}), true,
         "[Service:3] Video format is not correct, format = 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kestrel_test::LogCapture log;
        VideoCheck v;
        v.SetServiceId(3);
        EXPECT_EQ(c.ok,
                  v.CheckKeyFrame(c.format, c.frame.data(), static_cast<unsigned>(c.frame.size())));
        std::vector<std::string> errors = Errors(log);
        if (c.error) {
            ASSERT_EQ(1u, errors.size());
            EXPECT_EQ(c.error, errors[0]);
        } else {
            EXPECT_TRUE(errors.empty()) << errors[0];
        }
    }
}

// ---- bit rate ----

TEST(BitrateCheck, WindowOfThreeGopsAndAverage) {
    kestrel_test::LogCapture log;
    BitrateCheck b;
    b.SetServiceId(9);
    EXPECT_EQ(0u, b.GetAvgBitrate());  // nothing seen: over 1 ms, no division by zero

    // Frames before the first key frame do not count.
    b.CheckVideo(1000, false, 0);
    // 1-second GOPs at 25 fps: a 5000-byte key frame and 24 frames of 1000 bytes.
    unsigned ts = 40;
    for (int gop = 0; gop < 7; ++gop) {
        for (int i = 0; i < 25; ++i, ts += 40)
            b.CheckVideo(i == 0 ? 5000 + gop : 1000, i == 0, ts);
    }
    // Every full window holds 3 x 29,000 bytes over 3,000 ms: 29 bytes/ms.
    EXPECT_EQ(232u, b.GetMaxWindowRate());
    EXPECT_EQ(5006u, b.GetMaxKeyFrame());
    EXPECT_EQ(7u * 29000 + 21, b.GetTotalBytes());
    EXPECT_EQ(232u, b.GetAvgBitrate());
    EXPECT_EQ(1u, log.Count("[Service:9] The bitrate of last 3 gop = 232 kBps"));
    EXPECT_TRUE(log.Contains("[Service:9] Total bitrate = 232 kBps"));

    b.Reset();
    EXPECT_EQ(0u, b.GetMaxWindowRate());
    EXPECT_EQ(0u, b.GetTotalBytes());
}

// ---- the service map and raw dumps ----

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/ks_check_XXXXXX";
        path_ = mkdtemp(tmpl);
        path_ += "/";
    }
    ~TempDir() {
        for (const std::string& f : Files())
            unlink((path_ + f).c_str());
        rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        if (DIR* d = opendir(path_.c_str())) {
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] != '.')
                    out.push_back(e->d_name);
            }
            closedir(d);
        }
        return out;
    }
    std::string Read(const std::string& suffix) const {
        for (const std::string& f : Files()) {
            if (f.size() > suffix.size() &&
                f.compare(f.size() - suffix.size(), suffix.size(), suffix) == 0) {
                std::ifstream in(path_ + f, std::ios::binary);
                return std::string(std::istreambuf_iterator<char>(in), {});
            }
        }
        return "<missing>";
    }

  private:
    std::string path_;
};

TEST(StreamCheck, SavePathRules) {
    kestrel_test::LogCapture log;
    TempDir dir;
    StreamCheck check;
    const struct {
        std::string path;
        const char* error;
    } bad[] = {
        {"", "Path \"\" is not legal, the last character should be '/'"},
        {"/tmp", "Path \"/tmp\" is not legal, the last character should be '/'"},
        {"/no/such/dir/", "Path /no/such/dir/ is not exist"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(-1, check.OpenSavePath(b.path));
        EXPECT_TRUE(log.Contains(b.error)) << b.error;
    }
    EXPECT_EQ(0, check.OpenSavePath(dir.path()));
    EXPECT_TRUE(log.Contains("Stream auto save is open"));

    check.FunctionClose(true);
    log.Clear();
    EXPECT_EQ(-1, check.OpenSavePath(dir.path()));
    check.CloseSavePath();
    EXPECT_EQ(2u, log.Count("Stream check is close"));
}

TEST(StreamCheck, ClosingForgetsUnitsAndStopsChecking) {
    kestrel_test::LogCapture log;
    StreamCheck check;
    check.Start(1);
    check.Start(2);
    check.SetFrameInfo(2, StreamCheckUnitInfo{0, 25, 2000});
    check.Start(1);
    EXPECT_EQ(2u, check.UnitCount());
    check.Stop(1);
    check.Stop(42);
    EXPECT_EQ(1u, check.UnitCount());
    // A configuration for an unknown or ended service makes no unit.
    check.SetFrameInfo(42, StreamCheckUnitInfo{0, 25, 2000});
    check.SetFrameInfo(1, StreamCheckUnitInfo{0, 25, 2000});
    EXPECT_EQ(1u, check.UnitCount());

    check.FunctionClose(true);
    EXPECT_EQ(0u, check.UnitCount());
    check.Start(3);
    check.SetFrameInfo(4, StreamCheckUnitInfo{});
    EXPECT_EQ(0u, check.UnitCount());

    check.FunctionClose(false);
    EXPECT_TRUE(log.Contains("Stream check is open"));
    // Checks for a service without a unit do nothing.
    check.CheckVideo(5, 0, nullptr, 0, true, 0);
    check.CheckAudio(5, nullptr, 0, 0);
    check.SetPlayParam(5, 1, 2);
    check.SetSeekTimestamp(5, 1);
    EXPECT_EQ(0u, check.UnitCount());
}

TEST(StreamCheck, KeyOnlyModeFlagsOtherFrames) {
    kestrel_test::LogCapture log;
    StreamCheck check;
    check.Start(6);
    check.SetPlayParam(6, 1, 2);
    unsigned char p[8] = {};
    check.CheckVideo(6, 0, p, sizeof(p), false, 0);
    check.CheckAudio(6, p, sizeof(p), 0);
    EXPECT_TRUE(log.Contains("[Service:6] Key mode, should not push non-key video frame"));
    EXPECT_TRUE(log.Contains("Key mode, should not push audio frame"));
    log.Clear();
    check.SetPlayParam(6, 0, 1);
    check.CheckVideo(6, 0, p, sizeof(p), false, 40);
    check.CheckAudio(6, p, sizeof(p), 40);
    EXPECT_EQ(0u, log.Count("Key mode"));
}

TEST(StreamCheck, RawDumpHoldsEveryFrameOfUnitsCreatedAfterItWasOpened) {
    kestrel_test::LogCapture log;
    TempDir dir;
    StreamCheck check;
    check.Start(1);  // before the path: not saved
    ASSERT_EQ(0, check.OpenSavePath(dir.path()));
    check.SetFrameInfo(9, StreamCheckUnitInfo{0, 25, 2000});  // no service 9: no dump files
    check.Start(2);
    check.SetFrameInfo(2, StreamCheckUnitInfo{0, 25, 2000});
    const std::string v1 = "video-one|", v2 = "video-two|", a1 = "audio|";
    auto bytes = [](const std::string& s) {
        return reinterpret_cast<const unsigned char*>(s.data());
    };
    for (int service : {1, 2}) {
        check.CheckVideo(service, 0, bytes(v1), static_cast<unsigned>(v1.size()), false, 0);
        check.CheckAudio(service, bytes(a1), static_cast<unsigned>(a1.size()), 0);
        check.CheckVideo(service, 0, bytes(v2), static_cast<unsigned>(v2.size()), false, 40);
    }
    check.Stop(2);  // closes the files
    EXPECT_EQ(2u, dir.Files().size());
    EXPECT_EQ(v1 + v2, dir.Read(".video"));
    EXPECT_EQ(a1, dir.Read(".audio"));
    for (const std::string& f : dir.Files())
        EXPECT_EQ(0u, f.rfind("ks_2_", 0)) << f;
    EXPECT_EQ(2u, log.Count("[Service:2] Stream auto save create file " + dir.path() + "ks_2_"));

    // A file that cannot be opened is reported once and not retried.
    check.CloseSavePath();
    TempDir gone;
    ASSERT_EQ(0, check.OpenSavePath(gone.path()));
    check.Start(3);
    rmdir(gone.path().c_str());
    for (int i = 0; i < 3; ++i)
        check.CheckVideo(3, 0, bytes(v1), static_cast<unsigned>(v1.size()), false, i * 40);
    EXPECT_EQ(1u, log.Count("[Service:3] Stream auto save open"));
}

// Media threads on their own units, the network thread setting play
// parameters, and units coming and going, all at once.
TEST(StreamCheckThreads, UnitsAreCheckedAndSavedInParallel) {
    kestrel_test::LogCapture log;
    TempDir dir;
    StreamCheck check;
    ASSERT_EQ(0, check.OpenSavePath(dir.path()));
    const int kStreams = 3, kFrames = 400;
    for (int s = 1; s <= kStreams; ++s) {
        check.Start(s);
        check.SetFrameInfo(s, StreamCheckUnitInfo{0, 25, 2000});
    }
    std::vector<unsigned char> frame(1000, 0x55);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int s = 1; s <= kStreams; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; i < kFrames; ++i)
                check.CheckVideo(s, 0, frame.data(), 1000, i % 25 == 0, i * 40);
        });
        threads.emplace_back([&, s] {
            for (int i = 0; i < kFrames; ++i)
                check.CheckAudio(s, frame.data(), 100, i * 40);
        });
    }
    std::thread control([&] {
        for (int i = 0; !stop; ++i) {
            check.SetPlayParam(1 + i % kStreams, 0, 1);
            check.Start(100 + i % 4);
            check.CheckVideo(100 + i % 4, 0, frame.data(), 10, false, 0);
            check.Stop(100 + (i + 2) % 4);
        }
    });
    for (std::thread& t : threads)
        t.join();
    stop = true;
    control.join();
    for (int s = 1; s <= kStreams; ++s)
        check.Stop(s);
    for (int u = 100; u < 104; ++u)
        check.Stop(u);
    // Every saved stream is complete.
    size_t files = 0;
    for (const std::string& f : dir.Files()) {
        if (f.rfind("ks_1_", 0) != 0)
            continue;
        struct stat st;
        ASSERT_EQ(0, stat((dir.path() + f).c_str(), &st));
        bool video = f.find(".video") != std::string::npos;
        EXPECT_EQ(video ? 1000 * kFrames : 100 * kFrames, st.st_size) << f;
        ++files;
    }
    EXPECT_EQ(2u, files);
}

// A raw dump stuck in a write (here a pipe its reader has stopped draining)
// holds up neither the checks of its own stream, nor its other direction, nor
// any other stream.
TEST(StreamCheckThreads, StuckDumpHoldsUpNoOtherCheck) {
    kestrel_test::LogCapture log;
    TempDir dir;
    // The dump is named by the local time in seconds: a pipe under every name it may take.
    std::vector<int> readers;
    time_t now = time(nullptr);
    for (int d = -1; d <= 5; ++d) {
        time_t t = now + d;
        struct tm local;
        localtime_r(&t, &local);
        char name[64];
        strftime(name, sizeof(name), "ks_1_%y-%m-%d-%H-%M-%S.video", &local);
        std::string path = dir.path() + name;
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        readers.push_back(open(path.c_str(), O_RDONLY | O_NONBLOCK));
        ASSERT_GE(readers.back(), 0);
    }
    StreamCheck check;
    ASSERT_EQ(0, check.OpenSavePath(dir.path()));
    check.Start(1);
    check.Start(2);

    const size_t kFrame = 1 << 20;  // far more than a pipe holds
    std::vector<unsigned char> big(kFrame, 0x42);
    std::thread stuck([&] { check.CheckVideo(1, 0, big.data(), kFrame, false, 0); });

    // Wait until the pipe is full, i.e. the writer is stuck.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int pipe_fd = -1;
    while (pipe_fd < 0 && std::chrono::steady_clock::now() < deadline) {
        for (int fd : readers) {
            int queued = 0;
            if (ioctl(fd, FIONREAD, &queued) == 0 && queued > 0 &&
                queued >= fcntl(fd, F_GETPIPE_SZ))
                pipe_fd = fd;
        }
        std::this_thread::yield();
    }
    ASSERT_GE(pipe_fd, 0);

    unsigned char small[64] = {};
    auto others = std::async(std::launch::async, [&] {
        for (unsigned i = 1; i <= 20; ++i) {
            check.CheckVideo(2, 0, small, sizeof(small), false, i * 40);
            check.CheckAudio(1, small, sizeof(small), i * 40);
            check.SetPlayParam(1, 0, 1);
            check.SetSeekTimestamp(2, 0);
        }
        check.Start(3);
        check.Stop(3);
    });
    bool finished = others.wait_for(std::chrono::seconds(10)) == std::future_status::ready;

    // Drain the pipe so the stuck writer completes.
    size_t drained = 0;
    std::vector<unsigned char> buf(1 << 16);
    while (drained < kFrame &&
           std::chrono::steady_clock::now() < deadline + std::chrono::seconds(10)) {
        ssize_t n = read(pipe_fd, buf.data(), buf.size());
        if (n > 0)
            drained += static_cast<size_t>(n);
        else
            std::this_thread::yield();
    }
    stuck.join();
    others.wait();
    check.Stop(1);
    for (int fd : readers)
        close(fd);
    EXPECT_TRUE(finished) << "a check waited for another stream's dump";
    EXPECT_EQ(kFrame, drained);
}

}  // namespace

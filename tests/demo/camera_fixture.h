// Helpers for the camera tests: a scratch directory, small stream files built
// frame by frame, clocks that run on simulated time, and a frame recorder.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "camera/replay_clock.h"

namespace camera_test {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kestrel_camera_XXXXXX";
        const char* made = mkdtemp(tmpl);
        EXPECT_NE(made, nullptr);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) {
            ADD_FAILURE() << "could not remove " << path_;
        }
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

struct FrameSpec {
    int media;  // 0 video, 1 audio
    unsigned timestamp;
    int key;
    unsigned payload = 16;  // bytes after the marker
};

// Writes N, N.index and N.meta. Every payload starts with the frame's number
// (4 bytes, little-endian) so a test can tell which frame it got.
inline void WriteStream(const std::string& n, const std::vector<FrameSpec>& frames,
                        const std::string& meta =
                            "video.format=h264\nvideo.fps=25\n"
                            "audio.format=aac\naudio.sample_rate=16000\n"
                            "audio.bits_per_sample=16\naudio.channel=1\n"
                            "duration=1\n") {
    std::ofstream data(n, std::ios::binary);
    std::ofstream index(n + ".index");
    unsigned offset = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        std::string payload(frames[i].payload, '\x5a');
        for (size_t b = 0; b < 4 && b < payload.size(); ++b) {
            payload[b] = static_cast<char>((i >> (8 * b)) & 0xff);
        }
        data << "\xfc\xfc\xfc\xfc" << payload;
        unsigned len = 4 + frames[i].payload;
        index << "media=" << frames[i].media << ",offset=" << offset << ",len=" << len
              << ",timestamp=" << frames[i].timestamp << ",key=" << frames[i].key << "\n";
        offset += len;
    }
    WriteText(n + ".meta", meta);
}

// Video every 40 ms with a key frame every `gop` frames, audio every 64 ms,
// over `ms` milliseconds.
inline std::vector<FrameSpec> Gop(unsigned ms, unsigned gop = 5, bool audio = true) {
    std::vector<FrameSpec> frames;
    unsigned v = 0, a = 0;
    for (unsigned n = 0;; ++n) {
        unsigned tv = v * 40, ta = a * 64;
        bool more_v = tv < ms, more_a = audio && ta < ms;
        if (!more_v && !more_a) {
            break;
        }
        if (more_v && (!more_a || tv <= ta)) {
            frames.push_back({0, tv, v % gop == 0 ? 1 : 0});
            ++v;
        } else {
            frames.push_back({1, ta, 0});
            ++a;
        }
    }
    return frames;
}

// Time that only moves when the test says so.
class ManualClock : public kestrel::camera::ReplayClock {
  public:
    uint64_t NowMs() override { return now_; }
    void SleepMs(unsigned ms) override { now_ += ms; }
    void WaitMs(unsigned ms, kestrel::camera::ThreadEntry&) override { now_ += ms; }
    void Advance(unsigned ms) { now_ += ms; }

  private:
    std::atomic<uint64_t> now_{1000000};
};

// Real time sped up: one real millisecond is `factor` simulated ones.
class FastClock : public kestrel::camera::ReplayClock {
  public:
    explicit FastClock(unsigned factor) : factor_(factor), start_(RealUs()) {}
    uint64_t NowMs() override { return (RealUs() - start_) * factor_ / 1000; }
    void SleepMs(unsigned ms) override { usleep(ms * 1000u / factor_); }
    void WaitMs(unsigned ms, kestrel::camera::ThreadEntry& thread) override {
        thread.WaitStop(ms / factor_);
    }

  private:
    static uint64_t RealUs() {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000u + ts.tv_nsec / 1000;
    }
    unsigned factor_;
    uint64_t start_;
};

struct Frame {
    int service_id;
    int media;
    int format;
    unsigned number;  // from the payload
    unsigned len;
    unsigned timestamp;
    int key;
    uint64_t at;  // clock time of delivery
};

// Collects what the sinks receive; safe to fill from a replay thread.
class Recorder {
  public:
    explicit Recorder(kestrel::camera::ReplayClock* clock = nullptr) : clock_(clock) {}
    void Add(int service_id, int media, int format, const unsigned char* p, unsigned len,
             unsigned timestamp, int key) {
        unsigned number = 0;
        for (unsigned b = 0; p != nullptr && b < 4 && b < len; ++b) {
            number |= static_cast<unsigned>(p[b]) << (8 * b);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back({service_id, media, format, number, len, timestamp, key,
                           clock_ != nullptr ? clock_->NowMs() : 0});
    }
    std::vector<Frame> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Frame> out;
        out.swap(frames_);
        return out;
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }

  private:
    kestrel::camera::ReplayClock* clock_;
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

// Waits (really) up to `ms` for pred to hold.
template <typename Pred>
bool WaitFor(Pred pred, unsigned ms = 3000) {
    for (unsigned waited = 0; waited < ms; waited += 2) {
        if (pred()) {
            return true;
        }
        usleep(2000);
    }
    return pred();
}

}  // namespace camera_test

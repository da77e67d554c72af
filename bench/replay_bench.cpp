// How faithfully the simulated camera's live replay keeps time, and what a
// replayed frame costs.
//
// BM_LiveReplayLateness replays the 1000 kbit/s sample stream live for
// KESTREL_REPLAY_SECONDS (default 60) and measures, for every frame, how late it
// reached the sink against its timestamp: lateness = arrival - (arrival of the
// first frame + timestamp - first timestamp). The replayer polls every 20 ms, so
// a mean of about 10 ms is the design; drift would show as a growing maximum.
//
// BM_ReplayFrameCost steps the replayer on simulated time as fast as it goes:
// the cost of reading and handing over one frame.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "camera/media_parse.h"

using kestrel::camera::MediaParse;
using kestrel::camera::ReplayClock;

namespace {

const std::string kStream = std::string(KESTREL_MEDIA_DIR) + "/avc_aac_1000k";

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Arrival {
    unsigned timestamp;
    int64_t at_us;
};

struct Collector {
    std::vector<Arrival> arrivals;
    size_t bytes = 0;
};

void OnVideo(void* user, int, ks_video_format_e, unsigned char*, unsigned len, unsigned ts, int) {
    auto* c = static_cast<Collector*>(user);
    c->arrivals.push_back({ts, NowUs()});
    c->bytes += len;
}

void OnAudio(void* user, int, ks_audio_format_e, unsigned char*, unsigned len, unsigned ts) {
    auto* c = static_cast<Collector*>(user);
    c->arrivals.push_back({ts, NowUs()});
    c->bytes += len;
}

unsigned ReplaySeconds() {
    const char* env = getenv("KESTREL_REPLAY_SECONDS");
    int v = env != nullptr ? atoi(env) : 60;
    return v > 0 ? static_cast<unsigned>(v) : 60;
}

void BM_LiveReplayLateness(benchmark::State& state) {
    const unsigned seconds = ReplaySeconds();
    for (auto _ : state) {
        Collector c;
        c.arrivals.reserve(seconds * 100);
        MediaParse parse(&OnVideo, &OnAudio, &c);
        if (parse.StartLive(1, kStream) != 0) {
            state.SkipWithError("cannot open the sample stream");
            return;
        }
        // The sinks run on the replay thread; c is read only after Stop.
        sleep(seconds);
        parse.Stop();
        if (c.arrivals.empty()) {
            state.SkipWithError("no frame was delivered");
            return;
        }
        const Arrival first = c.arrivals.front();
        std::vector<double> late_ms;
        late_ms.reserve(c.arrivals.size());
        for (const Arrival& a : c.arrivals) {
            int64_t due =
                first.at_us + (static_cast<int64_t>(a.timestamp) - first.timestamp) * 1000;
            late_ms.push_back((a.at_us - due) / 1000.0);
        }
        std::vector<double> sorted = late_ms;
        std::sort(sorted.begin(), sorted.end());
        double sum = 0;
        for (double v : late_ms) {
            sum += v;
        }
        state.counters["frames"] = static_cast<double>(late_ms.size());
        state.counters["seconds"] = seconds;
        state.counters["late_mean_ms"] = sum / late_ms.size();
        state.counters["late_p99_ms"] = sorted[static_cast<size_t>(0.99 * (sorted.size() - 1))];
        state.counters["late_max_ms"] = sorted.back();
        state.counters["early_min_ms"] = sorted.front();
        state.counters["kbit_per_s"] = c.bytes * 8.0 / seconds / 1000.0;
    }
}
BENCHMARK(BM_LiveReplayLateness)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

class SteppedClock : public ReplayClock {
  public:
    uint64_t NowMs() override { return now_; }
    void SleepMs(unsigned ms) override { now_ += ms; }
    void WaitMs(unsigned ms, kestrel::camera::ThreadEntry&) override { now_ += ms; }

  private:
    uint64_t now_ = 1000;
};

void BM_ReplayFrameCost(benchmark::State& state) {
    SteppedClock clock;
    Collector c;
    MediaParse parse(&OnVideo, &OnAudio, &c, clock);
    parse.SetManualDrive(true);
    if (parse.StartLive(1, kStream) != 0) {
        state.SkipWithError("cannot open the sample stream");
        return;
    }
    size_t frames = 0;
    for (auto _ : state) {
        // One second of media per iteration.
        for (int i = 0; i < 50; ++i) {
            parse.RunCycle();
            clock.SleepMs(MediaParse::kCycleMs);
        }
        frames += c.arrivals.size();
        c.arrivals.clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(c.bytes));
    parse.Stop();
}
BENCHMARK(BM_ReplayFrameCost)->Unit(benchmark::kMicrosecond);

}  // namespace

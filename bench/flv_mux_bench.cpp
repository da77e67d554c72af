// Muxing the 24 s sample stream (H.264 720p + AAC) into FLV bodies, in clear
// and encrypted, beside ffmpeg copying the same elementary streams into an FLV
// file (what a user would reach for). Each reports the media bytes it took in
// per second; ffmpeg's figure is its CPU time (user + system of the child).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "proto/flv_mux.h"

namespace {

struct Frame {
    bool video;
    bool key;
    uint32_t ts;
    std::vector<char> data;
};

struct Sample {
    std::vector<Frame> frames;
    size_t bytes = 0;
};

const Sample& LoadSample() {
    static Sample s = [] {
        Sample out;
        const std::string base = std::string(KESTREL_MEDIA_DIR) + "/avc_aac_1000k";
        std::ifstream f(base, std::ios::binary);
        std::vector<char> data((std::istreambuf_iterator<char>(f)),
                               std::istreambuf_iterator<char>());
        std::ifstream idx(base + ".index");
        std::string line;
        while (std::getline(idx, line)) {
            int media, key;
            unsigned offset, len, ts;
            if (sscanf(line.c_str(), "media=%d,offset=%u,len=%u,timestamp=%u,key=%d", &media,
                       &offset, &len, &ts, &key) != 5 ||
                len < 4 || offset + len > data.size()) {
                continue;
            }
            Frame fr{media == 0, key != 0, ts,
                     std::vector<char>(data.begin() + offset + 4, data.begin() + offset + len)};
            out.bytes += fr.data.size();
            out.frames.push_back(std::move(fr));
        }
        return out;
    }();
    return s;
}

int Sink(void* param, kestrel::FlvMux::DataType, const char*, size_t len, uint32_t) {
    *static_cast<size_t*>(param) += len;
    return 0;
}
void Status(void*, kestrel::FlvMux::Status) {}

void MuxSample(benchmark::State& state, bool encrypt) {
    const Sample& s = LoadSample();
    size_t out = 0;
    for (auto _ : state) {
        kestrel::FlvMux mux(kestrel::FlvMux::MODE_RTMP, &out, Sink, Status);
        if (encrypt) {
            mux.SetEncryption("MDEyMzQ1Njc4OWFiY2RlZg==", "ZmVkY2JhOTg3NjU0MzIxMA==");
        }
        mux.SetAudioCodec(kestrel::AUDIO_FORMAT_AAC, kestrel::AUDIO_BIT_16,
                          kestrel::AUDIO_CHANNEL_MONO, kestrel::AUDIO_RATE_44K,
                          kestrel::AUDIO_ADD_RATE_16000);
        for (const Frame& f : s.frames) {
            int r = f.video
                        ? mux.SendVideo(0, f.key, f.data.data(),
                                        static_cast<uint32_t>(f.data.size()), f.ts)
                        : mux.SendAudio(f.data.data(), static_cast<uint32_t>(f.data.size()), f.ts);
            if (r != kestrel::FLV_OK) {
                state.SkipWithError(kestrel::flv_result_text(r));
                return;
            }
        }
    }
    benchmark::DoNotOptimize(out);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
}

void BM_FlvMuxSample(benchmark::State& state) {
    MuxSample(state, false);
}
void BM_FlvMuxSampleEncrypted(benchmark::State& state) {
    MuxSample(state, true);
}

double ChildCpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_FfmpegCopyToFlv(benchmark::State& state) {
    const Sample& s = LoadSample();
    const std::string v = "/tmp/flv_mux_bench.h264", a = "/tmp/flv_mux_bench.aac";
    {
        std::ofstream fv(v, std::ios::binary), fa(a, std::ios::binary);
        for (const Frame& f : s.frames) {
            (f.video ? fv : fa).write(f.data.data(), static_cast<std::streamsize>(f.data.size()));
        }
    }
    const std::string cmd = "ffmpeg -nostdin -v error -y -f h264 -r 25 -i " + v + " -f aac -i " +
                            a + " -c copy -f flv /dev/null";
    for (auto _ : state) {
        double before = ChildCpuSeconds();
        if (system(cmd.c_str()) != 0) {
            state.SkipWithError("ffmpeg failed (is it installed?)");
            break;
        }
        state.SetIterationTime(ChildCpuSeconds() - before);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
    remove(v.c_str());
    remove(a.c_str());
}

}  // namespace

BENCHMARK(BM_FlvMuxSample)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlvMuxSampleEncrypted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegCopyToFlv)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

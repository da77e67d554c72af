// Publishing the 24 s sample stream to a local nginx relay: RtmpClient
// against ffmpeg -c copy of the same media (the relay's own recording of our
// publication, so both send identical tags).
//   paced: frames released at their timestamps (ffmpeg -re); CPU seconds.
//   fast:  everything as fast as the relay takes it; MB/s of media.
// Our CPU is this process's, also shown without the pacing thread that plays
// the camera; ffmpeg's is the child's user + system time, start-up included.
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "core/logger.h"
#include "net/net_connector.h"
#include "net/rtmp_client.h"
#include "net_rtmp/rtmp_peers.h"

using namespace kestrel;
using namespace rtmptest;

namespace {

double Cpu(int who) {
    rusage ru;
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

struct Result {
    double cpu = 0;
    double source_cpu = 0;  // the pacing (camera) thread's share of cpu
    double wall = 0;
    bool ok = false;
};

// One publication by RtmpClient; paced or not.
Result PublishOurs(NginxRelay& relay, const std::vector<Frame>& frames, bool paced) {
    SharedPtr<Owner> owner(new Owner);
    SharedPtr<RtmpClient> client = RtmpClient::Create(SharedPtr<RtmpClientHandler>(owner));
    Result r;
    if (!client) {
        return r;
    }
    client->SetLogInfo("[bench]");
    client->SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO, AUDIO_RATE_44K,
                          AUDIO_ADD_RATE_16000);
    owner->client = client;
    owner->frames = frames;
    owner->paced = paced;
    double cpu0 = Cpu(RUSAGE_SELF);
    double source0 = Cpu(RUSAGE_THREAD);
    uint64_t t0 = NowMs();
    owner->pace_start_ms = t0;
    client->Start("rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/bench", 0);
    if (paced) {
        // The camera: each frame becomes available at its time.
        for (const Frame& f : frames) {
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point() +
                                          std::chrono::milliseconds(t0 + f.timestamp));
            client->RequestWrite();
        }
    }
    r.source_cpu = Cpu(RUSAGE_THREAD) - source0;
    r.ok = owner->WaitClosed(120000) && owner->sent == frames.size();
    r.wall = (NowMs() - t0) / 1000.0;
    r.cpu = Cpu(RUSAGE_SELF) - cpu0;
    owner->Forget();
    return r;
}

Result PublishFfmpeg(NginxRelay& relay, const std::string& flv, bool paced) {
    std::string cmd =
        std::string("exec ffmpeg -nostdin -v error ") + (paced ? "-re " : "") + "-i '" + flv +
        "' -c copy -f flv rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/ffmpeg";
    double cpu0 = Cpu(RUSAGE_CHILDREN);
    uint64_t t0 = NowMs();
    std::string out;
    Result r;
    r.ok = RunCommand(cmd, &out) == 0;
    r.wall = (NowMs() - t0) / 1000.0;
    r.cpu = Cpu(RUSAGE_CHILDREN) - cpu0;
    if (!r.ok) {
        fprintf(stderr, "ffmpeg: %s\n", out.c_str());
    }
    return r;
}

}  // namespace

int main() {
    logger_set_level(KS_LOG_ERROR);
    std::vector<Frame> frames = SampleFrames();
    size_t bytes = 0;
    for (const Frame& f : frames) {
        bytes += f.data.size();
    }
    if (NetConnector::Start() != 0) {
        fprintf(stderr, "network engine did not start\n");
        return 1;
    }
    // Our fast run also makes the FLV that ffmpeg sends.
    NginxRelay source;
    if (!source.Started()) {
        fprintf(stderr, "nginx with the RTMP module did not start\n%s", source.ErrorLog().c_str());
        return 1;
    }
    Result fast = PublishOurs(source, frames, false);
    source.Stop();
    std::string dir = TempDir();
    std::string flv = dir + "/sample.flv";
    RunCommand("cp '" + source.Recording("bench") + "' '" + flv + "'", nullptr);

    NginxRelay relay;
    Result ff_fast = PublishFfmpeg(relay, flv, false);
    Result paced = PublishOurs(relay, frames, true);
    Result ff_paced = PublishFfmpeg(relay, flv, true);
    relay.Stop();
    NetConnector::Stop();
    RunCommand("rm -rf '" + dir + "'", nullptr);

    double mb = bytes / 1e6;
    printf("media: %zu frames, %.2f MB, %.1f s\n", frames.size(), mb,
           frames.back().timestamp / 1000.0);
    printf("%-22s %10s %10s %10s\n", "", "cpu s", "wall s", "MB/s");
    printf("%-22s %10.3f %10.2f %10s %s\n", "RtmpClient paced", paced.cpu, paced.wall, "-",
           paced.ok ? "" : "FAILED");
    printf("%-22s %10.3f %10.2f %10s %s\n", "ffmpeg -re", ff_paced.cpu, ff_paced.wall, "-",
           ff_paced.ok ? "" : "FAILED");
    printf("%-22s %10.3f %10.3f %10.1f %s\n", "RtmpClient fast", fast.cpu, fast.wall,
           mb / fast.wall, fast.ok ? "" : "FAILED");
    printf("%-22s %10.3f %10.3f %10.1f %s\n", "ffmpeg fast", ff_fast.cpu, ff_fast.wall,
           mb / ff_fast.wall, ff_fast.ok ? "" : "FAILED");
    printf(
        "cpu ratio paced (ours / ffmpeg): %.2f; without our frame source thread (%.3f s): "
        "%.2f\n",
        paced.cpu / ff_paced.cpu, paced.source_cpu, (paced.cpu - paced.source_cpu) / ff_paced.cpu);
    return paced.ok && fast.ok && ff_paced.ok && ff_fast.ok ? 0 : 1;
}

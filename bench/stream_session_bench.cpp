// Live streams through the public API (ks_stream_send_media) to local relays.
//   latency: a frame handed to ks_stream_send_media until a local RTMP server
//            has read it off the socket, p50/p99, one paced stream;
//   cpu:     one paced live stream of the 24 s sample to nginx, the CPU of
//            the SDK's own threads (per thread, from /proc/self/task: the
//            camera thread and the bench's helpers left out), beside
//            ffmpeg -re -c copy publishing the same media to the same nginx;
//            the median of --cpu-runs runs (default 3) of each side;
//   scale:   N concurrent 1 Mbit/s live streams from one camera thread for
//            --seconds (default 10; the sample repeats past its 24 s): every
//            K-th (--probe-every, default 8; 0 for none) to an in-process
//            RTMP server that timestamps each video frame it reads, giving
//            the latency across streams while all N run, the others to
//            nginx; a stream passes when its relay has every video frame
//            sent; the SDK threads' CPU (the probes' servers left out);
//            resident memory per stream beside the ring each stream holds.
// Usage: stream_session_bench [N] [--seconds S] [--cpu-runs R] [--scale-only]
//                             [--probe-every K]
#include <dirent.h>
#include <kestrel/ks_api.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/logger.h"
#include "core/single.h"
#include "net/net_connector.h"
#include "net_rtmp/rtmp_peers.h"
#include "sdk/message_service.h"
#include "sdk/streaming/stream_manager.h"
#include "sdk/streaming/stream_session.h"

using namespace rtmptest;
using Clock = std::chrono::steady_clock;

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
std::map<int, int> g_service_of;  // stream type -> service id
int g_stops = 0;

int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    std::lock_guard<std::mutex> l(g_mu);
    g_service_of[p->stream_type] = p->service_id;
    g_cv.notify_all();
    return 0;
}
int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s*) {
    std::lock_guard<std::mutex> l(g_mu);
    ++g_stops;
    g_cv.notify_all();
    return 0;
}
int OnCmd(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s*) {
    return 0;
}
int OnData(const ks_device_auth_s*, const ks_on_push_streaming_data_param_s*) {
    return 0;
}
void OnQuery(const ks_device_auth_s*, const ks_query_record_param_s*) {}
int OnPicture(const ks_device_auth_s*, const ks_trigger_picture_param_s*) {
    return 0;
}
int OnFeature() {
    return 0;
}
// Bytes the relays' buffers dropped, from their closing statistics reports.
std::atomic<long> g_dropped{0};
std::atomic<int> g_reports{0};
void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    const char* at = strstr(p->message, "\"dropFrame\":");
    if (strstr(p->message, "transQualityStatistic") && at) {
        g_dropped += atol(at + strlen("\"dropFrame\":"));
        ++g_reports;
    }
}

// Waits until `n` more relays have reported since `reports0`; the note to add
// when some never did (their drops are then unknown).
std::string WaitReports(int reports0, int n) {
    for (int i = 0; i < 100 && g_reports - reports0 < n; ++i)
        usleep(100000);
    int got = g_reports - reports0;
    return got >= n ? ""
                    : " (" + std::to_string(got) + " of " + std::to_string(n) + " relays reported)";
}

std::string g_pk = "pkBench", g_dn = "camBench", g_ds = "c2VjcmV0LWtleS0xMjM0";
ks_device_auth_s g_auth = {0, &g_pk[0], &g_dn[0], &g_ds[0]};

bool InitSdk() {
    ks_init_config_s c;
    memset(&c, 0, sizeof c);
    c.log_level = 2;
    c.log_dest = 1;
    c.vod_solo_max = 1;
    c.vod_all_max = 1;
    c.process_parallel = 1;
    ks_init_callback_s cb;
    memset(&cb, 0, sizeof cb);
    cb.message_publish_cb = OnPublish;
    cb.start_push_streaming_cb = OnStart;
    cb.stop_push_streaming_cb = OnStop;
    cb.on_push_streaming_cmd_cb = OnCmd;
    cb.on_push_streaming_data_cb = OnData;
    cb.query_storage_record_cb = OnQuery;
    cb.trigger_picture_cb = OnPicture;
    cb.feature_check_cb = OnFeature;
    ks_init_system_s sys{0};
    if (ks_init(&c, &cb, &sys) != 0)
        return false;
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof p);
    p.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    return ks_message_adapter(&g_auth, &p) == 0;
}

// Starts a live session on port/stream with its own stream type; its service id.
int StartLive(int port, const std::string& stream, int stream_type, unsigned kbps) {
    std::string payload = "{\"PushUrl\":\"rtmp://127.0.0.1:" + std::to_string(port) +
                          "/live?token=t&private=0/" + stream +
                          "\",\"StreamType\":" + std::to_string(stream_type) + "}";
    std::string service = "StartPushStreaming";
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof p);
    p.type = KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE;
    p.msg_id = "1";
    p.msg_id_len = 1;
    p.service = service.c_str();
    p.service_len = static_cast<uint32_t>(service.size());
    p.payload = payload.c_str();
    p.payload_len = static_cast<uint32_t>(payload.size());
    ks_message_adapter(&g_auth, &p);
    std::unique_lock<std::mutex> l(g_mu);
    if (!g_cv.wait_for(l, std::chrono::seconds(10),
                       [&] { return g_service_of.count(stream_type) > 0; }))
        return -1;
    int id = g_service_of[stream_type];
    l.unlock();
    static const ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
    static const ks_audio_param_s audio = {KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_16000,
                                           KS_AUDIO_BITS_16, KS_AUDIO_CHANNEL_MONO};
    ks_stream_send_config_param_s cfg{kbps, 0, &video, &audio};
    ks_stream_send_config(id, &cfg);
    return id;
}

void Send(int id, const Frame& f) {
    ks_stream_send_media_param_s m{};
    m.type = f.video ? 0 : 1;
    m.len = static_cast<uint32_t>(f.data.size());
    m.timestamp = f.timestamp;
    m.p = reinterpret_cast<unsigned char*>(const_cast<char*>(f.data.data()));
    m.key_frame = f.key ? 1 : 0;
    ks_stream_send_media(id, &m);
}

std::vector<Frame> Load(const std::string& name) {
    const std::string base = std::string(KESTREL_SOURCE_DIR) + "/demo/media/" + name;
    std::ifstream data(base, std::ios::binary);
    std::stringstream ss;
    ss << data.rdbuf();
    std::string bytes = ss.str();
    std::ifstream index(base + ".index");
    std::vector<Frame> frames;
    std::string line;
    while (std::getline(index, line)) {
        unsigned media, offset, len, ts, key;
        if (sscanf(line.c_str(), "media=%u,offset=%u,len=%u,timestamp=%u,key=%u", &media, &offset,
                   &len, &ts, &key) == 5 &&
            offset + len <= bytes.size())
            frames.push_back({media == 0, key == 1, ts, bytes.substr(offset, len)});
    }
    return frames;
}

double Cpu(int who) {
    rusage ru;
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

pid_t Tid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// CPU seconds of this process's threads, those in `skip` left out: the SDK's
// own threads when the camera and the bench's helpers are skipped. Read from
// each thread's schedstat (nanoseconds on a CPU), not its stat, whose clock
// ticks are too coarse for a stream's tenth of a second. A thread that ended
// meanwhile is not counted; the SDK's threads live throughout.
double ThreadsCpu(const std::vector<pid_t>& skip) {
    double ns = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d)
        return 0;
    while (dirent* e = readdir(d)) {
        pid_t tid = atoi(e->d_name);
        if (tid <= 0 || std::find(skip.begin(), skip.end(), tid) != skip.end())
            continue;
        std::ifstream f("/proc/self/task/" + std::string(e->d_name) + "/schedstat");
        double on_cpu = 0;
        if (f >> on_cpu)
            ns += on_cpu;
    }
    closedir(d);
    return ns / 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string Runs(const std::vector<double>& v) {
    std::string out;
    char buf[32];
    for (double x : v) {
        snprintf(buf, sizeof buf, "%s%.3f", out.empty() ? "" : " ", x);
        out += buf;
    }
    return out;
}

// The sample over and over, timestamps running on, for `seconds`.
std::vector<Frame> Repeat(const std::vector<Frame>& sample, unsigned seconds) {
    std::vector<Frame> out;
    uint32_t offset = 0;
    while (!sample.empty()) {
        for (Frame f : sample) {
            f.timestamp += offset;
            if (f.timestamp > seconds * 1000u)
                return out;
            out.push_back(f);
        }
        offset += sample.back().timestamp + 40;
    }
    return out;
}

long RssKb() {
    std::ifstream s("/proc/self/status");
    std::string line;
    while (std::getline(s, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// Plays frames at their timestamps to every service; returns this thread's CPU.
// sent_at[k], when given and not null, is ids[k]'s array of send times by
// video frame index: filled here without a lock, read once the peers are done.
double Play(const std::vector<Frame>& frames, const std::vector<int>& ids,
            std::map<uint32_t, Clock::time_point>* sent = nullptr,
            const std::vector<Clock::time_point*>& sent_at = {}) {
    double cpu0 = Cpu(RUSAGE_THREAD);
    Clock::time_point t0 = Clock::now();
    size_t video = 0;
    for (const Frame& f : frames) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(f.timestamp));
        if (sent && f.video)
            (*sent)[f.timestamp] = Clock::now();
        for (size_t k = 0; k < ids.size(); ++k) {
            if (f.video && k < sent_at.size() && sent_at[k])
                sent_at[k][video] = Clock::now();
            Send(ids[k], f);
        }
        video += f.video;
    }
    return Cpu(RUSAGE_THREAD) - cpu0;
}

int VideoPackets(const std::string& file) {
    std::string out;
    RunCommand(
        "ffprobe -v error -select_streams v -count_packets -show_entries "
        "stream=nb_read_packets -of csv=p=0 '" +
            file + "'",
        &out);
    return atoi(out.c_str());
}

void WaitStops(int n, int seconds) {
    std::unique_lock<std::mutex> l(g_mu);
    g_cv.wait_for(l, std::chrono::seconds(seconds), [&] { return g_stops >= n; });
}

void Latency(const std::vector<Frame>& frames) {
    std::mutex mu;
    std::vector<std::pair<uint32_t, Clock::time_point>> got;
    ScriptedPeer peer([&](PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        kestrel::rtmp_chunk_header_t h;
        Bytes payload;
        while (c.ReadMessage(&h, &payload, 2000)) {
            if (h.type == 9 && payload.size() > 1 && payload[1] == 1) {
                std::lock_guard<std::mutex> l(mu);
                got.push_back({h.timestamp, Clock::now()});
            }
        }
    });
    int id = StartLive(peer.port(), "latency", 100, 1000);
    std::map<uint32_t, Clock::time_point> sent;
    Play(frames, {id}, &sent);
    WaitStops(1, 10);
    peer.Join();
    std::vector<double> us;
    for (const auto& g : got) {
        auto it = sent.find(g.first);
        if (it != sent.end())
            us.push_back(std::chrono::duration<double, std::micro>(g.second - it->second).count());
    }
    std::sort(us.begin(), us.end());
    if (us.empty()) {
        printf("latency: no frames arrived\n");
        return;
    }
    printf(
        "latency ks_stream_send_media -> relay read, %zu video frames: p50 %.0f us, p99 %.0f "
        "us, max %.0f us\n",
        us.size(), us[us.size() / 2], us[us.size() * 99 / 100], us.back());
}

void CpuPerStream(const std::vector<Frame>& frames, int runs) {
    const std::vector<pid_t> camera = {Tid()};
    std::vector<double> ours, ffs, walls;
    std::string flv = TempDir() + "/sample.flv";
    for (int run = 0; run < runs; ++run) {
        NginxRelay relay;
        std::string stream = "cpu" + std::to_string(run);
        int id = StartLive(relay.port(), stream, 101 + run, 1000);
        double cpu0 = ThreadsCpu(camera);
        Clock::time_point t0 = Clock::now();
        Play(frames, {id});
        kestrel::SharedPtr<kestrel::RelayServiceBase> r;
        if (kestrel::SharedPtr<kestrel::StreamRoute> route =
                kestrel::Single<kestrel::StreamSession>::Instance()->Manager()->Route(id))
            r = route->relay;
        while (r && r->Buffer() && r->Buffer()->GetDataUsed() > 0)
            usleep(1000);
        ours.push_back(ThreadsCpu(camera) - cpu0);
        walls.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        r = kestrel::SharedPtr<kestrel::RelayServiceBase>();
        int stops = g_stops;
        relay.Stop(1000);
        WaitStops(stops + 1, 10);
        if (run == 0)
            RunCommand("cp '" + relay.Recording(stream) + "' '" + flv + "'", nullptr);
    }
    int failed = 0;
    for (int run = 0; run < runs; ++run) {
        NginxRelay relay2;
        double ff0 = Cpu(RUSAGE_CHILDREN);
        std::string out;
        int rc =
            RunCommand("exec ffmpeg -nostdin -v error -re -i '" + flv +
                           "' -c copy -f flv rtmp://127.0.0.1:" + std::to_string(relay2.port()) +
                           "/live/ffmpeg",
                       &out);
        ffs.push_back(Cpu(RUSAGE_CHILDREN) - ff0);
        failed += rc != 0;
        relay2.Stop(1000);
    }
    double k = Median(ours), f = Median(ffs);
    printf(
        "cpu, one paced live stream (%.1f s), median of %d runs: kestrel %.3f s (SDK threads: "
        "%s), ffmpeg -re -c copy %.3f s (%s)%s; ratio %.2f\n",
        Median(walls), runs, k, Runs(ours).c_str(), f, Runs(ffs).c_str(),
        failed ? " (ffmpeg FAILED)" : "", k / f);
}

// A probe stream's relay: an in-process RTMP server on its own thread that
// notes when it read each video frame, so latency is measured on streams that
// share the process, the engine and the CPU with all the others. Frames are
// matched by timestamp (unique per video frame of the played sequence).
struct Probe {
    explicit Probe(const std::vector<uint32_t>* video_ts)
        : ts(video_ts), sent(ts->size()), got(ts->size()) {}
    const std::vector<uint32_t>* ts;      // the video frames' timestamps, ascending
    std::vector<Clock::time_point> sent;  // by video frame: written by Play only
    std::vector<Clock::time_point> got;   // by video frame: written by the peer only
    size_t read = 0;                      // distinct video frames read (the peer's)
    std::atomic<pid_t> tid{0};            // the peer's thread, kept out of the SDK's CPU
    std::unique_ptr<ScriptedPeer> peer;

    void Serve(PeerConn& c) {
        tid = Tid();
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        kestrel::rtmp_chunk_header_t h;
        Bytes payload;
        // Quiet until the first video (hundreds of other streams start
        // meanwhile), then two quiet seconds end the stream.
        int wait = 60000;
        while (c.ReadMessage(&h, &payload, wait)) {
            if (h.type == 9)
                wait = 2000;
            if (h.type != 9 || payload.size() < 2 || payload[1] != 1)
                continue;
            Clock::time_point now = Clock::now();
            auto it = std::lower_bound(ts->begin(), ts->end(), h.timestamp);
            if (it == ts->end() || *it != h.timestamp)
                continue;
            size_t i = static_cast<size_t>(it - ts->begin());
            if (got[i] == Clock::time_point()) {
                got[i] = now;
                ++read;
            }
        }
    }
};

bool Scale(const std::vector<Frame>& frames, int n, int first_type, int probe_every) {
    NginxRelay relay;
    std::vector<uint32_t> video_ts;
    for (const Frame& f : frames)
        if (f.video)
            video_ts.push_back(f.timestamp);
    const int sent_video = static_cast<int>(video_ts.size());
    long rss0 = RssKb();
    std::vector<int> ids;
    std::vector<std::unique_ptr<Probe>> probes(n);
    std::vector<Clock::time_point*> sent_at(n, nullptr);
    for (int i = 0; i < n; ++i) {
        int port = relay.port();
        if (probe_every > 0 && i % probe_every == 0) {
            probes[i].reset(new Probe(&video_ts));
            Probe* p = probes[i].get();
            p->peer.reset(new ScriptedPeer([p](PeerConn& c) { p->Serve(c); }));
            port = p->peer->port();
            sent_at[i] = p->sent.data();
        }
        int id = StartLive(port, "s" + std::to_string(first_type + i), first_type + i, 1000);
        if (id < 0) {
            printf("scale %d: stream %d did not start\n", n, i);
            return false;
        }
        ids.push_back(id);
    }
    std::atomic<long> peak{0};
    std::atomic<bool> done{false};
    std::atomic<pid_t> watch_tid{0};
    std::thread watch([&] {
        watch_tid = Tid();
        while (!done) {
            peak = std::max(peak.load(), RssKb());
            usleep(200000);
        }
    });
    while (watch_tid == 0)
        usleep(1000);
    std::vector<pid_t> skip = {Tid(), watch_tid.load()};
    for (const auto& p : probes) {
        // Each probe's connection arrives once its stream has connected.
        for (int waited = 0; p && p->tid == 0 && waited < 10000; ++waited)
            usleep(1000);
        if (p && p->tid != 0)
            skip.push_back(p->tid);
    }
    double cpu0 = ThreadsCpu(skip);
    Play(frames, ids, nullptr, sent_at);
    sleep(1);
    double cpu = ThreadsCpu(skip) - cpu0;
    done = true;
    watch.join();
    int stops = g_stops, reports0 = g_reports;
    long dropped0 = g_dropped;
    // The probes' peers see their streams off after two quiet seconds.
    relay.Stop(2000);
    WaitStops(stops + n, 20);
    std::string unreported = WaitReports(reports0, n);  // they follow the stops
    long dropped = g_dropped - dropped0;
    int whole = 0, probed = 0;
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        if (Probe* p = probes[i].get()) {
            p->peer->Join();
            ++probed;
            whole += static_cast<int>(p->read) == sent_video;
            for (size_t k = 0; k < p->got.size(); ++k)
                if (p->got[k] != Clock::time_point())
                    us.push_back(
                        std::chrono::duration<double, std::micro>(p->got[k] - p->sent[k]).count());
        } else {
            whole +=
                VideoPackets(relay.Recording("s" + std::to_string(first_type + i))) == sent_video;
        }
    }
    double secs = frames.back().timestamp / 1000.0;
    if (probed > 0 && us.empty()) {
        printf("latency: no frames arrived at the %d probe streams of %d\n", probed, n);
    } else if (probed > 0) {
        std::sort(us.begin(), us.end());
        printf(
            "latency ks_stream_send_media -> relay read, %d of %d streams while %d run, %zu video "
            "frames: p50 %.0f us, p99 %.0f us, max %.0f us\n",
            probed, n, n, us.size(), us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    }
    printf(
        "scale %3d x 1 Mbit/s for %.0f s: %d/%d streams recorded every video frame, "
        "relay buffers dropped %ld bytes%s, cpu %.0f%% of one core (SDK threads), rss +%ld KiB "
        "(%.0f KiB per stream, ring %u KiB)\n",
        n, secs, whole, n, dropped, unreported.c_str(), 100 * cpu / secs, peak - rss0,
        static_cast<double>(peak - rss0) / n,
        kestrel::RelayServiceBase::BufferSizeFor(1000) / 1024);
    return whole == n;
}

}  // namespace

int main(int argc, char** argv) {
    kestrel::logger_set_level(kestrel::KS_LOG_ERROR);
    // One socket per stream beside the latency and cpu streams and the
    // resolver: size the engine's table for the scale asked for, and let this
    // process (and the nginx it starts) open that many descriptors.
    int most = 96, asked = 0, cpu_runs = 3, probe_every = 8;
    unsigned seconds = 10;
    bool scale_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = static_cast<unsigned>(atoi(argv[++i]));
        else if (a == "--cpu-runs" && i + 1 < argc)
            cpu_runs = std::max(1, atoi(argv[++i]));
        else if (a == "--probe-every" && i + 1 < argc)
            probe_every = std::max(0, atoi(argv[++i]));
        else if (a == "--scale-only")
            scale_only = true;
        else
            most = asked = atoi(argv[i]);
    }
    kestrel::NetConnector::SetMaxSockets(static_cast<unsigned long>(std::max(255, most + 64)));
    rlimit nofile;
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = nofile.rlim_max;
        setrlimit(RLIMIT_NOFILE, &nofile);
    }
    if (!InitSdk()) {
        fprintf(stderr, "ks_init failed\n");
        return 1;
    }
    std::vector<Frame> sample = Load("avc_aac_500k");
    std::vector<Frame> mbit = Load("avc_aac_1000k");
    std::vector<Frame> paced = Repeat(mbit, seconds);
    if (!scale_only) {
        Latency(std::vector<Frame>(sample.begin(), sample.begin() + sample.size() / 2));
        CpuPerStream(sample, cpu_runs);
    }
    int type = 200;
    std::vector<int> counts = {8, 32, 64, 96};
    if (asked > 0)
        counts = {asked};
    for (int n : counts) {
        if (!Scale(paced, n, type, probe_every))
            break;
        type += n;
    }
    ks_destroy();
    return 0;
}

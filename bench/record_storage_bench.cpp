// Recording straight to storage, in real time: 1 Mbit/s H.264 with AAC fed
// through the public API at its own pace to a recording, stored in devcloud's
// object store. Prints the stream's bit rate and the bytes stored per second,
// append latency p50/p99 (request queued to reply taken, from the SDK's own
// log lines) and the process CPU per second of recording; then ffmpeg muxes
// the same stream to FLV at its own pace (-re) for comparison.
//   record_storage_bench [seconds]
// With --streams N: a recorder's cameras 1..N, each with a live stream to a
// local nginx and a storage recording of that same stream, all fed at once
// at 1 Mbit/s; prints how many recordings the store holds whole (every video
// frame fed, and at least 95% of the bytes fed), how many live streams nginx
// recorded whole, the bytes the relays' buffers dropped, the CPU of the SDK's
// own threads and the resident memory the streams added.
//   record_storage_bench [seconds] --streams N
#include <dirent.h>
#include <kestrel/ks_api.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/dns_service.h"
#include "net/net_connector.h"
#include "net_rtmp/rtmp_peers.h"
#include "peers.h"
#include "sdk/message_service.h"
#include "sdk/streaming/doa_service.h"
#include "sdk/streaming/record_link.h"
#include "sdk/streaming/relay_service.h"

using Clock = std::chrono::steady_clock;

namespace {

struct Frame {
    bool video, key;
    std::string data;
    uint32_t ts;
};

std::string g_creds;
std::map<int, std::string> g_creds_of;  // camera dev_id -> its credential answer
std::map<int, ks_device_auth_s> g_auth_of;
std::mutex g_mutex;
std::condition_variable g_cv;
std::map<int, int> g_live_sid;  // camera dev_id -> its live stream's service id
int g_stops = 0, g_joins = 0, g_own_streams = 0;
std::atomic<long> g_dropped{0};
std::atomic<int> g_reports{0};
std::vector<Clock::time_point> g_sent, g_answered;
std::atomic<int> g_start_sid{0};
ks_device_auth_s g_auth;
char g_pk[] = "pkBench", g_dn[] = "dnBench", g_ds[] = "ZGV2aWNlLXNlY3JldA==";

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* f = popen((cmd + " 2>&1").c_str(), "r");
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    if (f)
        pclose(f);
    return out;
}

void Logger(int, const char*, int, const char* fmt, ...) {
    if (strstr(fmt, "Recording joins the live stream")) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_joins;
        g_cv.notify_all();
    } else if (strstr(fmt, "Recording starts a stream of its own")) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_own_streams;
    } else if (strncmp(fmt, "Append %zu", 10) == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sent.push_back(Clock::now());
    } else if (strncmp(fmt, "Position:", 9) == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_answered.push_back(Clock::now());
    }
}

int Message(const ks_device_auth_s* auth, const char* topic, const std::string& payload) {
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof p);
    p.type = KS_MESSAGE_ADAPTER_TYPE_KESTREL;
    p.msg_id = "";
    p.service = topic;
    p.service_len = static_cast<uint32_t>(strlen(topic));
    p.payload = payload.c_str();
    p.payload_len = static_cast<uint32_t>(payload.size());
    return ks_message_adapter(auth, &p);
}

int Message(const char* topic, const std::string& payload) {
    return Message(&g_auth, topic, payload);
}

// Job thread: credentials for whichever device asks; relays' closing reports.
void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    if (std::string(p->topic).find("/vision/pic/kiv/upstream") != std::string::npos) {
        auto auth = g_auth_of.find(p->dev_id);
        auto creds = g_creds_of.find(p->dev_id);
        if (auth == g_auth_of.end() || creds == g_creds_of.end())
            Message("/vision/pic/kiv/downstream",
                    "{\"id\":\"1\",\"version\":\"1.0\",\"params\":" + g_creds + "}");
        else
            Message(&auth->second, "/vision/pic/kiv/downstream",
                    "{\"id\":\"1\",\"version\":\"1.0\",\"params\":" + creds->second + "}");
    }
    const char* at = strstr(p->message, "\"dropFrame\":");
    if (strstr(p->message, "transQualityStatistic") && at) {
        g_dropped += atol(at + strlen("\"dropFrame\":"));
        ++g_reports;
    }
}

int OnStart(const ks_device_auth_s* auth, const ks_start_push_stream_param_s* p) {
    g_start_sid = p->service_id;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (auth && auth->dev_id > 0 && !g_live_sid.count(auth->dev_id))
        g_live_sid[auth->dev_id] = p->service_id;
    g_cv.notify_all();
    return 0;
}
int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s*) {
    std::lock_guard<std::mutex> lock(g_mutex);
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

// The SDK with this bench's callbacks; device_type 1 is a recorder.
bool InitSdk(uint32_t device_type, int log_level) {
    ks_init_config_s c;
    memset(&c, 0, sizeof c);
    c.device_type = device_type;
    c.log_level = log_level;
    c.log_dest = 2;
    c.vod_solo_max = c.vod_all_max = c.process_parallel = 1;
    ks_init_callback_s cb;
    memset(&cb, 0, sizeof cb);
    cb.message_publish_cb = OnPublish;
    cb.logger_cb = Logger;
    cb.start_push_streaming_cb = OnStart;
    cb.stop_push_streaming_cb = OnStop;
    cb.on_push_streaming_cmd_cb = OnCmd;
    cb.on_push_streaming_data_cb = OnData;
    cb.query_storage_record_cb = OnQuery;
    cb.trigger_picture_cb = OnPicture;
    cb.feature_check_cb = OnFeature;
    ks_init_system_s sys = {0};
    if (ks_init(&c, &cb, &sys) != 0) {
        fprintf(stderr, "ks_init failed\n");
        return false;
    }
    return true;
}

std::vector<Frame> Media(const std::string& dir, int seconds) {
    std::string s = std::to_string(seconds);
    Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=640x480:rate=25 -t " + s +
          " -c:v libx264 -pix_fmt yuv420p -b:v 1000k -g 50 -bf 0 -x264-params aud=1 -f h264 " +
          dir + "/v.h264");
    Shell("ffmpeg -v error -y -f lavfi -i sine=sample_rate=44100 -t " + s +
          " -ac 1 -c:a aac -b:a 64k -f adts " + dir + "/a.aac");
    std::vector<Frame> out;
    std::string es = net_test::ReadFile(dir + "/v.h264");
    std::vector<size_t> at;
    for (size_t i = 0; i + 4 < es.size(); ++i)
        if (!es[i] && !es[i + 1] && !es[i + 2] && es[i + 3] == 1 && (es[i + 4] & 0x1F) == 9)
            at.push_back(i);
    at.push_back(es.size());
    for (size_t k = 0; k + 1 < at.size(); ++k) {
        std::string au = es.substr(at[k], at[k + 1] - at[k]);
        bool key = au.find(std::string("\0\0\1\x65", 4)) != std::string::npos;
        out.push_back({true, key, au, static_cast<uint32_t>(k * 40)});
    }
    std::string adts = net_test::ReadFile(dir + "/a.aac");
    for (size_t i = 0, n = 0; i + 7 <= adts.size(); ++n) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(adts.data()) + i;
        size_t len = ((p[3] & 3u) << 11) | (p[4] << 3) | (p[5] >> 5);
        if (len < 7 || i + len > adts.size())
            break;
        out.push_back(
            {false, false, adts.substr(i, len), static_cast<uint32_t>(n * 1024 * 1000 / 44100)});
        i += len;
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Frame& a, const Frame& b) { return a.ts < b.ts; });
    return out;
}

double CpuSeconds(int who) {
    rusage u;
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

// The committed 1 Mbit/s sample (H.264 + AAC 16 kHz mono), over and over,
// timestamps running on, for `seconds`.
std::vector<Frame> Sample(int seconds) {
    const std::string base = std::string(KESTREL_SOURCE_DIR) + "/demo/media/avc_aac_1000k";
    std::string bytes = net_test::ReadFile(base);
    std::ifstream index(base + ".index");
    std::vector<Frame> sample, out;
    std::string line;
    while (std::getline(index, line)) {
        unsigned media, offset, len, ts, key;
        if (sscanf(line.c_str(), "media=%u,offset=%u,len=%u,timestamp=%u,key=%u", &media, &offset,
                   &len, &ts, &key) == 5 &&
            offset + len <= bytes.size())
            sample.push_back({media == 0, key == 1, bytes.substr(offset, len), ts});
    }
    for (uint32_t offset = 0; !sample.empty(); offset += sample.back().ts + 40)
        for (Frame f : sample) {
            f.ts += offset;
            if (f.ts > static_cast<uint32_t>(seconds) * 1000u)
                return out;
            out.push_back(f);
        }
    return out;
}

pid_t Tid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// This process's threads now.
std::vector<pid_t> Tids() {
    std::vector<pid_t> out;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (atoi(e->d_name) > 0)
                out.push_back(atoi(e->d_name));
        closedir(d);
    }
    return out;
}

// CPU seconds of this process's threads but those in `skip`, from each
// thread's schedstat (nanoseconds on a CPU; clock ticks are too coarse).
double ThreadsCpu(const std::vector<pid_t>& skip) {
    double ns = 0;
    for (pid_t tid : Tids()) {
        if (std::find(skip.begin(), skip.end(), tid) != skip.end())
            continue;
        std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
        double on_cpu = 0;
        if (f >> on_cpu)
            ns += on_cpu;
    }
    return ns / 1e9;
}

long RssKb() {
    std::ifstream s("/proc/self/status");
    std::string line;
    while (std::getline(s, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

int VideoPackets(const std::string& file) {
    return atoi(Shell("ffprobe -v error -select_streams v -count_packets -show_entries "
                      "stream=nb_read_packets -of csv=p=0 '" +
                      file + "'")
                    .c_str());
}

// Stored objects by path under the store's objects directory, with sizes.
std::vector<std::pair<std::string, uint64_t>> Objects(const std::string& home) {
    std::vector<std::pair<std::string, uint64_t>> out;
    std::istringstream in(
        Shell("find " + home + "/storage/objects -type f -printf '%s %p\n' 2>/dev/null"));
    unsigned long long size;
    std::string path;
    while (in >> size && std::getline(in >> std::ws, path))
        out.push_back({path, size});
    return out;
}

uint64_t StoredBytes(const std::string& home) {
    uint64_t total = 0;
    for (const auto& o : Objects(home))
        total += o.second;
    return total;
}

bool Camera(int dev, const char* service, ks_message_adapter_type_e type,
            const std::string& payload) {
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof p);
    p.type = type;
    p.msg_id = "1";
    p.msg_id_len = 1;
    p.service = service;
    p.service_len = static_cast<uint32_t>(strlen(service));
    p.payload = payload.c_str();
    p.payload_len = static_cast<uint32_t>(payload.size());
    return ks_message_adapter(&g_auth_of.at(dev), &p) == 0;
}

// A recorder's cameras 1..n: a live stream to nginx and a storage recording
// of that same stream each, all fed at once from this thread.
int Many(int n, int seconds, const std::string& home, int control, const std::string& ca) {
    static std::vector<std::string> names;  // the auths point into these
    names.reserve(2 * (n + 1) + 1);
    names.push_back("ZGV2aWNlLXNlY3JldA==");
    const std::string& secret = names.back();
    for (int dev = 0; dev <= n; ++dev) {
        names.push_back("pkBench");
        char* pk = &names.back()[0];
        names.push_back(dev == 0 ? "nvrBench" : "cam" + std::to_string(dev));
        g_auth_of[dev] = {dev, pk, &names.back()[0], const_cast<char*>(secret.c_str())};
        if (dev > 0)
            g_creds_of[dev] = Shell("curl -s 'http://127.0.0.1:" + std::to_string(control) +
                                    "/credentials?pk=pkBench&dn=" + names.back() + "'");
    }
    std::vector<Frame> frames = Sample(seconds);
    uint64_t fed_each = 0;
    int video_each = 0;
    for (const Frame& f : frames) {
        fed_each += f.data.size();
        video_each += f.video;
    }
    // Per camera a live socket and a storage connection, beside DNS and the
    // credential requests; this process and the nginx it starts may open as many.
    kestrel::NetConnector::SetMaxSockets(static_cast<unsigned long>(std::max(255, 3 * n + 64)));
    rlimit nofile;
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = nofile.rlim_max;
        setrlimit(RLIMIT_NOFILE, &nofile);
    }
    rtmptest::NginxRelay relay;
    // Every thread so far (this one, the DNS peer's) is the bench's, not the SDK's.
    std::vector<pid_t> skip = Tids();

    if (!InitSdk(1, 4))
        return 1;
    ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, ca.c_str());
    ks_message_adapter_param_s conn;
    memset(&conn, 0, sizeof conn);
    conn.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    for (int dev = 0; dev <= n; ++dev)
        if (ks_message_adapter(&g_auth_of.at(dev), &conn) != 0) {
            fprintf(stderr, "device %d was refused\n", dev);
            return 1;
        }

    long rss0 = RssKb();
    static const ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
    ks_audio_param_s audio{};
    audio.format = KS_AUDIO_FORMAT_AAC;
    audio.bits_per_sample = KS_AUDIO_BITS_16;
    audio.sample_rate = KS_AUDIO_SAMPLE_RATE_16000;
    audio.channel = KS_AUDIO_CHANNEL_MONO;
    std::vector<int> sids;
    for (int dev = 1; dev <= n; ++dev) {
        Camera(dev, "StartPushStreaming", KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE,
               "{\"PushUrl\":\"rtmp://127.0.0.1:" + std::to_string(relay.port()) +
                   "/live?token=t&private=0/cam" + std::to_string(dev) + "\",\"StreamType\":0}");
        std::unique_lock<std::mutex> lock(g_mutex);
        if (!g_cv.wait_for(lock, std::chrono::seconds(10),
                           [&] { return g_live_sid.count(dev) > 0; })) {
            fprintf(stderr, "camera %d: the live stream did not start\n", dev);
            return 1;
        }
        sids.push_back(g_live_sid[dev]);
        lock.unlock();
        // Configured before the recording joins, so it takes the same settings.
        ks_stream_send_config_param_s config{1064, 0, &video, &audio};
        ks_stream_send_config(sids.back(), &config);
        Camera(dev, "/vision/biz/record/downstream", KS_MESSAGE_ADAPTER_TYPE_KESTREL,
               "{\"method\":\"startRecord\",\"params\":{\"id\":\"bench" + std::to_string(dev) +
                   "\",\"streamType\":0,\"recordType\":0,\"duration\":3600,\"preDuration\":0,"
                   "\"maxSingleFileDuration\":60,\"thumbnailId\":\"t\",\"filePrefix\":\"b\"}}");
    }
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        g_cv.wait_for(lock, std::chrono::seconds(10), [&] { return g_joins >= n; });
        if (g_joins < n || g_own_streams > 0)
            fprintf(stderr, "%d of %d recordings joined their live streams, %d started their own\n",
                    g_joins, n, g_own_streams);
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
    skip.push_back(watch_tid);
    double cpu0 = ThreadsCpu(skip);
    Clock::time_point t0 = Clock::now();
    for (const Frame& f : frames) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(f.ts));
        ks_stream_send_media_param_s m{};
        m.type = f.video ? 0 : 1;
        m.len = static_cast<uint32_t>(f.data.size());
        m.timestamp = f.ts;
        m.p = reinterpret_cast<unsigned char*>(const_cast<char*>(f.data.data()));
        m.key_frame = f.key;
        for (int sid : sids)
            ks_stream_send_media(sid, &m);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double secs = frames.back().ts / 1000.0;
    double cpu = ThreadsCpu(skip) - cpu0;
    done = true;
    watch.join();

    // The store has it all once it stops growing.
    uint64_t stored = StoredBytes(home), before = UINT64_MAX;
    for (int quiet = 0, i = 0; quiet < 3 && i < 60; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        before = stored;
        stored = StoredBytes(home);
        quiet = stored == before ? quiet + 1 : 0;
    }
    std::map<int, uint64_t> bytes_of;
    std::map<int, int> video_of;
    for (const auto& o : Objects(home)) {
        size_t at = o.first.find("/pkBench/cam");
        if (at == std::string::npos)
            continue;
        int dev = atoi(o.first.c_str() + at + strlen("/pkBench/cam"));
        bytes_of[dev] += o.second;
        video_of[dev] += VideoPackets(o.first);
    }
    int whole = 0;
    for (int dev = 1; dev <= n; ++dev)
        whole += video_of[dev] == video_each && bytes_of[dev] * 100 >= fed_each * 95;

    long dropped0 = g_dropped;
    int reports0 = g_reports;
    relay.Stop(2000);
    // Each relay reports as its connection closes; drops are unknown for any that did not.
    for (int i = 0; i < 100 && g_reports - reports0 < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long dropped = g_dropped - dropped0;
    int reported = g_reports - reports0;
    std::string unreported = reported >= n ? ""
                                           : " (" + std::to_string(reported) + " of " +
                                                 std::to_string(n) + " relays reported)";
    int live = 0;
    for (int dev = 1; dev <= n; ++dev)
        live += VideoPackets(relay.Recording("cam" + std::to_string(dev))) == video_each;
    ks_destroy();
    printf(
        "recordings %d x 1 Mbit/s for %.0f s: %d/%d stored whole (%llu bytes stored vs %llu "
        "fed), %d/%d live streams recorded every video frame, relay buffers dropped %ld bytes%s, "
        "cpu %.0f%% of one core (SDK threads), rss +%ld KiB (%.0f KiB per camera, rings %u KiB "
        "live + %u KiB storage)\n",
        n, secs, whole, n, static_cast<unsigned long long>(stored),
        static_cast<unsigned long long>(fed_each * n), live, n, dropped, unreported.c_str(),
        100 * cpu / secs, peak - rss0, static_cast<double>(peak - rss0) / n,
        kestrel::RelayServiceBase::BufferSizeFor(1064) / 1024,
        kestrel::DoaStreamService::BufferSizeFor(1064) / 1024);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 10, streams = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--streams" && i + 1 < argc)
            streams = std::max(1, atoi(argv[++i]));
        else
            seconds = atoi(argv[i]);
    }
    std::string dir = net_test::MakeTempDir("record-bench"), home = dir + "/home";
    net_test::Pki pki;
    net_test::ScriptedDns dns;
    net_test::Process store;
    if (!pki.Make(dir) || !dns.Start(net_test::ScriptedDns::kAnswer, "127.0.0.1")) {
        fprintf(stderr, "peers did not start\n");
        return 1;
    }
    std::ofstream(dir + "/resolv.conf") << "nameserver 127.0.0.1\n";
    kestrel::DnsService::SetResolvConfPath(dir + "/resolv.conf");
    kestrel::DnsService::SetServerPort(dns.Port());
    net_test::Run("mkdir -p " + home + " && cp " + pki.device_cert + " " + home +
                  "/server.pem && cp " + pki.device_key + " " + home + "/server.key");
    int port = net_test::FreePort(SOCK_STREAM);
    std::string ready = dir + "/ready";
    store.Start(
        {"/usr/bin/python3", "-c",
         "import sys; sys.path.insert(0, sys.argv[1]); from devcloud_lib import stored; "
         "sys.exit(stored.serve(sys.argv[2], int(sys.argv[3]), 0, sys.argv[4], "
         "sys.argv[5]))",
         DEVCLOUD_DIR, home, std::to_string(port), ready, "device.test:" + std::to_string(port)},
        dir + "/store.out");
    for (int i = 0; i < 500 && net_test::ReadFile(ready).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string r = net_test::ReadFile(ready);
    size_t cp = r.find("\"control_port\": ");
    if (cp == std::string::npos) {
        fprintf(stderr, "store did not start: %s\n",
                net_test::ReadFile(dir + "/store.out").c_str());
        return 1;
    }
    int control = atoi(r.c_str() + cp + 16);
    if (streams > 0) {
        int rc = Many(streams, seconds, home, control, net_test::ReadFile(pki.ca));
        store.Stop();
        net_test::Run("rm -rf " + dir);
        return rc;
    }
    g_creds = Shell("curl -s 'http://127.0.0.1:" + std::to_string(control) +
                    "/credentials?pk=pkBench&dn=dnBench'");
    std::vector<Frame> frames = Media(dir, seconds);

    g_auth = {0, g_pk, g_dn, g_ds};
    if (!InitSdk(0, 6))
        return 1;
    ks_message_adapter_param_s conn;
    memset(&conn, 0, sizeof conn);
    conn.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    ks_message_adapter(&g_auth, &conn);
    ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, net_test::ReadFile(pki.ca).c_str());
    Message("/vision/biz/record/downstream",
            "{\"method\":\"startRecord\",\"params\":{\"id\":\"bench\",\"streamType\":0,"
            "\"recordType\":0,\"duration\":3600,\"preDuration\":0,\"maxSingleFileDuration\":60,"
            "\"thumbnailId\":\"t\",\"filePrefix\":\"b\"}}");
    for (int i = 0; i < 500 && g_start_sid == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int sid = g_start_sid;
    ks_audio_param_s audio{};
    audio.format = KS_AUDIO_FORMAT_AAC;
    audio.bits_per_sample = 1;
    audio.sample_rate = 4;
    ks_video_param_s video{};
    ks_stream_send_config_param_s config{1064, 0, &video, &audio};
    ks_stream_send_config(sid, &config);

    double cpu0 = CpuSeconds(RUSAGE_SELF);
    Clock::time_point t0 = Clock::now();
    uint64_t fed = 0;
    for (const Frame& f : frames) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(f.ts));
        ks_stream_send_media_param_s m{};
        m.type = f.video ? 0 : 1;
        m.len = static_cast<uint32_t>(f.data.size());
        m.timestamp = f.ts;
        m.p = reinterpret_cast<unsigned char*>(const_cast<char*>(f.data.data()));
        m.key_frame = f.key;
        ks_stream_send_media(sid, &m);
        fed += f.data.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    uint64_t stored = 0;
    for (const std::string& line : {Shell("du -sb " + home + "/storage/objects")})
        stored = strtoull(line.c_str(), nullptr, 10);
    std::vector<double> lat;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (size_t i = 0; i < std::min(g_sent.size(), g_answered.size()); ++i)
            lat.push_back(
                std::chrono::duration<double, std::milli>(g_answered[i] - g_sent[i]).count());
    }
    ks_destroy();
    printf("stream_kbps=%.0f stored_kbps=%.0f stored_bytes=%llu appends=%zu\n",
           fed * 8 / 1000.0 / (frames.back().ts / 1000.0), stored * 8 / 1000.0 / elapsed,
           static_cast<unsigned long long>(stored), lat.size());
    printf("append_ms_p50=%.2f append_ms_p99=%.2f\n", Percentile(lat, 0.5), Percentile(lat, 0.99));
    printf("sdk_cpu_ms_per_s=%.1f\n", cpu * 1000 / elapsed);
    double child0 = CpuSeconds(RUSAGE_CHILDREN);
    Shell("ffmpeg -v error -re -i " + dir + "/v.h264 -re -i " + dir + "/a.aac -c copy -f flv -y " +
          dir + "/ff.flv");
    double ff = CpuSeconds(RUSAGE_CHILDREN) - child0;
    printf("ffmpeg_flv_cpu_ms_per_s=%.1f (ffmpeg -re -c copy -f flv, same stream)\n",
           ff * 1000 / seconds);
    store.Stop();
    net_test::Run("rm -rf " + dir);
    return 0;
}

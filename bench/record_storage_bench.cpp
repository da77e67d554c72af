// Recording straight to storage, in real time: 1 Mbit/s H.264 with AAC fed
// through the public API at its own pace to a recording, stored in devcloud's
// object store. Prints the stream's bit rate and the bytes stored per second,
// append latency p50/p99 (request queued to reply taken, from the SDK's own
// log lines) and the process CPU per second of recording; then ffmpeg muxes
// the same stream to FLV at its own pace (-re) for comparison.
//   record_storage_bench [seconds]
#include <kestrel/ks_api.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/dns_service.h"
#include "peers.h"
#include "sdk/message_service.h"
#include "sdk/streaming/record_link.h"

using Clock = std::chrono::steady_clock;

namespace {

struct Frame {
    bool video, key;
    std::string data;
    uint32_t ts;
};

std::string g_creds;
std::mutex g_mutex;
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
    if (strncmp(fmt, "Append %zu", 10) == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sent.push_back(Clock::now());
    } else if (strncmp(fmt, "Position:", 9) == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_answered.push_back(Clock::now());
    }
}

int Message(const char* topic, const std::string& payload) {
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof p);
    p.type = KS_MESSAGE_ADAPTER_TYPE_KESTREL;
    p.msg_id = "";
    p.service = topic;
    p.service_len = static_cast<uint32_t>(strlen(topic));
    p.payload = payload.c_str();
    p.payload_len = static_cast<uint32_t>(payload.size());
    return ks_message_adapter(&g_auth, &p);
}

void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    if (std::string(p->topic).find("/vision/pic/kiv/upstream") != std::string::npos)
        Message("/vision/pic/kiv/downstream",
                "{\"id\":\"1\",\"version\":\"1.0\",\"params\":" + g_creds + "}");
}

int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    g_start_sid = p->service_id;
    return 0;
}
int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s*) {
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

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
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
    g_creds = Shell("curl -s 'http://127.0.0.1:" + std::to_string(control) +
                    "/credentials?pk=pkBench&dn=dnBench'");
    std::vector<Frame> frames = Media(dir, seconds);

    g_auth = {0, g_pk, g_dn, g_ds};
    ks_init_config_s c;
    memset(&c, 0, sizeof c);
    c.log_level = 6;
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
        return 1;
    }
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

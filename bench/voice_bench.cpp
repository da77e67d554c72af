// Voice intercom latency through the public API, one session against a
// scripted relay on loopback, 20 ms G.711 frames paced in real time:
//   downlink: a body written by the server until the application's data
//             callback has it (socket, RTMP, parse, decrypt, queue, thread
//             hand-over), clear and AES-128-CBC;
//   uplink:   a frame handed to ks_stream_send_media until the server has
//             read it off the socket (queue, mux, RTMP, socket).
// Compare with stream_session_bench's live video figure (frame -> relay).
#include <kestrel/ks_api.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net_rtmp/rtmp_peers.h"
#include "proto/media_crypto.h"
#include "sdk/message_service.h"

using namespace rtmptest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFrames = 250;  // 5 s

std::mutex g_mu;
std::condition_variable g_cv;
int g_service = 0;
int g_stops = 0;
std::map<uint32_t, Clock::time_point> g_got;  // downlink timestamp -> callback time

int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    std::lock_guard<std::mutex> l(g_mu);
    g_service = p->service_id;
    g_cv.notify_all();
    return 0;
}
int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s*) {
    std::lock_guard<std::mutex> l(g_mu);
    ++g_stops;
    g_cv.notify_all();
    return 0;
}
int OnData(const ks_device_auth_s*, const ks_on_push_streaming_data_param_s* p) {
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> l(g_mu);
    g_got[p->timestamp] = now;
    return 0;
}
int OnCmd(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s*) {
    return 0;
}
void OnQuery(const ks_device_auth_s*, const ks_query_record_param_s*) {}
int OnPicture(const ks_device_auth_s*, const ks_trigger_picture_param_s*) {
    return 0;
}
int OnFeature() {
    return 0;
}
void OnPublish(const kestrel::MessageService::MessagePublishParam*) {}

std::string g_pk = "pkBench", g_dn = "camBench", g_ds = "c2VjcmV0LWtleS0xMjM0";
ks_device_auth_s g_auth = {0, &g_pk[0], &g_dn[0], &g_ds[0]};

bool InitSdk() {
    ks_init_config_s c;
    memset(&c, 0, sizeof c);
    c.log_level = 2;
    c.log_dest = 1;
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

const char* kKeyB64 = "MDEyMzQ1Njc4OWFiY2RlZg==";  // "0123456789abcdef"
const char* kIvB64 = "ZmVkY2JhOTg3NjU0MzIxMA==";   // "fedcba9876543210"

int StartVoice(int port, bool encrypted) {
    {
        std::lock_guard<std::mutex> l(g_mu);
        g_service = 0;
        g_got.clear();
    }
    std::string key = encrypted ? std::string("{\\\"key\\\":\\\"") + kKeyB64 +
                                      "\\\",\\\"iv\\\":\\\"" + kIvB64 + "\\\"}"
                                : "{}";
    std::string payload = "{\"IntercomUrl\":\"rtmp://127.0.0.1:" + std::to_string(port) +
                          "/voice?token=t&private=0/talk\",\"Key\":\"" + key + "\"}";
    std::string service = "StartVoiceIntercom";
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
    if (!g_cv.wait_for(l, std::chrono::seconds(10), [&] { return g_service > 0; }))
        return -1;
    int id = g_service;
    l.unlock();
    static const ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
    static const ks_audio_param_s audio = {KS_AUDIO_FORMAT_G711A, KS_AUDIO_SAMPLE_RATE_8000,
                                           KS_AUDIO_BITS_16, KS_AUDIO_CHANNEL_MONO};
    ks_stream_send_config_param_s cfg{64, 0, &video, &audio};
    ks_stream_send_config(id, &cfg);
    return id;
}

void Report(const char* what, const std::map<uint32_t, Clock::time_point>& from,
            const std::map<uint32_t, Clock::time_point>& to) {
    std::vector<double> us;
    for (const auto& t : to) {
        auto it = from.find(t.first);
        if (it != from.end())
            us.push_back(std::chrono::duration<double, std::micro>(t.second - it->second).count());
    }
    std::sort(us.begin(), us.end());
    if (us.empty()) {
        printf("%s: nothing arrived\n", what);
        return;
    }
    printf("%s, %zu of %d frames: p50 %.0f us, p99 %.0f us, max %.0f us\n", what, us.size(),
           kFrames, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
}

void Session(bool encrypted) {
    kestrel::MediaKey key;
    kestrel::media_key_from_base64(kKeyB64, kIvB64, &key);
    std::map<uint32_t, Clock::time_point> down_sent, up_got;
    std::mutex mu;
    ScriptedPeer peer([&](PeerConn& c) {
        if (!c.ServerHandshake() || !c.AcceptPublish())
            return;
        // The server's own Nagle delay is not the device's to measure.
        int one = 1;
        setsockopt(c.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c.SendStatus("status", "NetStream.TalkReady", "Talk ready");
        auto send = [&](std::vector<uint8_t> body, uint32_t ts) {
            if (encrypted)
                kestrel::media_encrypt(key, &body, 0);
            c.Send(4, 8, 1, body, ts);
        };
        send({0x72, 0x00, 0xB0, 0x00}, 0);
        kestrel::rtmp_chunk_header_t h;
        Bytes payload;
        Clock::time_point t0 = Clock::now();
        for (int i = 0; i < kFrames; ++i) {
            // Read what the device sent up while waiting for the next slot.
            Clock::time_point slot = t0 + std::chrono::milliseconds(20 * i);
            for (Clock::time_point now = Clock::now(); now < slot; now = Clock::now()) {
                int ms = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(slot - now).count());
                if (c.ReadMessage(&h, &payload, std::max(ms, 1)) && h.type == 8 &&
                    payload.size() > 1 && payload[1] == 1) {
                    std::lock_guard<std::mutex> l(mu);
                    up_got.emplace(h.timestamp, Clock::now());
                }
            }
            std::vector<uint8_t> body(162, 0xD5);
            body[0] = 0x72;
            body[1] = 0x01;
            {
                std::lock_guard<std::mutex> l(mu);
                down_sent[static_cast<uint32_t>(i * 20)] = Clock::now();
            }
            send(body, static_cast<uint32_t>(i * 20));
        }
        while (c.ReadMessage(&h, &payload, 300)) {
            if (h.type == 8 && payload.size() > 1 && payload[1] == 1) {
                std::lock_guard<std::mutex> l(mu);
                up_got.emplace(h.timestamp, Clock::now());
            }
        }
    });
    int id = StartVoice(peer.port(), encrypted);
    if (id < 0) {
        printf("voice session did not start\n");
        return;
    }
    // The camera's microphone, 20 ms of A-law at a time, from talk ready on.
    std::map<uint32_t, Clock::time_point> up_sent;
    std::vector<unsigned char> frame(160, 0xD5);
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(20 * i));
        ks_stream_send_media_param_s m{};
        m.type = 1;
        m.len = static_cast<uint32_t>(frame.size());
        m.timestamp = static_cast<uint32_t>(i * 20);
        m.p = frame.data();
        m.audio_format = KS_AUDIO_FORMAT_G711A;
        up_sent[m.timestamp] = Clock::now();
        ks_stream_send_media(id, &m);
    }
    peer.Join();
    {
        std::unique_lock<std::mutex> l(g_mu);
        g_cv.wait_for(l, std::chrono::seconds(10), [] { return g_stops > 0; });
        g_stops = 0;
    }
    std::map<uint32_t, Clock::time_point> got;
    {
        std::lock_guard<std::mutex> l(g_mu);
        got = g_got;
    }
    std::string down = std::string("downlink body written -> data callback (") +
                       (encrypted ? "AES" : "clear") + ")";
    Report(down.c_str(), down_sent, got);
    if (!encrypted)
        Report("uplink ks_stream_send_media -> relay read", up_sent, up_got);
}

}  // namespace

int main() {
    if (!InitSdk()) {
        printf("ks_init failed\n");
        return 1;
    }
    Session(false);
    Session(true);
    ks_destroy();
    return 0;
}

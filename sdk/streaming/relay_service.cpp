#include "sdk/streaming/relay_service.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/job_pool.h"
#include "core/logger.h"
#include "core/single.h"
#include "core/time.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/streaming/stream_check.h"
#include "sdk/streaming/stream_manager.h"

namespace kestrel {

namespace {

unsigned long QualityClock() {
    return Time::GetSystemTimeInt(0);
}

std::string NowMsText() {
    return Time::GetSystemTimeString(0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Base
// ---------------------------------------------------------------------------

void RelayServiceBase::CloseCode(int result, std::string& code, std::string& message) {
    struct Entry {
        int result;
        const char* code;
        const char* message;
    };
    // 0..7 are the engine's; the rest are the RTMP client's own closes, told
    // in the same words so that a cloud reading the report can act on them.
    static const Entry kCodes[] = {
        {0, "1010", "Connection lost"},
        {1, "1007", "Illegal Addr"},
        {2, "1005", "Connect failed"},
        {3, "1015", "System error"},
        {4, "1016", "Read error"},
        {5, "1011", "Write error"},
        {6, "1015", "System error"},
        {7, "1013", "Device close connection"},
        {RTMP_CLOSE_BAD_URL, "1015", "System error"},
        {RTMP_CLOSE_CREATE_FAILED, "1015", "System error"},
        {RTMP_CLOSE_START_FAILED, "1015", "System error"},
        {RTMP_CLOSE_START_TIMEOUT, "1005", "Connect failed"},
        {RTMP_CLOSE_STALLED, "1011", "Write error"},
        {RTMP_CLOSE_PROTOCOL, "1016", "Read error"},
        {RTMP_CLOSE_SEND_FAILED, "1011", "Write error"},
    };
    for (const Entry& e : kCodes) {
        if (e.result == result) {
            code = e.code;
            message = e.message;
            return;
        }
    }
    // Unknown: still a number, so that the report stays valid JSON.
    code = "1015";
    message = "System error";
}

unsigned RelayServiceBase::BufferSizeFor(unsigned bitrate_kbps) {
    if (bitrate_kbps < 2048)
        return 262144;
    if (bitrate_kbps < 4096)
        return 524288;
    if (bitrate_kbps < 6144)
        return 1048576;
    return 2097152;
}

RelayServiceBase::~RelayServiceBase() = default;

SharedPtr<RtmpClient> RelayServiceBase::lockClient() const {
    return client.Lock();
}

void RelayServiceBase::requestWrite() {
    if (SharedPtr<RtmpClient> rtmp = lockClient())
        rtmp->RequestWrite();
}

void RelayServiceBase::SetClient(int id, SharedPtr<RtmpClient> c) {
    relay_id = id;
    client = c;
}

void RelayServiceBase::SetDeviceInfo(RelayServiceHandler* h, int dev, int service,
                                     const std::string& session, const std::string& session_label) {
    std::string kind, method;
    getType(kind, method, statistics);
    handler = h;
    dev_id = dev;
    service_id = service;
    session_id = session;
    label = session_label + "[Relay]";
    {
        MutexGuard guard(mutex);
        monitor.method = method;
        monitor.recv_push_utc = Time::GetUtcTime(true);
        monitor.recv_push_ts = NowMsText();
        monitor.session_id = session;
    }
    if (statistics) {
        quality.reset(new TransQuality(&QualityClock));
        quality->Reset();
        quality->SetSessionId(session);
        quality->SetDevId(dev);
        quality->SetModule("relay");
    }
}

void RelayServiceBase::Start(const std::string& url, int private_mode) {
    SharedPtr<RtmpClient> rtmp = lockClient();
    if (!rtmp) {
        KS_LOGE("%s Rtmp client not exist", label.c_str());
        return;
    }
    if (beforeStart() < 0) {
        rtmp->Stop();
        return;
    }
    std::string k, v;
    {
        MutexGuard guard(mutex);
        monitor.start_rtmp_ts = NowMsText();
        k = key;
        v = iv;
    }
    rtmp->SetLogInfo(label);
    // The muxer is the network thread's once the connection runs: the keys go
    // in before it starts.
    if (!k.empty() && !v.empty())
        rtmp->SetEncryption(k, v);
    // The start ends with every status this kind waits for before it sends.
    std::string kind, method;
    bool stats_unused = false;
    getType(kind, method, stats_unused);
    unsigned notices = 1u << RTMP_NOTIFY_PUBLISH_START;
    if (kind == "Vod" || kind == "VodFile")
        notices |= 1u << RTMP_NOTIFY_PLAY_START;
    else if (kind == "Voice")
        notices |= 1u << RTMP_NOTIFY_TALK_READY;
    rtmp->SetStartNotices(notices);
    rtmp->Start(url, private_mode);
    KS_LOGD("%s Start connect %s", label.c_str(), url.substr(0, url.find('?')).c_str());
}

void RelayServiceBase::Stop() {
    KS_LOGD("%s Stop", label.c_str());
    if (SharedPtr<RtmpClient> rtmp = lockClient())
        rtmp->Stop();
}

void RelayServiceBase::SetEncryption(const std::string& k, const std::string& v) {
    MutexGuard guard(mutex);
    key = k;
    iv = v;
    monitor.encrypt = (!k.empty() && !v.empty()) ? "true" : "false";
}

void RelayServiceBase::SetBuffer(unsigned bitrate_kbps) {
    unsigned capacity = BufferSizeFor(bitrate_kbps);
    {
        MutexGuard guard(mutex);
        if (buffer)
            return;
        buffer.reset(new FrameRingBuffer(capacity, label));
        buffer->SetPackageDropStrategy(ringBufferMode());
        monitor.buff_size = std::to_string(capacity);
        buffer_ready.store(buffer.get(), std::memory_order_release);
    }
    KS_LOGI("%s Set buffer, bitrate = %u kbps, size = %u", label.c_str(), bitrate_kbps, capacity);
}

void RelayServiceBase::SetDuration(unsigned seconds) {
    MutexGuard guard(mutex);
    duration = seconds;
}

void RelayServiceBase::SetVideoCodec(const ks_video_param_s* video) {
    if (!video) {
        KS_LOGE("%s Illegal input", label.c_str());
        return;
    }
    MutexGuard guard(mutex);
    if (video->format == KS_VIDEO_FORMAT_H264) {
        monitor.video_codec = "H264";
    } else if (video->format == KS_VIDEO_FORMAT_H265) {
        monitor.video_codec = "H265";
    } else {
        KS_LOGE("%s illegal input", label.c_str());
        return;
    }
    if (quality) {
        quality_fps = video->fps;
        quality_gop = video->key_frame_interval;
        quality_pending = true;
        settings_dirty = true;
    }
}

void RelayServiceBase::SetAudioCodec(const ks_audio_param_s* audio) {
    if (!audio) {
        KS_LOGE("%s Illegal input", label.c_str());
        return;
    }
    // Checked before anything changes: a refused configuration keeps the
    // one the muxer already has instead of leaving it half replaced.
    if (audio->bits_per_sample < 0 || audio->bits_per_sample > 1 || audio->channel < 0 ||
        audio->channel > 1 || audio->sample_rate < 0 || audio->sample_rate > AUDIO_ADD_RATE_MAX) {
        KS_LOGE("%s illegal audio input: bits = %d, channel = %d, sample rate = %d", label.c_str(),
                audio->bits_per_sample, audio->channel, audio->sample_rate);
        return;
    }
    MutexGuard guard(mutex);
    if (audio->format == KS_AUDIO_FORMAT_G711A) {
        monitor.audio_codec = "G711A";
        audio_format = AUDIO_FORMAT_G711A;
    } else if (audio->format == KS_AUDIO_FORMAT_G711U) {
        monitor.audio_codec = "G711U";
        audio_format = AUDIO_FORMAT_G711U;
    } else {
        monitor.audio_codec = "AAC";
        audio_format = AUDIO_FORMAT_AAC;
    }
    audio_bit = static_cast<AudioBit>(audio->bits_per_sample);
    audio_channel = static_cast<AudioChannel>(audio->channel);
    audio_rate = static_cast<AudioAdditionalRate>(audio->sample_rate);
    audio_pending = true;
    settings_dirty = true;
}

MonitorRelayInfo RelayServiceBase::Monitor() {
    MutexGuard guard(mutex);
    return monitor;
}

int RelayServiceBase::addVideoFrame(int format, bool key_frame, const unsigned char* data,
                                    unsigned len, unsigned timestamp, uint64_t index) {
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    if (!ring) {
        KS_LOGE("%s Set buffer before add data", label.c_str());
        return -1;
    }
    if (!data || len == 0) {
        KS_LOGE("%s Invalid buffer parameter", label.c_str());
        return -1;
    }
    MediaSpecialInfo desc{1, timestamp, key_frame ? 1u : 0u, static_cast<uint32_t>(format), index};
    int ret = ring->DataOneFrameIn(data, len, &desc, sizeof desc);
    requestWrite();
    return ret;
}

int RelayServiceBase::addAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) {
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    if (!ring) {
        KS_LOGE("%s Set buffer before add data", label.c_str());
        return -1;
    }
    if (!data || len == 0) {
        KS_LOGE("%s Invalid buffer parameter", label.c_str());
        return -1;
    }
    MediaSpecialInfo desc{2, timestamp, 0, 0, 0};
    int ret = ring->DataOneFrameIn(data, len, &desc, sizeof desc);
    requestWrite();
    return ret;
}

void RelayServiceBase::queueScript(FlvMux::ScriptType type) {
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    bool queued = false;
    if (ring) {
        const unsigned char marker = static_cast<unsigned char>(type);
        MediaSpecialInfo desc{kMediaScript, 0, 0, static_cast<uint32_t>(type), 0};
        queued = ring->DataOneFrameIn(&marker, 1, &desc, sizeof desc) >= 0;
    }
    if (!queued)
        script_pending.fetch_or(1u << type);
    requestWrite();
}

struct RelayServiceBase::Coalesced {
    std::mutex mu;
    bool posted[kCoalesceKinds] = {};
    ks_on_push_stream_cmd_param_s latest[kCoalesceKinds] = {};
    unsigned long merged = 0;  // requests folded into one already waiting
};

RelayServiceBase::RelayServiceBase() : coalesced(std::make_shared<Coalesced>()) {}

namespace {

// Runs on the job thread: takes the latest values of its kind and hands
// them to the application's command job.
class CoalescedCmdJob : public JobProperty {
  public:
    CoalescedCmdJob(std::shared_ptr<RelayServiceBase::Coalesced> state, int kind, int dev_id)
        : state_(std::move(state)), kind_(kind), dev_id_(dev_id) {}
    void Run() override {
        ks_on_push_stream_cmd_param_s param;
        {
            std::lock_guard<std::mutex> lk(state_->mu);
            param = state_->latest[kind_];
            state_->posted[kind_] = false;
        }
        if (DeviceEnv* env = Single<DeviceEnv>::Peek())
            env->Dispatch()->OnPushStreamingCmdAsync(dev_id_, &param);
    }

  private:
    std::shared_ptr<RelayServiceBase::Coalesced> state_;
    int kind_;
    int dev_id_;
};

}  // namespace

bool RelayServiceBase::sendLatest(CoalescedKind kind, ks_on_push_stream_cmd_type_e cmd, uint32_t a,
                                  uint32_t b, uint32_t c) {
    DeviceEnv* env = Single<DeviceEnv>::Peek();
    if (!env || !env->JobUser())
        return false;
    ks_on_push_stream_cmd_param_s param{};
    param.service_id = service_id;
    param.cmd_type = cmd;
    param.timestamp = a;
    param.speed = b;
    param.key_only = c;
    {
        std::lock_guard<std::mutex> lk(coalesced->mu);
        coalesced->latest[kind] = param;
        if (coalesced->posted[kind]) {
            ++coalesced->merged;
            return false;
        }
        coalesced->posted[kind] = true;
    }
    env->JobUser()->AddJob(new CoalescedCmdJob(coalesced, kind, dev_id));
    return true;
}

void RelayServiceBase::sendCmd(ks_on_push_stream_cmd_type_e cmd, uint32_t a, uint32_t b,
                               uint32_t c) {
    ks_on_push_stream_cmd_param_s param{};
    param.service_id = service_id;
    param.cmd_type = cmd;
    param.timestamp = a;
    param.speed = b;
    param.key_only = c;
    if (DeviceEnv* env = Single<DeviceEnv>::Peek())
        env->Dispatch()->OnPushStreamingCmdAsync(dev_id, &param);
}

void RelayServiceBase::sendPendingScripts(RtmpClient& rtmp) {
    unsigned pending = script_pending.load() ? script_pending.exchange(0) : 0;
    for (unsigned t = 0; t < 2; ++t) {
        if (!(pending & (1u << t)))
            continue;
        KS_LOGI("%s %s complete", label.c_str(), t == 0 ? "Pre" : "Vod");
        rtmp.SendScript(static_cast<FlvMux::ScriptType>(t));
    }
}

// The send alone, so that nothing else happens while the frame is out of
// the ring: the muxer's and the socket's answer (-2 no room now, -3 never
// sendable), 0 for a script marker, kUnknownMedia for anything else.
int RelayServiceBase::sendFrame(RtmpClient& rtmp, const unsigned char* data, unsigned len,
                                const MediaSpecialInfo& desc, const SharedPtr<SharedBytes>& keep) {
    const char* p = reinterpret_cast<const char*>(data);
    if (desc.media == 1 && desc.key_frame <= 1)
        return rtmp.SendVideo(static_cast<int>(desc.format), static_cast<int>(desc.key_frame), p,
                              len, desc.timestamp, keep);
    if (desc.media == 2)
        return rtmp.SendAudio(p, len, desc.timestamp, keep);
    if (desc.media == kMediaScript && desc.format <= FlvMux::SCRIPT_VOD_COMPLETE) {
        rtmp.SendScript(static_cast<FlvMux::ScriptType>(desc.format));
        return 0;
    }
    return kUnknownMedia;
}

// What follows a frame's send, once the ring has it back; -1 for a frame of
// unknown kind.
int RelayServiceBase::afterSend(int sent, unsigned len, const MediaSpecialInfo& desc) {
    if (sent == kUnknownMedia) {
        KS_LOGE("%s Unknown media type = %d, timestamp = %u, key_frame = %d", label.c_str(),
                static_cast<int>(desc.media), desc.timestamp, static_cast<int>(desc.key_frame));
        return -1;
    }
    if (desc.media == 1) {
        if (sent == -3) {
            // Never sendable: holding it would stop the stream for good.
            // What follows needs a new key frame to decode.
            KS_LOGE("%s %s frame of %u bytes dropped, asking for a key frame", label.c_str(),
                    desc.key_frame ? "Key" : "Video", len);
            sendLatest(kCoalesceIFrame, KS_LIVE_REQUEST_I_FRAME);
            return 0;
        }
        afterWriteVideo(desc.index);
        if (quality)
            quality->AddVideoInfo(desc.key_frame != 0, desc.timestamp, len, QualityClock());
        if (desc.key_frame)
            noteKeyFrame(desc, len);
        return 0;
    }
    if (desc.media == 2) {
        if (sent != -3 && ++audio_log_count > 100) {  // -3: dropped with its line
            audio_log_count = 0;
            KS_LOGI("%s Send audio, time = %u, size = %u", label.c_str(), desc.timestamp, len);
        }
        return 0;
    }
    KS_LOGI("%s %s complete", label.c_str(), desc.format == 0 ? "Pre" : "Vod");
    return 0;
}

// The one copy a frame costs below the ring, and only when the connection
// cannot take it now: a stalled network holds its own block, not the ring.
void RelayServiceBase::holdFrame(const unsigned char* data, unsigned len,
                                 const MediaSpecialInfo& desc) {
    if (!hold_logged) {
        hold_logged = true;
        KS_LOGI("%s Connection full, frame of %u bytes held back (later ones are not logged)",
                label.c_str(), len);
    }
    held = SharedPtr<SharedBytes>(new SharedBytes);
    held->Resize(len);
    memcpy(held->Data(), data, len);
    held_len = len;
    held_desc = desc;
}

void RelayServiceBase::noteKeyFrame(const MediaSpecialInfo& desc, unsigned len) {
    KS_LOGI("%s send I frame, time = %u, size = %u", label.c_str(), desc.timestamp, len);
    // The monitor keeps the first key frame, and the first after a forced
    // request: once both are told, a key frame takes no lock.
    if (!iframe_seen.load() || (force_cmd_seen.load() && !force_iframe_seen.load())) {
        MutexGuard guard(mutex);
        if (!iframe_seen) {
            iframe_seen = true;
            monitor.iframe_ts = NowMsText();
            monitor.iframe_size = std::to_string(len);
        }
        if (force_cmd_seen && !force_iframe_seen) {
            force_iframe_seen = true;
            monitor.force_iframe_ts = NowMsText();
        }
    }
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    if (quality && ring) {
        quality->BufferQueue(ring->GetDataUsed());
        quality->DropFrame(static_cast<unsigned>(ring->GetFrameDropAndReset()));
    }
}

void RelayServiceBase::applySettings(RtmpClient& rtmp) {
    if (!settings_dirty.load() || !settings_dirty.exchange(false))
        return;
    bool audio = false, meta = false, q = false;
    AudioFormat f;
    AudioBit b;
    AudioChannel ch;
    AudioAdditionalRate r;
    unsigned d, fps, gop;
    {
        MutexGuard guard(mutex);
        audio = audio_pending;
        audio_pending = false;
        f = audio_format;
        b = audio_bit;
        ch = audio_channel;
        r = audio_rate;
        meta = !metadata_sent;
        metadata_sent = true;
        d = duration;
        q = quality_pending;
        quality_pending = false;
        fps = quality_fps;
        gop = quality_gop;
    }
    if (audio)
        rtmp.SetAudioCodec(f, b, ch, AUDIO_RATE_44K, r);
    if (q && quality) {
        quality->SetFps(fps);
        quality->SetGop(gop);
    }
    if (meta)
        rtmp.SendMetadata(d);
}

int RelayServiceBase::realWrite() {
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    if (!ring)
        return 0;
    SharedPtr<RtmpClient> rtmp = lockClient();
    if (!rtmp) {
        KS_LOGE("%s Rtmp client not exist", label.c_str());
        return -1;
    }
    applySettings(*rtmp);
    unsigned sum = 0;
    if (held) {
        int w = sendFrame(*rtmp, held->Data(), held_len, held_desc, held);
        if (w == -2)
            return 0;
        held = SharedPtr<SharedBytes>();
        afterSend(w, held_len, held_desc);
        sum += held_len;
    }
    while (sum < kWriteBudget) {
        const unsigned char* data = nullptr;
        unsigned len = 0;
        MediaSpecialInfo desc{};
        int ret = ring->PeekFrame(&data, &len, &desc);
        if (ret == FrameRingBuffer::kEmpty) {
            sendPendingScripts(*rtmp);
            break;
        }
        if (ret != FrameRingBuffer::kOk) {
            KS_LOGE("%s Read data failed", label.c_str());
            ring->CleanAllFrameData();
            break;
        }
        // Written from where it lies in the ring. Without a keeper, whatever
        // the socket cannot write at once it copies, so once the send
        // returns nothing refers to the ring's bytes any more.
        int w = sendFrame(*rtmp, data, len, desc, SharedPtr<SharedBytes>());
        if (w == -2)
            holdFrame(data, len, desc);
        ring->ReleaseFrame();
        if (w == -2)
            break;
        if (afterSend(w, len, desc) < 0) {
            ring->CleanAllFrameData();
            break;
        }
        sum += len;
    }
    return 0;
}

void RelayServiceBase::OnConnect() {
    KS_LOGI("%s Connect success", label.c_str());
    MutexGuard guard(mutex);
    monitor.handshake_ts = NowMsText();
}

void RelayServiceBase::OnClose(CloseResult result) {
    MonitorRelayInfo report;
    {
        MutexGuard guard(mutex);
        CloseCode(result, monitor.code, monitor.message);
        report = monitor;
    }
    if (DeviceMonitor* dm = Single<DeviceMonitor>::Peek())
        dm->ReportRelayInfoV1_1(dev_id, report);
    if (quality)
        quality->ForceReport();
    KS_LOGI("%s Connection is closed, result = %s (%d)", label.c_str(), report.message.c_str(),
            result);
    if (handler)
        handler->RelayServiceOnClose(label, dev_id, service_id);
    if (RelayServiceFactory* factory = Single<RelayServiceFactory>::Peek())
        factory->DeleteRelay(relay_id);
}

// ---------------------------------------------------------------------------
// Live
// ---------------------------------------------------------------------------

void RelayServiceLive::getType(std::string& kind, std::string& method, bool& stats) const {
    kind = "Live";
    method = "startRelayStreaming";
    stats = true;
}

int RelayServiceLive::AddVideoFrame(int format, bool key_frame, const unsigned char* data,
                                    unsigned len, unsigned timestamp) {
    return addVideoFrame(format, key_frame, data, len, timestamp, 0);
}

int RelayServiceLive::AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) {
    return addAudioFrame(data, len, timestamp);
}

void RelayServiceLive::OnNotify(rtmp_client_notify_t code, void*) {
    if (code == RTMP_NOTIFY_PUBLISH_START) {
        KS_LOGI("%s Recv cmd: start publish", label.c_str());
        {
            MutexGuard guard(mutex);
            published = true;
        }
        OnWrite();
    } else if (code == RTMP_NOTIFY_FORCE_IFRAME) {
        {
            MutexGuard guard(mutex);
            if (!force_cmd_seen) {
                force_cmd_seen = true;
                monitor.force_cmd_ts = NowMsText();
            }
        }
        // A flood of requests is one request: one line for each that is passed on.
        if (sendLatest(kCoalesceIFrame, KS_LIVE_REQUEST_I_FRAME))
            KS_LOGI("%s Recv cmd: request I frame", label.c_str());
    }
}

void RelayServiceBase::writeIfPublished() {
    if (published.load())
        realWrite();
}

void RelayServiceLive::OnWrite() {
    writeIfPublished();
}

// ---------------------------------------------------------------------------
// Pre-event
// ---------------------------------------------------------------------------

void RelayServicePreEvent::getType(std::string& kind, std::string& method, bool& stats) const {
    kind = "Pre";
    method = "startRelayEvent";
    stats = false;
}

int RelayServicePreEvent::AddVideoFrame(int format, bool key_frame, const unsigned char* data,
                                        unsigned len, unsigned timestamp) {
    uint64_t index;
    {
        MutexGuard guard(mutex);
        index = count++;
    }
    return addVideoFrame(format, key_frame, data, len, timestamp, index);
}

int RelayServicePreEvent::AddAudioFrame(const unsigned char* data, unsigned len,
                                        unsigned timestamp) {
    return addAudioFrame(data, len, timestamp);
}

void RelayServicePreEvent::AddScript(FlvMux::ScriptType type) {
    if (type == FlvMux::SCRIPT_PRE_COMPLETE)
        queueScript(type);
}

void RelayServicePreEvent::OnNotify(rtmp_client_notify_t code, void*) {
    if (code != RTMP_NOTIFY_PUBLISH_START)
        return;
    KS_LOGI("%s Recv cmd: start publish", label.c_str());
    {
        MutexGuard guard(mutex);
        published = true;
    }
    OnWrite();
}

void RelayServicePreEvent::OnWrite() {
    writeIfPublished();
}

// ---------------------------------------------------------------------------
// Playback
// ---------------------------------------------------------------------------

void RelayServiceVod::getType(std::string& kind, std::string& method, bool& stats) const {
    kind = "Vod";
    method = "startRelayVod";
    stats = false;
}

bool RelayServiceVod::checkKeyFrame(bool key) {
    if (key_mode == 1) {
        if (!key)
            return false;
        key_mode = 0;
        return true;
    }
    if (key_mode == 2)
        return key;
    return true;
}

// The application hears of a change only: the wanted state is the union of
// the server's pause and the buffer's high-water mark. Decided and queued
// under the relay's mutex, so two pauses or two resumes never follow each
// other whichever thread gets here first.
void RelayServiceVod::checkPause() {
    bool want = buffer_pause || server_pause;
    if (want == pause_sent)
        return;
    if (want) {
        KS_LOGI("%s Cmd: pause", label.c_str());
        sendCmd(KS_STORAGE_RECORD_PAUSE);
    } else {
        KS_LOGI("%s Cmd: unpause", label.c_str());
        sendCmd(KS_STORAGE_RECORD_UNPAUSE);
    }
    pause_sent = want;
}

int RelayServiceVod::AddVideoFrame(int format, bool key_frame, const unsigned char* data,
                                   unsigned len, unsigned timestamp) {
    uint64_t index;
    {
        MutexGuard guard(mutex);
        if (!checkKeyFrame(key_frame))
            return 0;
        index = count++;
    }
    int ret = addVideoFrame(format, key_frame, data, len, timestamp, index);
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    if (ret >= 0 && ring && ring->GetUsePercent() > kPauseAbove) {
        MutexGuard guard(mutex);
        buffer_pause = true;
        checkPause();
    }
    return ret;
}

int RelayServiceVod::AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) {
    {
        MutexGuard guard(mutex);
        if (!checkKeyFrame(false))
            return 0;
    }
    return addAudioFrame(data, len, timestamp);
}

void RelayServiceVod::AddScript(FlvMux::ScriptType type) {
    if (type == FlvMux::SCRIPT_VOD_COMPLETE)
        queueScript(type);
}

void RelayServiceVod::OnWrite() {
    if (!(published.load() && playing.load()))
        return;
    if (realWrite() < 0)
        return;
    FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire);
    if (buffer_pause.load() && ring && ring->GetUsePercent() <= kResumeAtOrBelow) {
        MutexGuard guard(mutex);
        buffer_pause = false;
        checkPause();
    }
}

void RelayServiceVod::setPlayParam(const char* text) {
    cJSON* root = text ? cJSON_Parse(text) : nullptr;
    const cJSON* only = root ? cJSON_GetObjectItemCaseSensitive(root, "onlyKeyFrame") : nullptr;
    const cJSON* speed = root ? cJSON_GetObjectItemCaseSensitive(root, "speed") : nullptr;
    if (!cJSON_IsNumber(only) || !cJSON_IsNumber(speed)) {
        KS_LOGE("%s Parse param error", label.c_str());
        cJSON_Delete(root);
        return;
    }
    int key_only = only->valueint;
    double sp = speed->valuedouble;
    cJSON_Delete(root);
    uint32_t sp_int =
        (std::isfinite(sp) && sp > 0 && sp < 4294967296.0) ? static_cast<uint32_t>(sp) : 0;
    {
        MutexGuard guard(mutex);
        if (key_only)
            key_mode = 2;
        else
            key_mode = key_mode == 2 ? 1 : 0;
        sendLatest(kCoalesceParam, KS_STORAGE_RECORD_SET_PARAM, 0, sp_int, key_only ? 1 : 0);
    }
    if (StreamCheck* check = Single<StreamCheck>::Peek())
        check->SetPlayParam(service_id, key_only, sp);
    KS_LOGI("%s Recv cmd: set param, key_only = %d, speed = %d", label.c_str(), key_only,
            static_cast<int>(sp_int));
}

void RelayServiceVod::OnNotify(rtmp_client_notify_t code, void* arg) {
    switch (code) {
        case RTMP_NOTIFY_PUBLISH_START: {
            MutexGuard guard(mutex);
            published = true;
            break;
        }
        case RTMP_NOTIFY_PLAY_START: {
            KS_LOGI("%s Recv cmd: start publish", label.c_str());
            {
                MutexGuard guard(mutex);
                playing = true;
                sendCmd(KS_STORAGE_RECORD_START);
            }
            OnWrite();
            break;
        }
        case RTMP_NOTIFY_PAUSE: {
            KS_LOGI("%s Recv cmd: pause", label.c_str());
            MutexGuard guard(mutex);
            server_pause = true;
            checkPause();
            break;
        }
        case RTMP_NOTIFY_UNPAUSE: {
            KS_LOGI("%s Recv cmd: unpause", label.c_str());
            MutexGuard guard(mutex);
            server_pause = false;
            checkPause();
            break;
        }
        case RTMP_NOTIFY_SEEK: {
            double pos = arg ? *static_cast<double*>(arg) : 0.0;
            uint32_t at = (std::isfinite(pos) && pos > 0 && pos < 4294967296.0)
                              ? static_cast<uint32_t>(pos)
                              : 0;
            // What is queued is from before the seek: the stream after it
            // starts at the sought position.
            if (FrameRingBuffer* ring = buffer_ready.load(std::memory_order_acquire))
                ring->CleanAllFrameData();
            held = SharedPtr<SharedBytes>();
            if (StreamCheck* check = Single<StreamCheck>::Peek())
                check->SetSeekTimestamp(service_id, at);
            {
                MutexGuard guard(mutex);
                sendLatest(kCoalesceSeek, KS_STORAGE_RECORD_SEEK, at);
            }
            KS_LOGI("%s Recv cmd: seek = %u", label.c_str(), at);
            break;
        }
        case RTMP_NOTIFY_SET_PLAY_PARAM:
            setPlayParam(static_cast<const char*>(arg));
            break;
        case RTMP_NOTIFY_COMPLETE_RESPONSE:
            KS_LOGI("%s Recv cmd: complete response", label.c_str());
            if (SharedPtr<RtmpClient> rtmp = lockClient())
                rtmp->Stop();
            break;
        default:
            break;
    }
}

}  // namespace kestrel

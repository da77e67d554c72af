#include "sdk/streaming/stream_session.h"

#include <cassert>
#include <cjson/cJSON.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/digest.h"
#include "core/logger.h"
#include "core/redact.h"
#include "core/single.h"
#include "net/task_queue.h"
#include "net/url_parse.h"
#include "sdk/device_auth.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"
#include "sdk/streaming/frame_ring_buffer.h"
#include "sdk/streaming/record_link.h"
#include "sdk/streaming/voice_relay.h"

namespace kestrel {

namespace {

const char* const kStartPushStreaming = "StartPushStreaming";
const char* const kStartVodByTime = "StartVodByTime";
const char* const kStartVod = "StartVod";
const char* const kStartVoiceIntercom = "StartVoiceIntercom";
const char* const kRecordTopic = "/vision/biz/record/downstream";

RelayServiceFactory* Relays() {
    return Single<RelayServiceFactory>::Instance();
}

DeviceDispatch* Dispatch() {
    return DeviceEnv::Get()->Dispatch();
}

// Owns a parsed document for the length of a handler.
struct Json {
    explicit Json(const std::string& text) : root(cJSON_Parse(text.c_str())) {}
    ~Json() { cJSON_Delete(root); }
    Json(const Json&) = delete;
    Json& operator=(const Json&) = delete;
    bool IsObject() const { return cJSON_IsObject(root); }
    const cJSON* Get(const char* name) const {
        return cJSON_GetObjectItemCaseSensitive(root, name);
    }
    bool String(const char* name, std::string& out) const {
        const cJSON* item = Get(name);
        if (!cJSON_IsString(item) || !item->valuestring)
            return false;
        out = item->valuestring;
        return true;
    }
    bool Number(const char* name, double& out) const {
        const cJSON* item = Get(name);
        if (!cJSON_IsNumber(item))
            return false;
        out = item->valuedouble;
        return true;
    }
    cJSON* root;
};

// "EncryptKey" holds a JSON text with "key" and "iv"; anything short of both
// leaves the stream unencrypted.
void ParseEncryptKey(const Json& doc, const char* member, std::string& key, std::string& iv) {
    std::string text;
    if (!doc.String(member, text))
        return;
    Json inner(text);
    std::string k, v;
    if (inner.IsObject() && inner.String("key", k) && inner.String("iv", v)) {
        key = k;
        iv = v;
    }
}

// A whole number the 32-bit fields can hold; cloud numbers are doubles and a
// cast of NaN, infinity or an out-of-range value is undefined.
bool ToInt(double d, long long lo, long long hi, long long& out) {
    if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi)))
        return false;
    out = static_cast<long long>(d);
    return true;
}

// A start request's device, logged with the request; empty (and logged) for
// a device the SDK does not know.
SharedPtr<DeviceAuth> StartAuth(int dev_id, const std::string& service) {
    SharedPtr<DeviceAuth> auth = DeviceEnv::Get()->Auth()->GetAuth(dev_id);
    if (auth->IsIllegal()) {
        KS_LOGW("onStartPushStream Device auth error, dev_id = %d", dev_id);
        return SharedPtr<DeviceAuth>();
    }
    KS_LOGI("%s cmd:%s", auth->GetPkDnS().c_str(), service.c_str());
    return auth;
}
}  // namespace

struct StreamSession::Request {
    int dev_id = 0;
    int type = kServiceLive;
    int relay_kind = RelayServiceFactory::kLive;
    int stream_type = 0;
    int vod_by_file = 0;
    std::string url;
    int private_mode = 0;
    std::string session_id;
    std::string device_label;
    const char* tag = "[Live]";
    std::string key, iv;
    ks_start_push_stream_param_s start{};
};

StreamSession::StreamSession() : manager(new StreamManager()) {}

StreamSession::~StreamSession() = default;

int StreamSession::Init() {
    MessageService* messages = Single<MessageService>::Instance();
    for (const char* name : {kStartPushStreaming, kStartVodByTime, kStartVod, kStartVoiceIntercom})
        messages->RegisterServiceHandler(name, &StreamSession::onMessageDispatch, this);
    messages->RegisterKestrelHandler(kRecordTopic, &StreamSession::OnRecordDownstream, this);
    RecordLink::Get()->Init(manager.get());
    inited = true;
    KS_LOGI("Init success");
    return 0;
}

int StreamSession::Destroy() {
    inited = false;
    RecordLink::Get()->Destroy();
    manager->Clear();
    KS_LOGD("Destroy success");
    return 0;
}

void StreamSession::SetVodSupport(unsigned solo, unsigned all) {
    vod_solo_max = solo == 0 ? 1 : std::min(solo, kVodSoloCap);
    vod_all_max = all <= vod_solo_max ? vod_solo_max : std::min(all, kVodAllCap);
    KS_LOGI("Vod control, solo = %d all = %d", static_cast<int>(vod_solo_max),
            static_cast<int>(vod_all_max));
}

void StreamSession::onMessageDispatch(void* ctx, int dev_id, const std::string& service,
                                      const std::string& payload, const std::string& msg_id) {
    auto* self = static_cast<StreamSession*>(ctx);
    // Registered with its owner as the context: null is a bug here, not input.
    assert(self);
    if (service == kStartPushStreaming)
        self->onStartPushStream(service, payload, dev_id);
    else if (service == kStartVodByTime)
        self->onStartVodByTime(service, payload, dev_id);
    else if (service == kStartVod)
        self->onStartVod(service, payload, dev_id, msg_id);
    else if (service == kStartVoiceIntercom)
        self->onStartVoiceIntercom(service, payload, dev_id);
}

// The application is asked to start before the relay connects: a close that
// comes at once (a refused URL, an unreachable server) then queues its stop
// behind the start, and the application never keeps a stream nobody ends.
int StreamSession::startRelay(const Request& req) {
    SharedPtr<RelayServiceBase> relay = Relays()->Create(req.relay_kind);
    if (!relay) {
        KS_LOGE("%s Create relay failed, no session started", req.device_label.c_str());
        return -1;
    }
    int service_id = DeviceEnv::Get()->Id();
    StreamManagerProperty entry;
    entry.dev_id = req.dev_id;
    entry.type = req.type;
    entry.stream_type = req.stream_type;
    entry.vod_by_file = req.vod_by_file;
    entry.relay_id = relay->RelayId();
    std::string label = req.device_label + "[Service:" + std::to_string(service_id) + "]" + req.tag;
    relay->SetDeviceInfo(this, req.dev_id, service_id, req.session_id, label);
    relay->SetEncryption(req.key, req.iv);
    if (!manager->Open(service_id, entry, relay)) {
        relay->Stop();
        return -1;
    }
    ks_start_push_stream_param_s start = req.start;
    start.service_id = service_id;
    // The answer comes on the job thread, maybe while this thread is still
    // starting the relay: the take-down queues behind this start instead.
    Dispatch()->StartPushStreamingAsync(req.dev_id, &start, [this, label, service_id](int result) {
        DeviceEnv::Get()->Task()->AddTask(this, &StreamSession::startRefused, 0, service_id, label,
                                          std::to_string(result), std::string());
    });
    relay->Start(req.url, req.private_mode);
    return 0;
}

// The relay goes down with the entry; as the entry is gone first, its close
// asks the application to stop nothing it never started.
void StreamSession::startRefused(void* ctx, int service_id, const std::string& label,
                                 const std::string& result, const std::string&) {
    auto* self = static_cast<StreamSession*>(ctx);
    assert(self);
    KS_LOGE("%s Application refused the stream start, result = %s", label.c_str(),
            result.c_str());
    StreamManager* manager = self->manager.get();
    StreamManagerProperty entry;
    if (manager->Find(service_id, entry))
        manager->Take(service_id);
}

int StreamSession::onStartPushStream(const std::string& service, const std::string& payload,
                                     int dev_id) {
    SharedPtr<DeviceAuth> auth = StartAuth(dev_id, service);
    if (!auth) {
        return -1;
    }
    const std::string& dl = auth->GetPkDnS();
    Json doc(payload);
    std::string push_url;
    double stream_type = 0, pre_time = 0;
    long long st = 0, pt = 0;
    if (!doc.IsObject() || !doc.String("PushUrl", push_url) ||
        !doc.Number("StreamType", stream_type) || !ToInt(stream_type, INT32_MIN, INT32_MAX, st) ||
        (doc.Get("PreTime") &&
         (!doc.Number("PreTime", pre_time) || !ToInt(pre_time, 0, INT32_MAX, pt)))) {
        KS_LOGE("%s parse value error:%s", dl.c_str(), redact_text(payload).c_str());
        return -1;
    }
    UrlParse url;
    if (url.Parse(push_url, auth->GetPkS(), auth->GetDnS(), auth->GetDsS()) < 0) {
        KS_LOGE("%s parse url error", dl.c_str());
        return -1;
    }
    Request req;
    req.dev_id = dev_id;
    req.device_label = dl;
    ParseEncryptKey(doc, "EncryptKey", req.key, req.iv);
    req.session_id = url.GetQuery("token");
    bool pre = url.GetQuery("pre") == "1";
    req.private_mode = url.GetQuery("private") == "0" ? 0 : 1;
    req.url = url.CalculateRtmpLiveUrl();
    req.type = pre ? kServicePre : kServiceLive;
    req.relay_kind = pre ? RelayServiceFactory::kPre : RelayServiceFactory::kLive;
    req.tag = pre ? "[Pre]" : "[Live]";
    req.stream_type = static_cast<int>(st);

    int existing = 0;
    if (manager->FindByStream(dev_id, req.type, req.stream_type, existing) &&
        !replaceStaleRelay(req, existing)) {
        KS_LOGW("%s Relay service is already exist, do nothing, service_id:  %d", dl.c_str(),
                existing);
        return 0;
    }
    req.start.stream_cmd_type = pre ? KS_STREAM_CMD_PRE_EVENT_RECORD : KS_STREAM_CMD_LIVE;
    req.start.stream_type = req.stream_type;
    req.start.pre_time = static_cast<int>(pt);
    return startRelay(req);
}

// A start for a session other than the running relay's means the cloud has
// moved on: the old session gets nothing more, and ignoring the new one would
// leave it waiting for a stream that never comes. A repeat of the running
// session's start, or a stream that also feeds a recording, keeps what runs.
bool StreamSession::replaceStaleRelay(const Request& req, int existing) {
    SharedPtr<StreamRoute> route = manager->Route(existing);
    if (!route || !route->relay || route->recording ||
        route->relay->Monitor().session_id == req.session_id)
        return false;
    StreamManagerProperty entry;
    if (!manager->Take(existing, &entry))
        return true;  // it closed meanwhile: nothing left to replace
    KS_LOGI("%s A new session replaces the relay of service %d", req.device_label.c_str(),
            existing);
    ks_stop_push_stream_param_s stop{};
    stop.service_id = existing;
    stop.stream_cmd_type = static_cast<ks_stream_cmd_type_e>(entry.type);
    Dispatch()->StopPushStreamingAsync(entry.dev_id, &stop);
    return true;
}

// Makes room for one more playback of this device: 0 when there is room
// (after closing the oldest session of the limit that is reached), -1 when
// no session could be found to close.
int StreamSession::vodAdmit(int dev_id, const std::string& label) {
    unsigned n_all = manager->CountOfType(kServiceVod);
    unsigned n_dev = manager->CountByDevice(dev_id, kServiceVod);
    KS_LOGI("%s Vod num, now %d %d, control %d %d", label.c_str(), static_cast<int>(n_dev),
            static_cast<int>(n_all), static_cast<int>(vod_solo_max), static_cast<int>(vod_all_max));
    if (n_dev < vod_solo_max && n_all < vod_all_max)
        return 0;
    int victim = 0;
    StreamManagerProperty entry;
    // The victim's relay may close on its own meanwhile: whoever unbinds
    // the entry sends its one stop.
    bool found = n_dev < vod_solo_max ? manager->FindOfType(kServiceVod, victim)
                                      : manager->FindByDevice(dev_id, kServiceVod, victim);
    if (!found || !manager->Take(victim, &entry)) {
        KS_LOGE("Query storage record id failed");
        return -1;
    }
    KS_LOGI("%s Vod close, dev_id = %d, service id = %d", label.c_str(), entry.dev_id, victim);
    ks_stop_push_stream_param_s stop{};
    stop.service_id = victim;
    stop.stream_cmd_type = entry.vod_by_file ? KS_STREAM_CMD_STORAGE_RECORD_BY_FILE
                                             : KS_STREAM_CMD_STORAGE_RECORD_BY_UTC_TIME;
    Dispatch()->StopPushStreamingAsync(entry.dev_id, &stop);
    return 0;
}

int StreamSession::onStartVodByTime(const std::string& service, const std::string& payload,
                                    int dev_id) {
    SharedPtr<DeviceAuth> auth = StartAuth(dev_id, service);
    if (!auth) {
        return -1;
    }
    const std::string& dl = auth->GetPkDnS();
    Json doc(payload);
    Request req;
    double begin = 0, end = 0;
    long long b = 0, e = 0;
    std::string push_url;
    if (!doc.IsObject() || !doc.Number("BeginTime", begin) || !doc.Number("EndTime", end) ||
        !doc.String("SessionID", req.session_id) || !doc.String("PushUrl", push_url) ||
        !ToInt(begin, 0, UINT32_MAX, b) || !ToInt(end, 0, UINT32_MAX, e)) {
        KS_LOGE("parse value error:%s", redact_text(payload).c_str());
        return -1;
    }
    UrlParse url;
    if (url.Parse(push_url, auth->GetPkS(), auth->GetDnS(), auth->GetDsS()) < 0) {
        KS_LOGE("parse url error");
        return -1;
    }
    ParseEncryptKey(doc, "EncryptKey", req.key, req.iv);
    req.url = url.CalculateRtmpVodUrl();
    if (vodAdmit(dev_id, dl) < 0)
        return -1;
    req.dev_id = dev_id;
    req.device_label = dl;
    req.type = kServiceVod;
    req.relay_kind = RelayServiceFactory::kVod;
    req.tag = "[Vod]";
    req.start.stream_cmd_type = KS_STREAM_CMD_STORAGE_RECORD_BY_UTC_TIME;
    req.start.begin_time = static_cast<uint32_t>(b);
    req.start.end_time = static_cast<uint32_t>(e);
    req.start.seek_time = atoi(url.GetQuery("seek").c_str());
    req.start.record_type = atoi(url.GetQuery("recordType").c_str());
    return startRelay(req);
}

int StreamSession::onStartVod(const std::string& service, const std::string& payload, int dev_id,
                              const std::string& msg_id) {
    SharedPtr<DeviceAuth> auth = StartAuth(dev_id, service);
    if (!auth) {
        return -1;
    }
    const std::string& dl = auth->GetPkDnS();
    Json doc(payload);
    Request req;
    std::string file_b64, push_url;
    if (!doc.IsObject() || !doc.String("FileName", file_b64) ||
        !doc.String("SessionID", req.session_id) || !doc.String("PushUrl", push_url)) {
        KS_LOGE("parse value error:%s", redact_text(payload).c_str());
        return -1;
    }
    UrlParse url;
    if (url.Parse(push_url, auth->GetPkS(), auth->GetDnS(), auth->GetDsS()) < 0) {
        KS_LOGE("parse url error");
        return -1;
    }
    ParseEncryptKey(doc, "EncryptKey", req.key, req.iv);
    req.url = url.CalculateRtmpVodUrl();
    std::vector<unsigned char> name(file_b64.size() + 1, 0);
    unsigned olen = 0;
    int ret = ks_base64decode(reinterpret_cast<const unsigned char*>(file_b64.data()),
                              static_cast<unsigned>(file_b64.size()),
                              static_cast<unsigned>(name.size()), name.data(), &olen);
    // The application gets a C string: a name with a NUL inside would be
    // silently another name.
    if (ret != 0 || olen == 0 || olen >= name.size() ||
        std::string(reinterpret_cast<const char*>(name.data()), olen).find('\0') !=
            std::string::npos) {
        KS_LOGE("Decode file name failed, file name = %s", file_b64.c_str());
        return -1;
    }
    name[olen] = 0;
    if (vodAdmit(dev_id, dl) < 0)
        return -1;
    req.dev_id = dev_id;
    req.device_label = dl;
    req.type = kServiceVod;
    req.vod_by_file = 1;
    req.relay_kind = RelayServiceFactory::kVod;
    req.tag = "[VodFile]";
    req.start.stream_cmd_type = KS_STREAM_CMD_STORAGE_RECORD_BY_FILE;
    req.start.file_name = reinterpret_cast<char*>(name.data());
    req.private_mode = 0;
    ret = startRelay(req);
    if (ret == 0)
        KS_LOGI("key:%s value:%s id:%s ", service.c_str(), redact_text(payload).c_str(),
                msg_id.c_str());
    return ret;
}

// One voice session per device: a new request replaces the old one. The old
// relay stops handing received audio to the application before the
// application is told that session stopped.
int StreamSession::onStartVoiceIntercom(const std::string& service, const std::string& payload,
                                        int dev_id) {
    SharedPtr<DeviceAuth> auth = StartAuth(dev_id, service);
    if (!auth) {
        return -1;
    }
    const std::string& dl = auth->GetPkDnS();
    Json doc(payload);
    std::string intercom_url, key_text;
    if (!doc.IsObject() || !doc.String("IntercomUrl", intercom_url) ||
        !doc.String("Key", key_text)) {
        KS_LOGE("Can't parse url");
        return -1;
    }
    UrlParse url;
    if (url.Parse(intercom_url, auth->GetPkS(), auth->GetDnS(), auth->GetDsS()) < 0) {
        KS_LOGE("parse url error");
        return -1;
    }
    Request req;
    ParseEncryptKey(doc, "Key", req.key, req.iv);
    req.session_id = url.GetQuery("token");
    req.private_mode = url.GetQuery("private") == "0" ? 0 : 1;
    req.url = url.CalculateRtmpLiveUrl();
    if (manager->CountByDevice(dev_id, kServiceVoice) > 0) {
        int old_id = 0;
        SharedPtr<StreamRoute> route;
        if (!manager->FindByDevice(dev_id, kServiceVoice, old_id) ||
            !(route = manager->Route(old_id))) {
            KS_LOGE("Query voice id failed");
            return -1;
        }
        if (route->relay) {
            if (SharedPtr<RelayServiceVoice> voice = route->relay.DynamicCast<RelayServiceVoice>())
                voice->StopDelivery();
        }
        // Whoever takes the entry sends its one stop.
        StreamManagerProperty old;
        if (manager->Take(old_id, &old)) {
            KS_LOGI("%s Voice replaced, service id = %d", dl.c_str(), old_id);
            ks_stop_push_stream_param_s stop{};
            stop.service_id = old_id;
            stop.stream_cmd_type = KS_STREAM_CMD_VOICE;
            Dispatch()->StopPushStreamingAsync(dev_id, &stop);
        }
    }
    req.dev_id = dev_id;
    req.device_label = dl;
    req.type = kServiceVoice;
    req.relay_kind = RelayServiceFactory::kVoice;
    req.tag = "[Voice]";
    req.start.stream_cmd_type = KS_STREAM_CMD_VOICE;
    return startRelay(req);
}

void StreamSession::OnRecordDownstream(void* ctx, int dev_id, const std::string&,
                                       const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(ctx);
    (void)ctx;
    RecordLink::Get()->OnRecordDownstream(dev_id, payload);
}

int StreamSession::DispatchSendConfig(int service_id, unsigned bitrate_kbps,
                                      const ks_video_param_s* video,
                                      const ks_audio_param_s* audio) {
    if (!inited) {
        KS_LOGE("Stream session is not init");
        return -1;
    }
    SharedPtr<StreamRoute> route = manager->Route(service_id);
    if (!route) {
        KS_LOGW("Service id is not exist, service_id = %d", service_id);
        return -1;
    }
    const StreamManagerProperty& entry = route->entry;
    if (RelayServiceBase* relay = route->relay.get()) {
        relay->SetBuffer(bitrate_kbps);
        relay->SetVideoCodec(video);
        relay->SetAudioCodec(audio);
        relay->SetDuration(entry.vod_by_file && video ? video->duration : 86400);
    }
    RecordLink::Get()->OnConfig(entry, service_id, bitrate_kbps, audio);
    KS_LOGI("[Service:%d] Send config success, bitrate_kbps=[%d]", service_id,
            static_cast<int>(bitrate_kbps));
    return 0;
}

namespace {

// The relay's queue did not keep this frame (full, too large, or waiting for
// a key frame after a drop): the application is told, so it can count it.
bool DroppedByRing(int result) {
    return result == FrameRingBuffer::kTooLarge || result == FrameRingBuffer::kRefused ||
           result == FrameRingBuffer::kEmptiedNoKey || result == FrameRingBuffer::kWaitKey;
}

}  // namespace

int StreamSession::DispatchSendVideo(int service_id, ks_video_format_e format,
                                     const unsigned char* data, unsigned len, int key_frame,
                                     unsigned timestamp_ms) {
    if (!inited) {
        KS_LOGE("Stream session is not init");
        return -1;
    }
    SharedPtr<StreamRoute> route = manager->Route(service_id);
    if (!route) {
        KS_LOGW("[Service:%d] service is not exist", service_id);
        return -1;
    }
    int queued = route->SendVideo(format, key_frame != 0, data, len, timestamp_ms);
    return DroppedByRing(queued) ? KS_ERR_FRAME_DROPPED : 0;
}

int StreamSession::DispatchSendAudio(int service_id, const unsigned char* data, unsigned len,
                                     unsigned timestamp_ms) {
    if (!inited) {
        KS_LOGE("Stream session is not init");
        return -1;
    }
    SharedPtr<StreamRoute> route = manager->Route(service_id);
    if (!route) {
        KS_LOGW("[Service:%d] service is not exist", service_id);
        return -1;
    }
    int queued = route->SendAudio(data, len, timestamp_ms);
    return DroppedByRing(queued) ? KS_ERR_FRAME_DROPPED : 0;
}

int StreamSession::DispatchCmd(int service_id, ks_push_stream_cmd_s cmd) {
    SharedPtr<StreamRoute> route = manager->Route(service_id);
    if (!route) {
        KS_LOGW("[Service:%d] service is not exist", service_id);
        return -1;
    }
    if (!route->relay)
        return -1;
    if (cmd == KS_STORAGE_RECORD_COMPLETE) {
        route->relay->AddScript(FlvMux::SCRIPT_VOD_COMPLETE);
    } else if (cmd == KS_PRE_EVENT_RECORD_COMPLETE) {
        route->relay->AddScript(FlvMux::SCRIPT_PRE_COMPLETE);
    } else {
        KS_LOGE("[Service:%d] Unknown stream cmd = %d", service_id, static_cast<int>(cmd));
        return -1;
    }
    return 0;
}

void StreamSession::RelayServiceOnClose(const std::string& label, int dev_id, int service_id) {
    // A recording on the same application stream keeps it running.
    if (RecordLink::Get()->RelayClosed(service_id))
        return;
    StreamManagerProperty entry;
    if (!manager->Find(service_id, entry) || !manager->Take(service_id, &entry)) {
        KS_LOGD("Service id is already process, do nothing");
        return;
    }
    ks_stop_push_stream_param_s stop{};
    stop.service_id = service_id;
    stop.stream_cmd_type = entry.vod_by_file ? KS_STREAM_CMD_STORAGE_RECORD_BY_FILE
                                             : static_cast<ks_stream_cmd_type_e>(entry.type);
    Dispatch()->StopPushStreamingAsync(dev_id, &stop);
    KS_LOGI("%s Relay close, p2p exist = %d", label.c_str(), entry.p2p ? 1 : 0);
}

}  // namespace kestrel

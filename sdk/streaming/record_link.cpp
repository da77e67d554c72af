#include "sdk/streaming/record_link.h"

#include <cjson/cJSON.h>

#include "core/logger.h"
#include "core/redact.h"
#include "core/single.h"
#include "sdk/device_auth.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"

namespace kestrel {

namespace {

// Bitrate assumed for a recording whose stream has not told its own yet.
constexpr unsigned kDefaultKbps = 2048;

bool GetString(const cJSON* obj, const char* name, std::string& out) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!cJSON_IsString(item) || !item->valuestring)
        return false;
    out = item->valuestring;
    return true;
}

// A whole number in [lo, hi]; NaN, infinities and fractions are refused.
bool GetInt(const cJSON* obj, const char* name, int lo, int hi, int& out) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!cJSON_IsNumber(item))
        return false;
    double d = item->valuedouble;
    if (!(d >= lo && d <= hi) || d != static_cast<double>(static_cast<long long>(d)))
        return false;
    out = static_cast<int>(d);
    return true;
}

constexpr int kMaxSeconds = 7 * 24 * 3600;

}  // namespace

RecordLink* RecordLink::Get() {
    return Single<RecordLink>::Instance();
}

RecordLink::RecordLink() {
    factory_.SetListener(this);
}

void RecordLink::Init(StreamManager* manager) {
    manager_ = manager;
}

void RecordLink::Destroy() {
    // The table goes with the session; nothing may reach it after this.
    manager_ = nullptr;
    factory_.Clear();
    MutexGuard guard(mutex_);
    configs_.clear();
}

int RecordLink::OnRecordDownstream(int dev_id, const std::string& payload) {
    cJSON* root = cJSON_Parse(payload.c_str());
    std::string method;
    const cJSON* params = cJSON_GetObjectItemCaseSensitive(root, "params");
    int r = -1;
    if (!cJSON_IsObject(root) || !GetString(root, "method", method) || !cJSON_IsObject(params)) {
        KS_LOGE("Json parse failed, value = %s", redact_text(payload).c_str());
    } else if (!manager_.load()) {
        KS_LOGE("Record request for device %d before the stream session is up", dev_id);
    } else if (DeviceEnv::Get()->Auth()->GetAuth(dev_id)->IsIllegal()) {
        KS_LOGW("Record request: device auth error, dev_id = %d", dev_id);
    } else if (method == "startRecord") {
        r = startRecord(dev_id, params);
    } else if (method == "updateRecord") {
        r = updateOrStop(dev_id, params, false);
    } else if (method == "stopRecord") {
        r = updateOrStop(dev_id, params, true);
    } else {
        KS_LOGE("Json parse failed, value = %s", redact_text(payload).c_str());
    }
    cJSON_Delete(root);
    return r;
}

int RecordLink::startRecord(int dev_id, const void* raw) {
    const cJSON* params = static_cast<const cJSON*>(raw);
    DoaServiceProperty p;
    // A recording must end by itself if its stop is lost: a duration of at
    // least a second is required.
    if (!GetString(params, "id", p.id) || p.id.empty() ||
        !GetInt(params, "streamType", 0, 255, p.stream_type) ||
        !GetInt(params, "recordType", INT32_MIN, INT32_MAX, p.record_type) ||
        !GetInt(params, "duration", 1, kMaxSeconds, p.duration) ||
        !GetInt(params, "preDuration", 0, kMaxSeconds, p.pre_duration) ||
        !GetInt(params, "maxSingleFileDuration", 0, kMaxSeconds, p.max_single_file_duration) ||
        !GetString(params, "thumbnailId", p.thumbnail_id) ||
        !GetString(params, "filePrefix", p.file_prefix)) {
        char* text = cJSON_PrintUnformatted(params);
        KS_LOGE("Json parse failed, startRecord params = %s", redact_text(text ? text : "").c_str());
        cJSON_free(text);
        return -1;
    }
    StreamManager* manager = manager_.load();
    DeviceDispatch* dispatch = DeviceEnv::Get()->Dispatch();
    int sid = 0;
    StreamManagerProperty entry;
    if (manager->FindByStream(dev_id, kServiceLive, p.stream_type, sid) && manager->Find(sid, entry)) {
        if (entry.doa == 0) {
            int doa = factory_.AddDoa(dev_id, sid);
            SharedPtr<DoaService> recording;
            if (!factory_.query(doa, recording) || !manager->AttachRecording(sid, doa, recording)) {
                // The stream ended (or took a recording) meanwhile.
                factory_.DeleteDoa(doa);
                KS_LOGE("[Service:%d] Recording could not join the live stream", sid);
                return -1;
            }
            entry.doa = doa;
            applyConfig(sid, entry.doa);
            // The recording's first object must open with a key frame and
            // the codec configuration: ask the running stream for both.
            ks_on_push_stream_cmd_param_s cmd{};
            cmd.service_id = sid;
            cmd.cmd_type = KS_LIVE_REQUEST_I_FRAME;
            dispatch->OnPushStreamingCmdAsync(dev_id, &cmd);
            KS_LOGI("[Service:%d] Recording joins the live stream", sid);
        }
    } else if (!findRecording(dev_id, p.stream_type, sid, entry)) {
        sid = DeviceEnv::Get()->Id();
        entry = StreamManagerProperty();
        entry.dev_id = dev_id;
        entry.type = kServiceDoa;
        entry.stream_type = p.stream_type;
        entry.doa = factory_.AddDoa(dev_id, sid);
        SharedPtr<DoaService> recording;
        if (!factory_.query(entry.doa, recording) ||
            !manager->Open(sid, entry, SharedPtr<RelayServiceBase>(), recording)) {
            factory_.DeleteDoa(entry.doa);
            return -1;
        }
        applyConfig(sid, entry.doa);
        ks_start_push_stream_param_s start{};
        start.service_id = sid;
        start.stream_cmd_type = KS_STREAM_CMD_LIVE;
        start.record_stream_type = p.stream_type;
        dispatch->StartPushStreamingAsync(dev_id, &start);
        KS_LOGI("[Service:%d] Recording starts a stream of its own", sid);
    }
    return factory_.StartRecord(entry.doa, p);
}

bool RecordLink::findRecording(int dev_id, int stream_type, int& service_id,
                               StreamManagerProperty& entry) {
    StreamManager* manager = manager_.load();
    for (int type : {kServiceLive, kServiceDoa}) {
        int sid = 0;
        if (manager->FindByStream(dev_id, type, stream_type, sid) && manager->Find(sid, entry) &&
            entry.doa != 0) {
            service_id = sid;
            return true;
        }
    }
    return false;
}

int RecordLink::updateOrStop(int dev_id, const void* raw, bool stop) {
    const cJSON* params = static_cast<const cJSON*>(raw);
    DoaServiceProperty p;
    if (!GetString(params, "id", p.id) || !GetInt(params, "streamType", 0, 255, p.stream_type) ||
        (!stop && !GetInt(params, "duration", 1, kMaxSeconds, p.duration))) {
        char* text = cJSON_PrintUnformatted(params);
        KS_LOGE("Json parse failed, %s params = %s", stop ? "stopRecord" : "updateRecord",
                redact_text(text ? text : "").c_str());
        cJSON_free(text);
        return -1;
    }
    int sid = 0;
    StreamManagerProperty entry;
    if (!findRecording(dev_id, p.stream_type, sid, entry)) {
        KS_LOGE("No doa exist");
        return -1;
    }
    return stop ? factory_.StopRecord(entry.doa, p) : factory_.UpdateRecord(entry.doa, p);
}

void RecordLink::applyConfig(int service_id, int doa_id) {
    Config c;
    {
        MutexGuard guard(mutex_);
        auto it = configs_.find(service_id);
        if (it != configs_.end())
            c = it->second;
    }
    factory_.SetBuffer(doa_id, c.kbps ? c.kbps : kDefaultKbps);
    if (c.has_audio)
        factory_.SetAudioCodec(doa_id, &c.audio);
}

void RecordLink::OnConfig(const StreamManagerProperty& entry, int service_id, unsigned kbps,
                          const ks_audio_param_s* audio) {
    {
        MutexGuard guard(mutex_);
        Config& c = configs_[service_id];
        c.kbps = kbps;
        c.has_audio = audio != nullptr;
        if (audio)
            c.audio = *audio;
    }
    if (entry.doa != 0) {
        factory_.SetBuffer(entry.doa, kbps);
        if (audio)
            factory_.SetAudioCodec(entry.doa, audio);
    }
}

bool RecordLink::RelayClosed(int service_id) {
    StreamManager* manager = manager_.load();
    if (manager && manager->DetachRelayKeepRecording(service_id)) {
        KS_LOGI("[Service:%d] Relay closed, the recording keeps the stream", service_id);
        return true;
    }
    MutexGuard guard(mutex_);
    configs_.erase(service_id);
    return false;
}

void RecordLink::Release(const StreamManagerProperty& record) {
    if (record.doa != 0)
        factory_.DeleteDoa(record.doa);
}

void RecordLink::OnDoaIdle(int doa_id, int dev_id, int service_id) {
    StreamManager* manager = manager_.load();
    StreamManagerProperty entry;
    if (!manager || !manager->Find(service_id, entry) || entry.doa != doa_id) {
        factory_.DeleteDoa(doa_id);
        return;
    }
    if (manager->DetachRecording(service_id, doa_id)) {
        // The live relay goes on; only the recording is detached.
        factory_.DeleteDoa(doa_id);
        KS_LOGI("[Service:%d] Recording ended, the live stream goes on", service_id);
        return;
    }
    if (manager->Take(service_id, &entry)) {
        {
            MutexGuard guard(mutex_);
            configs_.erase(service_id);
        }
        ks_stop_push_stream_param_s stop{};
        stop.service_id = service_id;
        stop.stream_cmd_type = KS_STREAM_CMD_LIVE;
        DeviceEnv::Get()->Dispatch()->StopPushStreamingAsync(dev_id, &stop);
        KS_LOGI("[Service:%d] Recording ended, its stream stops", service_id);
    }
}

}  // namespace kestrel

// The flat entry points: each checks its input, logs, and hands the call to
// one of the SDK's services.
#include <kestrel/ks_api.h>

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/async_process.h"
#include "core/logger.h"
#include "core/single.h"
#include "net/net_connector.h"
#include "sdk/device_auth.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/device_monitor.h"
#include "sdk/message_service.h"
#include "sdk/picture/intelligent_alarm.h"
#include "sdk/picture/picture_session.h"
#include "sdk/picture/picture_store.h"
#include "sdk/records/rpc_session.h"
#include "sdk/sdk_version.h"
#include "sdk/storage/file_transform.h"
#include "sdk/storage/kiv_ca.h"
#include "sdk/storage/kiv_identify.h"
#include "sdk/streaming/stream_check.h"
#include "sdk/streaming/stream_session.h"

using namespace kestrel;

namespace {

constexpr int kFeaturePreRecord = 10000;

// Every call but ks_init/ks_destroy runs inside the gate: it enters only while the
// SDK is initialised, and ks_destroy closes the gate and waits until the calls
// inside have left before it deletes the services they use. A call that comes
// after the close gets the "not initialised" answer. Calls made from inside a
// call (an application callback run on the caller's thread) are counted per
// thread so a ks_destroy made there does not wait for itself.
//
// The gate is one word: kGateOpen while the SDK is initialised, plus the
// number of calls inside. A call enters only by raising the count of an open
// gate, in one compare-and-swap; a refused call never touches the count, so
// callers that keep coming cannot hold a closing ks_destroy off. While the
// gate is open a call takes no lock: the mutex only pairs the leaves after a
// close with ks_destroy's wait, so no wake-up is lost.
constexpr int kGateOpen = 1 << 30;
std::atomic<int> g_gate{0};
std::mutex g_gate_mu;
std::condition_variable g_gate_left;
thread_local int t_inside = 0;
// ks_init and ks_destroy one at a time.
std::recursive_mutex g_life_mu;
// The sink ks_init installed for the application; ks_destroy takes it out again.
std::atomic<LoggerFn> g_app_sink{nullptr};

bool GateOpen() {
    return (g_gate.load() & kGateOpen) != 0;
}

bool EnterGate() {
    int v = g_gate.load();
    do {
        if (!(v & kGateOpen))
            return false;
    } while (!g_gate.compare_exchange_weak(v, v + 1));
    ++t_inside;
    return true;
}

// A call leaves. One that leaves an open gate tells no one: a close after it
// finds the count already lowered. Once the gate is closed, ks_destroy hears
// of every leave (a destroy made inside a callback waits for a count that is
// not zero).
void LeaveGate() {
    --t_inside;
    int now = g_gate.fetch_sub(1) - 1;
    assert((now & ~kGateOpen) >= 0);
    if (!(now & kGateOpen)) {
        { std::lock_guard<std::mutex> lock(g_gate_mu); }
        g_gate_left.notify_all();
    }
}

// Holds the gate for one call; ok() is false when the SDK is not initialised (logged).
class ApiCall {
  public:
    explicit ApiCall(const char* api) : entered_(EnterGate()) {
        if (!entered_)
            KS_LOGE("[API:%s] SDK is not init yet", api);
    }
    ~ApiCall() {
        if (entered_)
            LeaveGate();
    }
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;
    bool ok() const { return entered_; }

  private:
    const bool entered_;
};

// Closes the gate and waits for the calls of other threads to leave.
void CloseGate() {
    g_gate.fetch_and(~kGateOpen);
    std::unique_lock<std::mutex> lock(g_gate_mu);
    g_gate_left.wait(lock, [] { return (g_gate.load() & ~kGateOpen) <= t_inside; });
}

// Inside the gate and given what it needs; logs why not.
bool Ready(const ApiCall& call, const char* api, bool input_ok) {
    if (!call.ok())
        return false;
    if (!input_ok) {
        KS_LOGE("[API:%s] Illegal input", api);
        return false;
    }
    return true;
}

// A text is used only when both pointer and length are set; it is cut to that
// length or at its first NUL. It is not padded out to the length: a caller
// that passes its buffer size must still match "StartVod", and a huge length
// must not turn into a huge allocation.
std::string TakeText(const char* p, uint32_t len) {
    if (!p || len == 0)
        return std::string();
    return std::string(p, strnlen(p, len));
}

}  // namespace

int ks_init(const ks_init_config_s* config, const ks_init_callback_s* callbacks,
            const ks_init_system_s* system) {
    static const char* api = "ks_init";
    std::lock_guard<std::recursive_mutex> life(g_life_mu);
    if (GateOpen()) {
        KS_LOGI("[API:%s] SDK is already init, do nothing", api);
        return 0;
    }
    // Checked before anything starts: a refused call leaves nothing running.
    if (!config || !callbacks || !system) {
        KS_LOGE("[API:%s] Illegal input", api);
        return -1;
    }
    DeviceEnv* env = DeviceEnv::Get();
    if (env->Start() < 0) {
        KS_LOGE("[API:%s] Start device env failed", api);
        return -1;
    }
    env->Auth()->DeviceType(config->device_type);
    if (config->log_dest == 2 && callbacks->logger_cb) {
        logger_set_user_define(callbacks->logger_cb);
        g_app_sink = callbacks->logger_cb;
    }
    if (config->log_dest == 1)
        logger_set_level(config->log_level);

    KS_LOGI("Build version: %s", kSdkVersion);
    KS_LOGI("Build date:    %s", kSdkBuildDate);
    for (const char* id : kSdkBuildIds)
        KS_LOGI("Build id:      %s", id);

    if (env->Dispatch()->Init(config, callbacks, system) < 0) {
        KS_LOGE("[API:%s] start config service failed", api);
        ks_destroy();
        return -1;
    }
    env->Store()->SetAbility(config->picture_store_size_max);
    env->PictureProcess()->SetParallel(config->process_parallel);
    Single<MessageService>::Instance()->RegisterPublish(callbacks->message_publish_cb);
    env->Identify()->Init();
    Single<PictureSession>::Instance()->Init();
    StreamSession* streams = Single<StreamSession>::Instance();
    streams->SetVodSupport(config->vod_solo_max, config->vod_all_max);
    streams->Init();
    Single<RpcSession>::Instance()->Init();
    Single<FileTransformService>::Instance()->Init(false, false);
    Single<IntelligentAlarmEventSession>::Instance();
    StreamCheck* check = Single<StreamCheck>::Instance();
    check->FunctionClose(config->stream_check_on == 0);
    if (config->stream_auto_save_on) {
        // The record's array need not hold a terminating NUL.
        const char* raw = config->stream_auto_save_path;
        std::string path(raw, strnlen(raw, sizeof(config->stream_auto_save_path)));
        if (check->OpenSavePath(path) < 0) {
            KS_LOGE("[API:%s] Stream auto save path is not correct, path = %s", api, path.c_str());
            ks_destroy();
            return -1;
        }
    }

    Single<DeviceMonitor>::Instance()->SetReportSupportPreRecord(env->Dispatch()->FeatureCheck() ==
                                                                 kFeaturePreRecord);
    g_gate.fetch_or(kGateOpen);
    KS_LOGI("[API:%s] Init success", api);
    return 0;
}

int ks_destroy(void) {
    std::lock_guard<std::recursive_mutex> life(g_life_mu);
    CloseGate();
    // Sessions go first, so the closes of their relays find nothing to stop.
    if (StreamSession* streams = Single<StreamSession>::Peek())
        streams->Destroy();
    if (DeviceEnv* env = Single<DeviceEnv>::Peek())
        env->Stop();
    Single<StreamSession>::Destroy();
    Single<RelayServiceFactory>::Destroy();
    if (DeviceMonitor* monitor = Single<DeviceMonitor>::Peek())
        monitor->ReportVersionInfoStop();
    // Waiting requests name pictures by their index in the store that goes
    // with the environment; a later URL must not find another's picture.
    if (PictureSession* pictures = Single<PictureSession>::Peek())
        pictures->Clear();
    Single<IntelligentAlarmEventSession>::Destroy();
    Single<FileTransformService>::Destroy();
    Single<RpcSession>::Destroy();
    Single<StreamCheck>::Destroy();
    Single<MessageService>::Destroy();
    Single<DeviceEnv>::Destroy();
    Single<DeviceMonitor>::Destroy();
    KS_LOGI("[API:%s] Destroy success", "ks_destroy");
    // The application's sink may go away with its ks_init; ours stays valid. A sink
    // installed since by someone else stays.
    if (LoggerFn mine = g_app_sink.exchange(nullptr)) {
        LoggerFn expected = mine;
        g_logger_cb.compare_exchange_strong(expected, &logger_printf);
    }
    return 0;
}

int ks_set_max_sockets(uint32_t max_sockets) {
    // Under the life lock, so a ks_init on another thread has either not yet
    // started the connector or has, and then the connector refuses (logged).
    std::lock_guard<std::recursive_mutex> life(g_life_mu);
    return NetConnector::SetMaxSockets(max_sockets) < 0 ? -1 : 0;
}

int ks_message_adapter(const ks_device_auth_s* auth, const ks_message_adapter_param_s* param) {
    static const char* api = "ks_message_adapter";
    ApiCall call(api);
    if (!Ready(call, api, auth && param))
        return -1;
    DeviceEnv* env = DeviceEnv::Get();
    DeviceAuthService* auths = env->Auth();
    int dev_id =
        auths->GetDevId(auth->product_key, auth->device_name, auth->device_secret, auth->dev_id);
    if (dev_id < 0) {
        KS_LOGE("[API:%s] Device auth error", api);
        return -1;
    }
    if (param->type == KS_MESSAGE_ADAPTER_TYPE_CONNECTED) {
        if (auths->IsLogin(dev_id))
            return 0;
        auths->Login(dev_id);
        DeviceMonitor* monitor = Single<DeviceMonitor>::Instance();
        if (auths->IsMain(dev_id)) {
            monitor->ReportVersionInfo(dev_id);
            Single<IntelligentAlarmEventSession>::Instance()->Init();
        }
        if (auths->IsIpc(dev_id)) {
            if (auths->IsMain(dev_id)) {
                monitor->ReportProperty(dev_id);
            } else {
                monitor->ReportPropertyAsync(dev_id);
            }
        }
        return 0;
    }
    if (!auths->IsLogin(dev_id)) {
        KS_LOGE("[API:%s] KS_MESSAGE_ADAPTER_TYPE_CONNECTED is not set yet, dev_id = %d", api,
                dev_id);
        return -1;
    }
    std::string msg_id = TakeText(param->msg_id, param->msg_id_len);
    std::string service = TakeText(param->service, param->service_len);
    std::string payload = TakeText(param->payload, param->payload_len);
    MessageService* messages = Single<MessageService>::Instance();
    switch (param->type) {
        case KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE:
            return messages->AdapterService(dev_id, msg_id, service, payload);
        case KS_MESSAGE_ADAPTER_TYPE_KESTREL:
            return messages->AdapterKestrel(dev_id, service, payload);
        default:
            KS_LOGE("[API:%s] Not recognize adapter type: %d", api, static_cast<int>(param->type));
            return -1;
    }
}

int ks_stream_send_config(int service_id, const ks_stream_send_config_param_s* param) {
    static const char* api = "ks_stream_send_config";
    ApiCall call(api);
    if (!call.ok())
        return -1;
    if (!param || !param->video || !param->audio) {
        KS_LOGE("[API:%s] Invalid parameter(s)", api);
        return -1;
    }
    KS_LOGI("[API:%s] [service_id:%d] Video param %d %d %d, audio param %d %d %d %d", api,
            service_id, param->video->format, param->video->fps, param->video->key_frame_interval,
            param->audio->format, param->audio->sample_rate, param->audio->bits_per_sample,
            param->audio->channel);
    if (StreamCheck* check = Single<StreamCheck>::Peek()) {
        StreamCheckUnitInfo info;
        info.format = param->video->format;
        info.fps = param->video->fps;
        info.key_frame_interval = param->video->key_frame_interval;
        check->SetFrameInfo(service_id, info);
    }
    return Single<StreamSession>::Instance()->DispatchSendConfig(service_id, param->bitrate_kbps,
                                                                 param->video, param->audio);
}

int ks_stream_send_media(int service_id, const ks_stream_send_media_param_s* param) {
    static const char* api = "ks_stream_send_media";
    ApiCall call(api);
    if (!call.ok())
        return -1;
    if (!param || !param->p) {
        KS_LOGE("[API:%s] Invalid param, null pointer", api);
        return -1;
    }
    if (param->type == 0) {
        KS_LOGV("[API:%s] Send video, service_id:%d, key_frame:%d, len:%d, timestamp:%u", api,
                service_id, param->key_frame, param->len, param->timestamp);
    } else if (param->type == 1) {
        KS_LOGV("[API:%s] Send audio, service_id:%d, len:%d, timestamp:%u", api, service_id,
                param->len, param->timestamp);
    } else {
        // Called per frame: an unknown type fails without flooding the log.
        return -1;
    }
    // One lookup: the stream's route takes the frame to its checks, its relay
    // and its recording.
    StreamSession* streams = Single<StreamSession>::Instance();
    if (param->type == 0)
        return streams->DispatchSendVideo(service_id, param->video_format, param->p, param->len,
                                          param->key_frame, param->timestamp);
    return streams->DispatchSendAudio(service_id, param->p, param->len, param->timestamp);
}

int ks_stream_send_cmd(int service_id, ks_push_stream_cmd_s cmd) {
    static const char* api = "ks_stream_send_cmd";
    ApiCall call(api);
    if (!call.ok())
        return -1;
    KS_LOGI("[API:%s] [service_id:%d] send cmd:%d", api, service_id, static_cast<int>(cmd));
    return Single<StreamSession>::Instance()->DispatchCmd(service_id, cmd);
}

int ks_control(int type, ...) {
    static const char* api = "ks_control";
    ApiCall call(api);
    if (!call.ok())
        return -1;
    va_list ap;
    va_start(ap, type);
    int ret = 0;
    switch (type) {
        case KS_CONTROL_LOG_LEVEL:
            logger_set_level(va_arg(ap, int));
            break;
        case KS_CONTROL_STREAM_AUTO_CHECK:
            Single<StreamCheck>::Instance()->FunctionClose(va_arg(ap, int) == 0);
            break;
        case KS_CONTROL_STREAM_AUTO_SAVE: {
            int on = va_arg(ap, int);
            if (on == 0) {
                Single<StreamCheck>::Instance()->CloseSavePath();
                break;
            }
            const char* path = va_arg(ap, const char*);
            if (!path) {
                KS_LOGE("[API:%s] No save path", api);
                ret = -1;
                break;
            }
            ret = Single<StreamCheck>::Instance()->OpenSavePath(path);
            break;
        }
        case KS_CONTROL_STORAGE_TRUST_ANCHOR: {
            const char* pem = va_arg(ap, const char*);
            ret = KivCa::SetExtraAnchor(pem ? pem : "");
            break;
        }
        default:
            KS_LOGE("[API:%s] Type %d is not support", api, type);
            ret = -1;
            break;
    }
    va_end(ap);
    return ret;
}

int ks_post_trigger_picture(int service_id, const ks_picture_param_s* param) {
    static const char* api = "ks_post_trigger_picture";
    ApiCall call(api);
    if (!Ready(call, api, param))
        return -1;
    return Single<PictureSession>::Instance()->AddResponse(
        service_id, reinterpret_cast<const char*>(param->p), param->len);
}

namespace {

// Resolves the caller's identity; -1 (logged) when it is refused.
int ResolveDevice(const char* api, const ks_device_auth_s* auth) {
    int dev_id = DeviceEnv::Get()->Auth()->GetDevId(auth->product_key, auth->device_name,
                                                    auth->device_secret, auth->dev_id);
    if (dev_id < 0)
        KS_LOGE("[API:%s] Device auth error", api);
    return dev_id;
}

}  // namespace

int ks_post_alarm_image(const ks_device_auth_s* auth, const ks_alarm_image_param_s* param,
                        int* service_id) {
    static const char* api = "ks_post_alarm_image";
    ApiCall call(api);
    if (!Ready(call, api, auth && param))
        return -1;
    int dev_id = ResolveDevice(api, auth);
    if (dev_id < 0)
        return -1;
    bool with_extra = param->addition_string != nullptr;
    std::string extra = with_extra ? TakeText(param->addition_string, 1024) : std::string();
    return Single<PictureSession>::Instance()->AddPicture(
        dev_id, reinterpret_cast<const char*>(param->p), param->len, param->type, with_extra, extra,
        service_id);
}

int ks_post_intelligent_alarm(const ks_device_auth_s* auth,
                              const ks_intelligent_alarm_param_s* param, int* service_id) {
    static const char* api = "ks_post_intelligent_alarm";
    ApiCall call(api);
    if (!Ready(call, api, auth && param))
        return -1;
    int dev_id = ResolveDevice(api, auth);
    if (dev_id < 0)
        return -1;
    IntelligentAlarmEventPropertyPart part;
    part.alarm_type = param->type;
    uint32_t len = param->addition_string_len < 2048 ? param->addition_string_len : 2048;
    part.data = TakeText(param->addition_string, len);
    return Single<IntelligentAlarmEventSession>::Instance()->AddSingleData(
        dev_id, 0, reinterpret_cast<const char*>(param->p), param->len, {part}, service_id);
}

int ks_post_intelligent_alarm_gateway(int dev_id, const unsigned char* p, unsigned len,
                                      unsigned count,
                                      const ks_intelligent_alarm_gateway_item_s* items,
                                      int* service_id) {
    static const char* api = "ks_post_intelligent_alarm_gateway";
    ApiCall call(api);
    if (!call.ok())
        return -1;
    if (dev_id < 0 || !items) {
        KS_LOGE("[API:%s] Device auth error", api);
        return -1;
    }
    // One event list per picture; a count beyond reason is a caller's bug,
    // not something to walk off the end of its array for.
    if (count == 0 || count > IntelligentAlarmEventSession::kGatewayParts) {
        KS_LOGE("[API:%s] Illegal input, count = %u (1..%d)", api, count,
                static_cast<int>(IntelligentAlarmEventSession::kGatewayParts));
        return -1;
    }
    auto text = [](const char* s) { return s ? std::string(s, strnlen(s, 2048)) : std::string(); };
    std::vector<IntelligentAlarmEventPropertyPart> parts(count);
    for (unsigned i = 0; i < count; ++i) {
        parts[i].alarm_type = items[i].type;
        parts[i].data = text(items[i].data);
        parts[i].product_key = text(items[i].product_key);
        parts[i].device_name = text(items[i].device_name);
        parts[i].algorithm = text(items[i].algorithm);
    }
    return Single<IntelligentAlarmEventSession>::Instance()->AddSingleData(
        dev_id, 1, reinterpret_cast<const char*>(p), len, parts, service_id);
}

int ks_post_query_record(int service_id, const ks_query_record_response_param_s* param) {
    static const char* api = "ks_post_query_record";
    ApiCall call(api);
    if (!Ready(call, api, param))
        return -1;
    return Single<RpcSession>::Instance()->QueryRecordResponse(service_id, param);
}

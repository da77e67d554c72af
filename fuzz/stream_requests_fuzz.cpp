// The stream session's cloud requests and the playback relay's server
// notifications on any input. Byte 0 picks the target: "StartPushStreaming",
// "StartVodByTime", "StartVod", the record topic (payload = the rest), or a
// playback relay's notification (byte 1 the code, the rest its text or
// double). The network engine is stopped after start-up, so a request that
// parses gets as far as making its relay and no connection leaves the
// process.
#include <kestrel/ks_api.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/single.h"
#include "net/net_connector.h"
#include "sdk/device_env.h"
#include "sdk/device_monitor.h"
#include "sdk/message_service.h"
#include "sdk/streaming/relay_service.h"
#include "sdk/streaming/stream_session.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s*) {
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
void OnPublish(const kestrel::MessageService::MessagePublishParam*) {}

char g_pk[] = "pk";
char g_dn[] = "dn";
char g_ds[] = "c2VjcmV0LWtleS0xMjM0";
ks_device_auth_s g_auth;

bool BringUp() {
    ks_init_config_s cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.log_level = 2;
    cfg.log_dest = 1;
    cfg.vod_solo_max = 2;
    cfg.vod_all_max = 2;
    cfg.process_parallel = 1;
    ks_init_callback_s cb;
    memset(&cb, 0, sizeof(cb));
    cb.message_publish_cb = OnPublish;
    cb.start_push_streaming_cb = OnStart;
    cb.stop_push_streaming_cb = OnStop;
    cb.on_push_streaming_cmd_cb = OnCmd;
    cb.on_push_streaming_data_cb = OnData;
    cb.query_storage_record_cb = OnQuery;
    cb.trigger_picture_cb = OnPicture;
    cb.feature_check_cb = OnFeature;
    ks_init_system_s sys;
    memset(&sys, 0, sizeof(sys));
    Check(ks_init(&cfg, &cb, &sys) == 0);
    kestrel::Single<kestrel::DeviceMonitor>::Instance()->ReportVersionInfoStop();
    g_auth.dev_id = 0;
    g_auth.product_key = g_pk;
    g_auth.device_name = g_dn;
    g_auth.device_secret = g_ds;
    ks_message_adapter_param_s connect;
    memset(&connect, 0, sizeof(connect));
    connect.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    Check(ks_message_adapter(&g_auth, &connect) == 0);
    kestrel::NetConnector::Stop();
    return true;
}

void Notify(const uint8_t* data, size_t size) {
    static kestrel::RelayServiceVod* relay = [] {
        auto* r = new kestrel::RelayServiceVod();
        r->SetDeviceInfo(nullptr, 0, 1, "s", "[fuzz]");
        r->SetBuffer(1000);
        return r;
    }();
    auto code = static_cast<kestrel::rtmp_client_notify_t>(data[0] % 12);
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    double value = 0;
    if (size - 1 >= sizeof value)
        memcpy(&value, data + 1, sizeof value);
    bool numeric = code == kestrel::RTMP_NOTIFY_PAUSE || code == kestrel::RTMP_NOTIFY_UNPAUSE ||
                   code == kestrel::RTMP_NOTIFY_SEEK;
    relay->OnNotify(code, numeric ? static_cast<void*>(&value) : static_cast<void*>(&text[0]));
    unsigned char frame[16] = {0};
    relay->AddVideoFrame(0, (data[0] & 0x80) != 0, frame, sizeof frame, value > 0 ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool up = BringUp();
    (void)up;
    static const char* const kServices[] = {"StartPushStreaming", "StartVodByTime", "StartVod",
                                            "/vision/biz/record/downstream"};
    if (size < 2)
        return 0;
    unsigned pick = data[0] % 5;
    if (pick == 4) {
        Notify(data + 1, size - 1);
        return 0;
    }
    // The handlers are called the way the task thread calls them, without
    // the queue in between: nothing else runs while the fuzzer does.
    std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);
    kestrel::StreamSession* session = kestrel::Single<kestrel::StreamSession>::Instance();
    if (pick == 3)
        kestrel::StreamSession::OnRecordDownstream(session, 0, kServices[pick], payload);
    else
        kestrel::StreamSession::onMessageDispatch(session, 0, kServices[pick], payload, "1");
    return 0;
}

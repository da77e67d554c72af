// ks_message_adapter with any texts and lengths. The SDK is brought up once
// with one connected camera; each input gives the type, the three lengths and
// the three texts (NUL-terminated heap copies that may hold NULs of their
// own, with lengths that may exceed them). The handlers read what they get.
#include <kestrel/ks_api.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/single.h"
#include "net/task_queue.h"
#include "sdk/device_env.h"
#include "sdk/device_monitor.h"
#include "sdk/message_service.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

volatile unsigned g_sink;

void Touch(const std::string& s) {
    for (char c : s)
        g_sink += static_cast<unsigned char>(c);
}

void OnService(void*, int, const std::string& service, const std::string& payload,
               const std::string& msg_id) {
    Touch(service);
    Touch(payload);
    Touch(msg_id);
}

void OnKestrel(void*, int, const std::string& topic, const std::string& payload) {
    Touch(topic);
    Touch(payload);
}

void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    Touch(p->topic);
    Touch(p->message);
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

char g_pk[] = "pk";
char g_dn[] = "dn";
char g_ds[] = "ds";
ks_device_auth_s g_auth;

// Quiet (log level 2) so the log does not cost most of the run.
bool BringUp() {
    ks_init_config_s cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.log_level = 2;
    cfg.log_dest = 1;
    cfg.vod_solo_max = 1;
    cfg.vod_all_max = 1;
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
    auto* messages = kestrel::Single<kestrel::MessageService>::Instance();
    for (const char* name : {"StartVod", "S", ""}) {
        messages->RegisterServiceHandler(name, OnService, nullptr);
        messages->RegisterKestrelHandler(name, OnKestrel, nullptr);
    }
    g_auth.dev_id = 0;
    g_auth.product_key = g_pk;
    g_auth.device_name = g_dn;
    g_auth.device_secret = g_ds;
    // No periodic version report: the task queue must run empty between runs.
    kestrel::Single<kestrel::DeviceMonitor>::Instance()->ReportVersionInfoStop();
    ks_message_adapter_param_s connect;
    memset(&connect, 0, sizeof(connect));
    connect.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    Check(ks_message_adapter(&g_auth, &connect) == 0);
    return true;
}

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The messages are handled on the task thread; letting them pile up would
// only measure memory.
void Drain() {
    kestrel::TaskQueue* tasks = kestrel::DeviceEnv::Get()->Task();
    while (tasks->GetTaskCount() > 0)
        usleep(100);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool up = BringUp();
    (void)up;
    static unsigned calls = 0;
    if (size < 13)
        return 0;
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof(p));
    // Any int: unknown types must be refused, not acted on.
    p.type = static_cast<ks_message_adapter_type_e>(static_cast<int8_t>(data[0]) % 4);
    // The three texts are separated by 0xFF in the rest of the input.
    std::vector<std::vector<char>> texts(3);
    size_t t = 0;
    for (size_t i = 13; i < size; ++i) {
        if (data[i] == 0xFF && t < 2) {
            ++t;
            continue;
        }
        texts[t].push_back(static_cast<char>(data[i]));
    }
    for (auto& text : texts)
        text.push_back('\0');
    const uint32_t lens[3] = {U32(data + 1), U32(data + 5), U32(data + 9)};
    // A length beyond its text is only safe while the text holds a NUL
    // within it; each copy ends in one.
    p.msg_id = texts[0].data();
    p.msg_id_len = lens[0];
    p.service = texts[1].data();
    p.service_len = lens[1];
    p.payload = texts[2].data();
    p.payload_len = lens[2];
    int rc = ks_message_adapter(&g_auth, &p);
    Check(rc == 0 || rc == -1);
    if (++calls % 64 == 0)
        Drain();
    return 0;
}

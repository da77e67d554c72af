// Downstream messages of the device model: one topic of the subscription
// table (its '+' levels filled from the input) or a raw topic, and a body.
// Each message is parsed, queued and dispatched to callbacks that read every
// byte they are given; every reply the library sends back must be JSON.
//
// Input: byte 0 picks the table entry, byte 1 bit 0 asks for a raw topic.
// Then one line: the raw topic, or the ','-separated texts for the '+'
// levels. The rest is the body.
#include <cjson/cJSON.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// The handler, the table and the queue are internal to this file.
#include "services/dm_msg.cpp"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

volatile unsigned g_sink;

void Touch(const char* p, int len) {
    Check(len >= 0);
    for (int i = 0; i < len; ++i)
        g_sink += static_cast<unsigned char>(p[i]);
}

char* Answer() {
    char* r = static_cast<char*>(malloc(3));
    memcpy(r, "{}", 3);
    return r;
}

int OnConnect() {
    return 0;
}
int OnRaw(const int, const unsigned char* p, const int len) {
    Touch(reinterpret_cast<const char*>(p), len);
    return 0;
}
int OnService(const int, const char* id, const int id_len, const char* sid, const int sid_len,
              const char* req, const int req_len, char** resp, int* resp_len) {
    Touch(id, id_len);
    Touch(sid, sid_len);
    Touch(req, req_len);
    *resp = Answer();
    *resp_len = 2;
    return 0;
}
int OnPropertySet(const int, const char* req, const int len) {
    Touch(req, len);
    return 0;
}
int OnReportReply(const int, const int, const int, const char* reply, const int len) {
    Touch(reply, len);
    return 0;
}
int OnEventReply(const int, const int, const int, const char* ev, const int ev_len, const char* msg,
                 const int msg_len) {
    Touch(ev, ev_len);
    Touch(msg, msg_len);
    return 0;
}
int OnTime(const char* t) {
    Touch(t, static_cast<int>(strlen(t)));
    return 0;
}
int OnPermit(const char* pk, const int) {
    Touch(pk, static_cast<int>(strlen(pk)));
    return 0;
}
int OnFota(const int, const char* v) {
    Touch(v, static_cast<int>(strlen(v)));
    return 0;
}
int OnCota(const int, const char* id, const int, const char* get_type, const char* sign,
           const char* method, const char* url) {
    for (const char* t : {id, get_type, sign, method, url})
        Touch(t, static_cast<int>(strlen(t)));
    return 0;
}
int OnPropertyGet(const int, const char* req, const int len, char** resp, int* resp_len) {
    Touch(req, len);
    *resp = Answer();
    *resp_len = 2;
    return 0;
}
// Refuses every set with a reason that must come back escaped in the reply.
int OnPropertySetEx(const int, const char* req, const int len, char** msg, int* msg_len) {
    Touch(req, len);
    *msg = static_cast<char*>(malloc(4));
    memcpy(*msg, "\"\\\n", 3);
    *msg_len = 3;
    return -1;
}
int OnKestrel(const int, const char* sid, const int sid_len, const char* p, const int len) {
    Touch(sid, sid_len);
    Touch(p, len);
    return 0;
}
int OnCloudError(const char* t, const int t_len, const char* p, const int len) {
    Touch(t, t_len);
    Touch(p, len);
    return 0;
}

}  // namespace

// --- what the rest of the library would provide ---------------------------------

void LITE_syslog(const char*, const char*, const int, const int, const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
}

int nexo_cm_pub(int, const nexo_cm_pub_opt_t*, const char*, const char* payload, uint32_t len) {
    cJSON* root = cJSON_ParseWithLength(payload, len);
    Check(root != nullptr);
    Check(cJSON_IsString(cJSON_GetObjectItemCaseSensitive(root, "id")));
    cJSON_Delete(root);
    return 0;
}

int nexo_cm_sub(int, const nexo_cm_sub_opt_t*, const char*, tether_mqtt_msg_handler_fpt, void*) {
    return 0;
}
int dm_cm_handle() {
    return 0;
}
nexo_sdk_ctx_t nexo_ctx_get() {
    return nexo_sdk_ctx_t();
}
int dm_find_devid(const std::string& pk, const std::string& dn) {
    return pk == "pk" && dn == "dn" ? 0 : -1;
}
bool dm_get_device(int devid, dm_device_t* out) {
    if (devid != 0)
        return false;
    out->devid = 0;
    out->pk = "pk";
    out->dn = "dn";
    return true;
}
int dm_next_msgid() {
    return 1;
}
void dm_wake_yield() {}
void* HAL_SemaphoreCreate() {
    return nullptr;
}
void HAL_SemaphoreDestroy(void*) {}
void HAL_SemaphorePost(void*) {}
int HAL_SemaphoreWait(void*, uint32_t) {
    return -1;
}
void HAL_Free(void* p) {
    free(p);
}
// The download side keeps what an announcement says; here it only has to
// read it (the same reading as the library's).
bool dm_ota_fota_announced(int, const std::string& data_json, std::string* version) {
    cJSON* d = cJSON_ParseWithLength(data_json.data(), data_json.size());
    *version = JsonText(cJSON_GetObjectItemCaseSensitive(d, "version"));
    cJSON_Delete(d);
    return !version->empty();
}
bool dm_ota_cota_announced(int, const std::string& data_json) {
    cJSON* d = cJSON_ParseWithLength(data_json.data(), data_json.size());
    bool ok = cJSON_IsObject(d);
    cJSON_Delete(d);
    return ok;
}

void* dm_cb_get(int slot) {
    switch (slot) {
        case ITE_CONNECT_SUCC:
        case ITE_CONNECT_FAIL:
        case ITE_DISCONNECTED:
            return reinterpret_cast<void*>(OnConnect);
        case ITE_RAWDATA_ARRIVED:
            return reinterpret_cast<void*>(OnRaw);
        case ITE_SERVICE_REQUST:
            return reinterpret_cast<void*>(OnService);
        case ITE_PROPERTY_SET:
        case ITE_EVENT_NOTIFY:
            return reinterpret_cast<void*>(OnPropertySet);
        case ITE_REPORT_REPLY:
        case ITE_TOPOLIST_REPLY:
            return reinterpret_cast<void*>(OnReportReply);
        case ITE_TRIGGER_EVENT_REPLY:
            return reinterpret_cast<void*>(OnEventReply);
        case ITE_TIMESTAMP_REPLY:
            return reinterpret_cast<void*>(OnTime);
        case ITE_PERMIT_JOIN:
            return reinterpret_cast<void*>(OnPermit);
        case ITE_FOTA:
            return reinterpret_cast<void*>(OnFota);
        case ITE_COTA:
            return reinterpret_cast<void*>(OnCota);
        case ITE_PROPERTY_GET:
            return reinterpret_cast<void*>(OnPropertyGet);
        case DM_SLOT_PROPERTY_SET_EX:
            return reinterpret_cast<void*>(OnPropertySetEx);
        case ITE_KESTREL:
            return reinterpret_cast<void*>(OnKestrel);
        case ITE_CLOUD_ERROR:
            return reinterpret_cast<void*>(OnCloudError);
        default:
            return nullptr;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t n_ota = sizeof(kOtaEntries) / sizeof(kOtaEntries[0]);
    const size_t pick = data[0] % (DM_TOPIC_TABLE_SIZE + n_ota);
    const TopicEntry* e =
        pick < DM_TOPIC_TABLE_SIZE ? &kTable[pick] : &kOtaEntries[pick - DM_TOPIC_TABLE_SIZE];
    const bool raw = data[1] & 1;
    std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    size_t nl = rest.find('\n');
    std::string line = nl == std::string::npos ? rest : rest.substr(0, nl);
    std::string body = nl == std::string::npos ? std::string() : rest.substr(nl + 1);

    std::string topic;
    if (raw) {
        topic = line;
    } else {
        std::string pattern = Fmt(e->prefix, "pk", "dn") + e->suffix;
        size_t from = 0;
        for (char c : pattern) {
            if (c != '+') {
                topic += c;
                continue;
            }
            size_t comma = line.find(',', from);
            topic +=
                line.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
            from = comma == std::string::npos ? line.size() : comma + 1;
        }
    }
    if (topic.size() > 0xffff)
        return 0;

    // The client hands over its own buffers: exact-size heap copies let ASan
    // see a read past either end.
    std::vector<char> t(topic.begin(), topic.end());
    std::vector<char> b(body.begin(), body.end());
    tether_mqtt_topic_info_t info{};
    info.topic_len = static_cast<uint16_t>(t.size());
    info.ptopic = t.data();
    info.payload_len = static_cast<uint32_t>(b.size());
    info.payload = b.empty() ? nullptr : b.data();
    tether_mqtt_event_msg_t ev{TETHER_MQTT_EVENT_PUBLISH_RECEIVED, &info};
    OnMessage(const_cast<TopicEntry*>(e), nullptr, &ev);

    dm_msg_t m;
    while (dm_queue_pop(&m))
        dm_dispatch(m);
    return 0;
}

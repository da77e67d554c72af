// Downstream: topic table, parsing, queueing, dispatch and replies.
// Upstream: request envelopes.
#include <cjson/cJSON.h>

#include <cassert>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>

#include "infra/conn_mgr.h"
#include "infra/mqtt_client.h"
#include "infra/sdk_ctx.h"
#include "services/dm_internal.h"

#define MOD "dm"

namespace {

// What arrived on one subscribed topic, parsed as far as its entry asks.
struct Inbound {
    std::string topic;
    std::string body;
    std::vector<std::string> levels;
    cJSON* root = nullptr;  // for entries that take JSON
    dm_msg_t msg;           // devid, topic and (for JSON) id filled in
};

// How an entry's payload is read before its handler runs.
enum Parse {
    P_NONE,     // raw bytes
    P_REQUEST,  // a platform request: "id", "version", "params", "method"
    P_JSON,     // any JSON
};

using InboundHandler = void (*)(Inbound& in);

constexpr int kMaskAll = 7;
constexpr int kMaskGateway = 4;

struct TopicEntry {
    const char* suffix;
    const char* prefix;  // printf form with product key and device name
    int mask;
    Parse parse;
    InboundHandler handle;
};

void OnRawData(Inbound& in);
void OnReportReply(Inbound& in);
void OnPropertySet(Inbound& in);
void OnPropertyGet(Inbound& in);
void OnService(Inbound& in);
void OnKestrel(Inbound& in);
void OnPostReply(Inbound& in);
void OnRrpc(Inbound& in);
void OnNtp(Inbound& in);
void OnCloudError(Inbound& in);
void OnEventNotify(Inbound& in);
void OnGatewayNotify(Inbound& in);
void OnPermitJoin(Inbound& in);
void OnSubReply(Inbound& in);
void OnTopoGetReply(Inbound& in);
void OnFota(Inbound& in);
void OnCotaPush(Inbound& in);
void OnCotaReply(Inbound& in);

const char* const kSys = "/sys/%s/%s/";

const TopicEntry kTable[DM_TOPIC_TABLE_SIZE] = {
    {"thing/model/down_raw", kSys, kMaskAll, P_NONE, OnRawData},
    {"thing/model/up_raw_reply", kSys, kMaskAll, P_JSON, OnReportReply},
    {"thing/service/property/set", kSys, kMaskAll, P_REQUEST, OnPropertySet},
    {"thing/service/+", kSys, kMaskAll, P_REQUEST, OnService},
    {"vision/+/+/+/downstream", kSys, kMaskAll, P_NONE, OnKestrel},
    {"vision/+/+/+/invoke", kSys, kMaskAll, P_NONE, OnKestrel},
    {"vision/+/+/downstream", kSys, kMaskAll, P_NONE, OnKestrel},
    {"vision/+/+/invoke", kSys, kMaskAll, P_NONE, OnKestrel},
    {"thing/event/+/post_reply", kSys, kMaskAll, P_JSON, OnPostReply},
    {"thing/deviceinfo/update_reply", kSys, kMaskAll, P_JSON, OnReportReply},
    {"thing/deviceinfo/delete_reply", kSys, kMaskAll, P_JSON, OnReportReply},
    {"thing/dynamicTsl/get_reply", kSys, kMaskAll, P_JSON, OnReportReply},
    {"rrpc/request/+", kSys, kMaskAll, P_REQUEST, OnRrpc},
    {"response", "/ext/ntp/%s/%s/", kMaskAll, P_JSON, OnNtp},
    {"", "/ext/error/%s/%s", kMaskAll, P_NONE, OnCloudError},
    {"_thing/event/notify", kSys, kMaskAll, P_REQUEST, OnEventNotify},
    {"thing/topo/add/notify", kSys, kMaskGateway, P_JSON, OnGatewayNotify},
    {"thing/gateway/permit", kSys, kMaskGateway, P_JSON, OnPermitJoin},
    {"thing/sub/register_reply", kSys, kMaskGateway, P_JSON, OnSubReply},
    {"thing/sub/unregister_reply", kSys, kMaskGateway, P_JSON, OnSubReply},
    {"thing/topo/add_reply", kSys, kMaskGateway, P_JSON, OnSubReply},
    {"thing/topo/delete_reply", kSys, kMaskGateway, P_JSON, OnSubReply},
    {"thing/topo/get_reply", kSys, kMaskGateway, P_JSON, OnTopoGetReply},
    {"thing/list/found_reply", kSys, kMaskGateway, P_JSON, OnSubReply},
    {"combine/login_reply", "/ext/session/%s/%s/", kMaskGateway, P_JSON, OnSubReply},
    {"combine/logout_reply", "/ext/session/%s/%s/", kMaskGateway, P_JSON, OnSubReply},
    {"thing/disable", kSys, kMaskGateway, P_JSON, OnGatewayNotify},
    {"thing/enable", kSys, kMaskGateway, P_JSON, OnGatewayNotify},
    {"thing/delete", kSys, kMaskGateway, P_JSON, OnGatewayNotify},
};
// Firmware and configuration announcements sit outside the table.
const TopicEntry kOtaEntries[] = {
    {"", "/ota/device/upgrade/%s/%s", kMaskAll, P_JSON, OnFota},
    {"thing/config/push", kSys, kMaskAll, P_REQUEST, OnCotaPush},
    {"thing/config/get_reply", kSys, kMaskAll, P_JSON, OnCotaReply},
    // "thing/service/+" takes one level only, so the two-level property get
    // needs its own subscription.
    {"thing/service/property/get", kSys, kMaskAll, P_REQUEST, OnPropertyGet},
};

std::mutex g_queue_mutex;
std::deque<dm_msg_t> g_queue;

struct SyncWait {
    int msgid;
    void* sem;
    int code;
    bool done;
};
std::mutex g_wait_mutex;
std::list<SyncWait*> g_waits;

std::string Fmt(const char* prefix, const std::string& pk, const std::string& dn) {
    char buf[160];
    snprintf(buf, sizeof(buf), prefix, pk.c_str(), dn.c_str());
    return buf;
}

// Splits "/a/b/c" into {"a","b","c"}.
std::vector<std::string> Levels(const std::string& t) {
    std::vector<std::string> out;
    size_t i = 1;
    while (i <= t.size()) {
        size_t j = t.find('/', i);
        if (j == std::string::npos)
            j = t.size();
        out.push_back(t.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string JsonText(const cJSON* item) {
    if (item == nullptr)
        return "";
    if (cJSON_IsString(item))
        return item->valuestring;
    char* p = cJSON_PrintUnformatted(item);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

int JsonInt(const cJSON* item, int dflt) {
    if (cJSON_IsNumber(item))
        return item->valueint;
    if (cJSON_IsString(item))
        return atoi(item->valuestring);
    return dflt;
}

void Enqueue(dm_msg_t&& m) {
    if (!dm_queue_push(std::move(m)))
        return;
}

// Parses a platform request ("id", "version", "params", "method" required).
cJSON* ParseRequest(const std::string& topic, const std::string& body) {
    cJSON* root = cJSON_ParseWithLength(body.data(), body.size());
    if (root == nullptr || !cJSON_IsObject(root) || !cJSON_GetObjectItemCaseSensitive(root, "id") ||
        !cJSON_GetObjectItemCaseSensitive(root, "params") ||
        !cJSON_GetObjectItemCaseSensitive(root, "method") ||
        !cJSON_GetObjectItemCaseSensitive(root, "version")) {
        log_err(MOD, "Wrong JSON Format, URI: %s, Payload: %zu bytes", topic.c_str(),
                body.size());
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

// One short function a topic kind: each fills the message its payload makes
// and queues it for the dispatch thread (or answers at once).

void EnqueueWith(Inbound& in, dm_msg_kind_t kind, std::string payload) {
    in.msg.kind = kind;
    in.msg.payload = std::move(payload);
    Enqueue(std::move(in.msg));
}

std::string Member(const Inbound& in, const char* name) {
    return JsonText(cJSON_GetObjectItemCaseSensitive(in.root, name));
}

int MemberInt(const Inbound& in, const char* name) {
    return JsonInt(cJSON_GetObjectItemCaseSensitive(in.root, name), 0);
}

void OnRawData(Inbound& in) {
    EnqueueWith(in, DM_MSG_RAW_DATA, in.body);
}

void OnCloudError(Inbound& in) {
    EnqueueWith(in, DM_MSG_CLOUD_ERROR, in.body);
}

void OnKestrel(Inbound& in) {
    // Service id: the topic from its fourth '/' on ("/vision/...").
    size_t pos = 0;
    for (int i = 0; i < 4 && pos != std::string::npos; ++i)
        pos = in.topic.find('/', pos + (i ? 1 : 0));
    if (pos == std::string::npos)
        return;
    in.msg.serviceid = in.topic.substr(pos);
    EnqueueWith(in, DM_MSG_KESTREL, in.body);
}

void OnPropertySet(Inbound& in) {
    EnqueueWith(in, DM_MSG_PROPERTY_SET, Member(in, "params"));
}

void OnPropertyGet(Inbound& in) {
    EnqueueWith(in, DM_MSG_PROPERTY_GET, Member(in, "params"));
}

void OnService(Inbound& in) {
    if (in.levels.size() != 6)
        return;
    in.msg.serviceid = in.levels.back();
    EnqueueWith(in, DM_MSG_SERVICE_REQUEST, Member(in, "params"));
}

void OnRrpc(Inbound& in) {
    in.msg.rrpcid = in.levels.back();
    std::string method = Member(in, "method");
    const char* pre = "thing.service.";
    in.msg.serviceid =
        method.compare(0, strlen(pre), pre) == 0 ? method.substr(strlen(pre)) : method;
    EnqueueWith(in, DM_MSG_RRPC_REQUEST, Member(in, "params"));
}

void OnEventNotify(Inbound& in) {
    EnqueueWith(in, DM_MSG_EVENT_NOTIFY, Member(in, "params"));
}

void OnNtp(Inbound& in) {
    std::string utc = Member(in, "utc");
    if (utc.empty())
        utc = Member(in, "serverSendTime");
    if (utc.empty()) {
        log_err(MOD, "time reply without time on %s (%zu bytes)", in.topic.c_str(),
                in.body.size());
        return;
    }
    EnqueueWith(in, DM_MSG_TIME_REPLY, utc);
}

void OnPostReply(Inbound& in) {
    // "/sys/pk/dn/thing/event/<event>/post_reply"
    std::string ev_id = in.levels.size() >= 6 ? in.levels[in.levels.size() - 2] : "";
    in.msg.code = MemberInt(in, "code");
    if (ev_id == "property") {
        EnqueueWith(in, DM_MSG_REPORT_REPLY, Member(in, "data"));
        return;
    }
    in.msg.serviceid = ev_id;
    EnqueueWith(in, DM_MSG_EVENT_REPLY, Member(in, "message"));
}

void OnReportReply(Inbound& in) {
    in.msg.code = MemberInt(in, "code");
    EnqueueWith(in, DM_MSG_REPORT_REPLY, Member(in, "data"));
}

void OnSubReply(Inbound& in) {
    if (!dm_wait_complete(atoi(in.msg.id.c_str()), MemberInt(in, "code"))) {
        log_info(MOD, "reply %s on %s with nobody waiting", in.msg.id.c_str(), in.topic.c_str());
    }
}

void OnTopoGetReply(Inbound& in) {
    in.msg.code = MemberInt(in, "code");
    EnqueueWith(in, DM_MSG_TOPO_LIST_REPLY, Member(in, "data"));
}

void OnPermitJoin(Inbound& in) {
    EnqueueWith(in, DM_MSG_PERMIT_JOIN, Member(in, "params"));
}

void OnGatewayNotify(Inbound& in) {
    log_info(MOD, "gateway notice on %s", in.topic.c_str());
}

void OnFota(Inbound& in) {
    std::string ver;
    dm_ota_fota_announced(in.msg.devid, Member(in, "data"), &ver);
    if (ver.empty()) {
        log_err(MOD, "firmware notice without version");
        return;
    }
    EnqueueWith(in, DM_MSG_FOTA, ver);
}

void CotaAnnounced(Inbound& in, const std::string& data) {
    if (dm_ota_cota_announced(in.msg.devid, data))
        EnqueueWith(in, DM_MSG_COTA, data);
}

// A push carries the announcement in "params" and is acknowledged; the reply
// to our own request carries it in "data".
void OnCotaPush(Inbound& in) {
    std::string data = Member(in, "params");
    dm_send_reply(in.topic + "_reply", in.msg.id, 200, "{}");
    CotaAnnounced(in, data);
}

void OnCotaReply(Inbound& in) {
    CotaAnnounced(in, Member(in, "data"));
}

// The device a topic names: "/sys/pk/dn/...", "/ext/<kind>/pk/dn/...",
// "/ota/device/upgrade/pk/dn"; -1 when it is not one of ours.
int TopicDevice(const std::string& topic, const std::vector<std::string>& lv) {
    size_t at = !lv.empty() && lv[0] == "sys" ? 1 : (!lv.empty() && lv[0] == "ota" ? 3 : 2);
    if (lv.size() < at + 2) {
        log_err(MOD, "unexpected topic %s", topic.c_str());
        return -1;
    }
    int devid = dm_find_devid(lv[at], lv[at + 1]);
    if (devid < 0) {
        log_err(MOD, "Device Not Found, Product Key: %s, Device Name: %s", lv[at].c_str(),
                lv[at + 1].c_str());
    }
    return devid;
}

// The payload is not logged: requests carry keys and signed addresses.
cJSON* ParseFor(const TopicEntry& e, const std::string& topic, const std::string& body) {
    if (e.parse == P_REQUEST)
        return ParseRequest(topic, body);
    cJSON* root = cJSON_ParseWithLength(body.data(), body.size());
    if (root == nullptr) {
        log_err(MOD, "Wrong JSON Format, URI: %s, Payload: %zu bytes", topic.c_str(),
                body.size());
    }
    return root;
}

void OnMessage(void* ctx, void* client, tether_mqtt_event_msg_t* ev) {
    (void)client;
    if (ev == nullptr || ev->event_type != TETHER_MQTT_EVENT_PUBLISH_RECEIVED)
        return;
    const TopicEntry* e = static_cast<const TopicEntry*>(ctx);
    const tether_mqtt_topic_info_t* info = static_cast<const tether_mqtt_topic_info_t*>(ev->msg);
    Inbound in;
    in.topic.assign(info->ptopic, info->topic_len);
    in.body.assign(info->payload ? info->payload : "", info->payload_len);
    in.levels = Levels(in.topic);
    in.msg.devid = TopicDevice(in.topic, in.levels);
    if (in.msg.devid < 0)
        return;
    in.msg.topic = in.topic;
    if (e->parse != P_NONE) {
        in.root = ParseFor(*e, in.topic, in.body);
        if (in.root == nullptr)
            return;
        in.msg.id = Member(in, "id");
    }
    e->handle(in);
    cJSON_Delete(in.root);
}

std::string FreeResponse(char* resp, int len) {
    std::string s = (resp && len > 0) ? std::string(resp, static_cast<size_t>(len)) : "";
    if (resp)
        HAL_Free(resp);
    return s;
}

std::string SysPrefix(int devid) {
    dm_device_t d;
    if (!dm_get_device(devid, &d))
        return "";
    return Fmt(kSys, d.pk, d.dn);
}

void DispatchCota(const dm_msg_t& m) {
    auto cb = reinterpret_cast<ite_cota_cb>(dm_cb_get(ITE_COTA));
    if (cb == nullptr)
        return;
    cJSON* d = cJSON_ParseWithLength(m.payload.data(), m.payload.size());
    std::string id = JsonText(cJSON_GetObjectItemCaseSensitive(d, "configId"));
    int size = JsonInt(cJSON_GetObjectItemCaseSensitive(d, "configSize"), 0);
    std::string get_type = JsonText(cJSON_GetObjectItemCaseSensitive(d, "getType"));
    std::string sign = JsonText(cJSON_GetObjectItemCaseSensitive(d, "sign"));
    std::string method = JsonText(cJSON_GetObjectItemCaseSensitive(d, "signMethod"));
    std::string url = JsonText(cJSON_GetObjectItemCaseSensitive(d, "url"));
    cJSON_Delete(d);
    cb(0, id.c_str(), size, get_type.c_str(), sign.c_str(), method.c_str(), url.c_str());
}

// The platform learns whether the set took effect: 200 only when the
// application applied it, else 400 with the application's reason.
void DispatchPropertySet(const dm_msg_t& m) {
    int rc = 0;
    std::string message;
    const int len = static_cast<int>(m.payload.size());
    if (auto ex = reinterpret_cast<ite_property_set_ex_cb>(dm_cb_get(DM_SLOT_PROPERTY_SET_EX))) {
        char* text = nullptr;
        int text_len = 0;
        rc = ex(m.devid, m.payload.c_str(), len, &text, &text_len);
        message = FreeResponse(text, text_len);
    } else if (auto cb = reinterpret_cast<ite_property_set_cb>(dm_cb_get(ITE_PROPERTY_SET))) {
        rc = cb(m.devid, m.payload.c_str(), len);
    } else {
        rc = -1;
        message = "property set not served by this device";
    }
    if (rc != 0) {
        if (message.empty())
            message = "property set not applied";
        log_err(MOD, "property set %s refused: %s", m.id.c_str(), message.c_str());
        dm_send_reply(m.topic + "_reply", m.id, 400, "{}", message);
        return;
    }
    dm_send_reply(m.topic + "_reply", m.id, 200, "{}");
}

}  // namespace

// --- queue -----------------------------------------------------------------------

bool dm_queue_push(dm_msg_t&& m) {
    {
        std::lock_guard<std::mutex> l(g_queue_mutex);
        if (g_queue.size() >= DM_MSG_QUEUE_MAX) {
            log_err(MOD, "dm msg list size: %zu, max size: %d", g_queue.size(), DM_MSG_QUEUE_MAX);
            return false;
        }
        g_queue.push_back(std::move(m));
    }
    dm_wake_yield();
    return true;
}

bool dm_queue_pop(dm_msg_t* out) {
    std::lock_guard<std::mutex> l(g_queue_mutex);
    if (g_queue.empty())
        return false;
    *out = std::move(g_queue.front());
    g_queue.pop_front();
    return true;
}

size_t dm_queue_size() {
    std::lock_guard<std::mutex> l(g_queue_mutex);
    return g_queue.size();
}

void dm_queue_clear() {
    std::lock_guard<std::mutex> l(g_queue_mutex);
    g_queue.clear();
}

// --- upstream -----------------------------------------------------------------------

int dm_publish(const std::string& topic, const char* payload, size_t len, int qos) {
    nexo_cm_pub_opt_t opt{qos};
    int rc = nexo_cm_pub(dm_cm_handle(), &opt, topic.c_str(), payload, static_cast<uint32_t>(len));
    if (rc < 0)
        log_err(MOD, "Publish Result: %d", rc);
    return rc;
}

namespace {

// The object's text (empty when building it failed); the object is freed.
std::string PrintAndDelete(cJSON* root, bool ok) {
    char* text = ok ? cJSON_PrintUnformatted(root) : nullptr;
    cJSON_Delete(root);
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

}  // namespace

std::string dm_envelope(int id, const std::string& params, const char* method) {
    cJSON* check = cJSON_ParseWithLength(params.data(), params.size());
    if (check == nullptr)
        return "";
    cJSON_Delete(check);
    cJSON* root = cJSON_CreateObject();
    bool ok = root != nullptr &&
              cJSON_AddStringToObject(root, "id", std::to_string(id).c_str()) != nullptr &&
              (method == nullptr || cJSON_AddStringToObject(root, "version", "1.0") != nullptr) &&
              cJSON_AddRawToObject(root, "params", params.c_str()) != nullptr &&
              (method == nullptr || cJSON_AddStringToObject(root, "method", method) != nullptr);
    return PrintAndDelete(root, ok);
}

std::string dm_string_object(std::initializer_list<std::pair<const char*, std::string>> members) {
    cJSON* root = cJSON_CreateObject();
    bool ok = root != nullptr;
    for (const auto& m : members)
        ok = ok && cJSON_AddStringToObject(root, m.first, m.second.c_str()) != nullptr;
    return PrintAndDelete(root, ok);
}

int dm_send_request(int devid, const std::string& suffix, const std::string& method,
                    const std::string& params, int qos) {
    std::string prefix = SysPrefix(devid);
    if (prefix.empty()) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    std::string uri = prefix + suffix;
    int id = dm_next_msgid();
    std::string body = dm_envelope(id, params, method.c_str());
    if (body.empty()) {
        log_err(MOD, "Wrong JSON Format, URI: %s, Payload: %zu bytes", uri.c_str(), params.size());
        return -1;
    }
    int rc = dm_publish(uri, body.data(), body.size(), qos);
    return rc < 0 ? rc : id;
}

int dm_send_reply(const std::string& topic, const std::string& id, int code,
                  const std::string& data, const std::string& message) {
    // The id is the platform's own text sent back: written as a JSON string,
    // so a quote or backslash in it can neither break the reply nor add
    // members to it.
    cJSON* id_item = cJSON_CreateString(id.c_str());
    char* id_json = id_item ? cJSON_PrintUnformatted(id_item) : nullptr;
    cJSON_Delete(id_item);
    if (id_json == nullptr) {
        log_err(MOD, "reply on %s not sent: out of memory", topic.c_str());
        return -1;
    }
    std::string quoted_id = id_json;
    cJSON_free(id_json);
    std::string quoted_message;
    if (!message.empty()) {
        cJSON* m = cJSON_CreateString(message.c_str());
        char* m_json = m ? cJSON_PrintUnformatted(m) : nullptr;
        cJSON_Delete(m);
        if (m_json == nullptr) {
            log_err(MOD, "reply on %s not sent: out of memory", topic.c_str());
            return -1;
        }
        quoted_message = ",\"message\":" + std::string(m_json);
        cJSON_free(m_json);
    }
    std::string body = "{\"id\":" + quoted_id + ",\"code\":" + std::to_string(code) +
                       ",\"data\":" + (data.empty() ? std::string("{}") : data) + quoted_message +
                       "}";
    return dm_publish(topic, body.data(), body.size(), 0);
}

int dm_subscribe_topics(int devid) {
    dm_device_t d;
    if (!dm_get_device(devid, &d))
        return -1;
    // The device itself serves as the gateway of its sub-devices.
    int type_bits = d.type == TETHER_DEV_TYPE_MASTER ? (kMaskAll | kMaskGateway) : 1;
    nexo_sdk_ctx_t ctx = nexo_ctx_get();
    nexo_cm_sub_opt_t opt{1, static_cast<int>(ctx.dm_sub_wait_ms)};
    int failed = 0;
    std::vector<const TopicEntry*> entries;
    for (const TopicEntry& e : kTable)
        entries.push_back(&e);
    for (const TopicEntry& e : kOtaEntries)
        entries.push_back(&e);
    for (const TopicEntry* e : entries) {
        if ((e->mask & type_bits) == 0)
            continue;
        if (e->handle == OnPostReply && !ctx.dm_post_reply_opt)
            continue;
        std::string topic = Fmt(e->prefix, d.pk, d.dn) + e->suffix;
        int rc = -1;
        for (int attempt = 0; attempt < 3 && rc < 0; ++attempt) {
            rc = nexo_cm_sub(dm_cm_handle(), &opt, topic.c_str(), OnMessage,
                             const_cast<TopicEntry*>(e));
        }
        if (rc < 0) {
            log_err(MOD, "subscribe %s failed three times, skipped", topic.c_str());
            failed++;
        }
    }
    log_info(MOD, "Devid %d Sub Completed", devid);
    return failed == 0 ? 0 : -1;
}

// --- events -------------------------------------------------------------------------

void dm_mqtt_event(void* ctx, void* client, tether_mqtt_event_msg_t* msg) {
    (void)ctx;
    (void)client;
    if (msg == nullptr)
        return;
    dm_msg_t m;
    switch (msg->event_type) {
        case TETHER_MQTT_EVENT_DISCONNECT:
            m.kind = DM_MSG_CLOUD_DISCONNECTED;
            Enqueue(std::move(m));
            break;
        case TETHER_MQTT_EVENT_RECONNECT:
            m.kind = DM_MSG_CLOUD_CONNECTED;
            Enqueue(std::move(m));
            break;
        case TETHER_MQTT_EVENT_PUBLISH_RECEIVED: {
            const tether_mqtt_topic_info_t* t =
                static_cast<const tether_mqtt_topic_info_t*>(msg->msg);
            log_info(MOD, "message on unsubscribed topic %.*s dropped", t->topic_len, t->ptopic);
            break;
        }
        default:
            break;
    }
}

void dm_cm_event(void* ctx, int handle, int event) {
    (void)ctx;
    (void)handle;
    // The connected event is queued by the device model once the device's
    // topics are subscribed: an application that acts on it at once (posts,
    // expects the platform's answers) must find every topic in place.
    if (event == NEXO_CM_EVENT_CONNECTED)
        return;
    dm_msg_t m;
    m.kind = DM_MSG_CLOUD_CONNECT_FAIL;
    Enqueue(std::move(m));
}

// --- dispatch (Yield thread) ------------------------------------------------------

namespace {

template <typename Fn>
Fn Callback(int which) {
    return reinterpret_cast<Fn>(dm_cb_get(which));
}

void CallConnected(const dm_msg_t&) {
    if (auto cb = Callback<ite_connect_succ_cb>(ITE_CONNECT_SUCC))
        cb();
}

void CallDisconnected(const dm_msg_t&) {
    if (auto cb = Callback<ite_disconnected_cb>(ITE_DISCONNECTED))
        cb();
}

void CallConnectFail(const dm_msg_t&) {
    if (auto cb = Callback<ite_connect_fail_cb>(ITE_CONNECT_FAIL))
        cb();
}

void CallMqttConnected(const dm_msg_t&) {
    if (auto cb = Callback<ite_mqtt_connect_succ_cb>(ITE_MQTT_CONNECT_SUCC))
        cb();
}

void CallInitDone(const dm_msg_t& m) {
    if (auto cb = Callback<ite_initialize_completed_cb>(ITE_INITIALIZE_COMPLETED))
        cb(m.devid);
}

// Answers a request with what the application returned; nothing when it
// returned nothing (it answers by itself then).
void AnswerRequest(const dm_msg_t& m, const std::string& topic, int rc, char* resp,
                   int resp_len) {
    std::string data = FreeResponse(resp, resp_len);
    if (!data.empty())
        dm_send_reply(topic, m.id, rc == 0 ? 200 : 400, data);
}

void CallPropertyGet(const dm_msg_t& m) {
    char* resp = nullptr;
    int resp_len = 0, rc = -1;
    if (auto cb = Callback<ite_property_get_cb>(ITE_PROPERTY_GET))
        rc = cb(m.devid, m.payload.c_str(), static_cast<int>(m.payload.size()), &resp, &resp_len);
    AnswerRequest(m, SysPrefix(m.devid) + "thing/service/property/get_reply", rc, resp, resp_len);
}

int CallServiceRequest(const dm_msg_t& m, const std::string& msgid, char** resp, int* resp_len) {
    auto cb = Callback<ite_service_request_cb>(ITE_SERVICE_REQUST);
    if (cb == nullptr)
        return -1;
    return cb(m.devid, msgid.c_str(), static_cast<int>(msgid.size()), m.serviceid.c_str(),
              static_cast<int>(m.serviceid.size()), m.payload.c_str(),
              static_cast<int>(m.payload.size()), resp, resp_len);
}

void CallService(const dm_msg_t& m) {
    char* resp = nullptr;
    int resp_len = 0;
    int rc = CallServiceRequest(m, m.id, &resp, &resp_len);
    AnswerRequest(m, SysPrefix(m.devid) + "thing/service/" + m.serviceid + "_reply", rc, resp,
                  resp_len);
}

void CallRrpc(const dm_msg_t& m) {
    char* resp = nullptr;
    int resp_len = 0;
    int rc = CallServiceRequest(m, m.rrpcid, &resp, &resp_len);
    AnswerRequest(m, SysPrefix(m.devid) + "rrpc/response/" + m.rrpcid, rc, resp, resp_len);
}

void CallKestrel(const dm_msg_t& m) {
    if (auto cb = Callback<ite_kestrel_cb>(ITE_KESTREL)) {
        cb(m.devid, m.serviceid.c_str(), static_cast<int>(m.serviceid.size()), m.payload.c_str(),
           static_cast<int>(m.payload.size()));
    }
}

void CallTimeReply(const dm_msg_t& m) {
    if (auto cb = Callback<ite_timestamp_reply_cb>(ITE_TIMESTAMP_REPLY))
        cb(m.payload.c_str());
}

void CallEventNotify(const dm_msg_t& m) {
    if (auto cb = Callback<ite_event_notify_cb>(ITE_EVENT_NOTIFY))
        cb(m.devid, m.payload.c_str(), static_cast<int>(m.payload.size()));
    dm_send_reply(m.topic + "_reply", m.id, 200, "{}");
}

void CallFota(const dm_msg_t& m) {
    if (auto cb = Callback<ite_fota_cb>(ITE_FOTA))
        cb(0, m.payload.c_str());
}

void CallOtaState(const dm_msg_t& m) {
    if (auto cb = Callback<ite_state_cb>(ITE_STATE_OTA))
        cb(m.code, m.payload.c_str());
}

void CallReportReply(const dm_msg_t& m) {
    if (auto cb = Callback<ite_report_reply_cb>(ITE_REPORT_REPLY)) {
        cb(m.devid, atoi(m.id.c_str()), m.code, m.payload.c_str(),
           static_cast<int>(m.payload.size()));
    }
}

void CallEventReply(const dm_msg_t& m) {
    if (auto cb = Callback<ite_trigger_event_reply_cb>(ITE_TRIGGER_EVENT_REPLY)) {
        cb(m.devid, atoi(m.id.c_str()), m.code, m.serviceid.c_str(),
           static_cast<int>(m.serviceid.size()), m.payload.c_str(),
           static_cast<int>(m.payload.size()));
    }
}

void CallTopoListReply(const dm_msg_t& m) {
    if (auto cb = Callback<ite_topolist_reply_cb>(ITE_TOPOLIST_REPLY)) {
        cb(m.devid, atoi(m.id.c_str()), m.code, m.payload.c_str(),
           static_cast<int>(m.payload.size()));
    }
}

void CallPermitJoin(const dm_msg_t& m) {
    auto cb = Callback<ite_permit_join_cb>(ITE_PERMIT_JOIN);
    if (cb == nullptr)
        return;
    cJSON* p = cJSON_Parse(m.payload.c_str());
    std::string pk = JsonText(cJSON_GetObjectItemCaseSensitive(p, "productKey"));
    int t = JsonInt(cJSON_GetObjectItemCaseSensitive(p, "time"), 0);
    cJSON_Delete(p);
    cb(pk.c_str(), t);
}

void CallCloudError(const dm_msg_t& m) {
    if (auto cb = Callback<ite_cloud_error_cb>(ITE_CLOUD_ERROR)) {
        cb(m.topic.c_str(), static_cast<int>(m.topic.size()), m.payload.c_str(),
           static_cast<int>(m.payload.size()));
    }
}

void CallRawData(const dm_msg_t& m) {
    if (auto cb = Callback<ite_rawdata_arrived_cb>(ITE_RAWDATA_ARRIVED)) {
        cb(m.devid, reinterpret_cast<const unsigned char*>(m.payload.data()),
           static_cast<int>(m.payload.size()));
    }
}

// Indexed by dm_msg_kind_t: what the dispatch thread does with each kind.
using DispatchFn = void (*)(const dm_msg_t&);
const DispatchFn kDispatch[] = {
    CallConnected,      // DM_MSG_CLOUD_CONNECTED
    CallDisconnected,   // DM_MSG_CLOUD_DISCONNECTED
    CallConnectFail,    // DM_MSG_CLOUD_CONNECT_FAIL
    CallInitDone,       // DM_MSG_INIT_DONE
    DispatchPropertySet,  // DM_MSG_PROPERTY_SET
    CallPropertyGet,    // DM_MSG_PROPERTY_GET
    CallService,        // DM_MSG_SERVICE_REQUEST
    CallRrpc,           // DM_MSG_RRPC_REQUEST
    CallKestrel,        // DM_MSG_KESTREL
    CallTimeReply,      // DM_MSG_TIME_REPLY
    CallEventNotify,    // DM_MSG_EVENT_NOTIFY
    CallFota,           // DM_MSG_FOTA
    CallReportReply,    // DM_MSG_REPORT_REPLY
    CallEventReply,     // DM_MSG_EVENT_REPLY
    CallCloudError,     // DM_MSG_CLOUD_ERROR
    CallRawData,        // DM_MSG_RAW_DATA
    CallTopoListReply,  // DM_MSG_TOPO_LIST_REPLY
    CallPermitJoin,     // DM_MSG_PERMIT_JOIN
    CallMqttConnected,  // DM_MSG_MQTT_CONNECT_SUCC
    DispatchCota,       // DM_MSG_COTA
    CallOtaState,       // DM_MSG_OTA_STATE
};
static_assert(sizeof(kDispatch) / sizeof(kDispatch[0]) == DM_MSG_OTA_STATE + 1,
              "one dispatch entry a message kind");

}  // namespace

void dm_dispatch(dm_msg_t& m) {
    // Kinds are made only by this library; one out of range is our own fault.
    assert(m.kind >= 0 && m.kind <= DM_MSG_OTA_STATE);
    kDispatch[m.kind](m);
}

// --- synchronous waits -----------------------------------------------------------

void* dm_wait_register(int msgid) {
    SyncWait* w = new SyncWait{msgid, HAL_SemaphoreCreate(), -1, false};
    if (w->sem == nullptr) {
        delete w;
        return nullptr;
    }
    std::lock_guard<std::mutex> l(g_wait_mutex);
    g_waits.push_back(w);
    return w;
}

int dm_wait_take(void* wait, uint32_t timeout_ms) {
    SyncWait* w = static_cast<SyncWait*>(wait);
    if (w == nullptr)
        return -1;
    int got = HAL_SemaphoreWait(w->sem, timeout_ms);
    int code = -1;
    {
        std::lock_guard<std::mutex> l(g_wait_mutex);
        g_waits.remove(w);
        if (got == 0 && w->done)
            code = w->code;
    }
    HAL_SemaphoreDestroy(w->sem);
    delete w;
    return code;
}

bool dm_wait_complete(int msgid, int code) {
    std::lock_guard<std::mutex> l(g_wait_mutex);
    for (SyncWait* w : g_waits) {
        if (w->msgid == msgid && !w->done) {
            w->code = code;
            w->done = true;
            HAL_SemaphorePost(w->sem);
            return true;
        }
    }
    return false;
}

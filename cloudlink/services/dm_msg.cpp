// Downstream: topic table, parsing, queueing, dispatch and replies.
// Upstream: request envelopes.
#include <cjson/cJSON.h>

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

enum Handling {
    H_RAW_DATA,
    H_RAW_REPLY,
    H_PROPERTY_SET,
    H_SERVICE,
    H_KESTREL,
    H_POST_REPLY,
    H_DEVINFO_REPLY,
    H_DYNTSL_REPLY,
    H_RRPC,
    H_NTP,
    H_CLOUD_ERROR,
    H_EVENT_NOTIFY,
    H_GATEWAY_NOTIFY,
    H_PERMIT_JOIN,
    H_SUB_REPLY,
    H_TOPO_GET_REPLY,
    H_FOTA,
    H_COTA_PUSH,
    H_COTA_REPLY,
    H_PROPERTY_GET,
};

constexpr int kMaskAll = 7;
constexpr int kMaskGateway = 4;

struct TopicEntry {
    const char* suffix;
    const char* prefix;  // printf form with product key and device name
    int mask;
    Handling handling;
};

const char* const kSys = "/sys/%s/%s/";

const TopicEntry kTable[DM_TOPIC_TABLE_SIZE] = {
    {"thing/model/down_raw", kSys, kMaskAll, H_RAW_DATA},
    {"thing/model/up_raw_reply", kSys, kMaskAll, H_RAW_REPLY},
    {"thing/service/property/set", kSys, kMaskAll, H_PROPERTY_SET},
    {"thing/service/+", kSys, kMaskAll, H_SERVICE},
    {"vision/+/+/+/downstream", kSys, kMaskAll, H_KESTREL},
    {"vision/+/+/+/invoke", kSys, kMaskAll, H_KESTREL},
    {"vision/+/+/downstream", kSys, kMaskAll, H_KESTREL},
    {"vision/+/+/invoke", kSys, kMaskAll, H_KESTREL},
    {"thing/event/+/post_reply", kSys, kMaskAll, H_POST_REPLY},
    {"thing/deviceinfo/update_reply", kSys, kMaskAll, H_DEVINFO_REPLY},
    {"thing/deviceinfo/delete_reply", kSys, kMaskAll, H_DEVINFO_REPLY},
    {"thing/dynamicTsl/get_reply", kSys, kMaskAll, H_DYNTSL_REPLY},
    {"rrpc/request/+", kSys, kMaskAll, H_RRPC},
    {"response", "/ext/ntp/%s/%s/", kMaskAll, H_NTP},
    {"", "/ext/error/%s/%s", kMaskAll, H_CLOUD_ERROR},
    {"_thing/event/notify", kSys, kMaskAll, H_EVENT_NOTIFY},
    {"thing/topo/add/notify", kSys, kMaskGateway, H_GATEWAY_NOTIFY},
    {"thing/gateway/permit", kSys, kMaskGateway, H_PERMIT_JOIN},
    {"thing/sub/register_reply", kSys, kMaskGateway, H_SUB_REPLY},
    {"thing/sub/unregister_reply", kSys, kMaskGateway, H_SUB_REPLY},
    {"thing/topo/add_reply", kSys, kMaskGateway, H_SUB_REPLY},
    {"thing/topo/delete_reply", kSys, kMaskGateway, H_SUB_REPLY},
    {"thing/topo/get_reply", kSys, kMaskGateway, H_TOPO_GET_REPLY},
    {"thing/list/found_reply", kSys, kMaskGateway, H_SUB_REPLY},
    {"combine/login_reply", "/ext/session/%s/%s/", kMaskGateway, H_SUB_REPLY},
    {"combine/logout_reply", "/ext/session/%s/%s/", kMaskGateway, H_SUB_REPLY},
    {"thing/disable", kSys, kMaskGateway, H_GATEWAY_NOTIFY},
    {"thing/enable", kSys, kMaskGateway, H_GATEWAY_NOTIFY},
    {"thing/delete", kSys, kMaskGateway, H_GATEWAY_NOTIFY},
};
// Firmware and configuration announcements sit outside the table.
const TopicEntry kOtaEntries[] = {
    {"", "/ota/device/upgrade/%s/%s", kMaskAll, H_FOTA},
    {"thing/config/push", kSys, kMaskAll, H_COTA_PUSH},
    {"thing/config/get_reply", kSys, kMaskAll, H_COTA_REPLY},
    // "thing/service/+" takes one level only, so the two-level property get
    // needs its own subscription.
    {"thing/service/property/get", kSys, kMaskAll, H_PROPERTY_GET},
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
        log_err(MOD, "Wrong JSON Format, URI: %s, Payload: %.*s", topic.c_str(),
                static_cast<int>(body.size() > 256 ? 256 : body.size()), body.c_str());
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

void OnMessage(void* ctx, void* client, tether_mqtt_event_msg_t* ev) {
    (void)client;
    if (ev == nullptr || ev->event_type != TETHER_MQTT_EVENT_PUBLISH_RECEIVED)
        return;
    const TopicEntry* e = static_cast<const TopicEntry*>(ctx);
    const tether_mqtt_topic_info_t* info = static_cast<const tether_mqtt_topic_info_t*>(ev->msg);
    std::string topic(info->ptopic, info->topic_len);
    std::string body(info->payload ? info->payload : "", info->payload_len);
    std::vector<std::string> lv = Levels(topic);
    // "/sys/pk/dn/...", "/ext/<kind>/pk/dn/...", "/ota/device/upgrade/pk/dn"
    size_t at = lv.size() > 0 && lv[0] == "sys" ? 1 : (lv.size() > 0 && lv[0] == "ota" ? 3 : 2);
    if (lv.size() < at + 2) {
        log_err(MOD, "unexpected topic %s", topic.c_str());
        return;
    }
    int devid = dm_find_devid(lv[at], lv[at + 1]);
    if (devid < 0) {
        log_err(MOD, "Device Not Found, Product Key: %s, Device Name: %s", lv[at].c_str(),
                lv[at + 1].c_str());
        return;
    }
    dm_msg_t m;
    m.devid = devid;
    m.topic = topic;
    switch (e->handling) {
        case H_KESTREL: {
            // Service id: the topic from its fourth '/' on ("/vision/...").
            size_t pos = 0;
            for (int i = 0; i < 4 && pos != std::string::npos; ++i)
                pos = topic.find('/', pos + (i ? 1 : 0));
            if (pos == std::string::npos)
                return;
            m.kind = DM_MSG_KESTREL;
            m.serviceid = topic.substr(pos);
            m.payload = body;
            Enqueue(std::move(m));
            return;
        }
        case H_RAW_DATA:
            m.kind = DM_MSG_RAW_DATA;
            m.payload = body;
            Enqueue(std::move(m));
            return;
        case H_CLOUD_ERROR:
            m.kind = DM_MSG_CLOUD_ERROR;
            m.payload = body;
            Enqueue(std::move(m));
            return;
        default:
            break;
    }
    cJSON* root = nullptr;
    if (e->handling == H_PROPERTY_SET || e->handling == H_SERVICE || e->handling == H_RRPC ||
        e->handling == H_EVENT_NOTIFY || e->handling == H_COTA_PUSH ||
        e->handling == H_PROPERTY_GET) {
        root = ParseRequest(topic, body);
    } else {
        root = cJSON_ParseWithLength(body.data(), body.size());
        if (root == nullptr) {
            log_err(MOD, "Wrong JSON Format, URI: %s, Payload: %.*s", topic.c_str(),
                    static_cast<int>(body.size() > 256 ? 256 : body.size()), body.c_str());
        }
    }
    if (root == nullptr)
        return;
    m.id = JsonText(cJSON_GetObjectItemCaseSensitive(root, "id"));
    cJSON* params = cJSON_GetObjectItemCaseSensitive(root, "params");
    switch (e->handling) {
        case H_PROPERTY_SET:
            m.kind = DM_MSG_PROPERTY_SET;
            m.payload = JsonText(params);
            Enqueue(std::move(m));
            break;
        case H_PROPERTY_GET:
            m.kind = DM_MSG_PROPERTY_GET;
            m.payload = JsonText(params);
            Enqueue(std::move(m));
            break;
        case H_SERVICE:
            m.serviceid = lv.back();
            if (lv.size() != 6)
                break;
            m.kind = DM_MSG_SERVICE_REQUEST;
            m.payload = JsonText(params);
            Enqueue(std::move(m));
            break;
        case H_RRPC: {
            m.kind = DM_MSG_RRPC_REQUEST;
            m.rrpcid = lv.back();
            std::string method = JsonText(cJSON_GetObjectItemCaseSensitive(root, "method"));
            const char* pre = "thing.service.";
            m.serviceid =
                method.compare(0, strlen(pre), pre) == 0 ? method.substr(strlen(pre)) : method;
            m.payload = JsonText(params);
            Enqueue(std::move(m));
            break;
        }
        case H_EVENT_NOTIFY:
            m.kind = DM_MSG_EVENT_NOTIFY;
            m.payload = JsonText(params);
            Enqueue(std::move(m));
            break;
        case H_NTP: {
            m.kind = DM_MSG_TIME_REPLY;
            cJSON* utc = cJSON_GetObjectItemCaseSensitive(root, "utc");
            if (utc == nullptr)
                utc = cJSON_GetObjectItemCaseSensitive(root, "serverSendTime");
            m.payload = JsonText(utc);
            if (m.payload.empty()) {
                log_err(MOD, "time reply without time: %s", body.c_str());
                break;
            }
            Enqueue(std::move(m));
            break;
        }
        case H_POST_REPLY: {
            // "/sys/pk/dn/thing/event/<event>/post_reply"
            std::string ev_id = lv.size() >= 6 ? lv[lv.size() - 2] : "";
            m.code = JsonInt(cJSON_GetObjectItemCaseSensitive(root, "code"), 0);
            m.payload = JsonText(cJSON_GetObjectItemCaseSensitive(root, "data"));
            if (ev_id == "property") {
                m.kind = DM_MSG_REPORT_REPLY;
            } else {
                m.kind = DM_MSG_EVENT_REPLY;
                m.serviceid = ev_id;
                m.payload = JsonText(cJSON_GetObjectItemCaseSensitive(root, "message"));
            }
            Enqueue(std::move(m));
            break;
        }
        case H_RAW_REPLY:
        case H_DEVINFO_REPLY:
        case H_DYNTSL_REPLY:
            m.kind = DM_MSG_REPORT_REPLY;
            m.code = JsonInt(cJSON_GetObjectItemCaseSensitive(root, "code"), 0);
            m.payload = JsonText(cJSON_GetObjectItemCaseSensitive(root, "data"));
            Enqueue(std::move(m));
            break;
        case H_SUB_REPLY: {
            int code = JsonInt(cJSON_GetObjectItemCaseSensitive(root, "code"), 0);
            if (!dm_wait_complete(atoi(m.id.c_str()), code)) {
                log_info(MOD, "reply %s on %s with nobody waiting", m.id.c_str(), topic.c_str());
            }
            break;
        }
        case H_TOPO_GET_REPLY:
            m.kind = DM_MSG_TOPO_LIST_REPLY;
            m.code = JsonInt(cJSON_GetObjectItemCaseSensitive(root, "code"), 0);
            m.payload = JsonText(cJSON_GetObjectItemCaseSensitive(root, "data"));
            Enqueue(std::move(m));
            break;
        case H_PERMIT_JOIN:
            m.kind = DM_MSG_PERMIT_JOIN;
            m.payload = JsonText(params);
            Enqueue(std::move(m));
            break;
        case H_GATEWAY_NOTIFY:
            log_info(MOD, "gateway notice on %s", topic.c_str());
            break;
        case H_FOTA: {
            std::string ver;
            dm_ota_fota_announced(devid, JsonText(cJSON_GetObjectItemCaseSensitive(root, "data")),
                                  &ver);
            if (ver.empty()) {
                log_err(MOD, "firmware notice without version");
                break;
            }
            m.kind = DM_MSG_FOTA;
            m.payload = ver;
            Enqueue(std::move(m));
            break;
        }
        case H_COTA_PUSH:
        case H_COTA_REPLY: {
            // A push carries the announcement in "params", the reply to our
            // own request in "data"; the push is acknowledged.
            std::string data = JsonText(cJSON_GetObjectItemCaseSensitive(
                root, e->handling == H_COTA_PUSH ? "params" : "data"));
            if (e->handling == H_COTA_PUSH)
                dm_send_reply(topic + "_reply", m.id, 200, "{}");
            if (!dm_ota_cota_announced(devid, data))
                break;
            m.kind = DM_MSG_COTA;
            m.payload = data;
            Enqueue(std::move(m));
            break;
        }
        default:
            break;
    }
    cJSON_Delete(root);
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

int dm_send_request(int devid, const std::string& suffix, const std::string& method,
                    const std::string& params, int qos) {
    std::string prefix = SysPrefix(devid);
    if (prefix.empty()) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    std::string uri = prefix + suffix;
    cJSON* check = cJSON_ParseWithLength(params.data(), params.size());
    if (check == nullptr) {
        log_err(MOD, "Wrong JSON Format, URI: %s, Payload: %s", uri.c_str(), params.c_str());
        return -1;
    }
    cJSON_Delete(check);
    int id = dm_next_msgid();
    std::string body = "{\"id\":\"" + std::to_string(id) +
                       "\",\"version\":\"1.0\",\"params\":" + params + ",\"method\":\"" + method +
                       "\"}";
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
        if (e->handling == H_POST_REPLY && !ctx.dm_post_reply_opt)
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

void dm_dispatch(dm_msg_t& m) {
    std::string prefix = SysPrefix(m.devid);
    switch (m.kind) {
        case DM_MSG_CLOUD_CONNECTED:
            if (auto cb = reinterpret_cast<ite_connect_succ_cb>(dm_cb_get(ITE_CONNECT_SUCC)))
                cb();
            break;
        case DM_MSG_CLOUD_DISCONNECTED:
            if (auto cb = reinterpret_cast<ite_disconnected_cb>(dm_cb_get(ITE_DISCONNECTED)))
                cb();
            break;
        case DM_MSG_CLOUD_CONNECT_FAIL:
            if (auto cb = reinterpret_cast<ite_connect_fail_cb>(dm_cb_get(ITE_CONNECT_FAIL)))
                cb();
            break;
        case DM_MSG_MQTT_CONNECT_SUCC:
            if (auto cb =
                    reinterpret_cast<ite_mqtt_connect_succ_cb>(dm_cb_get(ITE_MQTT_CONNECT_SUCC)))
                cb();
            break;
        case DM_MSG_INIT_DONE:
            if (auto cb = reinterpret_cast<ite_initialize_completed_cb>(
                    dm_cb_get(ITE_INITIALIZE_COMPLETED)))
                cb(m.devid);
            break;
        case DM_MSG_PROPERTY_SET:
            DispatchPropertySet(m);
            break;
        case DM_MSG_PROPERTY_GET:
        case DM_MSG_SERVICE_REQUEST:
        case DM_MSG_RRPC_REQUEST: {
            char* resp = nullptr;
            int resp_len = 0;
            int rc = -1;
            const std::string& msgid = m.kind == DM_MSG_RRPC_REQUEST ? m.rrpcid : m.id;
            if (m.kind == DM_MSG_PROPERTY_GET) {
                if (auto cb = reinterpret_cast<ite_property_get_cb>(dm_cb_get(ITE_PROPERTY_GET))) {
                    rc = cb(m.devid, m.payload.c_str(), static_cast<int>(m.payload.size()), &resp,
                            &resp_len);
                }
            } else if (auto cb = reinterpret_cast<ite_service_request_cb>(
                           dm_cb_get(ITE_SERVICE_REQUST))) {
                rc = cb(m.devid, msgid.c_str(), static_cast<int>(msgid.size()), m.serviceid.c_str(),
                        static_cast<int>(m.serviceid.size()), m.payload.c_str(),
                        static_cast<int>(m.payload.size()), &resp, &resp_len);
            }
            std::string data = FreeResponse(resp, resp_len);
            if (data.empty())
                break;  // the application answers by itself
            int code = rc == 0 ? 200 : 400;
            std::string topic;
            if (m.kind == DM_MSG_RRPC_REQUEST) {
                topic = prefix + "rrpc/response/" + m.rrpcid;
            } else if (m.kind == DM_MSG_PROPERTY_GET) {
                topic = prefix + "thing/service/property/get_reply";
            } else {
                topic = prefix + "thing/service/" + m.serviceid + "_reply";
            }
            dm_send_reply(topic, m.id, code, data);
            break;
        }
        case DM_MSG_KESTREL:
            if (auto cb = reinterpret_cast<ite_kestrel_cb>(dm_cb_get(ITE_KESTREL))) {
                cb(m.devid, m.serviceid.c_str(), static_cast<int>(m.serviceid.size()),
                   m.payload.c_str(), static_cast<int>(m.payload.size()));
            }
            break;
        case DM_MSG_TIME_REPLY:
            if (auto cb = reinterpret_cast<ite_timestamp_reply_cb>(dm_cb_get(ITE_TIMESTAMP_REPLY)))
                cb(m.payload.c_str());
            break;
        case DM_MSG_EVENT_NOTIFY:
            if (auto cb = reinterpret_cast<ite_event_notify_cb>(dm_cb_get(ITE_EVENT_NOTIFY))) {
                cb(m.devid, m.payload.c_str(), static_cast<int>(m.payload.size()));
            }
            dm_send_reply(m.topic + "_reply", m.id, 200, "{}");
            break;
        case DM_MSG_FOTA:
            if (auto cb = reinterpret_cast<ite_fota_cb>(dm_cb_get(ITE_FOTA)))
                cb(0, m.payload.c_str());
            break;
        case DM_MSG_COTA:
            DispatchCota(m);
            break;
        case DM_MSG_OTA_STATE:
            if (auto cb = reinterpret_cast<ite_state_cb>(dm_cb_get(ITE_STATE_OTA)))
                cb(m.code, m.payload.c_str());
            break;
        case DM_MSG_REPORT_REPLY:
            if (auto cb = reinterpret_cast<ite_report_reply_cb>(dm_cb_get(ITE_REPORT_REPLY))) {
                cb(m.devid, atoi(m.id.c_str()), m.code, m.payload.c_str(),
                   static_cast<int>(m.payload.size()));
            }
            break;
        case DM_MSG_EVENT_REPLY:
            if (auto cb = reinterpret_cast<ite_trigger_event_reply_cb>(
                    dm_cb_get(ITE_TRIGGER_EVENT_REPLY))) {
                cb(m.devid, atoi(m.id.c_str()), m.code, m.serviceid.c_str(),
                   static_cast<int>(m.serviceid.size()), m.payload.c_str(),
                   static_cast<int>(m.payload.size()));
            }
            break;
        case DM_MSG_TOPO_LIST_REPLY:
            if (auto cb = reinterpret_cast<ite_topolist_reply_cb>(dm_cb_get(ITE_TOPOLIST_REPLY))) {
                cb(m.devid, atoi(m.id.c_str()), m.code, m.payload.c_str(),
                   static_cast<int>(m.payload.size()));
            }
            break;
        case DM_MSG_PERMIT_JOIN:
            if (auto cb = reinterpret_cast<ite_permit_join_cb>(dm_cb_get(ITE_PERMIT_JOIN))) {
                cJSON* p = cJSON_Parse(m.payload.c_str());
                std::string pk = JsonText(cJSON_GetObjectItemCaseSensitive(p, "productKey"));
                int t = JsonInt(cJSON_GetObjectItemCaseSensitive(p, "time"), 0);
                cJSON_Delete(p);
                cb(pk.c_str(), t);
            }
            break;
        case DM_MSG_CLOUD_ERROR:
            if (auto cb = reinterpret_cast<ite_cloud_error_cb>(dm_cb_get(ITE_CLOUD_ERROR))) {
                cb(m.topic.c_str(), static_cast<int>(m.topic.size()), m.payload.c_str(),
                   static_cast<int>(m.payload.size()));
            }
            break;
        case DM_MSG_RAW_DATA:
            if (auto cb =
                    reinterpret_cast<ite_rawdata_arrived_cb>(dm_cb_get(ITE_RAWDATA_ARRIVED))) {
                cb(m.devid, reinterpret_cast<const unsigned char*>(m.payload.data()),
                   static_cast<int>(m.payload.size()));
            }
            break;
    }
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

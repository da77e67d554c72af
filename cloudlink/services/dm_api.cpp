// The device-link API: devices, event callbacks, IOT_Tether_*, IOT_Ioctl and
// the reports sent after each MQTT connection.
#include <mbedtls/md.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "infra/conn_mgr.h"
#include "infra/guider.h"
#include "infra/mqtt_client.h"
#include "infra/sdk_ctx.h"
#include "services/dm_internal.h"

#define MOD "dm"

namespace {

std::mutex g_api;    // serialises IOT_Tether_* calls
std::mutex g_state;  // devices and callbacks
std::vector<std::unique_ptr<dm_device_t>> g_devices;
bool g_master_open = false;
int g_next_slave_id = 1;
std::atomic<int> g_cm_handle{-1};
std::atomic<int> g_msgid{0};
// The public slots, then the library's own extra ones (DM_SLOT_*).
void* g_cbs[DM_SLOT_COUNT] = {nullptr};

std::mutex g_wake_mutex;
std::condition_variable g_wake;
std::atomic<uint32_t> g_wake_requests{0};  // IOT_Tether_Wake calls

int SetCb(int slot, void* fn) {
    std::lock_guard<std::mutex> l(g_state);
    g_cbs[slot] = fn;
    return 0;
}

dm_device_t* FindLocked(int devid) {
    for (auto& d : g_devices) {
        if (d->devid == devid)
            return d.get();
    }
    return nullptr;
}

size_t Bounded(const char* s, size_t cap) {
    return strnlen(s, cap);
}

bool CopyMeta(const tether_dev_meta_info_t* m, dm_device_t* d) {
    size_t pk = Bounded(m->product_key, sizeof(m->product_key));
    size_t dn = Bounded(m->device_name, sizeof(m->device_name));
    size_t ds = Bounded(m->device_secret, sizeof(m->device_secret));
    size_t ps = Bounded(m->product_secret, sizeof(m->product_secret));
    // A text filling its whole array has no terminator: refuse rather than
    // read past it or sign with a cut identity.
    if (pk == 0 || dn == 0 || pk == sizeof(m->product_key) || dn == sizeof(m->device_name) ||
        ds == sizeof(m->device_secret) || ps == sizeof(m->product_secret)) {
        return false;
    }
    d->pk.assign(m->product_key, pk);
    d->dn.assign(m->device_name, dn);
    d->ds.assign(m->device_secret, ds);
    d->ps.assign(m->product_secret, ps);
    return true;
}

std::string HmacSha1Hex(const std::string& key, const std::string& msg) {
    unsigned char out[20];
    const mbedtls_md_info_t* md = mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
    if (mbedtls_md_hmac(md, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                        reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), out) != 0) {
        return "";
    }
    static const char* k = "0123456789abcdef";
    std::string s;
    for (unsigned char b : out) {
        s += k[b >> 4];
        s += k[b & 15];
    }
    return s;
}

// Sign of a sub-device for topology add and login.
std::string SubSignParams(const dm_device_t& d, bool login) {
    std::string cid = d.pk + "." + d.dn;
    std::string sign = HmacSha1Hex(d.ds, "clientId" + cid + "deviceName" + d.dn + "productKey" +
                                             d.pk + "timestamp" NEXO_GUIDER_SIGN_TIMESTAMP);
    std::string s = "{\"productKey\":\"" + d.pk + "\",\"deviceName\":\"" + d.dn +
                    "\",\"clientId\":\"" + cid +
                    "\",\"timestamp\":\"" NEXO_GUIDER_SIGN_TIMESTAMP
                    "\",\"signmethod\":\"hmacsha1\",\"sign\":\"" +
                    sign + "\"";
    if (login)
        s += ",\"cleanSession\":\"true\"";
    return s + "}";
}

// Publishes a request on the master's connection and waits for its reply.
int RequestAndWait(int master, const std::string& suffix, const std::string& method,
                   const std::string& params, const std::string& session_topic) {
    nexo_sdk_ctx_t ctx = nexo_ctx_get();
    int id = dm_next_msgid();
    void* w = dm_wait_register(id);
    if (w == nullptr) {
        log_err(MOD, "Not Enough Memory");
        return -1;
    }
    std::string body = dm_envelope(id, params, method.c_str());
    if (body.empty()) {
        log_err(MOD, "%s: params are not JSON (%zu bytes)", method.c_str(), params.size());
        dm_wait_take(w, 0);
        return -1;
    }
    dm_device_t m;
    dm_get_device(master, &m);
    std::string topic = session_topic.empty()
                            ? "/sys/" + m.pk + "/" + m.dn + "/" + suffix
                            : "/ext/session/" + m.pk + "/" + m.dn + "/" + session_topic;
    if (dm_publish(topic, body.data(), body.size(), 0) < 0) {
        dm_wait_take(w, 0);
        return -1;
    }
    int code = dm_wait_take(w, ctx.dm_slave_reply_wait_ms);
    if (code != 200) {
        log_err(MOD, "%s: no positive reply (code %d)", method.c_str(), code);
        return -1;
    }
    return id;
}

int ConnectMaster() {
    nexo_sdk_ctx_t ctx = nexo_ctx_get();
    nexo_cm_init_param_t p{};
    p.protocol = NEXO_CM_PROTOCOL_MQTT;
    p.request_timeout_ms = ctx.dm_request_timeout_ms;
    p.keepalive_ms = ctx.dm_keepalive_ms;
    p.write_buf_size = 16384;
    p.read_buf_size = 16384;
    p.handle_event = {dm_mqtt_event, nullptr};
    p.cm_event = dm_cm_event;
    int h = g_cm_handle.load();
    if (h < 0) {
        h = nexo_cm_open(&p);
        if (h < 0) {
            log_err(MOD, "DM Start Failed");
            return -1;
        }
        g_cm_handle = h;
    }
    if (nexo_cm_connect(h, static_cast<int>(ctx.dm_connect_timeout_ms)) != 0) {
        log_err(MOD, "DM Start Failed");
        return -1;
    }
    if (dm_subscribe_topics(0) != 0)
        log_err(MOD, "DM Subscribe Failed");
    dm_msg_t m;
    m.kind = DM_MSG_INIT_DONE;
    m.devid = 0;
    log_debug(MOD, "{\"devid\":0}");
    dm_queue_push(std::move(m));
    dm_msg_t connected;
    connected.kind = DM_MSG_CLOUD_CONNECTED;
    dm_queue_push(std::move(connected));
    return 0;
}

int ConnectSlave(int devid) {
    if (!g_master_open || nexo_cm_get_client(g_cm_handle.load()) == nullptr) {
        log_err(MOD, "master isn't start");
        return -1;
    }
    dm_device_t d;
    if (!dm_get_device(devid, &d)) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    std::string reg = "[{\"productKey\":\"" + d.pk + "\",\"deviceName\":\"" + d.dn + "\"}]";
    if (RequestAndWait(0, "thing/sub/register", "thing.sub.register", reg, "") < 0)
        return -1;
    if (RequestAndWait(0, "thing/topo/add", "thing.topo.add", "[" + SubSignParams(d, false) + "]",
                       "") < 0) {
        return -1;
    }
    dm_subscribe_topics(devid);
    return 0;
}

}  // namespace

// --- shared with the message code --------------------------------------------------

void* dm_cb_get(int slot) {
    if (slot < 0 || slot >= DM_SLOT_COUNT)
        return nullptr;
    std::lock_guard<std::mutex> l(g_state);
    return g_cbs[slot];
}

int dm_find_devid(const std::string& pk, const std::string& dn) {
    std::lock_guard<std::mutex> l(g_state);
    for (auto& d : g_devices) {
        if (d->pk == pk && d->dn == dn)
            return d->devid;
    }
    return -1;
}

bool dm_get_device(int devid, dm_device_t* out) {
    std::lock_guard<std::mutex> l(g_state);
    dm_device_t* d = FindLocked(devid);
    if (d == nullptr)
        return false;
    *out = *d;
    return true;
}

int dm_next_msgid() {
    return g_msgid.fetch_add(1) + 1;
}
int dm_cm_handle() {
    return g_cm_handle.load();
}

void dm_wake_yield() {
    std::lock_guard<std::mutex> l(g_wake_mutex);
    g_wake.notify_all();
}

void nexo_dm_after_mqtt_construct(void* client) {
    char pk[HAL_PRODUCT_KEY_LEN + 1] = {0}, dn[HAL_DEVICE_NAME_LEN + 1] = {0},
                                  pid[HAL_PARTNER_ID_LEN + 1] = {0},
                                  mid[HAL_MODULE_ID_LEN + 1] = {0},
                                  ver[HAL_FIRMWARE_VERSION_LEN + 1] = {0};
    HAL_GetProductKey(pk);
    HAL_GetDeviceName(dn);
    HAL_GetPartnerID(pid);
    HAL_GetModuleID(mid);
    char topic[160];
    HAL_Snprintf(topic, sizeof(topic), "%s/sys/%s/%s/thing/status/update", "", pk, dn);
    std::string body = dm_envelope(
        dm_next_msgid(), dm_string_object({{"_sys_device_mid", mid}, {"_sys_device_pid", pid}}),
        nullptr);
    if (IOT_MQTT_Publish_Simple(client, topic, TETHER_MQTT_QOS1, &body[0],
                                static_cast<int>(body.size())) < 0) {
        log_err(MOD, "module/partner report failed");
    }
    if (HAL_GetFirmwareVersion(ver) <= 0) {
        log_err(MOD, "firmware version does not implement");
    } else {
        HAL_Snprintf(topic, sizeof(topic), "/ota/device/inform/%s/%s", pk, dn);
        body = dm_envelope(dm_next_msgid(), dm_string_object({{"version", ver}}), nullptr);
        if (IOT_MQTT_Publish_Simple(client, topic, TETHER_MQTT_QOS0, &body[0],
                                    static_cast<int>(body.size())) < 0) {
            log_err(MOD, "firmware version report failed");
        }
    }
    dm_msg_t m;
    m.kind = DM_MSG_MQTT_CONNECT_SUCC;
    dm_queue_push(std::move(m));
}

// --- registration ---------------------------------------------------------------------

#define TETHER_REGISTER(name, type)                      \
    int nexo_register_for_##name(type cb) {              \
        return SetCb(name, reinterpret_cast<void*>(cb)); \
    }
TETHER_REGISTER(ITE_WIFI_SETUP_STATUS, ite_wifi_setup_status_cb)
TETHER_REGISTER(ITE_CONNECT_SUCC, ite_connect_succ_cb)
TETHER_REGISTER(ITE_CONNECT_FAIL, ite_connect_fail_cb)
TETHER_REGISTER(ITE_DISCONNECTED, ite_disconnected_cb)
TETHER_REGISTER(ITE_RAWDATA_ARRIVED, ite_rawdata_arrived_cb)
TETHER_REGISTER(ITE_SERVICE_REQUST, ite_service_request_cb)
TETHER_REGISTER(ITE_PROPERTY_SET, ite_property_set_cb)
TETHER_REGISTER(ITE_PROPERTY_GET, ite_property_get_cb)
TETHER_REGISTER(ITE_REPORT_REPLY, ite_report_reply_cb)
TETHER_REGISTER(ITE_TRIGGER_EVENT_REPLY, ite_trigger_event_reply_cb)
TETHER_REGISTER(ITE_TIMESTAMP_REPLY, ite_timestamp_reply_cb)
TETHER_REGISTER(ITE_TOPOLIST_REPLY, ite_topolist_reply_cb)
TETHER_REGISTER(ITE_PERMIT_JOIN, ite_permit_join_cb)
TETHER_REGISTER(ITE_INITIALIZE_COMPLETED, ite_initialize_completed_cb)
TETHER_REGISTER(ITE_FOTA, ite_fota_cb)
TETHER_REGISTER(ITE_COTA, ite_cota_cb)
TETHER_REGISTER(ITE_MQTT_CONNECT_SUCC, ite_mqtt_connect_succ_cb)
TETHER_REGISTER(ITE_KESTREL, ite_kestrel_cb)
TETHER_REGISTER(ITE_CLOUD_ERROR, ite_cloud_error_cb)
TETHER_REGISTER(ITE_STATE_EVERYTHING, ite_state_cb)
TETHER_REGISTER(ITE_STATE_USER_INPUT, ite_state_cb)
TETHER_REGISTER(ITE_STATE_SYS_DEPEND, ite_state_cb)
TETHER_REGISTER(ITE_STATE_MQTT_COMM, ite_state_cb)
TETHER_REGISTER(ITE_STATE_WIFI_PROV, ite_state_cb)
TETHER_REGISTER(ITE_STATE_COAP_LOCAL, ite_state_cb)
TETHER_REGISTER(ITE_STATE_HTTP_COMM, ite_state_cb)
TETHER_REGISTER(ITE_STATE_OTA, ite_state_cb)
TETHER_REGISTER(ITE_STATE_DEV_BIND, ite_state_cb)
TETHER_REGISTER(ITE_STATE_SUB_DEVICE, ite_state_cb)
TETHER_REGISTER(ITE_STATE_DEV_MODEL, ite_state_cb)
TETHER_REGISTER(ITE_EVENT_NOTIFY, ite_event_notify_cb)

int nexo_register_for_ITE_PROPERTY_SET_EX(ite_property_set_ex_cb cb) {
    return SetCb(DM_SLOT_PROPERTY_SET_EX, reinterpret_cast<void*>(cb));
}
#undef TETHER_REGISTER

// --- API ---------------------------------------------------------------------------------

int IOT_Tether_Open(int dev_type, void* meta_info) {
    std::lock_guard<std::mutex> api(g_api);
    HAL_Printf("[QX-CRT] ");
    HAL_Printf("SDK Version:%s", TETHER_SDK_VERSION);
    HAL_Printf("\r\n");
    if (dev_type < 0 || dev_type >= 2 || meta_info == nullptr) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    auto d = std::make_unique<dm_device_t>();
    if (!CopyMeta(static_cast<const tether_dev_meta_info_t*>(meta_info), d.get())) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    if (dev_type == TETHER_DEV_TYPE_MASTER) {
        {
            std::lock_guard<std::mutex> l(g_state);
            if (g_master_open) {
                log_err(MOD, "master already open");
                return -1;
            }
        }
        if (HAL_SetProductKey(d->pk.c_str()) < 0 || HAL_SetDeviceName(d->dn.c_str()) < 0 ||
            HAL_SetDeviceSecret(d->ds.c_str()) < 0 || HAL_SetProductSecret(d->ps.c_str()) < 0) {
            log_err(MOD, "Invalid Parameter");
            return -1;
        }
        d->devid = 0;
        d->type = TETHER_DEV_TYPE_MASTER;
        std::lock_guard<std::mutex> l(g_state);
        g_devices.push_back(std::move(d));
        g_master_open = true;
        return 0;
    }
    std::lock_guard<std::mutex> l(g_state);
    if (!g_master_open) {
        log_err(MOD, "master isn't start");
        return -1;
    }
    for (auto& e : g_devices) {
        if (e->pk == d->pk && e->dn == d->dn)
            return e->devid;
    }
    d->devid = g_next_slave_id++;
    d->type = TETHER_DEV_TYPE_SLAVE;
    int id = d->devid;
    g_devices.push_back(std::move(d));
    return id;
}

int IOT_Tether_Connect(int devid) {
    std::lock_guard<std::mutex> api(g_api);
    if (devid < 0) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    dm_device_t d;
    if (!dm_get_device(devid, &d)) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    return d.type == TETHER_DEV_TYPE_MASTER ? ConnectMaster() : ConnectSlave(devid);
}

int IOT_Tether_Yield(int timeout_ms) {
    if (timeout_ms <= 0)
        timeout_ms = 10;
    uint64_t end = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms);
    uint32_t woken = g_wake_requests.load();
    for (;;) {
        dm_msg_t m;
        while (dm_queue_pop(&m))
            dm_dispatch(m);
        uint64_t now = HAL_UptimeMs();
        if (now >= end || g_wake_requests.load() != woken)
            break;
        std::unique_lock<std::mutex> l(g_wake_mutex);
        if (dm_queue_size() == 0 && g_wake_requests.load() == woken) {
            g_wake.wait_for(l, std::chrono::milliseconds(end - now));
        }
    }
    return 0;
}

void IOT_Tether_Wake(void) {
    {
        std::lock_guard<std::mutex> l(g_wake_mutex);
        g_wake_requests++;
    }
    g_wake.notify_all();
}

int IOT_Tether_Close(int devid) {
    std::lock_guard<std::mutex> api(g_api);
    if (devid < 0) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    if (devid == 0) {
        {
            std::lock_guard<std::mutex> l(g_state);
            if (!g_master_open) {
                log_err(MOD, "Invalid Parameter");
                return -1;
            }
        }
        // A download still running ends first: it publishes its progress
        // on the connection about to close.
        dm_ota_stop();
        int h = g_cm_handle.exchange(-1);
        if (h >= 0)
            nexo_cm_close(h);
        std::lock_guard<std::mutex> l(g_state);
        g_devices.clear();
        g_master_open = false;
        g_next_slave_id = 1;
        dm_queue_clear();
        return 0;
    }
    std::lock_guard<std::mutex> l(g_state);
    for (auto it = g_devices.begin(); it != g_devices.end(); ++it) {
        if ((*it)->devid == devid) {
            g_devices.erase(it);
            return 0;
        }
    }
    log_err(MOD, "Invalid Parameter");
    return -1;
}

int nexo_dm_get_triple_by_devid(int devid, char** product_key, char** device_name,
                                char** device_secret) {
    std::lock_guard<std::mutex> api(g_api);
    if (devid < 0)
        return -2;
    std::lock_guard<std::mutex> l(g_state);
    dm_device_t* d = FindLocked(devid);
    if (d == nullptr)
        return -1;
    if (product_key)
        *product_key = const_cast<char*>(d->pk.c_str());
    if (device_name)
        *device_name = const_cast<char*>(d->dn.c_str());
    if (device_secret)
        *device_secret = const_cast<char*>(d->ds.c_str());
    return 0;
}

int IOT_Tether_Report(const int devid, const int msg_type, const unsigned char* payload,
                      const int payload_len) {
    if (devid < 0 || payload_len < 0 || (payload == nullptr && payload_len > 0)) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    std::string body(payload ? reinterpret_cast<const char*>(payload) : "",
                     static_cast<size_t>(payload_len));
    dm_device_t d;
    if (!dm_get_device(devid, &d)) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    switch (msg_type) {
        case TETHER_MSG_POST_PROPERTY:
            return dm_send_request(devid, "thing/event/property/post", "thing.event.property.post",
                                   body, 0);
        case TETHER_MSG_DEVICEINFO_UPDATE:
            return dm_send_request(devid, "thing/deviceinfo/update", "thing.deviceinfo.update",
                                   body, 0);
        case TETHER_MSG_DEVICEINFO_DELETE:
            return dm_send_request(devid, "thing/deviceinfo/delete", "thing.deviceinfo.delete",
                                   body, 0);
        case TETHER_MSG_POST_RAW_DATA: {
            std::string topic = "/sys/" + d.pk + "/" + d.dn + "/thing/model/up_raw";
            int rc = dm_publish(topic, body.data(), body.size(), 0);
            return rc < 0 ? rc : dm_next_msgid();
        }
        case TETHER_MSG_LOGIN:
        case TETHER_MSG_LOGOUT:
        case TETHER_MSG_DELETE_TOPO: {
            std::lock_guard<std::mutex> api(g_api);
            if (d.type != TETHER_DEV_TYPE_SLAVE) {
                log_err(MOD, "Invalid Parameter");
                return -1;
            }
            if (msg_type == TETHER_MSG_LOGIN) {
                return RequestAndWait(0, "", "combine.login", SubSignParams(d, true),
                                      "combine/login");
            }
            if (msg_type == TETHER_MSG_LOGOUT) {
                return RequestAndWait(
                    0, "", "combine.logout",
                    "{\"productKey\":\"" + d.pk + "\",\"deviceName\":\"" + d.dn + "\"}",
                    "combine/logout");
            }
            return RequestAndWait(
                0, "thing/topo/delete", "thing.topo.delete",
                "[{\"productKey\":\"" + d.pk + "\",\"deviceName\":\"" + d.dn + "\"}]", "");
        }
        default:
            log_err(MOD, "Unknown Message Type");
            return -1;
    }
}

int IOT_Tether_Query(const int devid, const int msg_type, const unsigned char* payload,
                     const int payload_len) {
    (void)payload;
    (void)payload_len;
    dm_device_t d;
    if (devid < 0 || !dm_get_device(devid, &d)) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    switch (msg_type) {
        case TETHER_MSG_QUERY_TIMESTAMP: {
            std::string topic = "/ext/ntp/" + d.pk + "/" + d.dn + "/request";
            // The device's own clock at sending: with the platform's receive
            // and send times it gives the offset to the platform's clock.
            std::string body = "{\"deviceSendTime\":\"" + std::to_string(HAL_UTC_Get()) + "\"}";
            int rc = dm_publish(topic, body.data(), body.size(), 0);
            return rc < 0 ? rc : dm_next_msgid();
        }
        case TETHER_MSG_QUERY_TOPOLIST:
            return dm_send_request(devid, "thing/topo/get", "thing.topo.get", "{}", 0);
        case TETHER_MSG_REQUEST_COTA:
            return dm_send_request(devid, "thing/config/get", "thing.config.get",
                                   "{\"configScope\":\"product\",\"getType\":\"file\"}", 0);
        case TETHER_MSG_REQUEST_FOTA_IMAGE: {
            char ver[HAL_FIRMWARE_VERSION_LEN + 1] = {0};
            HAL_GetFirmwareVersion(ver);
            int id = dm_next_msgid();
            std::string topic = "/ota/device/request/" + d.pk + "/" + d.dn;
            std::string body = dm_envelope(id, dm_string_object({{"version", ver}}), nullptr);
            int rc = dm_publish(topic, body.data(), body.size(), 0);
            return rc < 0 ? rc : id;
        }
        case TETHER_MSG_QUERY_DYNAMIC_TSL:
            return dm_send_request(devid, "thing/dynamicTsl/get", "thing.dynamicTsl.get",
                                   "{\"nodes\":[\"type\",\"identifier\"],\"addDefault\":false}", 0);
        case TETHER_MSG_QUERY_FOTA_DATA:
            return dm_ota_start_fota(devid);
        case TETHER_MSG_QUERY_COTA_DATA:
            return dm_ota_start_cota(devid);
        default:
            log_err(MOD, "Unknown Message Type");
            return -1;
    }
}

int IOT_Tether_TriggerEvent(const int devid, const char* eventid, const int eventid_len,
                            const char* payload, const int payload_len) {
    if (devid < 0 || eventid == nullptr || eventid_len <= 0 || payload == nullptr ||
        payload_len <= 0) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    std::string ev(eventid, static_cast<size_t>(eventid_len));
    return dm_send_request(devid, "thing/event/" + ev + "/post", "thing.event." + ev + ".post",
                           std::string(payload, static_cast<size_t>(payload_len)), 0);
}

namespace {

// One handler per IOT_Ioctl option; data is never NULL here.
int IntArg(void* data) {
    return *static_cast<int*>(data);
}

int IoctlSetRegion(void* data) {
    int iv = IntArg(data);
    if (iv < 0 || iv >= NEXO_REGION_COUNT) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.region = iv; });
    return 0;
}

int IoctlGetRegion(void* data) {
    *static_cast<int*>(data) = nexo_ctx_get().region;
    return 0;
}

int IoctlSetMqttDomain(void* data) {
    nexo_guider_set_custom_domain(static_cast<const char*>(data));
    return 0;
}

int IoctlSetMqttPort(void* data) {
    uint16_t port = *static_cast<uint16_t*>(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.mqtt_port_override = port; });
    return 0;
}

int IoctlSetHttpPort(void* data) {
    uint16_t port = *static_cast<uint16_t*>(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.http_port_override = port; });
    return 0;
}

int IoctlSetHttpDomain(void* data) {
    std::string dom = static_cast<const char*>(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) {
        c.http_custom_domain = dom;
        if (!dom.empty())
            c.region = NEXO_REGION_CUSTOM;
    });
    return 0;
}

int IoctlSetDynamicRegister(void* data) {
    int iv = IntArg(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.dynamic_register = iv ? 1 : 0; });
    return 0;
}

int IoctlGetDynamicRegister(void* data) {
    *static_cast<int*>(data) = nexo_ctx_get().dynamic_register;
    return 0;
}

int IoctlSetPostReply(void* data) {
    int iv = IntArg(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.dm_post_reply_opt = iv ? 1 : 0; });
    return 0;
}

int IoctlSetPropSetReply(void* data) {
    int iv = IntArg(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.dm_option_2 = iv; });
    return 0;
}

int IoctlAccepted(void*) {
    return 0;
}

int IoctlQueryDevid(void* data) {
    const tether_dev_meta_info_t* m = static_cast<const tether_dev_meta_info_t*>(data);
    std::string pk(m->product_key, Bounded(m->product_key, sizeof(m->product_key)));
    std::string dn(m->device_name, Bounded(m->device_name, sizeof(m->device_name)));
    int id = dm_find_devid(pk, dn);
    if (id < 0)
        log_err(MOD, "device %s/%s not found", pk.c_str(), dn.c_str());
    return id;
}

int IoctlGetLibVersion(void* data) {
    memcpy(data, TETHER_LIB_VERSION, strlen(TETHER_LIB_VERSION) + 1);
    return 0;
}

int IoctlSetCtxFlag(void* data) {
    int iv = IntArg(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.ctx_flag_15 = iv; });
    return 0;
}

int IoctlSetBootstrap(void* data) {
    int iv = IntArg(data);
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) { c.bootstrap = iv == 1 ? 1 : 0; });
    return 0;
}

struct IoctlOption {
    int option;
    int (*handle)(void* data);
};

const IoctlOption kIoctlOptions[] = {
    {TETHER_IOCTL_SET_REGION, IoctlSetRegion},
    {TETHER_IOCTL_GET_REGION, IoctlGetRegion},
    {TETHER_IOCTL_SET_MQTT_DOMAIN, IoctlSetMqttDomain},
    {TETHER_IOCTL_SET_MQTT_PORT, IoctlSetMqttPort},
    {TETHER_IOCTL_SET_HTTP_PORT, IoctlSetHttpPort},
    {TETHER_IOCTL_SET_HTTP_DOMAIN, IoctlSetHttpDomain},
    {TETHER_IOCTL_SET_DYNAMIC_REGISTER, IoctlSetDynamicRegister},
    {TETHER_IOCTL_GET_DYNAMIC_REGISTER, IoctlGetDynamicRegister},
    {TETHER_IOCTL_RECV_PROP_REPLY, IoctlSetPostReply},
    {TETHER_IOCTL_RECV_EVENT_REPLY, IoctlSetPostReply},
    {TETHER_IOCTL_SEND_PROP_SET_REPLY, IoctlSetPropSetReply},
    {TETHER_IOCTL_SET_SUBDEV_SIGN, IoctlAccepted},
    {TETHER_IOCTL_GET_SUBDEV_LOGIN, IoctlAccepted},
    {TETHER_IOCTL_QUERY_DEVID, IoctlQueryDevid},
    {TETHER_IOCTL_GET_LIB_VERSION, IoctlGetLibVersion},
    {TETHER_IOCTL_SET_CTX_FLAG, IoctlSetCtxFlag},
    {TETHER_IOCTL_SET_BOOTSTRAP, IoctlSetBootstrap},
};

}  // namespace

int IOT_Ioctl(int option, void* data) {
    if (option < 0 || data == nullptr) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    for (const IoctlOption& o : kIoctlOptions) {
        if (o.option == option)
            return o.handle(data);
    }
    log_err(MOD, "Unknown Ioctl Option");
    return -1;
}

int IOT_SetLogLevel(int level) {
    if (level < LOG_NONE_LEVEL || level > LOG_DEBUG_LEVEL) {
        log_err(MOD, "Invalid input level: %d out of [%d, %d]", level, LOG_NONE_LEVEL,
                LOG_DEBUG_LEVEL);
        return -1;
    }
    LITE_set_loglevel(level);
    HAL_Printf("[QX-PRT] log level set as: [ %d ]\r\n", level);
    return 0;
}

int IOT_Tether_SetTiming(uint32_t request_timeout_ms, uint32_t keepalive_ms, uint32_t sub_wait_ms,
                         uint32_t connect_timeout_ms) {
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) {
        if (request_timeout_ms)
            c.dm_request_timeout_ms = request_timeout_ms;
        if (keepalive_ms)
            c.dm_keepalive_ms = keepalive_ms;
        if (sub_wait_ms)
            c.dm_sub_wait_ms = sub_wait_ms;
        if (connect_timeout_ms)
            c.dm_connect_timeout_ms = connect_timeout_ms;
    });
    return 0;
}

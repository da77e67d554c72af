#include "demo/app/tether_client.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tether/tether_api.h>

#include <atomic>
#include <string>
#include <vector>

#include "demo/app/cloud_requests.h"
#include "demo/camera/dummy_ipc.h"

namespace {

// How long a stop waits for the dispatch thread's exit before it wakes the
// thread again (a wake that came just before its yield began is missed).
constexpr uint32_t kDispatchWakeRetryMs = 20;
// Callbacks are woken by queued messages at once, and a stop wakes the
// dispatch thread itself: the period only paces an idle loop.
constexpr int kYieldMs = 5000;
constexpr int kFirmwareQuerySize = 1024;
// A camera may boot before its network: the first connection is retried
// with the cloud link's back-off (1 s doubling to 60 s, plus up to as much
// again at random). One attempt is short, so a stop never waits long for it.
constexpr uint32_t kConnectRetryStartMs = 1000;
constexpr uint32_t kConnectRetryMaxMs = 60000;
constexpr uint32_t kConnectAttemptMs = 500;

std::atomic<int> g_running{0};
std::atomic<int> g_connected{0};
int g_master_id = -1;
tether_dev_meta_info_t* g_meta = nullptr;

// Sub-devices: the records are copied, the strings stay the caller's.
ks_device_auth_s* g_sub_list = nullptr;
unsigned g_sub_num = 0;
void* g_sub_sem = nullptr;

void* g_dispatch_thread = nullptr;
std::atomic<int> g_dispatch_running{0};
void* g_dispatch_done = nullptr;  // posted once by the dispatch thread as it ends
void* g_login_thread = nullptr;
std::atomic<int> g_login_running{0};
void* g_connect_thread = nullptr;
void* g_connect_sem = nullptr;
std::atomic<int> g_connect_running{0};

tether_client_broker_s g_broker = {nullptr, 0, nullptr, nullptr, 0, nullptr, 0};

void CopyCut(char* dst, size_t size, const char* src) {
    if (!src)
        return;
    strncpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}

// The SDK's identity for a cloud-link device id; -1 when there is none (the
// record must then not be used).
int GetAuth(int devid, ks_device_auth_s* out) {
    if (devid < 0 || !out)
        return -1;
    if (devid == 0) {
        if (!g_meta)
            return -1;
        out->dev_id = 0;
        out->product_key = g_meta->product_key;
        out->device_name = g_meta->device_name;
        out->device_secret = g_meta->device_secret;
        return 0;
    }
    char* pk = nullptr;
    char* dn = nullptr;
    char* ds = nullptr;
    if (nexo_dm_get_triple_by_devid(devid, &pk, &dn, &ds) < 0 || !pk || !dn || !ds)
        return -1;
    out->dev_id = devid;
    out->product_key = pk;
    out->device_name = dn;
    out->device_secret = ds;
    return 0;
}

int AdapterConnected(const ks_device_auth_s* auth) {
    ks_message_adapter_param_s param;
    memset(&param, 0, sizeof(param));
    param.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    return ks_message_adapter(auth, &param);
}

uint32_t Len(int len) {
    return len > 0 ? static_cast<uint32_t>(len) : 0;
}

void* DispatchThread(void*) {
    while (g_running)
        IOT_Tether_Yield(kYieldMs);
    g_dispatch_running = 0;
    HAL_SemaphorePost(g_dispatch_done);
    return nullptr;
}

void* LoginThread(void*) {
    while (g_running) {
        HAL_SemaphoreWait(g_sub_sem, HAL_WAIT_FOREVER);
        if (!g_running)
            break;
        printf("Start login sub dev\n");
        for (unsigned i = 0; i < g_sub_num; ++i) {
            const ks_device_auth_s& sub = g_sub_list[i];
            tether_dev_meta_info_t meta;
            memset(&meta, 0, sizeof(meta));
            CopyCut(meta.product_key, sizeof(meta.product_key), sub.product_key);
            CopyCut(meta.device_name, sizeof(meta.device_name), sub.device_name);
            CopyCut(meta.device_secret, sizeof(meta.device_secret), sub.device_secret);
            int id = IOT_Tether_Open(TETHER_DEV_TYPE_SLAVE, &meta);
            if (id < 0) {
                printf("subdev open Failed\n");
                break;
            }
            if (IOT_Tether_Connect(id) < 0) {
                printf("subdev connect Failed\n");
                break;
            }
            if (IOT_Tether_Report(id, TETHER_MSG_LOGIN, nullptr, 0) < 0) {
                printf("subdev login Failed\n");
                break;
            }
            ks_device_auth_s auth;
            if (GetAuth(id, &auth) < 0) {
                printf("subdev %d has no identity\n", id);
                continue;
            }
            AdapterConnected(&auth);
            dummy_ipc_get_all_property(&auth);
        }
    }
    g_login_running = 0;
    return nullptr;
}

void* ConnectThread(void*) {
    const uint32_t max = g_broker.retry_max_ms ? g_broker.retry_max_ms : kConnectRetryMaxMs;
    uint32_t interval = kConnectRetryStartMs < max ? kConnectRetryStartMs : max;
    while (g_running) {
        if (IOT_Tether_Connect(g_master_id) == 0)
            break;
        uint32_t wait = interval + HAL_Random(interval + 1);
        if (wait > max)
            wait = max;
        printf("tether connect Failed, next try in %u ms\n", wait);
        // A stop posts the semaphore, so the back-off never delays it.
        HAL_SemaphoreWait(g_connect_sem, wait);
        interval = interval < max / 2 ? interval * 2 : max;
    }
    g_connect_running = 0;
    return nullptr;
}

void StopConnectThread() {
    if (g_connect_thread) {
        HAL_SemaphorePost(g_connect_sem);
        HAL_ThreadDelete(g_connect_thread);
    }
    g_connect_thread = nullptr;
    g_connect_running = 0;
    if (g_connect_sem)
        HAL_SemaphoreDestroy(g_connect_sem);
    g_connect_sem = nullptr;
}

// Wakes the dispatch thread and waits for its exit, waking it again should
// the wake have come just before its next yield began; then reaps it.
void StopDispatchThread() {
    if (g_dispatch_thread) {
        do {
            IOT_Tether_Wake();
        } while (HAL_SemaphoreWait(g_dispatch_done, kDispatchWakeRetryMs) != 0);
        HAL_ThreadDelete(g_dispatch_thread);
    }
    g_dispatch_thread = nullptr;
    if (g_dispatch_done)
        HAL_SemaphoreDestroy(g_dispatch_done);
    g_dispatch_done = nullptr;
}

// Undoes the sub-device part of a start (the login thread and the list).
void StopLoginThread() {
    if (g_sub_sem && g_login_thread) {
        HAL_SemaphorePost(g_sub_sem);
        HAL_ThreadDelete(g_login_thread);  // waits for the routine to end
    }
    g_login_thread = nullptr;
    if (g_sub_sem)
        HAL_SemaphoreDestroy(g_sub_sem);
    g_sub_sem = nullptr;
    free(g_sub_list);
    g_sub_list = nullptr;
    g_sub_num = 0;
}

// A start that failed half-way: nothing of it stays behind, so a later start
// can try again.
int FailStart(bool opened) {
    g_running = 0;
    StopConnectThread();
    if (opened)
        IOT_Tether_Close(g_master_id);
    g_master_id = -1;
    StopLoginThread();
    free(g_meta);
    g_meta = nullptr;
    return -1;
}

int ApplyBroker() {
    int region = 0;
    IOT_Ioctl(TETHER_IOCTL_SET_REGION, &region);
    // Without a device secret the device registers itself with the product
    // secret (the library keeps the secret it gets for the next start).
    int dynamic_register = g_meta->device_secret[0] == '\0' && g_meta->product_secret[0] != '\0';
    IOT_Ioctl(TETHER_IOCTL_SET_DYNAMIC_REGISTER, &dynamic_register);
    // Bootstrap asks the platform which broker to use; a broker named on the
    // command line is used as it is, so asking would only fail the login.
    int bootstrap = g_broker.host ? 0 : 1;
    IOT_Ioctl(TETHER_IOCTL_SET_BOOTSTRAP, &bootstrap);
    if (g_broker.host &&
        IOT_Ioctl(TETHER_IOCTL_SET_MQTT_DOMAIN, const_cast<char*>(g_broker.host)) < 0) {
        printf("Set broker host failed: %s\n", g_broker.host);
        return -1;
    }
    if (g_broker.port) {
        uint16_t port = g_broker.port;
        if (IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &port) < 0) {
            printf("Set broker port failed: %u\n", port);
            return -1;
        }
    }
    if (g_broker.trust_anchor_file && HAL_SetTrustAnchorPem(g_broker.trust_anchor_file) < 0) {
        printf("Trust anchor unusable: %s\n", g_broker.trust_anchor_file);
        return -1;
    }
    if (g_broker.bootstrap_host &&
        IOT_Ioctl(TETHER_IOCTL_SET_HTTP_DOMAIN, const_cast<char*>(g_broker.bootstrap_host)) < 0) {
        printf("Set bootstrap host failed: %s\n", g_broker.bootstrap_host);
        return -1;
    }
    if (g_broker.bootstrap_port) {
        uint16_t port = g_broker.bootstrap_port;
        IOT_Ioctl(TETHER_IOCTL_SET_HTTP_PORT, &port);
    }
    if (g_broker.firmware_file)
        HAL_Firmware_SetPath(g_broker.firmware_file);
    IOT_Tether_SetTiming(0, 0, 0, kConnectAttemptMs);
    return 0;
}

// Sub-devices are logged in by a thread of their own once the device is online.
bool StartSubLogin(unsigned sub_num, const ks_device_auth_s* sub_list) {
    g_sub_list = static_cast<ks_device_auth_s*>(malloc(sub_num * sizeof(ks_device_auth_s)));
    g_sub_sem = HAL_SemaphoreCreate();
    if (!g_sub_list || !g_sub_sem) {
        printf("Malloc failed \n");
        return false;
    }
    memcpy(g_sub_list, sub_list, sub_num * sizeof(ks_device_auth_s));
    g_sub_num = sub_num;
    g_login_running = 1;
    hal_thread_param_t param = {"sub_login", 0, 0};
    int stack_used = 0;
    if (HAL_ThreadCreate(&g_login_thread, LoginThread, nullptr, &param, &stack_used) != 0) {
        printf("HAL_ThreadCreate Failed\n");
        g_login_running = 0;
        g_login_thread = nullptr;
        return false;
    }
    return true;
}

void RegisterEventHandlers() {
    IOT_SetLogLevel(LOG_INFO_LEVEL);
    nexo_register_for_ITE_CONNECT_SUCC(user_connected_event_handler);
    nexo_register_for_ITE_DISCONNECTED(user_disconnected_event_handler);
    nexo_register_for_ITE_KESTREL(user_kestrel_handler);
    nexo_register_for_ITE_SERVICE_REQUST(user_service_request_handler);
    nexo_register_for_ITE_PROPERTY_SET_EX(user_property_set_handler);
    nexo_register_for_ITE_TIMESTAMP_REPLY(user_timestamp_reply_handler);
    nexo_register_for_ITE_FOTA(user_fota_handler);
    nexo_register_for_ITE_EVENT_NOTIFY(user_event_notify_event_handler);
    nexo_register_for_ITE_STATE_OTA(user_ota_state_handler);
}

// The identity the library opens the device with, cut to its buffers.
bool SetMeta(const ks_device_auth_s* auth, const char* product_secret) {
    if (!g_meta) {
        g_meta = static_cast<tether_dev_meta_info_t*>(malloc(sizeof(tether_dev_meta_info_t)));
        if (!g_meta) {
            printf("Malloc failed \n");
            return false;
        }
    }
    memset(g_meta, 0, sizeof(*g_meta));
    CopyCut(g_meta->product_key, sizeof(g_meta->product_key), auth->product_key);
    CopyCut(g_meta->device_name, sizeof(g_meta->device_name), auth->device_name);
    CopyCut(g_meta->device_secret, sizeof(g_meta->device_secret), auth->device_secret);
    CopyCut(g_meta->product_secret, sizeof(g_meta->product_secret), product_secret);
    return true;
}

// The thread that runs every cloud-link callback; false with it stopped.
bool StartDispatch() {
    g_dispatch_running = 1;
    g_dispatch_done = HAL_SemaphoreCreate();
    hal_thread_param_t param = {"tether_dispatch", 0, 0};
    int stack_used = 0;
    int ret = g_dispatch_done ? HAL_ThreadCreate(&g_dispatch_thread, DispatchThread, nullptr,
                                                 &param, &stack_used)
                              : -1;
    if (ret != 0) {
        printf("HAL_ThreadCreate Failed, ret = %d\n", ret);
        g_dispatch_running = 0;
        g_dispatch_thread = nullptr;
        StopDispatchThread();
        return false;
    }
    return true;
}

// Connecting runs in the background: the camera stays up and keeps trying
// while the cloud is out of reach, and "Cloud Connected" tells when it is
// online. False with the dispatch thread stopped.
bool StartConnect() {
    g_connect_sem = HAL_SemaphoreCreate();
    g_connect_running = 1;
    hal_thread_param_t param = {"tether_connect", 0, 0};
    int stack_used = 0;
    if (!g_connect_sem ||
        HAL_ThreadCreate(&g_connect_thread, ConnectThread, nullptr, &param, &stack_used) != 0) {
        printf("HAL_ThreadCreate Failed\n");
        g_connect_thread = nullptr;
        g_running = 0;
        StopDispatchThread();
        return false;
    }
    return true;
}

}  // namespace

void tether_client_set_broker(const tether_client_broker_s* broker) {
    if (broker)
        g_broker = *broker;
    else
        g_broker = tether_client_broker_s{nullptr, 0, nullptr, nullptr, 0, nullptr, 0};
}

int tether_client_start(const ks_device_auth_s* auth, const char* product_secret, unsigned sub_num,
                        const ks_device_auth_s* sub_list) {
    printf("Before start tether\n");
    if (g_running) {
        printf("Already running\n");
        return 0;
    }
    if (!auth) {
        printf("Illegal input\n");
        return -1;
    }
    g_running = 1;
    if (sub_num > 0 && sub_list && !StartSubLogin(sub_num, sub_list))
        return FailStart(false);
    RegisterEventHandlers();
    if (!SetMeta(auth, product_secret) || ApplyBroker() < 0)
        return FailStart(false);
    g_master_id = IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, g_meta);
    if (g_master_id < 0) {
        printf("IOT_Tether_Open Failed\n");
        return FailStart(false);
    }
    if (!StartDispatch() || !StartConnect())
        return FailStart(true);
    printf("After start tether\n");
    return 0;
}

void tether_client_destroy(void) {
    printf("Before destroy tether\n");
    if (!g_running)
        return;
    g_running = 0;
    StopConnectThread();
    StopDispatchThread();
    IOT_Tether_Close(g_master_id);
    g_master_id = -1;
    g_connected = 0;
    StopLoginThread();
    free(g_meta);
    g_meta = nullptr;
    printf("After destroy tether\n");
}

void tether_message_publish_cb(const kestrel::MessageService::MessagePublishParam* msg) {
    if (!msg || !msg->topic || !msg->message) {
        printf("Publish msg error:%d\n", -1);
        return;
    }
    tether_mqtt_topic_info_t info;
    memset(&info, 0, sizeof(info));
    info.qos = static_cast<uint8_t>(msg->qos);
    info.payload = msg->message;
    info.payload_len = static_cast<uint32_t>(strlen(msg->message));
    int ret = IOT_MQTT_Publish(nullptr, msg->topic, &info);
    if (ret < 0)
        printf("Publish msg error:%d\n", ret);
}

int tether_client_set_property_handler(const ks_device_auth_s* auth, const char* json) {
    if (!auth || !json)
        return -1;
    return IOT_Tether_Report(auth->dev_id, TETHER_MSG_POST_PROPERTY,
                             reinterpret_cast<const unsigned char*>(json),
                             static_cast<int>(strlen(json)));
}

int user_connected_event_handler(void) {
    printf("Cloud Connected\n");
    g_connected = 1;
    ks_device_auth_s auth;
    if (GetAuth(0, &auth) < 0)
        return 0;
    if (g_sub_num == 0)
        dummy_ipc_get_all_property(&auth);
    IOT_Tether_Query(g_master_id, TETHER_MSG_QUERY_TIMESTAMP, nullptr, 0);
    AdapterConnected(&auth);
    if (g_sub_num > 0 && g_sub_sem)
        HAL_SemaphorePost(g_sub_sem);
    return 0;
}

int user_disconnected_event_handler(void) {
    printf("Cloud Disconnected\n");
    g_connected = 0;
    return 0;
}

int user_timestamp_reply_handler(const char* timestamp) {
    printf("Current Timestamp: %s \n", timestamp ? timestamp : "");
    return 0;
}

int user_event_notify_event_handler(const int devid, const char* request, const int request_len) {
    printf("Event Notify Received, Devid: %d, Request: %.*s \n", devid,
           request ? static_cast<int>(Len(request_len)) : 0, request ? request : "");
    return 0;
}

int user_fota_handler(const int type, const char* version) {
    if (type != 0)
        return 0;
    printf("New Firmware Version: %s\n", version ? version : "");
    char buffer[kFirmwareQuerySize];
    memset(buffer, 0, sizeof(buffer));
    IOT_Tether_Query(g_master_id, TETHER_MSG_QUERY_FOTA_DATA,
                     reinterpret_cast<unsigned char*>(buffer), kFirmwareQuerySize);
    return 0;
}

int user_ota_state_handler(const int ev, const char* msg) {
    printf("Firmware update finished: %d %s\n", ev, msg ? msg : "");
    return 0;
}

int user_kestrel_handler(const int devid, const char* serviceid, const int serviceid_len,
                         const char* payload, const int payload_len) {
    if (!payload || payload_len <= 0)
        return 0;
    ks_device_auth_s auth;
    if (GetAuth(devid, &auth) < 0) {
        printf("Unknown device %d, message dropped\n", devid);
        return -1;
    }
    ks_message_adapter_param_s param;
    memset(&param, 0, sizeof(param));
    param.type = KS_MESSAGE_ADAPTER_TYPE_KESTREL;
    param.service = serviceid;
    param.service_len = serviceid ? Len(serviceid_len) : 0;
    param.payload = payload;
    param.payload_len = Len(payload_len);
    int ret = ks_message_adapter(&auth, &param);
    if (ret < 0) {
        printf("Kestrel process service request failed, ret = %d\n", ret);
        return -1;
    }
    return 0;
}

int user_property_set_handler(const int devid, const char* request, const int request_len,
                              char** message, int* message_len) {
    int len = request ? static_cast<int>(Len(request_len)) : 0;
    printf("Property Set Received, Devid: %d, Request: %.*s\n", devid, len, request ? request : "");
    std::vector<cloud_property_member_s> members;
    std::string failed;
    if (cloud_property_members(request, len, &members) < 0) {
        printf("value parse error\n");
        failed = "params is not a JSON object";
    }
    ks_device_auth_s auth;
    if (failed.empty() && !members.empty() && GetAuth(devid, &auth) < 0) {
        printf("Unknown device %d, property not set\n", devid);
        failed = "unknown device";
        members.clear();
    }
    // Every member is applied on its own: one bad member must not cost the
    // others, and each one that fails is named in the reply.
    for (const cloud_property_member_s& m : members) {
        std::string error = m.error;
        if (error.empty() && dummy_ipc_set_property(&auth, m.name.c_str(), m.value.c_str()) < 0)
            error = m.name + " not applied by the camera";
        if (error.empty())
            continue;
        printf("Property %s not set: %s\n", m.name.c_str(), error.c_str());
        failed += (failed.empty() ? "" : "; ") + error;
    }
    if (failed.empty())
        return 0;
    if (message && message_len) {
        *message = static_cast<char*>(HAL_Malloc(static_cast<uint32_t>(failed.size())));
        if (*message) {
            memcpy(*message, failed.data(), failed.size());
            *message_len = static_cast<int>(failed.size());
        }
    }
    return -1;
}

int user_service_request_handler(const int devid, const char* msgid, const int msgid_len,
                                 const char* serviceid, const int serviceid_len,
                                 const char* request, const int request_len, char** response,
                                 int* response_len) {
    (void)response;
    (void)response_len;
    int id_len = msgid ? static_cast<int>(Len(msgid_len)) : 0;
    int service_len = serviceid ? static_cast<int>(Len(serviceid_len)) : 0;
    int payload_len = request ? static_cast<int>(Len(request_len)) : 0;
    printf("Service Request Received, Devid: %d, ID %.*s, Service ID: %.*s, Payload: %.*s\n", devid,
           id_len, msgid ? msgid : "", service_len, serviceid ? serviceid : "", payload_len,
           request ? request : "");

    if (cloud_service_is_forwarded(serviceid, service_len)) {
        ks_device_auth_s auth;
        if (GetAuth(devid, &auth) < 0) {
            printf("Unknown device %d, service request dropped\n", devid);
            return -1;
        }
        ks_message_adapter_param_s param;
        memset(&param, 0, sizeof(param));
        param.type = KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE;
        param.msg_id = msgid;
        param.msg_id_len = static_cast<uint32_t>(id_len);
        param.service = serviceid;
        param.service_len = static_cast<uint32_t>(service_len);
        param.payload = request;
        param.payload_len = static_cast<uint32_t>(payload_len);
        int ret = ks_message_adapter(&auth, &param);
        if (ret < 0) {
            printf("Kestrel process service request failed, ret = %d\n", ret);
            return -1;
        }
        return 0;
    }
    if (cloud_service_is_ptz(serviceid, service_len)) {
        int action_type = 0;
        int step = 0;
        if (cloud_parse_ptz(request, payload_len, &action_type, &step) < 0) {
            printf("JSON Parse Error\n");
            return -1;
        }
        printf("PTZActionControl %d %d\n", action_type, step);
        return 0;
    }
    // The response is never filled: the library then sends no reply, and the
    // SDK answers the services it serves by itself.
    return 0;
}

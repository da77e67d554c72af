#include "infra/conn_mgr.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "infra/mqtt_client.h"
#include "tether/hal.h"

#define MOD "CM"

namespace {

// The thread that runs one connection's MQTT cycle. The cycle sleeps on its
// socket until its nearest deadline (keep-alive, a pending ack, reconnect
// back-off) or until another thread posts work; it comes back here only when
// its client is destroyed (or after an hour, to no effect).
struct CycleThread {
    std::atomic<bool> run{true};
    void* client = nullptr;
    void* handle = nullptr;
};

struct Conn {
    bool used = false;
    nexo_cm_init_param_t params{};
    void* client = nullptr;
    CycleThread* thread = nullptr;
};

constexpr int kYieldMs = 60 * 60 * 1000;
// Pause between attempts of one connect call.
constexpr uint64_t kRetryMs = 500;

std::mutex g_mutex;  // handle table
// Told when a handle is closed: a connect waiting to retry waits on it.
std::condition_variable g_changed;
Conn g_conns[NEXO_CM_MAX_HANDLES];

bool Valid(int h) {
    return h >= 0 && h < NEXO_CM_MAX_HANDLES && g_conns[h].used;
}

void* CycleMain(void* arg) {
    CycleThread* t = static_cast<CycleThread*>(arg);
    // A client destroyed behind the manager's back is refused by the MQTT
    // layer: nothing is left to serve.
    while (t->run.load()) {
        if (IOT_MQTT_Yield(t->client, kYieldMs) != 0)
            break;
    }
    return nullptr;
}

CycleThread* StartCycle(void* client) {
    CycleThread* t = new CycleThread();
    t->client = client;
    hal_thread_param_t tp{"cm_yield", 6144, 0};
    int stack_used = 0;
    if (HAL_ThreadCreate(&t->handle, CycleMain, t, &tp, &stack_used) != 0) {
        log_err(MOD, "cm_yield thread create failed");
        delete t;
        return nullptr;
    }
    return t;
}

// Destroying the client ends the round its thread is in.
void StopCycle(CycleThread* t, void* client) {
    if (t != nullptr)
        t->run = false;
    if (client != nullptr)
        IOT_MQTT_Destroy(&client);
    if (t != nullptr) {
        HAL_ThreadDelete(t->handle);
        delete t;
    }
}

}  // namespace

int nexo_cm_open(const nexo_cm_init_param_t* p) {
    if (p == nullptr ||
        (p->protocol != NEXO_CM_PROTOCOL_MQTT && p->protocol != NEXO_CM_PROTOCOL_OTHER)) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    std::lock_guard<std::mutex> l(g_mutex);
    for (int h = 0; h < NEXO_CM_MAX_HANDLES; ++h) {
        if (!g_conns[h].used) {
            g_conns[h].used = true;
            g_conns[h].params = *p;
            g_conns[h].client = nullptr;
            return h;
        }
    }
    log_err(MOD, "cm fd reached the limit");
    return -1;
}

int nexo_cm_connect(int h, int timeout_ms) {
    nexo_cm_init_param_t p;
    {
        std::lock_guard<std::mutex> l(g_mutex);
        if (!Valid(h)) {
            log_err(MOD, "Invalid Parameter");
            return -1;
        }
        if (g_conns[h].client != nullptr)
            return 0;
        p = g_conns[h].params;
    }
    if (p.protocol != NEXO_CM_PROTOCOL_MQTT) {
        log_err(MOD, "protocol %d has no implementation", p.protocol);
        return -1;
    }
    uint64_t end = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms > 0 ? timeout_ms : 0);
    void* client = nullptr;
    for (;;) {
        char pk[HAL_PRODUCT_KEY_LEN + 1] = {0}, dn[HAL_DEVICE_NAME_LEN + 1] = {0};
        HAL_GetProductKey(pk);
        HAL_GetDeviceName(dn);
        if (IOT_SetupConnInfo(pk, dn, nullptr, nullptr) == 0) {
            tether_mqtt_param_t mp{};
            mp.request_timeout_ms = p.request_timeout_ms;
            mp.keepalive_interval_ms = p.keepalive_ms;
            mp.write_buf_size = p.write_buf_size;
            mp.read_buf_size = p.read_buf_size;
            mp.handle_event = p.handle_event;
            client = IOT_MQTT_Construct(&mp);
        }
        if (client != nullptr || HAL_UptimeMs() + kRetryMs >= end)
            break;
        // The next attempt is the nearest deadline; a close of the handle
        // ends the wait at once.
        std::unique_lock<std::mutex> l(g_mutex);
        if (g_changed.wait_for(l, std::chrono::milliseconds(kRetryMs), [h] { return !Valid(h); }))
            break;
    }
    if (client == nullptr) {
        log_err(MOD, "mqtt connect failed");
        if (p.cm_event)
            p.cm_event(p.cm_event_ctx, h, NEXO_CM_EVENT_CONNECT_FAILED);
        return -1;
    }
    bool closed = false;
    {
        std::lock_guard<std::mutex> l(g_mutex);
        if (Valid(h)) {
            g_conns[h].client = client;
            g_conns[h].thread = StartCycle(client);
        } else {
            closed = true;
        }
    }
    if (closed) {
        IOT_MQTT_Destroy(&client);
        return -1;
    }
    if (p.cm_event)
        p.cm_event(p.cm_event_ctx, h, NEXO_CM_EVENT_CONNECTED);
    return 0;
}

void* nexo_cm_get_client(int h) {
    std::lock_guard<std::mutex> l(g_mutex);
    return Valid(h) ? g_conns[h].client : nullptr;
}

int nexo_cm_sub(int h, const nexo_cm_sub_opt_t* opt, const char* topic,
                tether_mqtt_msg_handler_fpt fn, void* ctx) {
    void* c = nexo_cm_get_client(h);
    if (c == nullptr) {
        log_err(MOD, "handle %d not connected", h);
        return -1;
    }
    if (opt && opt->sync)
        return IOT_MQTT_Subscribe_Sync(c, topic, 1, fn, ctx, opt->sync_timeout_ms);
    return IOT_MQTT_Subscribe(c, topic, 1, fn, ctx);
}

int nexo_cm_unsub(int h, const char* topic) {
    void* c = nexo_cm_get_client(h);
    if (c == nullptr) {
        log_err(MOD, "handle %d not connected", h);
        return -1;
    }
    return IOT_MQTT_Unsubscribe(c, topic);
}

int nexo_cm_pub(int h, const nexo_cm_pub_opt_t* opt, const char* topic, const char* payload,
                uint32_t len) {
    void* c = nexo_cm_get_client(h);
    if (c == nullptr) {
        log_err(MOD, "handle %d not connected", h);
        return -1;
    }
    tether_mqtt_topic_info_t m{};
    m.qos = static_cast<uint8_t>(opt ? opt->qos : 0);
    m.payload = payload;
    m.payload_len = len;
    return IOT_MQTT_Publish(c, topic, &m);
}

int nexo_cm_yield(int h, int timeout_ms) {
    void* c = nexo_cm_get_client(h);
    if (c == nullptr)
        return -1;
    return IOT_MQTT_Yield(c, timeout_ms);
}

int nexo_cm_close(int h) {
    Conn gone;
    {
        std::lock_guard<std::mutex> l(g_mutex);
        if (!Valid(h)) {
            log_err(MOD, "Invalid Parameter");
            return -1;
        }
        gone = g_conns[h];
        g_conns[h] = Conn{};
    }
    g_changed.notify_all();
    StopCycle(gone.thread, gone.client);
    return 0;
}

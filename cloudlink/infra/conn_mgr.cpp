#include "infra/conn_mgr.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "infra/mqtt_client.h"
#include "tether/hal.h"

#define MOD "CM"

namespace {

struct Conn {
    bool used = false;
    nexo_cm_init_param_t params{};
    void* client = nullptr;
};

// One cycle call per handle; long, since the cycle wakes on input, posted
// work and its own deadlines rather than on this period.
constexpr int kYieldMs = 1000;
// Pause between attempts of one connect call.
constexpr uint64_t kRetryMs = 500;

std::mutex g_mutex;  // handle table
// Told when a client is attached or a handle closed: the yield thread with
// nothing to cycle, and a connect waiting to retry, wait on it.
std::condition_variable g_changed;
Conn g_conns[NEXO_CM_MAX_HANDLES];
// Each yield thread has its own run flag, so a thread being stopped cannot
// be revived by the start of its successor.
struct ThreadCtl {
    std::atomic<bool> run{true};
    void* handle = nullptr;
};
ThreadCtl* g_thread = nullptr;

bool Valid(int h) {
    return h >= 0 && h < NEXO_CM_MAX_HANDLES && g_conns[h].used;
}

bool AnyClient() {
    for (int h = 0; h < NEXO_CM_MAX_HANDLES; ++h) {
        if (Valid(h) && g_conns[h].client != nullptr)
            return true;
    }
    return false;
}

void* YieldThread(void* arg) {
    ThreadCtl* ctl = static_cast<ThreadCtl*>(arg);
    while (ctl->run.load()) {
        for (int h = 0; h < NEXO_CM_MAX_HANDLES && ctl->run.load(); ++h) {
            void* c = nullptr;
            {
                std::lock_guard<std::mutex> l(g_mutex);
                if (Valid(h))
                    c = g_conns[h].client;
            }
            // A client closed meanwhile is refused by the MQTT layer. The
            // cycle blocks on its socket and deadlines; a close wakes it.
            if (c != nullptr)
                IOT_MQTT_Yield(c, kYieldMs);
        }
        std::unique_lock<std::mutex> l(g_mutex);
        g_changed.wait(l, [ctl] { return !ctl->run.load() || AnyClient(); });
    }
    return nullptr;
}

void StartThreadOnce() {
    std::lock_guard<std::mutex> l(g_mutex);
    if (g_thread != nullptr)
        return;
    ThreadCtl* ctl = new ThreadCtl();
    hal_thread_param_t tp{"cm_yield", 6144, 0};
    int stack_used = 0;
    if (HAL_ThreadCreate(&ctl->handle, YieldThread, ctl, &tp, &stack_used) != 0) {
        log_err(MOD, "cm_yield thread create failed");
        delete ctl;
        return;
    }
    g_thread = ctl;
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
        } else {
            closed = true;
        }
    }
    g_changed.notify_all();
    if (closed) {
        IOT_MQTT_Destroy(&client);
        return -1;
    }
    if (p.cm_event)
        p.cm_event(p.cm_event_ctx, h, NEXO_CM_EVENT_CONNECTED);
    StartThreadOnce();
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
    void* client = nullptr;
    ThreadCtl* thread = nullptr;
    {
        std::lock_guard<std::mutex> l(g_mutex);
        if (!Valid(h)) {
            log_err(MOD, "Invalid Parameter");
            return -1;
        }
        client = g_conns[h].client;
        g_conns[h] = Conn{};
        bool any = false;
        for (auto& c : g_conns)
            any |= c.used;
        if (!any && g_thread != nullptr) {
            thread = g_thread;
            g_thread = nullptr;
            thread->run = false;
        }
    }
    g_changed.notify_all();
    if (thread != nullptr) {
        if (client != nullptr)
            nexo_mc_wake(client);
        HAL_ThreadDelete(thread->handle);
        delete thread;
    }
    if (client != nullptr)
        IOT_MQTT_Destroy(&client);
    return 0;
}

// The MQTT client's session state: the registry of live clients, packet
// ids, the wait lists of QoS 1 publications and (un)subscribe requests, the
// subscription list and the deadlines the cycle waits for.
#include <algorithm>
#include <mutex>

#include "infra/mqtt_client_internal.h"

namespace nexo_mc {

namespace {

// A stale or foreign pointer is refused, and Destroy waits until no other
// thread is inside the client.
std::mutex g_reg_mutex;
std::vector<Client*> g_clients;
Client* g_default = nullptr;

std::mutex g_offline_mutex;
std::vector<OfflineSub> g_offline;

}  // namespace

Client* Acquire(void* handle) {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    Client* c = handle ? static_cast<Client*>(handle) : g_default;
    if (c == nullptr)
        return nullptr;
    if (std::find(g_clients.begin(), g_clients.end(), c) == g_clients.end())
        return nullptr;
    if (c->magic_head != kMagicHead || c->magic_tail != kMagicTail)
        return nullptr;
    c->users.fetch_add(1);
    return c;
}

void Release(Client* c) {
    if (c != nullptr && c->users.fetch_sub(1) == 1) {
        // A destroy may be waiting for the last user to leave.
        std::lock_guard<std::mutex> g(c->sync_mu);
        c->sync_cv.notify_all();
    }
}

void Register(Client* c) {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    g_clients.push_back(c);
}

Client* Unregister(void* handle) {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    void* h = handle ? handle : g_default;
    auto it = std::find(g_clients.begin(), g_clients.end(), static_cast<Client*>(h));
    if (h == nullptr || it == g_clients.end())
        return nullptr;
    Client* c = *it;
    g_clients.erase(it);
    if (g_default == c)
        g_default = nullptr;
    return c;
}

void SetDefault(Client* c) {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    g_default = c;
}

Client* GetDefault() {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    return g_default;
}

void OfflineAdd(const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx) {
    std::lock_guard<std::mutex> g(g_offline_mutex);
    for (auto& s : g_offline) {
        if (s.filter == filter && s.fn == fn && s.ctx == ctx)
            return;
    }
    g_offline.push_back({filter, qos, fn, ctx});
    log_info(MOD, "no client yet: '%s' will be subscribed after connecting", filter);
}

void OfflineRemove(const char* filter) {
    std::lock_guard<std::mutex> g(g_offline_mutex);
    g_offline.erase(std::remove_if(g_offline.begin(), g_offline.end(),
                                   [&](auto& s) { return s.filter == filter; }),
                    g_offline.end());
}

std::vector<OfflineSub> OfflineTake() {
    std::vector<OfflineSub> subs;
    std::lock_guard<std::mutex> g(g_offline_mutex);
    subs.swap(g_offline);
    return subs;
}

void Push(std::vector<uint64_t>& v, uint64_t t) {
    if (v.size() >= kHistoryMax)
        v.erase(v.begin());
    v.push_back(t);
}

uint16_t NextId(Client* c) {
    HalLock l(c->lock_misc);
    for (;;) {
        c->next_id = static_cast<uint16_t>(c->next_id + 1);
        if (c->next_id == 0)
            continue;
        // Skip ids still waiting for an acknowledgement after a wrap.
        bool busy = false;
        {
            HalLock lp(c->lock_pub_wait);
            for (auto& p : c->pub_wait)
                busy |= p.id == c->next_id;
        }
        if (!busy) {
            HalLock ls(c->lock_sub_wait);
            for (auto& s : c->sub_wait)
                busy |= s.id == c->next_id;
        }
        if (!busy)
            return c->next_id;
    }
}

void SetDisconnected(Client* c) {
    int s = TETHER_MC_STATE_CONNECTED;
    if (c->state.compare_exchange_strong(s, TETHER_MC_STATE_DISCONNECTED))
        HAL_WakerSignal(c->waker);
}

void SetSyncResult(Client* c, uint16_t id, int result) {
    {
        HalLock l(c->lock_misc);
        for (auto& r : c->sync_results) {
            if (r.first == id)
                r.second = result;
        }
    }
    std::lock_guard<std::mutex> g(c->sync_mu);
    c->sync_cv.notify_all();
}

int SendSubRequest(Client* c, SubKind kind, const std::string& filter, uint8_t qos) {
    uint16_t id = NextId(c);
    {
        HalLock l(c->lock_sub_wait);
        if (c->sub_wait.size() >= NEXO_MC_SUB_REQUEST_NUM_MAX) {
            log_err(MOD, "number of subInfo more than max!,size = %zu", c->sub_wait.size());
            return TETHER_ERR_LIST_OVERFLOW;
        }
        c->sub_wait.push_back({id, kind, HAL_UptimeMs(), filter});
    }
    const char* topic = filter.c_str();
    int rc = SendBuilt(c, [&](uint8_t* b, size_t n) {
        return kind == kSub ? mqtt_serialize_subscribe(b, n, id, topic, qos)
                            : mqtt_serialize_unsubscribe(b, n, id, topic);
    });
    if (rc != 0) {
        HalLock l(c->lock_sub_wait);
        c->sub_wait.remove_if([&](const SubWait& w) { return w.id == id; });
        if (rc == TETHER_ERR_NETWORK)
            SetDisconnected(c);
        return rc;
    }
    // The cycle may be asleep until a later deadline than this request's.
    HAL_WakerSignal(c->waker);
    return id;
}

int SubscribeOn(Client* c, const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx) {
    if (c->state != TETHER_MC_STATE_CONNECTED) {
        log_err(MOD, "subscribe '%s' while not connected", filter);
        return TETHER_ERR_WRONG_STATE;
    }
    int id = SendSubRequest(c, kSub, filter, static_cast<uint8_t>(qos));
    if (id < 0)
        return id;
    log_info(MOD, "mqtt subscribe packet sent,topic = %s!", filter);
    HalLock l(c->lock_subs);
    for (auto& s : c->subs) {
        if (s.filter == filter && s.fn == fn && s.ctx == ctx) {
            log_debug(MOD, "dup sub,topic = %s", filter);
            return id;
        }
    }
    c->subs.push_back({filter, qos, fn, ctx});
    return id;
}

// A broker that came back without our session would otherwise never deliver
// another command to this device.
void Resubscribe(Client* c) {
    std::vector<std::pair<std::string, int>> filters;
    {
        HalLock l(c->lock_subs);
        for (auto& s : c->subs) {
            auto it = std::find_if(filters.begin(), filters.end(),
                                   [&](auto& f) { return f.first == s.filter; });
            if (it == filters.end()) {
                filters.emplace_back(s.filter, s.qos);
            } else {
                it->second = std::max(it->second, s.qos);
            }
        }
    }
    if (filters.empty())
        return;
    log_info(MOD, "session not present: subscribing %zu topics again", filters.size());
    for (auto& f : filters) {
        int rc = SendSubRequest(c, kSub, f.first, static_cast<uint8_t>(f.second));
        if (rc == TETHER_ERR_NETWORK)
            return;
        if (rc > 0)
            c->resubscribed++;
    }
}

void ResendDue(Client* c, uint64_t now) {
    HalLock l(c->lock_pub_wait);
    for (auto& p : c->pub_wait) {
        if (now - p.last_send < 2ull * c->request_timeout_ms)
            continue;
        mqtt_publish_set_dup(p.packet.data());
        if (!SendRaw(c, p.packet.data(), p.packet.size())) {
            SetDisconnected(c);
            return;
        }
        log_info(MOD, "QoS 1 publish %u sent again", p.id);
        p.last_send = now;
        c->resends++;
    }
}

void ExpireSubWaits(Client* c, uint64_t now, std::vector<Event>* evs) {
    std::vector<uint16_t> timed_out;
    {
        HalLock l(c->lock_sub_wait);
        for (auto it = c->sub_wait.begin(); it != c->sub_wait.end();) {
            if (now - it->sent < 10ull * c->request_timeout_ms) {
                ++it;
                continue;
            }
            log_err(MOD, "%s '%s' timed out", it->kind == kSub ? "subscribe" : "unsubscribe",
                    it->filter.c_str());
            evs->push_back({it->kind == kSub ? TETHER_MQTT_EVENT_SUBSCRIBE_TIMEOUT
                                             : TETHER_MQTT_EVENT_UNSUBSCRIBE_TIMEOUT,
                            it->id});
            timed_out.push_back(it->id);
            it = c->sub_wait.erase(it);
        }
    }
    for (uint16_t id : timed_out)
        SetSyncResult(c, id, -2);
}

uint64_t NextDeadline(Client* c) {
    uint64_t next = UINT64_MAX;
    if (c->state == TETHER_MC_STATE_DISCONNECTED_RECONNECTING)
        next = c->reconnect_deadline;
    if (c->state != TETHER_MC_STATE_CONNECTED)
        return next;
    next = std::min(next, c->keepalive_deadline);
    if (c->ping_outstanding > 0)
        next = std::min(next, c->ping_deadline);
    {
        HalLock l(c->lock_pub_wait);
        for (auto& p : c->pub_wait)
            next = std::min<uint64_t>(next, p.last_send + 2ull * c->request_timeout_ms);
    }
    HalLock l(c->lock_sub_wait);
    for (auto& s : c->sub_wait)
        next = std::min<uint64_t>(next, s.sent + 10ull * c->request_timeout_ms);
    return next;
}

int NormaliseQos(int qos) {
    if (qos < TETHER_MQTT_QOS0 || qos > TETHER_MQTT_QOS1) {
        log_warning(MOD, "Invalid qos(%d) out of [%d, %d], using %d", qos, TETHER_MQTT_QOS0,
                    TETHER_MQTT_QOS1, TETHER_MQTT_QOS1);
        return TETHER_MQTT_QOS1;
    }
    return qos;
}

}  // namespace nexo_mc

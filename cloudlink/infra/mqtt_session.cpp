// The MQTT client's session state: the registry of live clients, packet
// ids, the wait lists of QoS 1 publications and (un)subscribe requests, the
// subscription list, the deadlines the cycle waits for and who holds it.
#include <algorithm>
#include <chrono>
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
    if (c == nullptr)
        return;
    // Lowered under mu: a destroy that sees no user left frees the client,
    // so this thread must be done with it by then.
    Guard l(c->mu);
    if (c->users.fetch_sub(1) == 1)
        c->changed.notify_all();
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

bool TakeCycleLocked(Client* c) {
    if (c->cycle_held)
        return false;
    c->cycle_held = true;
    c->cycle_holder = std::this_thread::get_id();
    return true;
}

bool TakeCycle(Client* c, uint64_t end) {
    std::unique_lock<std::mutex> l(c->mu);
    for (;;) {
        if (c->closing.load())
            return false;
        if (TakeCycleLocked(c))
            return true;
        uint64_t now = HAL_UptimeMs();
        if (now >= end)
            return false;
        // Bounded, since `end` may stand for "no limit".
        c->changed.wait_for(l, std::chrono::milliseconds(std::min<uint64_t>(end - now, 60000)));
    }
}

void GiveCycle(Client* c) {
    Guard l(c->mu);
    c->cycle_held = false;
    c->cycle_holder = std::thread::id();
    c->changed.notify_all();
}

bool HoldsCycle(Client* c) {
    Guard l(c->mu);
    return c->cycle_held && c->cycle_holder == std::this_thread::get_id();
}

void Push(std::vector<uint64_t>& v, uint64_t t) {
    if (v.size() >= kHistoryMax)
        v.erase(v.begin());
    v.push_back(t);
}

uint16_t NextIdLocked(Client* c) {
    for (;;) {
        c->next_id = static_cast<uint16_t>(c->next_id + 1);
        if (c->next_id == 0)
            continue;
        // Skip ids still waiting for an acknowledgement after a wrap.
        bool busy = false;
        for (auto& p : c->pub_wait)
            busy |= p.id == c->next_id;
        for (auto& s : c->sub_wait)
            busy |= s.id == c->next_id;
        if (!busy)
            return c->next_id;
    }
}

void SetDisconnected(Client* c) {
    int s = TETHER_MC_STATE_CONNECTED;
    if (c->state.compare_exchange_strong(s, TETHER_MC_STATE_DISCONNECTED))
        HAL_WakerSignal(c->waker);
}

void SetSyncResultLocked(Client* c, uint16_t id, int result) {
    for (auto& r : c->sync_results) {
        if (r.first == id)
            r.second = result;
    }
    c->changed.notify_all();
}

namespace {

// Records a request before it leaves; false when the wait list is full. Sets
// *added when r.handler went into the subscription list.
bool RecordSubRequest(Client* c, const SubRequest& r, uint16_t* id, bool* added) {
    Guard l(c->mu);
    if (c->sub_wait.size() >= NEXO_MC_SUB_REQUEST_NUM_MAX) {
        log_err(MOD, "number of subInfo more than max!,size = %zu", c->sub_wait.size());
        return false;
    }
    *id = NextIdLocked(c);
    c->sub_wait.push_back({*id, r.kind, HAL_UptimeMs(), r.filter});
    if (r.sync)
        c->sync_results.emplace_back(*id, 0);
    *added = false;
    if (r.handler == nullptr)
        return true;
    for (auto& s : c->subs) {
        if (s.filter == r.filter && s.fn == r.handler->fn && s.ctx == r.handler->ctx) {
            log_debug(MOD, "dup sub,topic = %s", r.filter.c_str());
            return true;
        }
    }
    c->subs.push_back(*r.handler);
    *added = true;
    return true;
}

void ForgetSubRequest(Client* c, const SubRequest& r, uint16_t id, bool added) {
    Guard l(c->mu);
    c->sub_wait.remove_if([&](const SubWait& w) { return w.id == id; });
    c->sync_results.erase(std::remove_if(c->sync_results.begin(), c->sync_results.end(),
                                         [&](auto& e) { return e.first == id; }),
                          c->sync_results.end());
    if (!added)
        return;
    for (auto it = c->subs.rbegin(); it != c->subs.rend(); ++it) {
        if (it->filter == r.filter && it->fn == r.handler->fn && it->ctx == r.handler->ctx) {
            c->subs.erase(std::next(it).base());
            return;
        }
    }
}

}  // namespace

int SendSubRequest(Client* c, const SubRequest& r) {
    uint16_t id = 0;
    bool added = false;
    if (!RecordSubRequest(c, r, &id, &added))
        return TETHER_ERR_LIST_OVERFLOW;
    const char* topic = r.filter.c_str();
    int rc = SendBuilt(c, [&](uint8_t* b, size_t n) {
        return r.kind == kSub ? mqtt_serialize_subscribe(b, n, id, topic, r.qos)
                              : mqtt_serialize_unsubscribe(b, n, id, topic);
    });
    if (rc != 0) {
        ForgetSubRequest(c, r, id, added);
        if (rc == TETHER_ERR_NETWORK)
            SetDisconnected(c);
        return rc;
    }
    // The cycle may be asleep until a later deadline than this request's.
    HAL_WakerSignal(c->waker);
    return id;
}

int SubscribeOn(Client* c, const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx,
                bool sync) {
    if (c->state != TETHER_MC_STATE_CONNECTED) {
        log_err(MOD, "subscribe '%s' while not connected", filter);
        return TETHER_ERR_WRONG_STATE;
    }
    SubHandler h{filter, qos, fn, ctx};
    SubRequest r;
    r.filter = filter;
    r.qos = static_cast<uint8_t>(qos);
    r.handler = &h;
    r.sync = sync;
    int id = SendSubRequest(c, r);
    if (id >= 0)
        log_info(MOD, "mqtt subscribe packet sent,topic = %s!", filter);
    return id;
}

// A broker that came back without our session would otherwise never deliver
// another command to this device.
void Resubscribe(Client* c) {
    std::vector<std::pair<std::string, int>> filters;
    {
        Guard l(c->mu);
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
        SubRequest r;
        r.filter = f.first;
        r.qos = static_cast<uint8_t>(f.second);
        int rc = SendSubRequest(c, r);
        if (rc == TETHER_ERR_NETWORK)
            return;
        if (rc > 0)
            c->resubscribed++;
    }
}

void ResendDue(Client* c, uint64_t now) {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> due;
    {
        Guard l(c->mu);
        for (auto& p : c->pub_wait) {
            if (now - p.last_send < 2ull * c->request_timeout_ms)
                continue;
            mqtt_publish_set_dup(p.packet.data());
            p.last_send = now;
            due.emplace_back(p.id, p.packet);
        }
    }
    for (auto& d : due) {
        if (!SendPacket(c, d.second.data(), d.second.size())) {
            SetDisconnected(c);
            return;
        }
        log_info(MOD, "QoS 1 publish %u sent again", d.first);
        c->resends++;
    }
}

void ExpireSubWaits(Client* c, uint64_t now, std::vector<Event>* evs) {
    Guard l(c->mu);
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
        SetSyncResultLocked(c, it->id, -2);
        it = c->sub_wait.erase(it);
    }
}

uint64_t NextDeadline(Client* c) {
    Guard l(c->mu);
    int state = c->state;
    if (state == TETHER_MC_STATE_DISCONNECTED_RECONNECTING)
        return c->reconnect_deadline;
    if (state != TETHER_MC_STATE_CONNECTED)
        return UINT64_MAX;
    uint64_t next = c->keepalive_deadline;
    if (c->ping_outstanding > 0)
        next = std::min(next, c->ping_deadline);
    for (auto& p : c->pub_wait)
        next = std::min<uint64_t>(next, p.last_send + 2ull * c->request_timeout_ms);
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

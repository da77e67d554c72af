// The MQTT client's cycle (keep-alive, reading, re-sending, reconnecting),
// its construction and the IOT_MQTT_* API. The other parts and the lock
// order are described in mqtt_client_internal.h.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "infra/guider.h"
#include "infra/mqtt_client_internal.h"

using namespace nexo_mc;

namespace {

void OnConnected(Client* c) {
    Guard l(c->mu);
    c->keepalive_deadline = HAL_UptimeMs() + c->keepalive_ms;
    c->ping_outstanding = 0;
    c->state = TETHER_MC_STATE_CONNECTED;
}

// After a failed attempt: the next one after a doubled, jittered pause.
void BackOff(Client* c) {
    Guard l(c->mu);
    if (c->reconnect_interval_ms < TETHER_MQTT_RECONNECT_MAX_MS) {
        c->reconnect_interval_ms *= 2;
    } else {
        c->reconnect_interval_ms = TETHER_MQTT_RECONNECT_MAX_MS;
    }
    uint32_t wait = c->reconnect_interval_ms + HAL_Random(c->reconnect_interval_ms + 1);
    if (wait > TETHER_MQTT_RECONNECT_MAX_MS)
        wait = TETHER_MQTT_RECONNECT_MAX_MS;
    c->reconnect_deadline = HAL_UptimeMs() + wait;
}

int HandleReconnect(Client* c, std::vector<Event>* evs) {
    uint64_t now = HAL_UptimeMs();
    {
        Guard l(c->mu);
        if (now < c->reconnect_deadline)
            return TETHER_ERR_WRONG_STATE;
        Push(c->attempt_at, now);
    }
    log_info(MOD, "start to reconnect");
    if (!c->explicit_endpoint && nexo_conn_info_reload() != 0) {
        log_err(MOD, "connection information rebuild failed, keeping the last one");
    }
    LoadEndpoint(c);
    uint8_t sp = 0;
    int rc = ConnectOnce(c, &sp);
    if (rc != 0) {
        BackOff(c);
        log_err(MOD, "mqtt reconnect failed rc = %d", rc);
        return rc;
    }
    OnConnected(c);
    {
        Guard l(c->mu);
        Push(c->reconnected_at, HAL_UptimeMs());
    }
    log_info(MOD, "network is reconnected!");
    if (!sp)
        Resubscribe(c);
    evs->push_back({TETHER_MQTT_EVENT_RECONNECT, 0});
    return 0;
}

// A PINGREQ every keep-alive period. Its answer is due within half a period:
// a broker silent for 1.5 periods is taken as gone (MQTT 3.1.1 leaves "a
// reasonable amount of time" to the client).
void KeepAlive(Client* c, uint64_t now) {
    bool unanswered = false;
    {
        Guard l(c->mu);
        unanswered = c->ping_outstanding > 0 && now >= c->ping_deadline;
        if (!unanswered) {
            if (now < c->keepalive_deadline)
                return;
            c->keepalive_deadline = now + c->keepalive_ms;
        }
    }
    if (unanswered) {
        log_err(MOD, "keepalive_probes more than %u, disconnected\n", kKeepaliveProbesMax);
        SetDisconnected(c);
        return;
    }
    log_debug(MOD, "send MQTT ping...");
    if (SendBuilt(c, [](uint8_t* b, size_t n) {
            return mqtt_serialize_zero(b, n, MQTT_PKT_PINGREQ);
        }) != 0) {
        SetDisconnected(c);
        return;
    }
    Guard l(c->mu);
    if (c->ping_outstanding++ == 0)
        c->ping_deadline = now + c->keepalive_ms / 2;
    c->pings++;
}

void EnterReconnecting(Client* c, uint64_t now, std::vector<Event>* evs) {
    log_err(MOD, "network is disconnected!");
    evs->push_back({TETHER_MQTT_EVENT_DISCONNECT, 0});
    CloseTransport(c);
    Guard l(c->mu);
    Push(c->disconnect_at, now);
    c->reconnect_interval_ms = kReconnectStartMs;
    c->reconnect_deadline = HAL_UptimeMs() + kReconnectStartMs;
    c->state = TETHER_MC_STATE_DISCONNECTED_RECONNECTING;
}

// Reads and handles every packet that is there now.
void ReadAvailable(Client* c, std::vector<Event>* evs) {
    for (int i = 0; i < kMaxPacketsPerRound && c->state == TETHER_MC_STATE_CONNECTED; ++i) {
        size_t len = 0;
        int r = ReadPacket(c, 0, &len);
        if (r == kReadNone)
            return;
        if (r == kReadError) {
            SetDisconnected(c);
            return;
        }
        if (r == kReadDropped) {
            HandleDropped(c, len);
            continue;
        }
        HandlePacket(c, len, evs);
    }
}

// One round of the client cycle; caller holds the cycle.
void CycleOnce(Client* c) {
    std::vector<Event> evs;
    uint64_t now = HAL_UptimeMs();
    if (c->state == TETHER_MC_STATE_CONNECTED)
        KeepAlive(c, now);
    if (c->state == TETHER_MC_STATE_DISCONNECTED_RECONNECTING)
        HandleReconnect(c, &evs);
    if (c->state == TETHER_MC_STATE_DISCONNECTED)
        EnterReconnecting(c, now, &evs);
    if (c->state == TETHER_MC_STATE_CONNECTED)
        ReadAvailable(c, &evs);
    now = HAL_UptimeMs();
    if (c->state == TETHER_MC_STATE_CONNECTED)
        ResendDue(c, now);
    ExpireSubWaits(c, now, &evs);
    FireEvents(c, evs);
}

void FreeClient(Client* c) {
    CloseTransport(c);
    HAL_WakerDestroy(c->waker);
    c->magic_head = c->magic_tail = 0;
    delete c;
}

}  // namespace

// ---------------------------------------------------------------------------

int nexo_mc_check_topic(const char* topic, int filter) {
    if (topic == nullptr || topic[0] != '/') {
        log_err(MOD, "topic must start with '/'");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    size_t len = strlen(topic);
    if (len > TETHER_MQTT_TOPIC_LEN_MAX) {
        log_err(MOD, "len of topicName exceeds 64");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    size_t level_start = 0;
    bool after_hash = false;
    for (size_t i = 0; i <= len; ++i) {
        char ch = topic[i];
        if (ch == '/' || ch == '\0') {
            size_t ll = i - level_start;
            const char* lv = topic + level_start;
            if (filter) {
                bool has_wild = memchr(lv, '+', ll) || memchr(lv, '#', ll);
                if (has_wild && ll != 1) {
                    log_err(MOD, "the character + or # must stand alone in a level");
                    return TETHER_ERR_INVALID_ARGUMENT;
                }
                if (after_hash) {
                    log_err(MOD, "the character # is error");
                    return TETHER_ERR_INVALID_ARGUMENT;
                }
                if (ll == 1 && lv[0] == '#')
                    after_hash = true;
            }
            level_start = i + 1;
            continue;
        }
        unsigned char u = static_cast<unsigned char>(ch);
        if (u < 32 || u > 126) {
            log_err(MOD, "topic has a non-printable character");
            return TETHER_ERR_INVALID_ARGUMENT;
        }
        if (!filter && (ch == '+' || ch == '#')) {
            log_err(MOD, "has character # and + is error");
            return TETHER_ERR_INVALID_ARGUMENT;
        }
    }
    return 0;
}

bool nexo_mc_topic_match(const char* filter, const char* topic, size_t tlen) {
    const char* f = filter;
    size_t t = 0;
    for (;;) {
        // Current filter level.
        const char* fend = strchr(f, '/');
        size_t fl = fend ? static_cast<size_t>(fend - f) : strlen(f);
        if (fl == 1 && f[0] == '#')
            return true;
        if (t > tlen)
            return false;
        size_t tend = t;
        while (tend < tlen && topic[tend] != '/')
            ++tend;
        size_t tl = tend - t;
        if (!(fl == 1 && f[0] == '+')) {
            if (fl != tl || memcmp(f, topic + t, tl) != 0)
                return false;
        }
        bool f_last = fend == nullptr;
        bool t_last = tend >= tlen;
        if (f_last && t_last)
            return true;
        if (t_last) {
            // "a/#" also matches "a".
            return !f_last && strcmp(fend + 1, "#") == 0;
        }
        if (f_last)
            return false;
        f = fend + 1;
        t = tend + 1;
    }
}

void* nexo_mc_init(const tether_mqtt_param_t* p) {
    if (p == nullptr || p->write_buf_size == 0 || p->read_buf_size == 0) {
        log_err(MOD, "Invalid argument: buffer sizes must be non-zero");
        return nullptr;
    }
    Client* c = new (std::nothrow) Client();
    if (c == nullptr) {
        log_err(MOD, "Not Enough Memory");
        return nullptr;
    }
    c->waker = HAL_WakerCreate();
    if (c->waker == nullptr) {
        FreeClient(c);
        return nullptr;
    }
    c->wbuf.resize(p->write_buf_size);
    c->rbuf.resize(p->read_buf_size);
    uint32_t rt = p->request_timeout_ms;
    c->request_timeout_ms =
        (rt >= TETHER_MQTT_REQUEST_TIMEOUT_MIN && rt <= TETHER_MQTT_REQUEST_TIMEOUT_MAX)
            ? rt
            : TETHER_MQTT_REQUEST_TIMEOUT_DEFAULT;
    uint32_t ka = p->keepalive_interval_ms;
    if (ka < TETHER_MQTT_KEEPALIVE_MIN_MS) {
        log_warning(MOD, "Input heartbeat interval(%u ms) < Allowed minimum(%d ms)", ka,
                    TETHER_MQTT_KEEPALIVE_MIN_MS);
        ka = TETHER_MQTT_KEEPALIVE_MIN_MS;
        log_warning(MOD, "Reset heartbeat interval => %u Millisecond", ka);
    } else if (ka > TETHER_MQTT_KEEPALIVE_MAX_MS) {
        log_warning(MOD, "Input heartbeat interval(%u ms) > Allowed maximum(%d ms)", ka,
                    TETHER_MQTT_KEEPALIVE_MAX_MS);
        ka = TETHER_MQTT_KEEPALIVE_MAX_MS;
        log_warning(MOD, "Reset heartbeat interval => %u Millisecond", ka);
    }
    c->keepalive_ms = ka;
    c->clean_session = p->clean_session;
    c->event = p->handle_event;
    c->version = 4;
    c->reconnect_interval_ms = kReconnectStartMs;
    if (p->host && p->host[0]) {
        c->explicit_endpoint = true;
        c->host = p->host;
        c->port = p->port;
        c->client_id = p->client_id ? p->client_id : "";
        c->username = p->username ? p->username : "";
        c->password = p->password ? p->password : "";
        c->ca = p->pub_key ? p->pub_key : "";
    } else {
        LoadEndpoint(c);
        if (p->port)
            c->port = p->port;
    }
    char dn[HAL_DEVICE_NAME_LEN + 1] = {0};
    HAL_GetDeviceName(dn);
    uint32_t seed = static_cast<uint32_t>(HAL_UptimeMs() / 1000);
    for (const char* q = dn; *q; ++q)
        seed += static_cast<unsigned char>(*q);
    HAL_Srandom(seed);
    c->state = TETHER_MC_STATE_INITIALIZED;
    Register(c);
    log_info(MOD, "MQTT init success!");
    return c;
}

int nexo_mc_connect(void* client) {
    Use u(client);
    Client* c = u.c;
    if (c == nullptr)
        return TETHER_ERR_INVALID_ARGUMENT;
    if (!TakeCycle(c, UINT64_MAX))
        return TETHER_ERR_WRONG_STATE;
    uint8_t sp = 0;
    int rc = ConnectOnce(c, &sp);
    if (rc == 0)
        OnConnected(c);
    GiveCycle(c);
    if (rc != 0)
        return rc;
    log_info(MOD, "mqtt connect success!");
    return 0;
}

void nexo_mc_set_default(void* client) {
    SetDefault(static_cast<Client*>(client));
}

void* nexo_mc_get_default(void) {
    return GetDefault();
}

void nexo_mc_wake(void* client) {
    Use u(client);
    if (u.c)
        HAL_WakerSignal(u.c->waker);
}

void nexo_mc_set_keepalive_ms(void* client, uint32_t keepalive_ms) {
    Use u(client);
    if (u.c == nullptr || keepalive_ms == 0)
        return;
    Guard l(u.c->mu);
    u.c->keepalive_ms = keepalive_ms;
    u.c->keepalive_deadline = HAL_UptimeMs() + keepalive_ms;
    HAL_WakerSignal(u.c->waker);
}

void nexo_mc_replay_offline_subs(void* client) {
    std::vector<OfflineSub> subs = OfflineTake();
    for (auto& s : subs) {
        int rc = IOT_MQTT_Subscribe(client, s.filter.c_str(), s.qos, s.fn, s.ctx);
        if (rc < 0)
            log_err(MOD, "offline subscription '%s' failed: %d", s.filter.c_str(), rc);
    }
}

bool nexo_mc_get_stats(void* client, nexo_mc_stats_t* out) {
    Use u(client);
    Client* c = u.c;
    if (c == nullptr || out == nullptr)
        return false;
    out->state = c->state;
    out->request_timeout_ms = c->request_timeout_ms;
    out->resends = c->resends;
    out->resubscribed = c->resubscribed;
    out->pings = c->pings;
    out->wakeups = c->wakeups;
    Guard l(c->mu);
    out->keepalive_s = c->keepalive_ms / 1000;
    out->pub_wait = c->pub_wait.size();
    out->sub_wait = c->sub_wait.size();
    out->subscriptions = c->subs.size();
    out->reconnect_interval_ms = c->reconnect_interval_ms;
    out->cycle_held = c->cycle_held;
    out->disconnect_at_ms = c->disconnect_at;
    out->reconnect_attempt_at_ms = c->attempt_at;
    out->reconnected_at_ms = c->reconnected_at;
    return true;
}

// --- public API ---------------------------------------------------------------

void* IOT_MQTT_Construct(tether_mqtt_param_t* params) {
    tether_mqtt_param_t p{};
    if (params != nullptr) {
        p = *params;
    } else {
        p.request_timeout_ms = TETHER_MQTT_REQUEST_TIMEOUT_DEFAULT;
        p.keepalive_interval_ms = 30000;
        p.write_buf_size = 1280;
        p.read_buf_size = 1280;
        p.clean_session = 0;
    }
    if (p.host == nullptr || p.host[0] == '\0') {
        // Take the identity stored in the port layer.
        nexo_conn_snapshot_t s = nexo_conn_info_snapshot();
        if (!s.valid) {
            char pk[HAL_PRODUCT_KEY_LEN + 1] = {0}, dn[HAL_DEVICE_NAME_LEN + 1] = {0};
            HAL_GetProductKey(pk);
            HAL_GetDeviceName(dn);
            if (IOT_SetupConnInfo(pk, dn, nullptr, nullptr) != 0) {
                log_err(MOD, "nexo_mc_init failed");
                return nullptr;
            }
        }
    }
    void* c = nexo_mc_init(&p);
    if (c == nullptr) {
        log_err(MOD, "nexo_mc_init failed");
        return nullptr;
    }
    if (nexo_mc_connect(c) != 0) {
        log_err(MOD, "nexo_mc_connect failed");
        void* h = c;
        IOT_MQTT_Destroy(&h);
        return nullptr;
    }
    nexo_mc_set_default(c);
    nexo_mc_replay_offline_subs(c);
    nexo_dm_after_mqtt_construct(c);
    return c;
}

int IOT_MQTT_Destroy(void** phandler) {
    {
        // The handler's own cycle would wait for itself to leave.
        Use u(phandler ? *phandler : nullptr);
        if (u.c != nullptr && HoldsCycle(u.c)) {
            log_err(MOD, "a client cannot be destroyed from inside its own handler");
            return TETHER_ERR_WRONG_STATE;
        }
    }
    Client* c = Unregister(phandler ? *phandler : nullptr);
    if (c == nullptr) {
        log_err(MOD, "Invalid argument: unknown client");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    // No new caller can reach the client now; tell those inside to leave
    // (a cycle blocked on the socket is woken) and wait until they have.
    std::unique_lock<std::mutex> l(c->mu);
    c->closing = true;
    c->changed.notify_all();
    HAL_WakerSignal(c->waker);
    c->changed.wait(l, [c] { return c->users.load() == 0; });
    l.unlock();
    if (c->state == TETHER_MC_STATE_CONNECTED) {
        SendBuilt(c,
                  [](uint8_t* b, size_t n) { return mqtt_serialize_zero(b, n, MQTT_PKT_DISCONNECT); });
    }
    CloseTransport(c);
    c->state = TETHER_MC_STATE_INVALID;
    log_info(MOD, "mqtt release!");
    FreeClient(c);
    if (phandler)
        *phandler = nullptr;
    return 0;
}

int IOT_MQTT_CheckStateNormal(void* handle) {
    Use u(handle);
    return (u.c && u.c->state == TETHER_MC_STATE_CONNECTED) ? 1 : 0;
}

int IOT_MQTT_State(void* handle) {
    Use u(handle);
    return u.c ? u.c->state.load() : TETHER_MC_STATE_INVALID;
}

namespace {

// Runs the cycle (which the caller holds) until `end`, until the client is
// being destroyed, or until `done` says what the caller waits for happened.
template <typename Done>
void CycleUntil(Client* c, uint64_t end, Done done) {
    for (;;) {
        CycleOnce(c);
        uint64_t deadline = NextDeadline(c);
        uint64_t now = HAL_UptimeMs();
        if (now >= end || c->closing.load() || done())
            return;
        // Block until there is input, work is posted, or the nearest
        // deadline; never spin on a deadline already due.
        uint64_t until = std::min(deadline, end);
        WaitForInput(c, until > now ? static_cast<int>(std::min<uint64_t>(until - now, INT32_MAX))
                                    : 1);
        c->wakeups++;
    }
}

// The result of a synchronous subscribe (0 while unanswered); caller holds mu.
int SyncResultLocked(Client* c, uint16_t id) {
    for (auto& r : c->sync_results) {
        if (r.first == id)
            return r.second;
    }
    return 0;
}

// Waits for the answer to request id until `end`: runs the cycle itself when
// no other thread holds it, else sleeps until told of the answer, of the
// cycle's release or of a destroy.
int AwaitSubscribe(Client* c, uint16_t id, uint64_t end) {
    auto answered = [c, id] {
        Guard l(c->mu);
        return SyncResultLocked(c, id) != 0;
    };
    std::unique_lock<std::mutex> l(c->mu);
    for (;;) {
        uint64_t now = HAL_UptimeMs();
        if (SyncResultLocked(c, id) != 0 || c->closing.load() || now >= end)
            break;
        if (TakeCycleLocked(c)) {
            l.unlock();
            CycleUntil(c, end, answered);
            GiveCycle(c);
            l.lock();
            continue;
        }
        c->changed.wait_for(l, std::chrono::milliseconds(end - now));
    }
    int result = SyncResultLocked(c, id);
    c->sync_results.erase(std::remove_if(c->sync_results.begin(), c->sync_results.end(),
                                         [&](auto& r) { return r.first == id; }),
                          c->sync_results.end());
    return result;
}

}  // namespace

int IOT_MQTT_Yield(void* handle, int timeout_ms) {
    Use u(handle);
    Client* c = u.c;
    if (c == nullptr) {
        log_err(MOD, "Invalid argument: unknown client");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (timeout_ms <= 0)
        timeout_ms = 10;
    // From a handler: the cycle already runs around the caller.
    if (HoldsCycle(c))
        return 0;
    uint64_t end = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms);
    // Another thread serving the client serves it for this caller too.
    if (!TakeCycle(c, end))
        return 0;
    CycleUntil(c, end, [] { return false; });
    GiveCycle(c);
    return 0;
}

int IOT_MQTT_Subscribe(void* handle, const char* topic_filter, int qos,
                       tether_mqtt_msg_handler_fpt fn, void* ctx) {
    if (topic_filter == nullptr || fn == nullptr) {
        log_err(MOD, "Invalid argument");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (nexo_mc_check_topic(topic_filter, 1) != 0)
        return TETHER_ERR_INVALID_ARGUMENT;
    qos = NormaliseQos(qos);
    Use u(handle);
    if (u.c == nullptr) {
        if (handle != nullptr) {
            log_err(MOD, "Invalid argument: unknown client");
            return TETHER_ERR_INVALID_ARGUMENT;
        }
        OfflineAdd(topic_filter, qos, fn, ctx);
        return 0;
    }
    return SubscribeOn(u.c, topic_filter, qos, fn, ctx, false);
}

int IOT_MQTT_Subscribe_Sync(void* handle, const char* topic_filter, int qos,
                            tether_mqtt_msg_handler_fpt fn, void* ctx, int timeout_ms) {
    if (topic_filter == nullptr || fn == nullptr) {
        log_err(MOD, "Invalid argument");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (nexo_mc_check_topic(topic_filter, 1) != 0)
        return TETHER_ERR_INVALID_ARGUMENT;
    qos = NormaliseQos(qos);
    Use u(handle);
    Client* c = u.c;
    if (c == nullptr) {
        log_err(MOD, "Invalid argument: unknown client");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    // The answer is read by the very cycle that called this handler.
    if (HoldsCycle(c)) {
        log_err(MOD, "synchronous subscribe of '%s' from a handler of its client: use "
                     "IOT_MQTT_Subscribe", topic_filter);
        return TETHER_ERR_WRONG_STATE;
    }
    if (timeout_ms <= 0 || timeout_ms > 10000)
        timeout_ms = 10000;
    uint64_t end = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms);
    // The result entry exists before the request leaves, so an answer
    // handled at once by another thread's cycle is not missed.
    int id = SubscribeOn(c, topic_filter, qos, fn, ctx, true);
    if (id < 0)
        return id;
    int result = AwaitSubscribe(c, static_cast<uint16_t>(id), end);
    if (result == 1) {
        log_info(MOD, "success!!");
        return id;
    }
    if (result == 0 || result == -2)
        log_err(MOD, "time out!!");
    return TETHER_ERR_GENERIC;
}

int IOT_MQTT_Unsubscribe(void* handle, const char* topic_filter) {
    if (topic_filter == nullptr || nexo_mc_check_topic(topic_filter, 1) != 0) {
        log_err(MOD, "Invalid argument");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    Use u(handle);
    Client* c = u.c;
    if (c == nullptr) {
        if (handle == nullptr) {
            OfflineRemove(topic_filter);
            return 0;
        }
        log_err(MOD, "Invalid argument: unknown client");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    {
        Guard l(c->mu);
        c->subs.erase(std::remove_if(c->subs.begin(), c->subs.end(),
                                     [&](auto& s) { return s.filter == topic_filter; }),
                      c->subs.end());
    }
    if (c->state != TETHER_MC_STATE_CONNECTED)
        return TETHER_ERR_WRONG_STATE;
    SubRequest r;
    r.kind = kUnsub;
    r.filter = topic_filter;
    return SendSubRequest(c, r);
}

namespace {

// Encodes m into the send buffer (io held) and, for QoS 1, keeps a copy for
// re-sending before it leaves; the packet length or an error.
int StagePublish(Client* c, const char* topic, const tether_mqtt_topic_info_t* m, uint16_t id) {
    int len = mqtt_serialize_publish(c->wbuf.data(), c->wbuf.size(), m->dup, m->qos, m->retain, id,
                                     topic, m->payload, m->payload_len);
    if (len < 0) {
        log_err(MOD, "the param of len is error!");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (m->qos != 1)
        return len;
    bool first = false;
    {
        Guard l(c->mu);
        if (c->pub_wait.size() >= TETHER_MQTT_PUB_WAIT_MAX) {
            log_err(MOD, "more than %u elements in republish list. List overflow!",
                    TETHER_MQTT_PUB_WAIT_MAX);
            return TETHER_ERR_LIST_OVERFLOW;
        }
        c->pub_wait.push_back(
            {id, HAL_UptimeMs(), std::vector<uint8_t>(c->wbuf.begin(), c->wbuf.begin() + len)});
        first = c->pub_wait.size() == 1;
    }
    // Its re-send time may come before the cycle's current deadline.
    if (first)
        HAL_WakerSignal(c->waker);
    return len;
}

}  // namespace

int IOT_MQTT_Publish(void* handle, const char* topic, tether_mqtt_topic_info_t* m) {
    if (topic == nullptr || m == nullptr || (m->payload == nullptr && m->payload_len > 0)) {
        log_err(MOD, "Invalid argument");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (m->qos == TETHER_MQTT_QOS2) {
        log_err(MOD, "MQTTPublish return error,MQTT_QOS2 is now not supported.");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (m->qos > TETHER_MQTT_QOS2) {
        log_err(MOD, "Invalid qos(%d)", m->qos);
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (nexo_mc_check_topic(topic, 0) != 0)
        return TETHER_ERR_INVALID_ARGUMENT;
    Use u(handle);
    Client* c = u.c;
    if (c == nullptr) {
        log_err(MOD, "publish on '%s': no client", topic);
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (c->state != TETHER_MC_STATE_CONNECTED) {
        log_err(MOD, "publish on '%s' while not connected", topic);
        return TETHER_ERR_WRONG_STATE;
    }
    uint16_t id = 0;
    if (m->qos == 1) {
        Guard l(c->mu);
        id = NextIdLocked(c);
    }
    Guard io(c->io);
    int len = StagePublish(c, topic, m, id);
    if (len < 0)
        return len;
    if (!SendLocked(c, c->wbuf.data(), static_cast<size_t>(len))) {
        if (m->qos == 1) {
            // Reported as failed, so it must not also go out later.
            Guard l(c->mu);
            c->pub_wait.remove_if([&](const PubWait& w) { return w.id == id; });
        }
        SetDisconnected(c);
        return TETHER_ERR_NETWORK;
    }
    m->packet_id = id;
    return id;
}

int IOT_MQTT_Publish_Simple(void* handle, const char* topic, int qos, void* data, int len) {
    if (len < 0) {
        log_err(MOD, "Invalid argument");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    tether_mqtt_topic_info_t m{};
    m.qos = static_cast<uint8_t>(qos < 0 ? 0xff : qos);
    m.payload = static_cast<const char*>(data);
    m.payload_len = static_cast<uint32_t>(len);
    int rc = IOT_MQTT_Publish(handle, topic, &m);
    if (rc < 0)
        log_err(MOD, "IOT_MQTT_Publish failed\n");
    return rc;
}

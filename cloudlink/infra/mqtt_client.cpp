#include "infra/mqtt_client.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>

#include "infra/guider.h"
#include "infra/mqtt_packet.h"
#include "tether/hal.h"

#define MOD "MQTT"

namespace {

constexpr uint32_t kMagicHead = 0x4d515443;  // "MQTC"
constexpr uint32_t kMagicTail = 0x4d515457;  // "MQTW"
constexpr uint32_t kReconnectStartMs = 1000;
constexpr uint32_t kKeepaliveProbesMax = 1;
constexpr int kMaxPacketsPerRound = 64;
constexpr size_t kHistoryMax = 32;

// RAII over the port layer's mutex.
class HalLock {
  public:
    explicit HalLock(void* m) : m_(m) { HAL_MutexLock(m_); }
    ~HalLock() { HAL_MutexUnlock(m_); }
    HalLock(const HalLock&) = delete;
    HalLock& operator=(const HalLock&) = delete;

  private:
    void* m_;
};

struct SubHandler {
    std::string filter;
    int qos = 0;
    tether_mqtt_msg_handler_fpt fn = nullptr;
    void* ctx = nullptr;
};

struct PubWait {
    uint16_t id;
    uint64_t last_send;
    std::vector<uint8_t> packet;
};

enum SubKind { kSub = 0, kUnsub = 1 };
struct SubWait {
    uint16_t id;
    SubKind kind;
    uint64_t sent;
    std::string filter;
};

struct Event {
    tether_mqtt_event_type_t type;
    uintptr_t id;
};

struct Client {
    uint32_t magic_head = kMagicHead;
    std::atomic<int> state{TETHER_MC_STATE_INVALID};
    std::atomic<int> users{0};
    uint32_t request_timeout_ms = TETHER_MQTT_REQUEST_TIMEOUT_DEFAULT;
    uint32_t keepalive_s = 30;
    std::vector<uint8_t> wbuf, rbuf;
    uint16_t next_id = 0;
    uint32_t reconnect_interval_ms = kReconnectStartMs;
    uint64_t reconnect_deadline = 0;
    uint64_t keepalive_deadline = 0;
    uint32_t ping_outstanding = 0;
    uint8_t version = 4;
    uint8_t clean_session = 0;
    // Connection parameters; an empty host means "take the global
    // connection information at every (re)connect".
    bool explicit_endpoint = false;
    std::string host, client_id, username, password, ca;
    uint16_t port = 0;
    uintptr_t ssl = 0;
    bool ever_connected = false;

    std::vector<SubHandler> subs;
    std::list<PubWait> pub_wait;
    std::list<SubWait> sub_wait;
    // Results of subscribe requests somebody waits for synchronously.
    std::vector<std::pair<uint16_t, int>> sync_results;
    tether_mqtt_event_handle_t event{nullptr, nullptr};

    void* lock_client = nullptr;
    void* lock_wbuf = nullptr;
    void* lock_rbuf = nullptr;
    void* lock_pub_wait = nullptr;
    void* lock_sub_wait = nullptr;
    void* lock_subs = nullptr;
    void* lock_transport = nullptr;  // the TLS context is not safe for concurrent use
    void* lock_misc = nullptr;       // packet ids and statistics

    std::atomic<uint32_t> resends{0}, resubscribed{0}, pings{0};
    std::vector<uint64_t> disconnect_at, attempt_at, reconnected_at;
    uint32_t magic_tail = kMagicTail;
};

// --- registry of live clients: a stale or foreign pointer is refused, and
// Destroy waits until no other thread is inside the client.
std::mutex g_reg_mutex;
std::vector<Client*> g_clients;
Client* g_default = nullptr;

struct OfflineSub {
    std::string filter;
    int qos;
    tether_mqtt_msg_handler_fpt fn;
    void* ctx;
};
std::mutex g_offline_mutex;
std::vector<OfflineSub> g_offline;

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
    if (c)
        c->users.fetch_sub(1);
}
struct Use {
    Client* c;
    explicit Use(void* h) : c(Acquire(h)) {}
    ~Use() { Release(c); }
};

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

void FireEvents(Client* c, const std::vector<Event>& evs) {
    if (c->event.h_fp == nullptr)
        return;
    for (const Event& e : evs) {
        tether_mqtt_event_msg_t m{e.type, reinterpret_cast<void*>(e.id)};
        c->event.h_fp(c->event.pcontext, c, &m);
    }
}

void CloseTransport(Client* c) {
    HalLock l(c->lock_transport);
    if (c->ssl != 0) {
        HAL_SSL_Destroy(c->ssl);
        c->ssl = 0;
    }
}

// Sends bytes; false on any short write or when there is no transport.
bool SendRaw(Client* c, const uint8_t* p, size_t n) {
    HalLock l(c->lock_transport);
    if (c->ssl == 0)
        return false;
    int w = HAL_SSL_Write(c->ssl, reinterpret_cast<const char*>(p), static_cast<int>(n),
                          static_cast<int>(c->request_timeout_ms));
    if (w != static_cast<int>(n)) {
        log_err(MOD, "send failed: %d of %zu bytes", w, n);
        return false;
    }
    return true;
}

// Encodes with fn into the send buffer and sends under the send-buffer lock.
template <typename Fn>
int SendBuilt(Client* c, Fn fn) {
    HalLock l(c->lock_wbuf);
    int len = fn(c->wbuf.data(), c->wbuf.size());
    if (len < 0) {
        log_err(MOD, "the param of len is error!");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (!SendRaw(c, c->wbuf.data(), static_cast<size_t>(len)))
        return TETHER_ERR_NETWORK;
    return 0;
}

enum ReadResult { kReadNone = 0, kReadPacket = 1, kReadDropped = 2, kReadError = -1 };

// Reads one whole packet into rbuf (caller holds lock_rbuf). first_wait_ms
// is how long to wait for the first byte; the rest must follow within the
// request time-out. A packet larger than the receive buffer is drained and
// dropped so the stream stays in step.
int ReadPacket(Client* c, uint32_t first_wait_ms, size_t* out_len) {
    HalLock l(c->lock_transport);
    if (c->ssl == 0)
        return kReadError;
    uint8_t hdr[5];
    int n = HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(hdr), 1, static_cast<int>(first_wait_ms));
    if (n == 0)
        return kReadNone;
    if (n < 0) {
        log_err(MOD, "read error %d", n);
        return kReadError;
    }
    int to = static_cast<int>(c->request_timeout_ms);
    size_t used = 0;
    uint32_t rem = 0;
    for (size_t i = 1; i < 5; ++i) {
        if (HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(hdr + i), 1, to) != 1) {
            log_err(MOD, "read of the remaining length failed");
            return kReadError;
        }
        int rc = mqtt_decode_remaining_length(hdr + 1, i, &rem, &used);
        if (rc == 0)
            break;
        if (rc == MQTT_CODEC_MALFORMED) {
            log_err(MOD, "malformed remaining length from the broker");
            return kReadError;
        }
    }
    if (used == 0) {
        log_err(MOD, "malformed remaining length from the broker");
        return kReadError;
    }
    size_t head = 1 + used;
    size_t total = head + rem;
    if (total <= c->rbuf.size()) {
        memcpy(c->rbuf.data(), hdr, head);
        if (rem > 0) {
            int r = HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(c->rbuf.data() + head),
                                 static_cast<int>(rem), to);
            if (r != static_cast<int>(rem)) {
                log_err(MOD, "short packet read: %d of %u", r, rem);
                return kReadError;
            }
        }
        *out_len = total;
        return kReadPacket;
    }
    // Too large: keep the first part (enough for a PUBLISH's topic and packet
    // id), discard the rest.
    log_err(MOD, "packet of %zu bytes exceeds the receive buffer (%zu), dropped", total,
            c->rbuf.size());
    memcpy(c->rbuf.data(), hdr, head);
    size_t kept = std::min(static_cast<size_t>(rem), c->rbuf.size() - head);
    if (kept > 0 && HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(c->rbuf.data() + head),
                                 static_cast<int>(kept), to) != static_cast<int>(kept)) {
        return kReadError;
    }
    size_t left = rem - kept;
    char scratch[512];
    while (left > 0) {
        int chunk = static_cast<int>(std::min(left, sizeof(scratch)));
        if (HAL_SSL_Read(c->ssl, scratch, chunk, to) != chunk)
            return kReadError;
        left -= static_cast<size_t>(chunk);
    }
    *out_len = head + kept;
    return kReadDropped;
}

void SetDisconnected(Client* c) {
    int s = TETHER_MC_STATE_CONNECTED;
    c->state.compare_exchange_strong(s, TETHER_MC_STATE_DISCONNECTED);
}

// Sends SUBSCRIBE again for every filter in the subscription list: a broker
// that came back without our session would otherwise never deliver another
// command to this device.
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
        uint16_t id = NextId(c);
        {
            HalLock l(c->lock_sub_wait);
            if (c->sub_wait.size() >= NEXO_MC_SUB_REQUEST_NUM_MAX) {
                log_err(MOD, "number of subInfo more than max!,size = %zu", c->sub_wait.size());
                continue;
            }
            c->sub_wait.push_back({id, kSub, HAL_UptimeMs(), f.first});
        }
        const char* topic = f.first.c_str();
        uint8_t qos = static_cast<uint8_t>(f.second);
        int rc = SendBuilt(c, [&](uint8_t* b, size_t n) {
            return mqtt_serialize_subscribe(b, n, id, topic, qos);
        });
        if (rc != 0) {
            SetDisconnected(c);
            return;
        }
        HalLock l(c->lock_misc);
        c->resubscribed++;
    }
}

void LoadEndpoint(Client* c) {
    if (c->explicit_endpoint)
        return;
    nexo_conn_snapshot_t s = nexo_conn_info_snapshot();
    if (!s.valid)
        return;
    c->host = s.host;
    c->port = s.port;
    c->client_id = s.client_id;
    c->username = s.username;
    c->password = s.password;
    c->ca = s.ca;
}

// TLS + CONNECT + CONNACK. Sets *session_present. 0 or negative.
int ConnectOnce(Client* c, uint8_t* session_present) {
    if (c->host.empty() || c->client_id.empty()) {
        log_err(MOD, "no connection information");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    CloseTransport(c);
    uintptr_t h =
        HAL_SSL_Establish(c->host.c_str(), c->port, c->ca.empty() ? nullptr : c->ca.c_str(),
                          static_cast<uint32_t>(c->ca.size() + (c->ca.empty() ? 0 : 1)));
    if (h == 0) {
        if (HAL_SSL_LastError() == HAL_SSL_ERR_CERT_EXPIRED)
            log_err(MOD, "certificate is expired!");
        log_err(MOD, "TCP or TLS Connection failed");
        return TETHER_ERR_NETWORK;
    }
    {
        HalLock l(c->lock_transport);
        c->ssl = h;
    }
    mqtt_connect_options_t o{};
    o.version = c->version;
    o.client_id = c->client_id.c_str();
    o.username = c->username.empty() ? nullptr : c->username.c_str();
    o.password = c->password.empty() ? nullptr : c->password.c_str();
    o.keepalive_s = static_cast<uint16_t>(c->keepalive_s);
    o.clean_session = c->clean_session;
    int rc = SendBuilt(c, [&](uint8_t* b, size_t n) { return mqtt_serialize_connect(b, n, &o); });
    if (rc != 0) {
        CloseTransport(c);
        return rc;
    }
    HalLock lr(c->lock_rbuf);
    size_t len = 0;
    uint64_t deadline = HAL_UptimeMs() + c->request_timeout_ms;
    int r = kReadNone;
    while (r == kReadNone && HAL_UptimeMs() < deadline) {
        r = ReadPacket(c, static_cast<uint32_t>(deadline - HAL_UptimeMs()), &len);
    }
    if (r != kReadPacket) {
        log_err(MOD, "wait connack timeout");
        CloseTransport(c);
        return TETHER_ERR_NETWORK;
    }
    uint8_t sp = 0, code = 0xff;
    if (mqtt_deserialize_connack(c->rbuf.data(), len, &sp, &code) != 0 || code != 0) {
        log_err(MOD, "connect ack is error, return code %u", code);
        CloseTransport(c);
        return TETHER_ERR_GENERIC;
    }
    *session_present = sp;
    return 0;
}

void OnConnected(Client* c) {
    c->state = TETHER_MC_STATE_CONNECTED;
    c->keepalive_deadline = HAL_UptimeMs() + c->keepalive_s * 1000ull;
    c->ping_outstanding = 0;
    c->ever_connected = true;
}

void Deliver(Client* c, const mqtt_publish_view_t& v) {
    std::vector<SubHandler> hit;
    {
        HalLock l(c->lock_subs);
        for (auto& s : c->subs) {
            if (nexo_mc_topic_match(s.filter.c_str(), v.topic, v.topic_len))
                hit.push_back(s);
        }
    }
    tether_mqtt_topic_info_t info{};
    info.packet_id = v.packet_id;
    info.qos = v.qos;
    info.dup = v.dup;
    info.retain = v.retain;
    info.topic_len = v.topic_len;
    info.ptopic = v.topic;
    info.payload = reinterpret_cast<const char*>(v.payload);
    info.payload_len = static_cast<uint32_t>(v.payload_len);
    tether_mqtt_event_msg_t m{TETHER_MQTT_EVENT_PUBLISH_RECEIVED, &info};
    if (hit.empty()) {
        log_debug(MOD, "NO matching any topic, call default handle function");
        if (c->event.h_fp)
            c->event.h_fp(c->event.pcontext, c, &m);
        return;
    }
    for (auto& s : hit) {
        if (s.fn)
            s.fn(s.ctx, c, &m);
    }
}

void HandlePacket(Client* c, size_t len, std::vector<Event>* evs) {
    const uint8_t* p = c->rbuf.data();
    int type = mqtt_packet_type(p, len);
    switch (type) {
        case MQTT_PKT_PUBACK: {
            uint8_t t;
            uint16_t id;
            if (mqtt_deserialize_ack(p, len, &t, &id) != 0)
                break;
            bool found = false;
            {
                HalLock l(c->lock_pub_wait);
                for (auto it = c->pub_wait.begin(); it != c->pub_wait.end(); ++it) {
                    if (it->id == id) {
                        c->pub_wait.erase(it);
                        found = true;
                        break;
                    }
                }
            }
            if (found)
                evs->push_back({TETHER_MQTT_EVENT_PUBLISH_SUCCESS, id});
            return;
        }
        case MQTT_PKT_SUBACK: {
            uint16_t id;
            uint8_t g;
            if (mqtt_deserialize_suback(p, len, &id, &g) != 0)
                break;
            bool found = false;
            {
                HalLock l(c->lock_sub_wait);
                for (auto it = c->sub_wait.begin(); it != c->sub_wait.end(); ++it) {
                    if (it->id == id && it->kind == kSub) {
                        c->sub_wait.erase(it);
                        found = true;
                        break;
                    }
                }
            }
            if (!found)
                return;
            int result = 0;
            if (g == 0x80) {
                log_err(MOD, "MQTT SUBSCRIBE failed, ack code is 0x80");
                evs->push_back({TETHER_MQTT_EVENT_SUBSCRIBE_NACK, id});
                result = TETHER_ERR_GENERIC;
            } else {
                evs->push_back({TETHER_MQTT_EVENT_SUBSCRIBE_SUCCESS, id});
            }
            HalLock l(c->lock_misc);
            for (auto& r : c->sync_results) {
                if (r.first == id)
                    r.second = result == 0 ? 1 : -1;
            }
            return;
        }
        case MQTT_PKT_UNSUBACK: {
            uint8_t t;
            uint16_t id;
            if (mqtt_deserialize_ack(p, len, &t, &id) != 0)
                break;
            HalLock l(c->lock_sub_wait);
            for (auto it = c->sub_wait.begin(); it != c->sub_wait.end(); ++it) {
                if (it->id == id && it->kind == kUnsub) {
                    c->sub_wait.erase(it);
                    evs->push_back({TETHER_MQTT_EVENT_UNSUBSCRIBE_SUCCESS, id});
                    break;
                }
            }
            return;
        }
        case MQTT_PKT_PUBLISH: {
            mqtt_publish_view_t v{};
            if (mqtt_deserialize_publish(p, len, &v) != 0)
                break;
            if (v.qos == 2) {
                log_err(MOD, "QoS 2 publish on '%.*s' not supported, dropped", v.topic_len,
                        v.topic);
                return;
            }
            if (v.qos == 1) {
                uint16_t id = v.packet_id;
                if (SendBuilt(c, [&](uint8_t* b, size_t n) {
                        return mqtt_serialize_ack(b, n, MQTT_PKT_PUBACK, id);
                    }) != 0) {
                    SetDisconnected(c);
                }
            }
            // Deliver after the events gathered so far, so handlers see a
            // consistent order.
            FireEvents(c, *evs);
            evs->clear();
            Deliver(c, v);
            return;
        }
        case MQTT_PKT_PINGRESP:
            if (mqtt_deserialize_pingresp(p, len) != 0)
                break;
            log_debug(MOD, "receive ping response!");
            c->ping_outstanding = 0;
            return;
        case MQTT_PKT_CONNACK:
            log_warning(MOD, "unexpected CONNACK ignored");
            return;
        default:
            break;
    }
    log_err(MOD, "malformed or unexpected packet (type %d, %zu bytes) ignored", type, len);
}

// Handles the head of a packet that was too large to keep: a QoS 1 PUBLISH
// is still acknowledged so the broker does not send it again and again.
void HandleDropped(Client* c, size_t kept) {
    const uint8_t* p = c->rbuf.data();
    if (kept < 2 || (p[0] >> 4) != MQTT_PKT_PUBLISH || ((p[0] >> 1) & 3) != 1)
        return;
    uint32_t rem;
    size_t used;
    if (mqtt_decode_remaining_length(p + 1, kept - 1, &rem, &used) != 0)
        return;
    const uint8_t* b = p + 1 + used;
    size_t avail = kept - 1 - used;
    if (avail < 2)
        return;
    size_t tl = static_cast<size_t>((b[0] << 8) | b[1]);
    if (avail < 2 + tl + 2)
        return;
    uint16_t id = static_cast<uint16_t>((b[2 + tl] << 8) | b[3 + tl]);
    SendBuilt(c,
              [&](uint8_t* o, size_t n) { return mqtt_serialize_ack(o, n, MQTT_PKT_PUBACK, id); });
}

int HandleReconnect(Client* c, std::vector<Event>* evs) {
    uint64_t now = HAL_UptimeMs();
    if (now < c->reconnect_deadline)
        return TETHER_ERR_WRONG_STATE;
    log_info(MOD, "start to reconnect");
    {
        HalLock l(c->lock_misc);
        Push(c->attempt_at, now);
    }
    if (!c->explicit_endpoint && nexo_conn_info_reload() != 0) {
        log_err(MOD, "connection information rebuild failed, keeping the last one");
    }
    LoadEndpoint(c);
    uint8_t sp = 0;
    int rc = ConnectOnce(c, &sp);
    if (rc != 0) {
        if (c->reconnect_interval_ms < TETHER_MQTT_RECONNECT_MAX_MS) {
            c->reconnect_interval_ms *= 2;
        } else {
            c->reconnect_interval_ms = TETHER_MQTT_RECONNECT_MAX_MS;
        }
        uint32_t wait = c->reconnect_interval_ms + HAL_Random(c->reconnect_interval_ms + 1);
        if (wait > TETHER_MQTT_RECONNECT_MAX_MS)
            wait = TETHER_MQTT_RECONNECT_MAX_MS;
        c->reconnect_deadline = HAL_UptimeMs() + wait;
        log_err(MOD, "mqtt reconnect failed rc = %d", rc);
        return rc;
    }
    OnConnected(c);
    {
        HalLock l(c->lock_misc);
        Push(c->reconnected_at, HAL_UptimeMs());
    }
    log_info(MOD, "network is reconnected!");
    if (!sp)
        Resubscribe(c);
    evs->push_back({TETHER_MQTT_EVENT_RECONNECT, 0});
    return 0;
}

// One round of the client cycle; caller holds lock_client. Returns true when
// acknowledgements are awaited or packets were handled, so the caller polls
// again soon instead of idling.
bool CycleOnce(Client* c) {
    bool busy = false;
    std::vector<Event> evs;
    uint64_t now = HAL_UptimeMs();

    if (c->state == TETHER_MC_STATE_CONNECTED && now >= c->keepalive_deadline) {
        c->keepalive_deadline = now + c->keepalive_s * 1000ull;
        log_debug(MOD, "send MQTT ping...");
        if (SendBuilt(c, [](uint8_t* b, size_t n) {
                return mqtt_serialize_zero(b, n, MQTT_PKT_PINGREQ);
            }) != 0) {
            SetDisconnected(c);
        } else {
            c->ping_outstanding++;
            HalLock l(c->lock_misc);
            c->pings++;
        }
    }

    if (c->state == TETHER_MC_STATE_DISCONNECTED_RECONNECTING)
        HandleReconnect(c, &evs);

    if (c->state == TETHER_MC_STATE_DISCONNECTED) {
        log_err(MOD, "network is disconnected!");
        {
            HalLock l(c->lock_misc);
            Push(c->disconnect_at, now);
        }
        evs.push_back({TETHER_MQTT_EVENT_DISCONNECT, 0});
        CloseTransport(c);
        c->reconnect_interval_ms = kReconnectStartMs;
        c->reconnect_deadline = HAL_UptimeMs() + kReconnectStartMs;
        c->state = TETHER_MC_STATE_DISCONNECTED_RECONNECTING;
    }

    if (c->state == TETHER_MC_STATE_CONNECTED) {
        if (c->ping_outstanding > kKeepaliveProbesMax) {
            log_err(MOD, "keepalive_probes more than %u, disconnected\n", kKeepaliveProbesMax);
            SetDisconnected(c);
        } else {
            HalLock lr(c->lock_rbuf);
            for (int i = 0; i < kMaxPacketsPerRound && c->state == TETHER_MC_STATE_CONNECTED; ++i) {
                size_t len = 0;
                int r = ReadPacket(c, 0, &len);
                if (r == kReadNone)
                    break;
                if (r == kReadError) {
                    SetDisconnected(c);
                    break;
                }
                if (r == kReadDropped) {
                    HandleDropped(c, len);
                    continue;
                }
                HandlePacket(c, len, &evs);
            }
        }
    }

    if (c->state == TETHER_MC_STATE_CONNECTED) {
        now = HAL_UptimeMs();
        HalLock l(c->lock_pub_wait);
        for (auto& p : c->pub_wait) {
            if (now - p.last_send < 2ull * c->request_timeout_ms)
                continue;
            mqtt_publish_set_dup(p.packet.data());
            if (!SendRaw(c, p.packet.data(), p.packet.size())) {
                SetDisconnected(c);
                break;
            }
            log_info(MOD, "QoS 1 publish %u sent again", p.id);
            p.last_send = now;
            c->resends++;
        }
    }
    {
        HalLock l(c->lock_pub_wait);
        busy |= !c->pub_wait.empty();
    }
    // lock_misc is taken before the list locks elsewhere (packet ids), so
    // sync results are updated only after lock_sub_wait is released.
    std::vector<uint16_t> timed_out;
    {
        now = HAL_UptimeMs();
        HalLock l(c->lock_sub_wait);
        busy |= !c->sub_wait.empty();
        for (auto it = c->sub_wait.begin(); it != c->sub_wait.end();) {
            if (now - it->sent >= 10ull * c->request_timeout_ms) {
                log_err(MOD, "%s '%s' timed out", it->kind == kSub ? "subscribe" : "unsubscribe",
                        it->filter.c_str());
                evs.push_back({it->kind == kSub ? TETHER_MQTT_EVENT_SUBSCRIBE_TIMEOUT
                                                : TETHER_MQTT_EVENT_UNSUBSCRIBE_TIMEOUT,
                               it->id});
                timed_out.push_back(it->id);
                it = c->sub_wait.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!timed_out.empty()) {
        HalLock lm(c->lock_misc);
        for (auto& r : c->sync_results) {
            for (uint16_t id : timed_out) {
                if (r.first == id)
                    r.second = -2;
            }
        }
    }
    FireEvents(c, evs);
    return busy && c->state == TETHER_MC_STATE_CONNECTED;
}

void FreeClient(Client* c) {
    CloseTransport(c);
    for (void* m : {c->lock_client, c->lock_wbuf, c->lock_rbuf, c->lock_pub_wait, c->lock_sub_wait,
                    c->lock_subs, c->lock_transport, c->lock_misc}) {
        if (m)
            HAL_MutexDestroy(m);
    }
    c->magic_head = c->magic_tail = 0;
    delete c;
}

// Sends one SUBSCRIBE or UNSUBSCRIBE and keeps it on the wait list until its
// acknowledgement arrives; returns the packet id, or an error with nothing left
// waiting.
template <typename Build>
int SendSubRequest(Client* c, SubKind kind, const char* filter, Build build) {
    uint16_t id = NextId(c);
    {
        HalLock l(c->lock_sub_wait);
        if (c->sub_wait.size() >= NEXO_MC_SUB_REQUEST_NUM_MAX) {
            log_err(MOD, "number of subInfo more than max!,size = %zu", c->sub_wait.size());
            return TETHER_ERR_LIST_OVERFLOW;
        }
        c->sub_wait.push_back({id, kind, HAL_UptimeMs(), filter});
    }
    int rc = SendBuilt(c, [&](uint8_t* b, size_t n) { return build(b, n, id); });
    if (rc != 0) {
        HalLock l(c->lock_sub_wait);
        c->sub_wait.remove_if([&](const SubWait& w) { return w.id == id; });
        if (rc == TETHER_ERR_NETWORK)
            SetDisconnected(c);
        return rc;
    }
    return id;
}

int SubscribeOn(Client* c, const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx) {
    if (c->state != TETHER_MC_STATE_CONNECTED) {
        log_err(MOD, "subscribe '%s' while not connected", filter);
        return TETHER_ERR_WRONG_STATE;
    }
    uint8_t q = static_cast<uint8_t>(qos);
    int id = SendSubRequest(c, kSub, filter, [&](uint8_t* b, size_t n, uint16_t pid) {
        return mqtt_serialize_subscribe(b, n, pid, filter, q);
    });
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

int NormaliseQos(int qos) {
    if (qos < TETHER_MQTT_QOS0 || qos > TETHER_MQTT_QOS1) {
        log_warning(MOD, "Invalid qos(%d) out of [%d, %d], using %d", qos, TETHER_MQTT_QOS0,
                    TETHER_MQTT_QOS1, TETHER_MQTT_QOS1);
        return TETHER_MQTT_QOS1;
    }
    return qos;
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
    c->lock_client = HAL_MutexCreate();
    c->lock_wbuf = HAL_MutexCreate();
    c->lock_rbuf = HAL_MutexCreate();
    c->lock_pub_wait = HAL_MutexCreate();
    c->lock_sub_wait = HAL_MutexCreate();
    c->lock_subs = HAL_MutexCreate();
    c->lock_transport = HAL_MutexCreate();
    c->lock_misc = HAL_MutexCreate();
    if (!c->lock_client || !c->lock_wbuf || !c->lock_rbuf || !c->lock_pub_wait ||
        !c->lock_sub_wait || !c->lock_subs || !c->lock_transport || !c->lock_misc) {
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
    c->keepalive_s = ka / 1000;
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
    {
        std::lock_guard<std::mutex> g(g_reg_mutex);
        g_clients.push_back(c);
    }
    log_info(MOD, "MQTT init success!");
    return c;
}

int nexo_mc_connect(void* client) {
    Use u(client);
    Client* c = u.c;
    if (c == nullptr)
        return TETHER_ERR_INVALID_ARGUMENT;
    HalLock l(c->lock_client);
    uint8_t sp = 0;
    int rc = ConnectOnce(c, &sp);
    if (rc != 0)
        return rc;
    OnConnected(c);
    log_info(MOD, "mqtt connect success!");
    return 0;
}

void nexo_mc_set_default(void* client) {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    g_default = static_cast<Client*>(client);
}

void* nexo_mc_get_default(void) {
    std::lock_guard<std::mutex> g(g_reg_mutex);
    return g_default;
}

void nexo_mc_replay_offline_subs(void* client) {
    std::vector<OfflineSub> subs;
    {
        std::lock_guard<std::mutex> g(g_offline_mutex);
        subs.swap(g_offline);
    }
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
    out->keepalive_s = c->keepalive_s;
    {
        HalLock l(c->lock_pub_wait);
        out->pub_wait = c->pub_wait.size();
    }
    {
        HalLock l(c->lock_sub_wait);
        out->sub_wait = c->sub_wait.size();
    }
    {
        HalLock l(c->lock_subs);
        out->subscriptions = c->subs.size();
    }
    HalLock l(c->lock_misc);
    out->resends = c->resends;
    out->resubscribed = c->resubscribed;
    out->pings = c->pings;
    out->reconnect_interval_ms = c->reconnect_interval_ms;
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
    Client* c = nullptr;
    {
        std::lock_guard<std::mutex> g(g_reg_mutex);
        void* h = (phandler && *phandler) ? *phandler : g_default;
        auto it = std::find(g_clients.begin(), g_clients.end(), static_cast<Client*>(h));
        if (h == nullptr || it == g_clients.end()) {
            log_err(MOD, "Invalid argument: unknown client");
            return TETHER_ERR_INVALID_ARGUMENT;
        }
        c = *it;
        g_clients.erase(it);
        if (g_default == c)
            g_default = nullptr;
    }
    // No new caller can reach the client now; wait for those inside.
    while (c->users.load() > 0)
        HAL_SleepMs(1);
    {
        HalLock l(c->lock_client);
        if (c->state == TETHER_MC_STATE_CONNECTED) {
            SendBuilt(c, [](uint8_t* b, size_t n) {
                return mqtt_serialize_zero(b, n, MQTT_PKT_DISCONNECT);
            });
        }
        CloseTransport(c);
        c->state = TETHER_MC_STATE_INVALID;
    }
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

int IOT_MQTT_Yield(void* handle, int timeout_ms) {
    Use u(handle);
    Client* c = u.c;
    if (c == nullptr) {
        log_err(MOD, "Invalid argument: unknown client");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (timeout_ms <= 0)
        timeout_ms = 10;
    uint64_t end = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        {
            HalLock l(c->lock_client);
            CycleOnce(c);
        }
        uint64_t now = HAL_UptimeMs();
        if (now >= end)
            break;
        HAL_SleepMs(static_cast<uint32_t>(std::min<uint64_t>(end - now, 10)));
    }
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
        std::lock_guard<std::mutex> g(g_offline_mutex);
        for (auto& s : g_offline) {
            if (s.filter == topic_filter && s.fn == fn && s.ctx == ctx)
                return 0;
        }
        g_offline.push_back({topic_filter, qos, fn, ctx});
        log_info(MOD, "no client yet: '%s' will be subscribed after connecting", topic_filter);
        return 0;
    }
    return SubscribeOn(u.c, topic_filter, qos, fn, ctx);
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
    if (timeout_ms <= 0 || timeout_ms > 10000)
        timeout_ms = 10000;
    // Register interest before the request leaves, so an acknowledgement
    // handled at once by another thread's cycle is not missed.
    int id = SubscribeOn(c, topic_filter, qos, fn, ctx);
    if (id < 0)
        return id;
    {
        HalLock l(c->lock_misc);
        c->sync_results.emplace_back(static_cast<uint16_t>(id), 0);
        // The acknowledgement may already have been handled.
        HalLock ls(c->lock_sub_wait);
        bool pending = false;
        for (auto& w : c->sub_wait)
            pending |= w.id == id;
        if (!pending)
            c->sync_results.back().second = 1;
    }
    uint64_t end = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms);
    int result = 0;
    // Short cycles: the acknowledgement usually arrives within a few
    // milliseconds, and a connect subscribes some thirty topics in a row.
    while (result == 0 && HAL_UptimeMs() < end) {
        IOT_MQTT_Yield(c, 10);
        HalLock l(c->lock_misc);
        for (auto& r : c->sync_results) {
            if (r.first == id)
                result = r.second;
        }
    }
    {
        HalLock l(c->lock_misc);
        c->sync_results.erase(std::remove_if(c->sync_results.begin(), c->sync_results.end(),
                                             [&](auto& r) { return r.first == id; }),
                              c->sync_results.end());
    }
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
            std::lock_guard<std::mutex> g(g_offline_mutex);
            g_offline.erase(std::remove_if(g_offline.begin(), g_offline.end(),
                                           [&](auto& s) { return s.filter == topic_filter; }),
                            g_offline.end());
            return 0;
        }
        log_err(MOD, "Invalid argument: unknown client");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    {
        HalLock l(c->lock_subs);
        c->subs.erase(std::remove_if(c->subs.begin(), c->subs.end(),
                                     [&](auto& s) { return s.filter == topic_filter; }),
                      c->subs.end());
    }
    if (c->state != TETHER_MC_STATE_CONNECTED)
        return TETHER_ERR_WRONG_STATE;
    return SendSubRequest(c, kUnsub, topic_filter, [&](uint8_t* b, size_t n, uint16_t pid) {
        return mqtt_serialize_unsubscribe(b, n, pid, topic_filter);
    });
}

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
    uint16_t id = m->qos == 1 ? NextId(c) : 0;
    HalLock lw(c->lock_wbuf);
    int len = mqtt_serialize_publish(c->wbuf.data(), c->wbuf.size(), m->dup, m->qos, m->retain, id,
                                     topic, m->payload, m->payload_len);
    if (len < 0) {
        log_err(MOD, "the param of len is error!");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (m->qos == 1) {
        HalLock lp(c->lock_pub_wait);
        if (c->pub_wait.size() >= TETHER_MQTT_PUB_WAIT_MAX) {
            log_err(MOD, "more than %u elements in republish list. List overflow!",
                    TETHER_MQTT_PUB_WAIT_MAX);
            return TETHER_ERR_LIST_OVERFLOW;
        }
        c->pub_wait.push_back(
            {id, HAL_UptimeMs(), std::vector<uint8_t>(c->wbuf.begin(), c->wbuf.begin() + len)});
    }
    if (!SendRaw(c, c->wbuf.data(), static_cast<size_t>(len))) {
        if (m->qos == 1) {
            // Reported as failed, so it must not also go out later.
            HalLock lp(c->lock_pub_wait);
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

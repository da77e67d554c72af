// The MQTT client's record and the functions its four parts share:
//   mqtt_transport.cpp  TLS connection, packet send and receive, CONNECT
//   mqtt_session.cpp    packet ids, wait lists, subscriptions, deadlines
//   mqtt_handlers.cpp   one handler per received packet type, delivery
//   mqtt_client.cpp     the cycle, reconnection and the IOT_MQTT_* API
//
// Threads: one thread at a time runs the cycle (IOT_MQTT_Yield, normally
// the connection manager's "cm_yield"); between rounds it blocks on the
// socket until the nearest deadline (keep-alive, ping answer, re-send,
// (un)subscribe expiry, reconnect). Other threads publish and subscribe
// directly and signal the client's waker when they add a deadline or break
// the connection, so the blocked cycle looks again at once.
//
// Lock order. A thread holding one of these locks may take only locks that
// come later in this list, never an earlier one:
//   1. lock_client     the cycle, connect and destroy (one I/O state machine)
//   2. lock_rbuf       the receive buffer, while a packet is read and handled
//   3. lock_wbuf       the send buffer, while a packet is encoded and sent
//   4. lock_misc       packet ids, sync-subscribe results, statistics
//   5. lock_pub_wait   QoS 1 publications awaiting PUBACK
//   6. lock_sub_wait   (un)subscribe requests awaiting their ack
//   7. lock_subs       the subscription list
//   8. lock_wait       a thread blocked on the connection between rounds
//   9. lock_transport  the TLS connection (mbedTLS contexts are not shared)
// Message and event handlers run with lock_client (and lock_rbuf) held, so
// they may publish and subscribe but must not run the cycle.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "infra/mqtt_client.h"
#include "infra/mqtt_packet.h"
#include "tether/hal.h"

#define MOD "MQTT"

namespace nexo_mc {

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
    // Set by destroy once the client is out of the registry: cycles and
    // synchronous waits still inside leave instead of running to their end.
    std::atomic<bool> closing{false};
    uint32_t request_timeout_ms = TETHER_MQTT_REQUEST_TIMEOUT_DEFAULT;
    uint32_t keepalive_ms = 30000;
    std::vector<uint8_t> wbuf, rbuf;
    uint16_t next_id = 0;
    uint32_t reconnect_interval_ms = kReconnectStartMs;
    // Deadlines on HAL_UptimeMs, owned by the cycle thread.
    uint64_t reconnect_deadline = 0;
    uint64_t keepalive_deadline = 0;  // next PINGREQ
    uint64_t ping_deadline = 0;       // PINGRESP due (when one is outstanding)
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
    void* waker = nullptr;

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
    void* lock_transport = nullptr;
    void* lock_misc = nullptr;
    void* lock_wait = nullptr;
    // Threads inside IOT_MQTT_Yield; a synchronous subscribe runs the cycle
    // itself only when nobody else does.
    std::atomic<int> cycling{0};
    // Told when a sync-subscribe result is set, when a cycle ends and when
    // the last user leaves (no lock of the list above is held while waiting
    // on it).
    std::mutex sync_mu;
    std::condition_variable sync_cv;

    std::atomic<uint32_t> resends{0}, resubscribed{0}, pings{0}, wakeups{0};
    std::vector<uint64_t> disconnect_at, attempt_at, reconnected_at;
    uint32_t magic_tail = kMagicTail;
};

// --- session: registry, ids, lists, deadlines (mqtt_session.cpp) ---------------
// A live client for a handle (NULL: the default one) with its user count
// raised, or NULL for an unknown or destroyed one.
Client* Acquire(void* handle);
void Release(Client* c);
struct Use {
    Client* c;
    explicit Use(void* h) : c(Acquire(h)) {}
    ~Use() { Release(c); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
};
void Register(Client* c);
// Removes the client (or the default one for NULL) from the registry; NULL
// when it is not there.
Client* Unregister(void* handle);
void SetDefault(Client* c);
Client* GetDefault();

void Push(std::vector<uint64_t>& v, uint64_t t);
// The next packet id not in use by a wait entry (never 0).
uint16_t NextId(Client* c);
// Sets state disconnected (from connected) and wakes the cycle.
void SetDisconnected(Client* c);
// Sends one SUBSCRIBE or UNSUBSCRIBE and keeps it on the wait list until its
// acknowledgement arrives; the packet id, or an error with nothing waiting.
int SendSubRequest(Client* c, SubKind kind, const std::string& filter, uint8_t qos);
int SubscribeOn(Client* c, const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx);
// SUBSCRIBE again for every filter in the subscription list (after a
// reconnect that found no session).
void Resubscribe(Client* c);
// Sends due QoS 1 publications again; drops (un)subscribe requests that
// waited too long, with their events.
void ResendDue(Client* c, uint64_t now);
void ExpireSubWaits(Client* c, uint64_t now, std::vector<Event>* evs);
// The earliest time the cycle has something to do.
uint64_t NextDeadline(Client* c);
// Marks the sync-subscribe result of id (1 granted, -1 refused, -2 expired).
void SetSyncResult(Client* c, uint16_t id, int result);

// Offline subscriptions (made before any client existed).
void OfflineAdd(const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx);
void OfflineRemove(const char* filter);
struct OfflineSub {
    std::string filter;
    int qos;
    tether_mqtt_msg_handler_fpt fn;
    void* ctx;
};
std::vector<OfflineSub> OfflineTake();

// --- transport (mqtt_transport.cpp) -------------------------------------------
void CloseTransport(Client* c);
// Sends bytes; false on a short write or when there is no transport.
bool SendRaw(Client* c, const uint8_t* p, size_t n);

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
// Reads one whole packet into rbuf (caller holds lock_rbuf); see the source.
int ReadPacket(Client* c, uint32_t first_wait_ms, size_t* out_len);
// Takes the global connection information unless the endpoint was given.
void LoadEndpoint(Client* c);
// TLS + CONNECT + CONNACK. Sets *session_present. 0 or negative.
int ConnectOnce(Client* c, uint8_t* session_present);
// Blocks until the connection has input, the waker is signalled, or
// timeout_ms passes; without a connection only the waker counts.
void WaitForInput(Client* c, int timeout_ms);

// --- handlers (mqtt_handlers.cpp) ----------------------------------------------
void FireEvents(Client* c, const std::vector<Event>& evs);
// Handles the packet in rbuf (len bytes); events go to *evs.
void HandlePacket(Client* c, size_t len, std::vector<Event>* evs);
// The head of a packet too large to keep (kept bytes in rbuf).
void HandleDropped(Client* c, size_t kept);

int NormaliseQos(int qos);

}  // namespace nexo_mc

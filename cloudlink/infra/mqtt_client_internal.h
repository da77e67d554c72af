// The MQTT client's record and the functions its four parts share:
//   mqtt_transport.cpp  TLS connection, packet send and receive, CONNECT
//   mqtt_session.cpp    registry, packet ids, wait lists, subscriptions, deadlines
//   mqtt_handlers.cpp   one handler per received packet type, delivery
//   mqtt_client.cpp     the cycle, reconnection and the IOT_MQTT_* API
//
// Threads: one thread at a time holds the cycle (IOT_MQTT_Yield, normally
// the connection manager's "cm_yield"; a synchronous subscribe when nobody
// else does). Only the holder reads from the connection, opens or closes it,
// and blocks on it until the nearest deadline (keep-alive, ping answer,
// re-send, (un)subscribe expiry, reconnect). Other threads publish and
// subscribe directly and signal the client's waker when they add a deadline
// or break the connection, so the blocked cycle looks again at once.
//
// Locks, two per client (the registry and the offline list have one each,
// global and taken alone):
//   io  the TLS connection and the send buffer, for one packet's write or
//       read; never while waiting for input.
//   mu  the session: packet ids, wait lists, subscriptions, deadlines,
//       statistics, the cycle's holder; bookkeeping only, never across I/O.
// Order: io, then mu (a QoS 1 publication is recorded while its packet is
// in the send buffer); never io while holding mu. Neither is held while a
// message or event handler runs: handlers are called from the cycle with
// what to deliver collected beforehand, so they may publish, subscribe and
// unsubscribe; IOT_MQTT_Yield from a handler returns at once (the cycle
// already runs around it), and waiting calls that only the cycle could
// answer (a synchronous subscribe, a destroy) are refused there.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
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

using Guard = std::lock_guard<std::mutex>;

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
    // Threads inside the client; its fall to 0 is told under mu.
    std::atomic<int> users{0};
    // Set by destroy once the client is out of the registry: cycles and
    // synchronous waits still inside leave instead of running to their end.
    std::atomic<bool> closing{false};
    std::atomic<uint32_t> resends{0}, resubscribed{0}, pings{0}, wakeups{0};

    // Fixed at init.
    uint32_t request_timeout_ms = TETHER_MQTT_REQUEST_TIMEOUT_DEFAULT;
    uint8_t version = 4;
    uint8_t clean_session = 0;
    tether_mqtt_event_handle_t event{nullptr, nullptr};
    void* waker = nullptr;
    // An empty host at init means "take the global connection information
    // at every (re)connect".
    bool explicit_endpoint = false;

    // The cycle holder's own: the receive buffer and the endpoint.
    std::vector<uint8_t> rbuf;
    std::string host, client_id, username, password, ca;
    uint16_t port = 0;

    // Guarded by io. ssl changes only in the cycle holder, which may read it
    // without io.
    std::mutex io;
    uintptr_t ssl = 0;
    std::vector<uint8_t> wbuf;

    // Guarded by mu. Deadlines are on HAL_UptimeMs.
    std::mutex mu;
    // Told when the cycle is given back, a sync-subscribe result is set,
    // destroy begins and the last user leaves.
    std::condition_variable changed;
    bool cycle_held = false;
    std::thread::id cycle_holder;
    uint32_t keepalive_ms = 30000;
    uint32_t reconnect_interval_ms = kReconnectStartMs;
    uint64_t reconnect_deadline = 0;
    uint64_t keepalive_deadline = 0;  // next PINGREQ
    uint64_t ping_deadline = 0;       // PINGRESP due (when one is outstanding)
    uint32_t ping_outstanding = 0;
    uint16_t next_id = 0;
    std::vector<SubHandler> subs;
    std::list<PubWait> pub_wait;
    std::list<SubWait> sub_wait;
    // Results of subscribe requests somebody waits for synchronously.
    std::vector<std::pair<uint16_t, int>> sync_results;
    std::vector<uint64_t> disconnect_at, attempt_at, reconnected_at;
    uint32_t magic_tail = kMagicTail;
};

// --- session: registry, cycle, ids, lists, deadlines (mqtt_session.cpp) ------
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

// Takes the cycle for this thread, waiting while another one holds it; false
// when `end` passes or destroy begins first.
bool TakeCycle(Client* c, uint64_t end);
// Caller holds mu: takes the cycle when it is free; false otherwise.
bool TakeCycleLocked(Client* c);
void GiveCycle(Client* c);
// True when this thread holds the cycle, i.e. runs inside one of its handlers.
bool HoldsCycle(Client* c);

// Caller holds mu.
void Push(std::vector<uint64_t>& v, uint64_t t);
uint16_t NextIdLocked(Client* c);  // the next id not waiting for an ack (never 0)
void SetSyncResultLocked(Client* c, uint16_t id, int result);  // 1 granted, -1 refused, -2 expired

// Sets state disconnected (from connected) and wakes the cycle.
void SetDisconnected(Client* c);

// One SUBSCRIBE or UNSUBSCRIBE, kept on the wait list until its
// acknowledgement arrives. With `handler`, the handler is in the
// subscription list before the request leaves (a retained message may follow
// the SUBACK at once); with `sync`, so is the sync-result entry. Returns the
// packet id, or an error with nothing left behind.
struct SubRequest {
    SubKind kind = kSub;
    std::string filter;
    uint8_t qos = 0;
    const SubHandler* handler = nullptr;
    bool sync = false;
};
int SendSubRequest(Client* c, const SubRequest& r);
int SubscribeOn(Client* c, const char* filter, int qos, tether_mqtt_msg_handler_fpt fn, void* ctx,
                bool sync);
// SUBSCRIBE again for every filter in the subscription list (after a
// reconnect that found no session).
void Resubscribe(Client* c);
// Sends due QoS 1 publications again; drops (un)subscribe requests that
// waited too long, with their events.
void ResendDue(Client* c, uint64_t now);
void ExpireSubWaits(Client* c, uint64_t now, std::vector<Event>* evs);
// The earliest time the cycle has something to do.
uint64_t NextDeadline(Client* c);

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
// Sends bytes with io held; false on a short write or without a transport.
bool SendLocked(Client* c, const uint8_t* p, size_t n);
bool SendPacket(Client* c, const uint8_t* p, size_t n);  // takes io

// Encodes with fn into the send buffer and sends, under io.
template <typename Fn>
int SendBuilt(Client* c, Fn fn) {
    Guard l(c->io);
    int len = fn(c->wbuf.data(), c->wbuf.size());
    if (len < 0) {
        log_err(MOD, "the param of len is error!");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    if (!SendLocked(c, c->wbuf.data(), static_cast<size_t>(len)))
        return TETHER_ERR_NETWORK;
    return 0;
}

enum ReadResult { kReadNone = 0, kReadPacket = 1, kReadDropped = 2, kReadError = -1 };
// Reads one whole packet into rbuf (cycle holder); see the source.
int ReadPacket(Client* c, uint32_t first_wait_ms, size_t* out_len);
// Takes the global connection information unless the endpoint was given.
void LoadEndpoint(Client* c);
// TLS + CONNECT + CONNACK. Sets *session_present. 0 or negative.
int ConnectOnce(Client* c, uint8_t* session_present);
// Blocks until the connection has input, the waker is signalled, or
// timeout_ms passes; without a connection only the waker counts.
void WaitForInput(Client* c, int timeout_ms);

// --- handlers (mqtt_handlers.cpp) ----------------------------------------------
// Called with no lock held.
void FireEvents(Client* c, const std::vector<Event>& evs);
// Handles the packet in rbuf (len bytes); events go to *evs. Messages are
// delivered from here, after the events gathered so far.
void HandlePacket(Client* c, size_t len, std::vector<Event>* evs);
// The head of a packet too large to keep (kept bytes in rbuf).
void HandleDropped(Client* c, size_t kept);

int NormaliseQos(int qos);

}  // namespace nexo_mc

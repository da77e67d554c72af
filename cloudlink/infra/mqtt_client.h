// Internal face of the MQTT client: what the connection manager, the device
// model and the tests use beyond the public IOT_MQTT_* functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tether/mqtt_api.h"

// Creates a client record (no connection yet) from complete parameters.
// Buffers must be non-zero. NULL on failure.
void* nexo_mc_init(const tether_mqtt_param_t* params);
// Opens TLS, sends CONNECT and waits for CONNACK. 0 or negative.
int nexo_mc_connect(void* client);
// Makes client the global one (what NULL handles mean).
void nexo_mc_set_default(void* client);
void* nexo_mc_get_default(void);
// Replays the subscriptions made before any client existed.
void nexo_mc_replay_offline_subs(void* client);
// Ends a wait of the client's cycle at once (it then looks at its state and
// deadlines again): for a thread about to stop the one running the cycle.
void nexo_mc_wake(void* client);
// Keep-alive period in ms without the 30..120 s clamp, effective at once
// (for tests that cannot wait a real period; the CONNECT packet of the next
// connection carries it rounded up to seconds).
void nexo_mc_set_keepalive_ms(void* client, uint32_t keepalive_ms);

// Topic syntax check. filter = 1 for subscription filters (wildcards
// allowed as whole levels). 0 or TETHER_ERR_INVALID_ARGUMENT.
int nexo_mc_check_topic(const char* topic, int filter);
// MQTT filter matching: '+' one level, '#' the rest.
bool nexo_mc_topic_match(const char* filter, const char* topic, size_t topic_len);

// Counters and timestamps for diagnostics and tests.
struct nexo_mc_stats_t {
    int state = 0;
    uint32_t request_timeout_ms = 0;
    uint32_t keepalive_s = 0;
    size_t pub_wait = 0;
    size_t sub_wait = 0;
    size_t subscriptions = 0;
    uint32_t resends = 0;
    uint32_t resubscribed = 0;  // SUBSCRIBE packets sent again after a session loss
    uint32_t pings = 0;
    uint32_t wakeups = 0;  // returns from the cycle's wait for input
    uint32_t reconnect_interval_ms = 0;
    bool cycle_held = false;  // a thread runs the cycle now
    std::vector<uint64_t> disconnect_at_ms;         // uptime of each detected drop
    std::vector<uint64_t> reconnect_attempt_at_ms;  // uptime of each attempt
    std::vector<uint64_t> reconnected_at_ms;
};
// false for an unknown client.
bool nexo_mc_get_stats(void* client, nexo_mc_stats_t* out);

// Hook run by IOT_MQTT_Construct after the connection is up (reports,
// connection status, user event); provided by the device model.
void nexo_dm_after_mqtt_construct(void* client);

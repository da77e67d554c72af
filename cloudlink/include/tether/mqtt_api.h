// Cloud link library: the MQTT connection to the IoT platform.
//
// One MQTT 3.1.1 client over TLS (QoS 0 and 1), signed with the device
// secret. The library keeps one global ("default") client: every function
// that takes a `pclient` accepts NULL to mean that client.
//
// Threads: publish and subscribe may be called from any thread while another
// thread runs IOT_MQTT_Yield (the connection manager's "cm_yield" thread
// does so when the client was made through IOT_Tether_Connect). Message and
// event handlers run on the thread that runs the yield; they may publish,
// subscribe and unsubscribe. No lock is held while a handler runs. Inside a
// handler IOT_MQTT_Yield returns 0 at once, and IOT_MQTT_Subscribe_Sync and
// IOT_MQTT_Destroy are refused with TETHER_ERR_WRONG_STATE: each would wait
// for the very cycle that is running the handler.
//
// Results: >= 0 success; negative codes are TETHER_ERR_* below. Every
// failure is also logged through the port layer's LITE_syslog.
#ifndef TETHER_MQTT_API_H
#define TETHER_MQTT_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
// What this header declares is what a shared library exports.
#pragma GCC visibility push(default)

// --- result codes ----------------------------------------------------------
#define TETHER_SUCCESS 0
#define TETHER_ERR_GENERIC (-1)
#define TETHER_ERR_INVALID_ARGUMENT (-2)
#define TETHER_ERR_NETWORK (-14)
#define TETHER_ERR_WRONG_STATE (-27)
#define TETHER_ERR_LIST_OVERFLOW (-42)

// --- limits -----------------------------------------------------------------
#define TETHER_MQTT_TOPIC_LEN_MAX 128    // longer topics are refused
#define TETHER_MQTT_PUB_WAIT_MAX 20      // outstanding QoS 1 publications
#define NEXO_MC_SUB_REQUEST_NUM_MAX 256  // outstanding (un)subscribe requests
#define TETHER_MQTT_REQUEST_TIMEOUT_MIN 500
#define TETHER_MQTT_REQUEST_TIMEOUT_MAX 5000
#define TETHER_MQTT_REQUEST_TIMEOUT_DEFAULT 2000
#define TETHER_MQTT_KEEPALIVE_MIN_MS 30000
#define TETHER_MQTT_KEEPALIVE_MAX_MS 120000
#define TETHER_MQTT_RECONNECT_MAX_MS 60000

typedef enum { TETHER_MQTT_QOS0 = 0, TETHER_MQTT_QOS1 = 1, TETHER_MQTT_QOS2 = 2 } tether_mqtt_qos_t;

// Client states (IOT_MQTT_State).
enum {
    TETHER_MC_STATE_INVALID = 0,
    TETHER_MC_STATE_INITIALIZED = 1,
    TETHER_MC_STATE_CONNECTED = 2,
    TETHER_MC_STATE_DISCONNECTED = 3,
    TETHER_MC_STATE_DISCONNECTED_RECONNECTING = 4,
};

// --- connection information -------------------------------------------------
// Built by IOT_SetupConnInfo from the identity held by the port layer. The
// strings are owned by the library and stay valid until the next rebuild.
typedef struct {
    uint16_t port;
    char* host_name;
    char* client_id;      // at most 256 bytes
    char* username;       // "<device name>&<product key>"
    char* password;       // lowercase hex HMAC-SHA1
    const char* pub_key;  // trust anchor (PEM) given to the TLS layer
} tether_conn_info_t;

// Stores the identity in the port layer and builds the connection information
// (signing; bootstrap and dynamic registration when switched on with
// IOT_Ioctl). device_secret may be NULL to keep the one already stored.
// *info (when info is non-NULL) receives the global record. 0 or -1.
int IOT_SetupConnInfo(const char* product_key, const char* device_name, const char* device_secret,
                      void** info);

// --- messages and events -----------------------------------------------------
// One message, both ways. For a received message `topic` points at the topic
// (topic_len bytes, not terminated) and `payload` at the body; both are valid
// only during the handler call.
typedef struct {
    uint16_t packet_id;
    uint8_t qos;
    uint8_t dup;
    uint8_t retain;
    uint16_t topic_len;
    uint32_t payload_len;
    const char* ptopic;
    const char* payload;
} tether_mqtt_topic_info_t;

typedef enum {
    TETHER_MQTT_EVENT_UNDEF = 0,
    TETHER_MQTT_EVENT_DISCONNECT = 1,
    TETHER_MQTT_EVENT_RECONNECT = 2,
    TETHER_MQTT_EVENT_SUBSCRIBE_SUCCESS = 3,
    TETHER_MQTT_EVENT_SUBSCRIBE_TIMEOUT = 4,
    TETHER_MQTT_EVENT_SUBSCRIBE_NACK = 5,
    TETHER_MQTT_EVENT_UNSUBSCRIBE_SUCCESS = 6,
    TETHER_MQTT_EVENT_UNSUBSCRIBE_TIMEOUT = 7,
    TETHER_MQTT_EVENT_UNSUBSCRIBE_NACK = 8,
    TETHER_MQTT_EVENT_PUBLISH_SUCCESS = 9,
    TETHER_MQTT_EVENT_PUBLISH_TIMEOUT = 10,
    TETHER_MQTT_EVENT_PUBLISH_NACK = 11,
    TETHER_MQTT_EVENT_PUBLISH_RECEIVED = 12,
} tether_mqtt_event_type_t;

// `msg` is the packet id (as uintptr_t) for the acknowledgement events and a
// tether_mqtt_topic_info_t* for TETHER_MQTT_EVENT_PUBLISH_RECEIVED.
typedef struct {
    tether_mqtt_event_type_t event_type;
    void* msg;
} tether_mqtt_event_msg_t;

typedef void (*tether_mqtt_event_handle_func_fpt)(void* pcontext, void* pclient,
                                                  tether_mqtt_event_msg_t* msg);

typedef struct {
    tether_mqtt_event_handle_func_fpt h_fp;
    void* pcontext;
} tether_mqtt_event_handle_t;

// --- client parameters --------------------------------------------------------
// Zero/NULL fields take the stored connection information (host, port, ids,
// password, anchor) or the defaults noted.
typedef struct {
    uint16_t port;
    const char* host;
    const char* client_id;
    const char* username;
    const char* password;
    const char* pub_key;             // trust anchor PEM
    uint8_t clean_session;           // default 0
    uint32_t request_timeout_ms;     // 500..5000, else 2000
    uint32_t keepalive_interval_ms;  // clamped to 30000..120000
    uint32_t write_buf_size;         // must be non-zero (default 1280)
    uint32_t read_buf_size;          // must be non-zero (default 1280)
    tether_mqtt_event_handle_t handle_event;
} tether_mqtt_param_t;

// --- client -------------------------------------------------------------------
// Creates the global client and connects it. NULL params: the stored identity
// with request time-out 2000 ms, keep-alive 30000 ms, 1280-byte buffers,
// clean session 0. Replays the subscriptions made before any client existed,
// then sends the module/partner and firmware-version reports. NULL on
// failure ("nexo_mc_init failed", "nexo_mc_connect failed").
void* IOT_MQTT_Construct(tether_mqtt_param_t* params);

// Sends DISCONNECT and frees the client; *phandler (NULL: the global client)
// is set to NULL. 0 or negative.
int IOT_MQTT_Destroy(void** phandler);

// 1 when the client is connected, else 0.
int IOT_MQTT_CheckStateNormal(void* handle);

// Runs the client cycle (keep-alive, reading, acknowledgements, re-sending,
// reconnecting) until timeout_ms (10 when 0) has passed.
int IOT_MQTT_Yield(void* handle, int timeout_ms);

typedef void (*tether_mqtt_msg_handler_fpt)(void* pcontext, void* pclient,
                                            tether_mqtt_event_msg_t* msg);

// Subscribes topic_filter ('+' and '#' wildcards allowed as whole levels).
// QoS outside 0..1 is replaced by 1. Returns the packet id (> 0), or a
// negative code. With no client yet (pclient NULL and no global client) the
// request is kept and made right after the first connection; 0 is returned.
int IOT_MQTT_Subscribe(void* handle, const char* topic_filter, int qos,
                       tether_mqtt_msg_handler_fpt topic_handle_func, void* pcontext);

// Subscribes and waits (running the client cycle) until the SUBACK arrives or
// timeout_ms (at most 10000) passes. The packet id (> 0) when granted;
// TETHER_ERR_GENERIC when refused (0x80) or timed out.
int IOT_MQTT_Subscribe_Sync(void* handle, const char* topic_filter, int qos,
                            tether_mqtt_msg_handler_fpt topic_handle_func, void* pcontext,
                            int timeout_ms);

// Removes every handler of topic_filter and sends UNSUBSCRIBE. Packet id or
// negative.
int IOT_MQTT_Unsubscribe(void* handle, const char* topic_filter);

// Publishes topic_msg->payload (payload_len bytes) on topic. QoS 0 returns 0
// once the packet is written; QoS 1 returns the packet id and keeps a copy
// that is sent again (DUP set) every 2 x request time-out until the PUBACK
// arrives; at most TETHER_MQTT_PUB_WAIT_MAX may be outstanding, a further one
// fails with TETHER_ERR_LIST_OVERFLOW without being sent. QoS 2 is refused.
// Any topic of the device may be used, e.g. "/sys/<pk>/<dn>/thing/..." or
// the video service's own topics.
int IOT_MQTT_Publish(void* handle, const char* topic, tether_mqtt_topic_info_t* topic_msg);

// Convenience form of IOT_MQTT_Publish.
int IOT_MQTT_Publish_Simple(void* handle, const char* topic, int qos, void* data, int len);

// Current state (TETHER_MC_STATE_*) of the client; TETHER_MC_STATE_INVALID
// for an unknown handle.
int IOT_MQTT_State(void* handle);

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TETHER_MQTT_API_H

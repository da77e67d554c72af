// Cloud link library: the device-link API (thing model).
//
// Typical use by an application (all calls return >= 0 on success):
//
//   tether_dev_meta_info_t meta = {pk, ps, dn, ds};  // stored by Open
//   IOT_Ioctl(TETHER_IOCTL_SET_MQTT_DOMAIN, "broker.example.net");   // optional
//   uint16_t port = 8883; IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &port);  // optional
//   HAL_SetTrustAnchorPem("/etc/ssl/my-ca.pem");   // optional, see hal.h
//   nexo_register_for_ITE_CONNECT_SUCC(on_connected);
//   nexo_register_for_ITE_SERVICE_REQUST(on_service);  ... other events
//   int id = IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, &meta);
//   IOT_Tether_Connect(id);           // starts the "cm_yield" I/O thread
//   while (running) IOT_Tether_Yield(10);   // callbacks run here
//   IOT_Tether_Close(id);
//
// Upstream: IOT_Tether_Report (property post, raw data, ...),
// IOT_Tether_TriggerEvent (event post), IOT_Tether_Query (time, ...), and for
// an arbitrary payload on an arbitrary topic of the device IOT_MQTT_Publish /
// IOT_MQTT_Publish_Simple (tether/mqtt_api.h) with a NULL client.
//
// Threads: the MQTT connection is served by the library's "cm_yield" thread;
// received messages are queued (at most 50) and every callback runs on the
// thread that calls IOT_Tether_Yield. IOT_Tether_* calls are serialised by
// one API lock; callbacks may call IOT_Tether_Report/TriggerEvent/Query and
// IOT_MQTT_Publish.
#ifndef TETHER_API_H
#define TETHER_API_H

#include <stdint.h>

#include "tether/hal.h"
#include "tether/mqtt_api.h"

#ifdef __cplusplus
extern "C" {
#endif
// What this header declares is what a shared library exports.
#pragma GCC visibility push(default)

#define TETHER_SDK_VERSION "V2.3.0_200106_a5ab8aa93bb4e941fa90412208a84e315702c62b"
#define TETHER_LIB_VERSION "V2.3.1_210421_fadbe700"  // 22 characters, IOT_Ioctl 14

// --- devices --------------------------------------------------------------------
typedef enum {
    TETHER_DEV_TYPE_MASTER = 0,  // the device itself, id 0
    TETHER_DEV_TYPE_SLAVE = 1,   // a sub-device behind this gateway
} tether_dev_type_t;

// Identity given to IOT_Tether_Open, all NUL-terminated.
typedef struct {
    char product_key[HAL_PRODUCT_KEY_LEN + 1];
    char product_secret[HAL_PRODUCT_SECRET_LEN + 1];
    char device_name[HAL_DEVICE_NAME_LEN + 1];
    char device_secret[HAL_DEVICE_SECRET_LEN + 1];
} tether_dev_meta_info_t;

// --- event callbacks -------------------------------------------------------------
// Slot indexes of the event callbacks (nexo_register_for_ITE_<name>).
typedef enum {
    ITE_WIFI_SETUP_STATUS = 0,
    ITE_CONNECT_SUCC = 1,
    ITE_CONNECT_FAIL = 2,
    ITE_DISCONNECTED = 3,
    ITE_RAWDATA_ARRIVED = 4,
    ITE_SERVICE_REQUST = 5,
    ITE_PROPERTY_SET = 6,
    ITE_PROPERTY_GET = 7,
    ITE_REPORT_REPLY = 8,
    ITE_TRIGGER_EVENT_REPLY = 9,
    ITE_TIMESTAMP_REPLY = 10,
    ITE_TOPOLIST_REPLY = 11,
    ITE_PERMIT_JOIN = 12,
    ITE_INITIALIZE_COMPLETED = 13,
    ITE_FOTA = 14,
    ITE_COTA = 15,
    ITE_MQTT_CONNECT_SUCC = 16,
    ITE_KESTREL = 17,
    ITE_CLOUD_ERROR = 18,
    ITE_STATE_EVERYTHING = 19,
    ITE_STATE_USER_INPUT = 20,
    ITE_STATE_SYS_DEPEND = 21,
    ITE_STATE_MQTT_COMM = 22,
    ITE_STATE_WIFI_PROV = 23,
    ITE_STATE_COAP_LOCAL = 24,
    ITE_STATE_HTTP_COMM = 25,
    ITE_STATE_OTA = 26,
    ITE_STATE_DEV_BIND = 27,
    ITE_STATE_SUB_DEVICE = 28,
    ITE_EVENT_NOTIFY = 29,
    // The eleventh state slot: the listing gives eleven state events for the
    // ten indexes 19..28 and fixes 29 for ITE_EVENT_NOTIFY, so the last one
    // takes 30, the highest index that carries a callback.
    ITE_STATE_DEV_MODEL = 30,
    ITE_SLOT_COUNT = 31,
} tether_ite_slot_t;

// Callback signatures. Texts are valid only during the call and are not
// NUL-terminated unless said; lengths are given beside them.
typedef int (*ite_wifi_setup_status_cb)(int status);
typedef int (*ite_connect_succ_cb)(void);
typedef int (*ite_connect_fail_cb)(void);
typedef int (*ite_disconnected_cb)(void);
typedef int (*ite_rawdata_arrived_cb)(const int devid, const unsigned char* payload,
                                      const int payload_len);
// Service call (and RRPC request: msgid is then the RRPC id). A response of
// positive length must be allocated with HAL_Malloc; the library sends it
// with code 200 (result 0) or 400 (otherwise) and frees it. Leaving it empty
// sends no reply.
typedef int (*ite_service_request_cb)(const int devid, const char* msgid, const int msgid_len,
                                      const char* serviceid, const int serviceid_len,
                                      const char* request, const int request_len, char** response,
                                      int* response_len);
// request: the "params" object, NUL-terminated. The library answers 200 when
// the callback returns 0 and 400 ("property set not applied") otherwise.
typedef int (*ite_property_set_cb)(const int devid, const char* request, const int request_len);
// The same with the reason of a refusal: on a non-zero result *message (when
// set: allocated with HAL_Malloc, message_len bytes, freed by the library)
// goes back to the platform as the reply's "message". Registered with
// nexo_register_for_ITE_PROPERTY_SET_EX; takes precedence over
// ITE_PROPERTY_SET when both are registered.
typedef int (*ite_property_set_ex_cb)(const int devid, const char* request, const int request_len,
                                      char** message, int* message_len);
// Same response rule as ite_service_request_cb.
typedef int (*ite_property_get_cb)(const int devid, const char* request, const int request_len,
                                   char** response, int* response_len);
typedef int (*ite_report_reply_cb)(const int devid, const int msgid, const int code,
                                   const char* reply, const int reply_len);
typedef int (*ite_trigger_event_reply_cb)(const int devid, const int msgid, const int code,
                                          const char* eventid, const int eventid_len,
                                          const char* message, const int message_len);
// NUL-terminated UTC time text (ms since the epoch).
typedef int (*ite_timestamp_reply_cb)(const char* timestamp);
typedef int (*ite_topolist_reply_cb)(const int devid, const int msgid, const int code,
                                     const char* payload, const int payload_len);
typedef int (*ite_permit_join_cb)(const char* product_key, const int time);
typedef int (*ite_initialize_completed_cb)(const int devid);
// type 0: new firmware announced; version NUL-terminated.
typedef int (*ite_fota_cb)(const int type, const char* version);
typedef int (*ite_cota_cb)(const int type, const char* config_id, const int config_size,
                           const char* get_type, const char* sign, const char* sign_method,
                           const char* url);
typedef int (*ite_mqtt_connect_succ_cb)(void);
// Video-service message: serviceid is the topic from "/vision/" on, payload
// the body exactly as received.
typedef int (*ite_kestrel_cb)(const int devid, const char* serviceid, const int serviceid_len,
                              const char* payload, const int payload_len);
// Message on "/ext/error/<pk>/<dn>": the topic and body.
typedef int (*ite_cloud_error_cb)(const char* topic, const int topic_len, const char* payload,
                                  const int payload_len);
typedef int (*ite_state_cb)(const int ev, const char* msg);
// request: the "params" object, NUL-terminated. Answered with 200.
typedef int (*ite_event_notify_cb)(const int devid, const char* request, const int request_len);

// Registration: one per slot; a later registration replaces the earlier one,
// NULL removes it. Always 0.
int nexo_register_for_ITE_WIFI_SETUP_STATUS(ite_wifi_setup_status_cb cb);
int nexo_register_for_ITE_CONNECT_SUCC(ite_connect_succ_cb cb);
int nexo_register_for_ITE_CONNECT_FAIL(ite_connect_fail_cb cb);
int nexo_register_for_ITE_DISCONNECTED(ite_disconnected_cb cb);
int nexo_register_for_ITE_RAWDATA_ARRIVED(ite_rawdata_arrived_cb cb);
int nexo_register_for_ITE_SERVICE_REQUST(ite_service_request_cb cb);
int nexo_register_for_ITE_PROPERTY_SET(ite_property_set_cb cb);
int nexo_register_for_ITE_PROPERTY_GET(ite_property_get_cb cb);
int nexo_register_for_ITE_REPORT_REPLY(ite_report_reply_cb cb);
int nexo_register_for_ITE_TRIGGER_EVENT_REPLY(ite_trigger_event_reply_cb cb);
int nexo_register_for_ITE_TIMESTAMP_REPLY(ite_timestamp_reply_cb cb);
int nexo_register_for_ITE_TOPOLIST_REPLY(ite_topolist_reply_cb cb);
int nexo_register_for_ITE_PERMIT_JOIN(ite_permit_join_cb cb);
int nexo_register_for_ITE_INITIALIZE_COMPLETED(ite_initialize_completed_cb cb);
int nexo_register_for_ITE_FOTA(ite_fota_cb cb);
int nexo_register_for_ITE_COTA(ite_cota_cb cb);
int nexo_register_for_ITE_MQTT_CONNECT_SUCC(ite_mqtt_connect_succ_cb cb);
int nexo_register_for_ITE_KESTREL(ite_kestrel_cb cb);
int nexo_register_for_ITE_CLOUD_ERROR(ite_cloud_error_cb cb);
int nexo_register_for_ITE_STATE_EVERYTHING(ite_state_cb cb);
int nexo_register_for_ITE_STATE_USER_INPUT(ite_state_cb cb);
int nexo_register_for_ITE_STATE_SYS_DEPEND(ite_state_cb cb);
int nexo_register_for_ITE_STATE_MQTT_COMM(ite_state_cb cb);
int nexo_register_for_ITE_STATE_WIFI_PROV(ite_state_cb cb);
int nexo_register_for_ITE_STATE_COAP_LOCAL(ite_state_cb cb);
int nexo_register_for_ITE_STATE_HTTP_COMM(ite_state_cb cb);
int nexo_register_for_ITE_STATE_OTA(ite_state_cb cb);
int nexo_register_for_ITE_STATE_DEV_BIND(ite_state_cb cb);
int nexo_register_for_ITE_STATE_SUB_DEVICE(ite_state_cb cb);
int nexo_register_for_ITE_STATE_DEV_MODEL(ite_state_cb cb);
int nexo_register_for_ITE_EVENT_NOTIFY(ite_event_notify_cb cb);
int nexo_register_for_ITE_PROPERTY_SET_EX(ite_property_set_ex_cb cb);

// --- message types ----------------------------------------------------------------
typedef enum {
    TETHER_MSG_POST_PROPERTY = 0,
    TETHER_MSG_DEVICEINFO_UPDATE = 1,
    TETHER_MSG_DEVICEINFO_DELETE = 2,
    TETHER_MSG_POST_RAW_DATA = 3,
    TETHER_MSG_LOGIN = 4,
    TETHER_MSG_LOGOUT = 5,
    TETHER_MSG_DELETE_TOPO = 6,
    TETHER_MSG_QUERY_TIMESTAMP = 7,
    TETHER_MSG_QUERY_TOPOLIST = 8,
    TETHER_MSG_QUERY_FOTA_DATA = 9,
    TETHER_MSG_QUERY_COTA_DATA = 10,
    TETHER_MSG_REQUEST_COTA = 11,
    TETHER_MSG_REQUEST_FOTA_IMAGE = 12,
    // The device's thing model as the platform holds it ("thing/dynamicTsl/
    // get"); the answer arrives as ITE_REPORT_REPLY.
    TETHER_MSG_QUERY_DYNAMIC_TSL = 13,
} tether_msg_type_t;

// --- IOT_Ioctl options ------------------------------------------------------------
typedef enum {
    TETHER_IOCTL_SET_REGION = 0,            // int* 0..4
    TETHER_IOCTL_GET_REGION = 1,            // int* out
    TETHER_IOCTL_SET_MQTT_DOMAIN = 2,       // const char* host (region becomes custom, 5)
    TETHER_IOCTL_SET_MQTT_PORT = 3,         // uint16_t* MQTT port (default 443)
    TETHER_IOCTL_SET_HTTP_PORT = 4,         // uint16_t* port of bootstrap / registration
    TETHER_IOCTL_SET_HTTP_DOMAIN = 5,       // const char* host of bootstrap / registration
    TETHER_IOCTL_SET_DYNAMIC_REGISTER = 6,  // int* 0/1
    TETHER_IOCTL_GET_DYNAMIC_REGISTER = 7,  // int* out
    TETHER_IOCTL_RECV_PROP_REPLY = 8,       // int* keep "thing/event/+/post_reply" subscribed
    TETHER_IOCTL_RECV_EVENT_REPLY = 9,      // int* same option
    TETHER_IOCTL_SEND_PROP_SET_REPLY = 10,  // int* device-model option 2
    TETHER_IOCTL_SET_SUBDEV_SIGN = 11,      // accepted, no effect
    TETHER_IOCTL_GET_SUBDEV_LOGIN = 12,     // accepted, no effect
    TETHER_IOCTL_QUERY_DEVID = 13,          // tether_dev_meta_info_t* in (pk, dn); returns the id
    TETHER_IOCTL_GET_LIB_VERSION = 14,      // char* out, at least 23 bytes
    TETHER_IOCTL_SET_CTX_FLAG = 15,         // int* context flag
    TETHER_IOCTL_SET_BOOTSTRAP = 16,        // int* 1 turns bootstrap on
} tether_ioctl_option_t;

// --- API ------------------------------------------------------------------------------
// Master (type 0, once): stores the identity in the port layer and opens the
// device model; returns 0. Slave (type 1): creates the sub-device and returns
// its id (> 0). -1 on invalid input ("Invalid Parameter").
int IOT_Tether_Open(int dev_type, void* meta_info);

// Master: connects (TLS + MQTT, retried every 500 ms for up to 10 s, see
// IOT_Tether_SetTiming), subscribes the device's topics, and queues
// ITE_INITIALIZE_COMPLETED and ITE_CONNECT_SUCC. Slave: registers the
// sub-device and adds it to the topology (each step waits up to 10 s for the
// cloud). 0 or -1.
int IOT_Tether_Connect(int devid);

// Serves the device model for about timeout_ms: dispatches every queued
// message to its callback on the calling thread. 0.
int IOT_Tether_Yield(int timeout_ms);

// Makes an IOT_Tether_Yield running on another thread return at once (for
// an application stopping its dispatch thread).
void IOT_Tether_Wake(void);

// Closes the device; for the master also the connection. 0 or -1.
int IOT_Tether_Close(int devid);

// Upstream messages (tether_msg_type_t 0..6). payload is the "params" JSON
// (raw bytes for TETHER_MSG_POST_RAW_DATA). Returns the message id (>= 0) or
// negative.
int IOT_Tether_Report(const int devid, const int msg_type, const unsigned char* payload,
                      const int payload_len);

// Requests (tether_msg_type_t 7..13). Message id (>= 0) or negative.
// 9 (firmware) and 10 (configuration) start the download of what the platform
// last announced (ITE_FOTA / ITE_COTA) on the library's OTA thread and return
// 0, or -1 when nothing downloadable was announced or a download is running;
// payload is not used. The image is fetched over HTTPS (server verified as for
// MQTT), its size and MD5 / SHA-256 checked against the announcement, and only
// then committed (HAL_Firmware_Persistence_Stop, HAL_Config_Write); progress
// goes to the platform, and the end to ITE_STATE_OTA: ev 0 or the failed step
// (-1 failed, -2 download, -3 verification, -4 write), msg a JSON summary
// {"kind","version","size","md5","sha256","result"}.
int IOT_Tether_Query(const int devid, const int msg_type, const unsigned char* payload,
                     const int payload_len);

// Posts event eventid with payload as its "params". Message id or negative.
int IOT_Tether_TriggerEvent(const int devid, const char* eventid, const int eventid_len,
                            const char* payload, const int payload_len);

// Options above. -1 for a negative option or NULL data ("Invalid Parameter")
// and for an unknown option ("Unknown Ioctl Option"); else 0 (13: the id).
int IOT_Ioctl(int option, void* data);

// Log level 0..5 (see hal.h). -1 and no change for 6 or more.
int IOT_SetLogLevel(int level);

// Points the outputs (each may be NULL) at the library's copies of the open
// device's identity. -2 for a negative id, -1 when no device has that id.
int nexo_dm_get_triple_by_devid(int devid, char** product_key, char** device_name,
                                char** device_secret);

// Timing of the connection IOT_Tether_Connect makes: request time-out
// (500..5000 ms, default 2000; QoS 1 re-sends follow every 2 x this),
// keep-alive (clamped to 30000..120000 ms, default 60000) and the wait for
// each topic's SUBACK (default 5000 ms), and how long IOT_Tether_Connect
// keeps trying to connect (default 10000 ms). 0 keeps a value. Takes effect
// at the next IOT_Tether_Connect. Returns 0.
int IOT_Tether_SetTiming(uint32_t request_timeout_ms, uint32_t keepalive_ms, uint32_t sub_wait_ms,
                         uint32_t connect_timeout_ms);

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TETHER_API_H

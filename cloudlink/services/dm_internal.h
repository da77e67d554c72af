// Device model internals shared by the API, the message handling and the
// reports.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tether/tether_api.h"

#define DM_MSG_QUEUE_MAX 50
#define DM_TOPIC_TABLE_SIZE 29

enum dm_msg_kind_t {
    DM_MSG_CLOUD_CONNECTED,
    DM_MSG_CLOUD_DISCONNECTED,
    DM_MSG_CLOUD_CONNECT_FAIL,
    DM_MSG_INIT_DONE,
    DM_MSG_PROPERTY_SET,
    DM_MSG_PROPERTY_GET,
    DM_MSG_SERVICE_REQUEST,
    DM_MSG_RRPC_REQUEST,
    DM_MSG_KESTREL,
    DM_MSG_TIME_REPLY,
    DM_MSG_EVENT_NOTIFY,
    DM_MSG_FOTA,
    DM_MSG_REPORT_REPLY,
    DM_MSG_EVENT_REPLY,
    DM_MSG_CLOUD_ERROR,
    DM_MSG_RAW_DATA,
    DM_MSG_TOPO_LIST_REPLY,
    DM_MSG_PERMIT_JOIN,
    DM_MSG_MQTT_CONNECT_SUCC,
    DM_MSG_COTA,       // configuration announced (payload: the announcement JSON)
    DM_MSG_OTA_STATE,  // end of a download (code: 0 or the failed step; payload: summary)
};

// One queued downstream message. Fields unused by a kind stay empty.
struct dm_msg_t {
    dm_msg_kind_t kind;
    int devid = 0;
    int code = 0;
    std::string id;         // message id of the request
    std::string serviceid;  // service / event id
    std::string rrpcid;
    std::string payload;  // params object or body as received
    std::string topic;
};

struct dm_device_t {
    int devid = -1;
    int type = TETHER_DEV_TYPE_MASTER;
    std::string pk, ps, dn, ds;
};

// Callback slots: the public ITE_* ones, then the library's own.
enum { DM_SLOT_PROPERTY_SET_EX = ITE_SLOT_COUNT, DM_SLOT_COUNT };
void* dm_cb_get(int slot);

// Queue of downstream messages (at most DM_MSG_QUEUE_MAX). false when full.
bool dm_queue_push(dm_msg_t&& m);
bool dm_queue_pop(dm_msg_t* out);
size_t dm_queue_size();
void dm_queue_clear();

// Devices.
int dm_find_devid(const std::string& pk, const std::string& dn);
bool dm_get_device(int devid, dm_device_t* out);

// Upstream.
int dm_next_msgid();
int dm_cm_handle();
// Publishes on the open connection; packet id / 0 or negative ("Publish Result: %d").
int dm_publish(const std::string& topic, const char* payload, size_t len, int qos);
// "{"id":"<id>","version":"1.0","params":<params>,"method":"<method>"}" on
// "/sys/<pk>/<dn>/<suffix>"; params must be valid JSON. Message id or negative.
// The one way the library writes a request body: {"id":"<id>","version":"1.0",
// "params":<params>,"method":"<method>"}, or {"id":"<id>","params":<params>}
// without a method. `params` is JSON text; string values are escaped. Empty
// when params is not JSON.
std::string dm_envelope(int id, const std::string& params, const char* method);
// {"k1":"v1",...} from name/value pairs, every value escaped.
std::string dm_string_object(std::initializer_list<std::pair<const char*, std::string>> members);
int dm_send_request(int devid, const std::string& suffix, const std::string& method,
                    const std::string& params, int qos);
// "{"id":"<id>","code":<code>,"data":<data>}" on topic, with
// ,"message":"<message>" when a message is given.
int dm_send_reply(const std::string& topic, const std::string& id, int code,
                  const std::string& data, const std::string& message = "");

// Topic table subscription for one device. 0 or -1.
int dm_subscribe_topics(int devid);

// MQTT client event handler of the device-link connection.
void dm_mqtt_event(void* ctx, void* client, tether_mqtt_event_msg_t* msg);
void dm_cm_event(void* ctx, int handle, int event);

// Wakes IOT_Tether_Yield after a push.
void dm_wake_yield();

// Dispatches one queued message to its callback (on the Yield thread).
void dm_dispatch(dm_msg_t& m);

// Synchronous waits for cloud replies (sub-device steps).
void* dm_wait_register(int msgid);
// Result code of the reply, or -1 on time-out. Frees the wait.
int dm_wait_take(void* wait, uint32_t timeout_ms);
// Called by a reply handler; false when nobody waits for that id.
bool dm_wait_complete(int msgid, int code);

// --- firmware and configuration download (dm_ota.cpp) ---------------------------
// Keeps the announcement of a new firmware (the "data" object of the upgrade
// message: version, url, size, md5 and / or sha256). false when it cannot be
// used for a download (no https url, no digest); the version is still told.
bool dm_ota_fota_announced(int devid, const std::string& data_json, std::string* version);
// Same for a configuration (configId, configSize, sign, signMethod, url,
// getType).
bool dm_ota_cota_announced(int devid, const std::string& data_json);
// Starts the download of the last announcement on the OTA worker thread.
// 0 started, -1 nothing usable announced or a download already running.
int dm_ota_start_fota(int devid);
int dm_ota_start_cota(int devid);
// Waits for a running download to end (at close).
void dm_ota_stop();

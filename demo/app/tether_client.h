// The demo's side of the cloud link: opens and connects the device, runs the
// dispatch thread on which every cloud-link callback arrives, forwards cloud
// messages to the SDK and property changes to the camera, and publishes what
// the SDK and the camera report.
#pragma once

#include <kestrel/ks_api.h>
#include <stdint.h>

#include "sdk/message_service.h"

// Where the MQTT broker is and whom to trust, for a broker other than the
// platform's (a local cloud). Call before tether_client_start. A null host
// keeps the platform's regional broker (found through bootstrap); port 0
// keeps the library's default; a null trust anchor keeps the built-in one.
// The anchor (a PEM file) covers every TLS connection of the cloud link.
typedef struct {
    const char* host;
    uint16_t port;
    const char* trust_anchor_file;
    // Bootstrap and dynamic registration service (null / 0: the platform's).
    const char* bootstrap_host;
    uint16_t bootstrap_port;
    // Where a verified firmware image goes (null: the port layer's default).
    const char* firmware_file;
    // Longest pause between start-up connection attempts (0: 60 s).
    uint32_t retry_max_ms;
} tether_client_broker_s;

// Copies the settings (the texts must outlive tether_client_start).
void tether_client_set_broker(const tether_client_broker_s* broker);

// Opens the device and starts connecting it in the background (retried with
// back-off until it succeeds or tether_client_destroy is called; sub-devices
// are logged in once connected). "Cloud Connected" is printed when online.
// 0, or -1 (a local failure) with everything it started undone.
int tether_client_start(const ks_device_auth_s* auth, const char* product_secret, unsigned sub_num,
                        const ks_device_auth_s* sub_list);
void tether_client_destroy(void);

// The SDK's publish callback: one MQTT message on the device's connection.
void tether_message_publish_cb(const kestrel::MessageService::MessagePublishParam* msg);

// The camera's property sink: a property post of `json` for the identity.
int tether_client_set_property_handler(const ks_device_auth_s* auth, const char* json);

// Cloud-link event handlers (run on the dispatch thread).
int user_connected_event_handler(void);
int user_disconnected_event_handler(void);
int user_kestrel_handler(const int devid, const char* serviceid, const int serviceid_len,
                         const char* payload, const int payload_len);
int user_service_request_handler(const int devid, const char* msgid, const int msgid_len,
                                 const char* serviceid, const int serviceid_len,
                                 const char* request, const int request_len, char** response,
                                 int* response_len);
// Applies every member; -1 with *message (HAL_Malloc'd) naming each member
// that could not be applied.
int user_property_set_handler(const int devid, const char* request, const int request_len,
                              char** message, int* message_len);
int user_timestamp_reply_handler(const char* timestamp);
int user_fota_handler(const int type, const char* version);
int user_event_notify_event_handler(const int devid, const char* request, const int request_len);
// End of a firmware or configuration download: 0 or the failed step, and a
// JSON summary.
int user_ota_state_handler(const int ev, const char* msg);

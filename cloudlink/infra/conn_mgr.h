// Connection manager: small integer handles over MQTT clients, each
// connected one served by a "cm_yield" thread of its own.
#pragma once

#include <cstdint>

#include "tether/mqtt_api.h"

#define NEXO_CM_MAX_HANDLES 3
enum { NEXO_CM_PROTOCOL_MQTT = 1, NEXO_CM_PROTOCOL_OTHER = 2 };
enum { NEXO_CM_EVENT_CONNECTED = 0, NEXO_CM_EVENT_CONNECT_FAILED = 1 };

typedef void (*nexo_cm_event_fpt)(void* ctx, int handle, int event);

typedef struct {
    int protocol;
    uint32_t request_timeout_ms;
    uint32_t keepalive_ms;
    uint32_t write_buf_size;
    uint32_t read_buf_size;
    tether_mqtt_event_handle_t handle_event;  // MQTT client events
    nexo_cm_event_fpt cm_event;               // connect result
    void* cm_event_ctx;
} nexo_cm_init_param_t;

typedef struct {
    int sync;
    int sync_timeout_ms;
} nexo_cm_sub_opt_t;

typedef struct {
    int qos;
} nexo_cm_pub_opt_t;

int nexo_cm_open(const nexo_cm_init_param_t* params);
int nexo_cm_connect(int handle, int timeout_ms);
int nexo_cm_sub(int handle, const nexo_cm_sub_opt_t* opt, const char* topic,
                tether_mqtt_msg_handler_fpt fn, void* ctx);
int nexo_cm_unsub(int handle, const char* topic);
int nexo_cm_pub(int handle, const nexo_cm_pub_opt_t* opt, const char* topic, const char* payload,
                uint32_t len);
int nexo_cm_yield(int handle, int timeout_ms);
int nexo_cm_close(int handle);
// The MQTT client of a connected handle, NULL otherwise.
void* nexo_cm_get_client(int handle);

// Process-wide settings of the cloud link, written by IOT_Ioctl and read by
// the signing, bootstrap and device-model code. Guarded by one lock; strings
// are returned as copies so a concurrent IOT_Ioctl cannot pull them away.
#pragma once

#include <cstdint>
#include <string>

enum { NEXO_REGION_COUNT = 5, NEXO_REGION_CUSTOM = 5 };

struct nexo_sdk_ctx_t {
    int region = 0;
    std::string mqtt_custom_domain;
    std::string http_custom_domain;
    uint16_t mqtt_port_override = 0;  // 0: the default 443
    uint16_t http_port_override = 0;
    int dynamic_register = 0;
    int dm_post_reply_opt = 0;  // device-model option 1: keep "thing/event/+/post_reply"
    int dm_option_2 = 0;
    int ctx_flag_15 = 0;
    int bootstrap = 0;
    // Timing of the device-link connection (IOT_Tether_Connect).
    uint32_t dm_request_timeout_ms = 2000;
    uint32_t dm_keepalive_ms = 60000;
    uint32_t dm_sub_wait_ms = 5000;
    uint32_t dm_slave_reply_wait_ms = 10000;
    uint32_t dm_connect_timeout_ms = 10000;
};

// Snapshot of the whole context.
nexo_sdk_ctx_t nexo_ctx_get();
// Applies fn to the context under its lock.
template <typename Fn>
void nexo_ctx_update(Fn fn);

void nexo_ctx_lock();
void nexo_ctx_unlock();
nexo_sdk_ctx_t& nexo_ctx_raw();  // only between nexo_ctx_lock/unlock

template <typename Fn>
void nexo_ctx_update(Fn fn) {
    nexo_ctx_lock();
    fn(nexo_ctx_raw());
    nexo_ctx_unlock();
}

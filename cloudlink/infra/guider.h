// Connection information and signing: which broker, and the client id, user
// name and password derived from the device identity.
#pragma once

#include <cstdint>
#include <string>

#include "tether/mqtt_api.h"

// The signing timestamp is fixed, so the credentials of a device never change.
#define NEXO_GUIDER_SIGN_TIMESTAMP "2524608000000"
#define NEXO_GUIDER_SDK_VERSION_TAG "sdk-c-2.3.0"
#define NEXO_GUIDER_SECURE_MODE 2
#define NEXO_DEFAULT_MQTT_PORT 443

// Regional MQTT domain for region 0..4 (the host is "<pk>.<domain>"); NULL
// for anything else.
const char* nexo_guider_get_domain(int region);
// The MQTT host to use regardless of region; NULL or "" clears it.
void nexo_guider_set_custom_domain(const char* domain);

// Fills info from the identity in the port layer. A second call on an
// initialised record logs "conn info already init!" and returns 0.
int nexo_guider_authenticate(tether_conn_info_t* info);
// Frees the strings of the global record and clears its initialised flag.
void nexo_conn_info_release(void);
// Release + authenticate. 0 or -1.
int nexo_conn_info_reload(void);

// Thread-safe copy of the global record (empty strings when not built).
struct nexo_conn_snapshot_t {
    bool valid = false;
    uint16_t port = 0;
    std::string host, client_id, username, password, ca;
};
nexo_conn_snapshot_t nexo_conn_info_snapshot(void);

// The trust anchor given to the TLS layer.
const char* nexo_ca_get(void);

// Pure signing helpers, exposed so the fixed formats can be checked alone.
// Returns false when the HMAC source would not fit its 512-byte limit.
bool nexo_guider_sign(const char* product_key, const char* device_name, const char* device_secret,
                      std::string* password);
std::string nexo_guider_client_id(const char* product_key, const char* device_name,
                                  const char* partner_id, const char* module_id);

// Bootstrap and dynamic-registration endpoints (custom HTTP domain and port
// from IOT_Ioctl 5 / 4 replace the built-in ones).
#define NEXO_BOOTSTRAP_HOST "bootstrap.iot.kestrel-cloud.com"
#define NEXO_BOOTSTRAP_PATH "/auth/bootstrap"
#define NEXO_REGISTER_HOST "auth.iot.kestrel-cloud.com"
#define NEXO_REGISTER_PATH "/auth/register/device"
#define NEXO_KV_DYNREG_SECRET "DyncRegDeviceSecret"

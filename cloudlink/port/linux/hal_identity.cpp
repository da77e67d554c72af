// Device identity held by the port layer, and the fixed identity answers of
// this Linux build.
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "port/linux/hal_internal.h"
#include "tether/hal.h"

namespace {

struct Identity {
    char product_key[HAL_PRODUCT_KEY_LEN + 1];
    char product_secret[HAL_PRODUCT_SECRET_LEN + 1];
    char device_name[HAL_DEVICE_NAME_LEN + 1];
    char device_secret[HAL_DEVICE_SECRET_LEN + 1];
};

// Written at start-up and read by the connection thread afterwards; the lock
// keeps a late re-configuration from tearing a value mid-copy.
std::mutex g_lock;
Identity g_id;

int set_field(char* field, size_t limit, const char* value, const char* what) {
    if (value == nullptr) {
        tether_port::prt(LOG_ERR_LEVEL, "%s: NULL", what);
        return -1;
    }
    size_t len = strlen(value);
    if (len > limit) {
        tether_port::prt(LOG_ERR_LEVEL, "%s too long: %zu > %zu", what, len, limit);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    memcpy(field, value, len);
    field[len] = '\0';
    return static_cast<int>(len);
}

int get_field(char* out, size_t limit, const char* field) {
    if (out == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    strncpy(out, field, limit);
    out[limit] = '\0';
    return static_cast<int>(strlen(out));
}

int copy_fixed(char* out, size_t limit, const char* text) {
    if (out == nullptr) {
        return -1;
    }
    snprintf(out, limit + 1, "%s", text);
    return static_cast<int>(strlen(out));
}

}  // namespace

int HAL_SetProductKey(const char* v) {
    return set_field(g_id.product_key, HAL_PRODUCT_KEY_LEN, v, "product key");
}
int HAL_SetProductSecret(const char* v) {
    return set_field(g_id.product_secret, HAL_PRODUCT_SECRET_LEN, v, "product secret");
}
int HAL_SetDeviceName(const char* v) {
    return set_field(g_id.device_name, HAL_DEVICE_NAME_LEN, v, "device name");
}
int HAL_SetDeviceSecret(const char* v) {
    return set_field(g_id.device_secret, HAL_DEVICE_SECRET_LEN, v, "device secret");
}

int HAL_GetProductKey(char* out) {
    return get_field(out, HAL_PRODUCT_KEY_LEN, g_id.product_key);
}
int HAL_GetProductSecret(char* out) {
    return get_field(out, HAL_PRODUCT_SECRET_LEN, g_id.product_secret);
}
int HAL_GetDeviceName(char* out) {
    return get_field(out, HAL_DEVICE_NAME_LEN, g_id.device_name);
}
int HAL_GetDeviceSecret(char* out) {
    return get_field(out, HAL_DEVICE_SECRET_LEN, g_id.device_secret);
}

int HAL_GetDeviceID(char* out) {
    if (out == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    snprintf(out, HAL_DEVICE_ID_LEN + 1, "%s.%s", g_id.product_key, g_id.device_name);
    return static_cast<int>(strlen(out));
}

int HAL_GetPartnerID(char* out) {
    return copy_fixed(out, HAL_PARTNER_ID_LEN, "example.demo.partner-id");
}
int HAL_GetModuleID(char* out) {
    return copy_fixed(out, HAL_MODULE_ID_LEN, "example.demo.module-id");
}
int HAL_GetChipID(char* out) {
    return copy_fixed(out, HAL_CHIP_ID_LEN, "rtl8188eu 12345678");
}
int HAL_GetFirmwareVersion(char* out) {
    return copy_fixed(out, HAL_FIRMWARE_VERSION_LEN, "app-1.0.0-20180101.1000");
}
int HAL_GetNetifInfo(char* out) {
    return copy_fixed(out, HAL_NETIF_INFO_LEN, "WiFi|03ACDEFF0032");
}

#include "infra/guider.h"

#include <cjson/cJSON.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "infra/httpc.h"
#include "infra/sdk_ctx.h"
#include "tether/hal.h"

#define MOD "sys"

namespace {

const char* const kRegionDomains[NEXO_REGION_COUNT] = {
    "mqtt.cn-east-1.iot.kestrel-cloud.com",      "mqtt.ap-southeast-1.iot.kestrel-cloud.com",
    "mqtt.ap-northeast-1.iot.kestrel-cloud.com", "mqtt.us-west-1.iot.kestrel-cloud.com",
    "mqtt.eu-central-1.iot.kestrel-cloud.com",
};

std::mutex& InfoMutex() {
    static std::mutex m;
    return m;
}

struct GlobalInfo {
    tether_conn_info_t rec{};
    bool initialised = false;
};
GlobalInfo& Info() {
    static GlobalInfo g;
    return g;
}

char* Dup(const std::string& s) {
    char* p = static_cast<char*>(HAL_Malloc(static_cast<uint32_t>(s.size() + 1)));
    if (p != nullptr)
        memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

void FreeRec(tether_conn_info_t* r) {
    HAL_Free(r->host_name);
    HAL_Free(r->client_id);
    HAL_Free(r->username);
    HAL_Free(r->password);
    memset(r, 0, sizeof(*r));
}

std::string Hex(const unsigned char* d, size_t n) {
    static const char* k = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += k[d[i] >> 4];
        s += k[d[i] & 15];
    }
    return s;
}

bool Hmac(mbedtls_md_type_t type, const std::string& key, const std::string& msg,
          std::string* hex) {
    const mbedtls_md_info_t* md = mbedtls_md_info_from_type(type);
    unsigned char out[64];
    if (md == nullptr ||
        mbedtls_md_hmac(md, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                        reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), out) != 0) {
        return false;
    }
    *hex = Hex(out, mbedtls_md_get_size(md));
    return true;
}

std::string HttpHost(const char* fallback) {
    nexo_sdk_ctx_t c = nexo_ctx_get();
    return c.http_custom_domain.empty() ? fallback : c.http_custom_domain;
}
uint16_t HttpPort() {
    nexo_sdk_ctx_t c = nexo_ctx_get();
    return c.http_port_override ? c.http_port_override : 443;
}

// A port given as a number or as a decimal string ("8883"); -1 when it is
// neither or lies outside 1..65535.
long PortValue(const cJSON* p) {
    if (cJSON_IsNumber(p)) {
        double v = p->valuedouble;
        return v >= 1 && v <= 65535 && v == static_cast<long>(v) ? static_cast<long>(v) : -1;
    }
    if (!cJSON_IsString(p) || p->valuestring[0] == '\0')
        return -1;
    char* end = nullptr;
    long v = strtol(p->valuestring, &end, 10);
    return *end == '\0' && isdigit(static_cast<unsigned char>(p->valuestring[0])) && v >= 1 &&
                   v <= 65535
               ? v
               : -1;
}

// Bootstrap: ask the platform which broker serves this device.
int BootstrapHostPort(const char* pk, const char* dn, std::string* host, uint16_t* port) {
    char body[256];
    HAL_Snprintf(body, sizeof(body), "productKey=%s&deviceName=%s&clientId=%s.%s&resources=mqtt",
                 pk, dn, pk, dn);
    char resp[1024];
    int status =
        nexo_https_post(HttpHost(NEXO_BOOTSTRAP_HOST).c_str(), HttpPort(), NEXO_BOOTSTRAP_PATH,
                        "application/x-www-form-urlencoded;charset=utf-8",
                        "Accept: text/xml,text/javascript,text/html,application/json\r\n", body,
                        resp, sizeof(resp), 10000);
    if (status != 200) {
        log_err(MOD, "bootstrap http status %d", status);
        return -1;
    }
    cJSON* root = cJSON_Parse(resp);
    int rc = -1;
    cJSON* code = cJSON_GetObjectItemCaseSensitive(root, "code");
    if (!cJSON_IsNumber(code)) {
        log_err(MOD, "bootstrap reply without code: %s", resp);
    } else if (code->valueint != 200) {
        log_err(MOD, "ret_code = %d (!= 200), abort!", code->valueint);
    } else {
        cJSON* mqtt = cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root, "data"),
                                             "resources"),
            "mqtt");
        cJSON* h = cJSON_GetObjectItemCaseSensitive(mqtt, "host");
        long p = PortValue(cJSON_GetObjectItemCaseSensitive(mqtt, "port"));
        if (cJSON_IsString(h) && h->valuestring[0] != '\0' && p > 0) {
            *host = h->valuestring;
            *port = static_cast<uint16_t>(p);
            rc = 0;
        } else {
            log_err(MOD, "bootstrap reply lacks data.resources.mqtt host/port");
        }
    }
    cJSON_Delete(root);
    return rc;
}

// 15 characters from [0-9A-Za-z], drawn from the CTR-DRBG.
bool RandomKey(std::string* out) {
    static const char kAlpha[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    mbedtls_entropy_context ent;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_init(&ent);
    mbedtls_ctr_drbg_init(&drbg);
    unsigned char raw[15];
    bool ok = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &ent,
                                    reinterpret_cast<const unsigned char*>("dynreg"), 6) == 0 &&
              mbedtls_ctr_drbg_random(&drbg, raw, sizeof(raw)) == 0;
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&ent);
    if (!ok)
        return false;
    out->clear();
    for (unsigned char b : raw)
        *out += kAlpha[b % (sizeof(kAlpha) - 1)];
    return true;
}

int DynamicRegister(const char* pk, const char* dn, std::string* secret) {
    char ps[HAL_PRODUCT_SECRET_LEN + 1] = {0};
    if (HAL_GetProductSecret(ps) <= 0) {
        log_err(MOD, "Product Secret Is Not Exist");
        return -1;
    }
    std::string random, sign;
    if (!RandomKey(&random) ||
        !Hmac(MBEDTLS_MD_SHA256, ps,
              std::string("deviceName") + dn + "productKey" + pk + "random" + random, &sign)) {
        log_err(MOD, "Dynamic Register Failed");
        return -1;
    }
    char body[512];
    HAL_Snprintf(body, sizeof(body), "productKey=%s&deviceName=%s&random=%s&sign=%s&signMethod=%s",
                 pk, dn, random.c_str(), sign.c_str(), "hmacsha256");
    char resp[1024];
    int status =
        nexo_https_post(HttpHost(NEXO_REGISTER_HOST).c_str(), HttpPort(), NEXO_REGISTER_PATH,
                        "application/x-www-form-urlencoded;charset=utf-8",
                        "Accept: text/xml,text/javascript,text/html,application/json\r\n", body,
                        resp, sizeof(resp), 10000);
    cJSON* root = status == 200 ? cJSON_Parse(resp) : nullptr;
    cJSON* code = cJSON_GetObjectItemCaseSensitive(root, "code");
    cJSON* ds = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root, "data"),
                                                 "deviceSecret");
    int rc = -1;
    if (cJSON_IsNumber(code) && code->valueint == 200 && cJSON_IsString(ds) &&
        ds->valuestring[0] != '\0' && strlen(ds->valuestring) <= HAL_DEVICE_SECRET_LEN) {
        *secret = ds->valuestring;
        rc = 0;
    } else {
        log_err(MOD, "Dynamic Register Failed");
    }
    cJSON_Delete(root);
    if (rc == 0 &&
        HAL_Kv_Set(NEXO_KV_DYNREG_SECRET, secret->c_str(), static_cast<int>(secret->size())) != 0) {
        // The secret works for this session; only the next start would need
        // to register again, which the platform refuses for a known device.
        log_err(MOD, "Save Device Secret to KV Failed");
    }
    return rc;
}

}  // namespace

const char* nexo_guider_get_domain(int region) {
    if (region < 0 || region >= NEXO_REGION_COUNT)
        return nullptr;
    return kRegionDomains[region];
}

void nexo_guider_set_custom_domain(const char* domain) {
    nexo_ctx_update([&](nexo_sdk_ctx_t& c) {
        c.mqtt_custom_domain = domain ? domain : "";
        if (!c.mqtt_custom_domain.empty())
            c.region = NEXO_REGION_CUSTOM;
    });
}

const char* nexo_ca_get(void) {
    return HAL_GetTrustAnchorPem();
}

bool nexo_guider_sign(const char* pk, const char* dn, const char* ds, std::string* password) {
    char src[512];
    int n = snprintf(src, sizeof(src), "clientId%s.%sdeviceName%sproductKey%stimestamp%s", pk, dn,
                     dn, pk, NEXO_GUIDER_SIGN_TIMESTAMP);
    if (n < 0 || n >= static_cast<int>(sizeof(src))) {
        log_err(MOD, "hmac source too long (%d)", n);
        return false;
    }
    if (!Hmac(MBEDTLS_MD_SHA1, ds, src, password)) {
        log_err(MOD, "hmac-sha1 failed");
        return false;
    }
    return true;
}

std::string nexo_guider_client_id(const char* pk, const char* dn, const char* pid,
                                  const char* mid) {
    char buf[257];
    std::string p = (pid && pid[0]) ? std::string(",pid=") + pid : "";
    std::string m = (mid && mid[0]) ? std::string(",mid=") + mid : "";
    snprintf(buf, sizeof(buf),
             "%s.%s|securemode=%d,_v=" NEXO_GUIDER_SDK_VERSION_TAG
             ",timestamp=%s,signmethod=hmacsha1,lan=C,gw=%d,ext=%d%s%s|",
             pk, dn, NEXO_GUIDER_SECURE_MODE, NEXO_GUIDER_SIGN_TIMESTAMP, 0, 0, p.c_str(),
             m.c_str());
    return buf;
}

int nexo_guider_authenticate(tether_conn_info_t* info) {
    if (info == nullptr) {
        log_err(MOD, "Invalid argument, %s = %p", "info", static_cast<void*>(info));
        return -1;
    }
    GlobalInfo& g = Info();
    if (info == &g.rec && g.initialised) {
        log_warning(MOD, "conn info already init!");
        return 0;
    }
    char pk[HAL_PRODUCT_KEY_LEN + 1] = {0}, dn[HAL_DEVICE_NAME_LEN + 1] = {0},
                                  ds[HAL_DEVICE_SECRET_LEN + 1] = {0},
                                  pid[HAL_PARTNER_ID_LEN + 1] = {0},
                                  mid[HAL_MODULE_ID_LEN + 1] = {0};
    HAL_GetProductKey(pk);
    HAL_GetDeviceName(dn);
    HAL_GetDeviceSecret(ds);
    HAL_GetPartnerID(pid);
    HAL_GetModuleID(mid);
    if (pk[0] == '\0' || dn[0] == '\0') {
        log_err(MOD, "Invalid argument, %s = '%s'", pk[0] ? "device_name" : "product_key", "");
        return -1;
    }

    nexo_sdk_ctx_t ctx = nexo_ctx_get();
    uint16_t port = ctx.mqtt_port_override ? ctx.mqtt_port_override : NEXO_DEFAULT_MQTT_PORT;
    std::string host;
    if (ctx.bootstrap) {
        std::string bhost;
        uint16_t bport = 0;
        if (BootstrapHostPort(pk, dn, &bhost, &bport) != 0) {
            log_err(MOD, "bootstrap _get_hostname_port() failed");
            return -1;
        }
        host = bhost;
        port = bport;
    }
    if (!ctx.mqtt_custom_domain.empty()) {
        host = ctx.mqtt_custom_domain;
        if (ctx.mqtt_port_override)
            port = ctx.mqtt_port_override;
    } else if (host.empty()) {
        const char* dom = nexo_guider_get_domain(ctx.region);
        if (dom == nullptr)
            dom = kRegionDomains[0];
        host = std::string(pk) + "." + dom;
    }

    std::string password;
    if (!nexo_guider_sign(pk, dn, ds, &password))
        return -1;
    std::string user = std::string(dn) + "&" + pk;
    std::string cid = nexo_guider_client_id(pk, dn, pid, mid);

    tether_conn_info_t fresh{};
    fresh.port = port;
    fresh.host_name = Dup(host);
    fresh.client_id = Dup(cid);
    fresh.username = Dup(user);
    fresh.password = Dup(password);
    fresh.pub_key = nexo_ca_get();
    if (!fresh.host_name || !fresh.client_id || !fresh.username || !fresh.password) {
        log_err(MOD, "Not Enough Memory");
        FreeRec(&fresh);
        return -1;
    }
    log_debug(MOD, "-----------------------------------------");
    log_debug(MOD, "            Host : %s", fresh.host_name);
    log_debug(MOD, "            Port : %u", fresh.port);
    log_debug(MOD, "        ClientID : %s", fresh.client_id);
    log_debug(MOD, "      TLS PubKey : %p ('%.16s ...')", static_cast<const void*>(fresh.pub_key),
              fresh.pub_key ? fresh.pub_key : "NULL");
    log_debug(MOD, "-----------------------------------------");
    FreeRec(info);
    *info = fresh;
    if (info == &g.rec)
        g.initialised = true;
    return 0;
}

void nexo_conn_info_release(void) {
    std::lock_guard<std::mutex> l(InfoMutex());
    FreeRec(&Info().rec);
    Info().initialised = false;
}

int nexo_conn_info_reload(void) {
    std::lock_guard<std::mutex> l(InfoMutex());
    // Build into a scratch record first so a failed rebuild (say, bootstrap
    // unreachable during a reconnect) keeps the last working information.
    tether_conn_info_t scratch{};
    int rc = nexo_guider_authenticate(&scratch);
    if (rc != 0)
        return rc;
    FreeRec(&Info().rec);
    Info().rec = scratch;
    Info().initialised = true;
    return 0;
}

nexo_conn_snapshot_t nexo_conn_info_snapshot(void) {
    std::lock_guard<std::mutex> l(InfoMutex());
    nexo_conn_snapshot_t s;
    const GlobalInfo& g = Info();
    if (!g.initialised)
        return s;
    s.valid = true;
    s.port = g.rec.port;
    s.host = g.rec.host_name;
    s.client_id = g.rec.client_id;
    s.username = g.rec.username;
    s.password = g.rec.password;
    s.ca = g.rec.pub_key ? g.rec.pub_key : "";
    return s;
}

int IOT_SetupConnInfo(const char* product_key, const char* device_name, const char* device_secret,
                      void** info) {
    const char* bad = nullptr;
    const char* badv = nullptr;
    if (product_key == nullptr || product_key[0] == '\0') {
        bad = "product_key";
        badv = product_key;
    } else if (device_name == nullptr || device_name[0] == '\0') {
        bad = "device_name";
        badv = device_name;
    }
    if (bad != nullptr) {
        if (badv == nullptr) {
            log_err(MOD, "Invalid argument, %s = %p", bad, static_cast<const void*>(badv));
        } else {
            log_err(MOD, "Invalid argument, %s = '%s'", bad, badv);
        }
        return -1;
    }
    if (HAL_SetProductKey(product_key) < 0 || HAL_SetDeviceName(device_name) < 0) {
        log_err(MOD, "Invalid argument: identity too long");
        return -1;
    }
    nexo_sdk_ctx_t ctx = nexo_ctx_get();
    std::string secret = device_secret ? device_secret : "";
    if (ctx.dynamic_register) {
        char kv[HAL_DEVICE_SECRET_LEN + 1] = {0};
        int len = HAL_DEVICE_SECRET_LEN;
        if (HAL_Kv_Get(NEXO_KV_DYNREG_SECRET, kv, &len) == 0 && len > 0) {
            kv[len] = '\0';
            secret = kv;
            log_info(MOD, "Get DeviceSecret from KV succeed");
        } else if (DynamicRegister(product_key, device_name, &secret) != 0) {
            return -1;
        }
    }
    if (!secret.empty() && HAL_SetDeviceSecret(secret.c_str()) < 0) {
        log_err(MOD, "Invalid argument: device secret too long");
        return -1;
    }
    if (nexo_conn_info_reload() != 0)
        return -1;
    if (info != nullptr)
        *info = &Info().rec;
    return 0;
}

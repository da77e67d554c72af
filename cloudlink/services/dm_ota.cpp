// Firmware (FOTA) and configuration (COTA) download: the image is fetched
// over HTTPS with the server verified as for MQTT, its MD5 and SHA-256 are
// computed as it arrives, and it becomes current only when its size and
// digests match the announcement. Progress goes to the platform on
// "/ota/device/progress/<pk>/<dn>"; the end is told to the application
// through ITE_STATE_OTA (0, or the negative step that failed, and a JSON
// summary).
#include <cjson/cJSON.h>
#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>
#include <strings.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "infra/httpc.h"
#include "services/dm_internal.h"

#define MOD "ota"

namespace {

// Progress steps the platform knows: 0..100 percent, or the failure.
constexpr int kStepFailed = -1;
constexpr int kStepDownloadFailed = -2;
constexpr int kStepVerifyFailed = -3;
constexpr int kStepWriteFailed = -4;
constexpr int kIdleTimeoutMs = 10000;
constexpr size_t kConfigMax = 64 * 1024;

struct Announcement {
    bool valid = false;
    int devid = 0;
    std::string version, url, md5, sha256;
    long long size = -1;
};

std::mutex g_mu;  // announcements and the worker
Announcement g_fota;
Announcement g_cota;
void* g_worker = nullptr;
std::atomic<bool> g_busy{false};
std::atomic<bool> g_cancel{false};  // the device is closing

std::string Text(const cJSON* item) {
    if (cJSON_IsString(item))
        return item->valuestring;
    if (cJSON_IsNumber(item)) {
        char buf[32];
        snprintf(buf, sizeof(buf), "%.0f", item->valuedouble);
        return buf;
    }
    return "";
}

std::string Lower(std::string s) {
    for (char& ch : s)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return s;
}

bool IsHex(const std::string& s, size_t len) {
    if (s.size() != len)
        return false;
    for (char ch : s) {
        if (!isxdigit(static_cast<unsigned char>(ch)))
            return false;
    }
    return true;
}

std::string Hex(const unsigned char* p, size_t n) {
    static const char* k = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += k[p[i] >> 4];
        out += k[p[i] & 15];
    }
    return out;
}

// Fills the digests from either named fields or a sign / signMethod pair.
void ReadDigests(const cJSON* data, Announcement* a) {
    a->md5 = Lower(Text(cJSON_GetObjectItemCaseSensitive(data, "md5")));
    a->sha256 = Lower(Text(cJSON_GetObjectItemCaseSensitive(data, "sha256")));
    std::string sign = Lower(Text(cJSON_GetObjectItemCaseSensitive(data, "sign")));
    std::string method = Lower(Text(cJSON_GetObjectItemCaseSensitive(data, "signMethod")));
    if (!sign.empty() && method == "md5" && a->md5.empty())
        a->md5 = sign;
    if (!sign.empty() && method == "sha256" && a->sha256.empty())
        a->sha256 = sign;
}

bool Usable(const Announcement& a, const char* what) {
    if (strncasecmp(a.url.c_str(), "https://", 8) != 0) {
        log_err(MOD, "%s announcement without an https url ('%s'): not downloadable", what,
                nexo_url_for_log(a.url).c_str());
        return false;
    }
    if ((!a.md5.empty() && !IsHex(a.md5, 32)) || (!a.sha256.empty() && !IsHex(a.sha256, 64)) ||
        (a.md5.empty() && a.sha256.empty())) {
        log_err(MOD, "%s announcement without a usable md5 or sha256: not downloadable", what);
        return false;
    }
    return true;
}

cJSON* ParseObject(const std::string& json) {
    cJSON* root = cJSON_ParseWithLength(json.data(), json.size());
    if (root != nullptr && !cJSON_IsObject(root)) {
        cJSON_Delete(root);
        root = nullptr;
    }
    return root;
}

void ReportProgress(int devid, int step, const std::string& desc) {
    dm_device_t d;
    if (!dm_get_device(devid, &d))
        return;
    cJSON* root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "id", std::to_string(dm_next_msgid()).c_str());
    cJSON* params = cJSON_AddObjectToObject(root, "params");
    cJSON_AddStringToObject(params, "step", std::to_string(step).c_str());
    cJSON_AddStringToObject(params, "desc", desc.c_str());
    char* body = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (body == nullptr)
        return;
    dm_publish("/ota/device/progress/" + d.pk + "/" + d.dn, body, strlen(body), 0);
    cJSON_free(body);
}

// The application's end-of-download notice, through the dispatch queue.
void TellApplication(int devid, int code, const char* kind, const Announcement& a, long long size,
                     const std::string& md5, const std::string& sha256, const std::string& why) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "kind", kind);
    cJSON_AddStringToObject(root, "version", a.version.c_str());
    cJSON_AddNumberToObject(root, "size", static_cast<double>(size));
    cJSON_AddStringToObject(root, "md5", md5.c_str());
    cJSON_AddStringToObject(root, "sha256", sha256.c_str());
    cJSON_AddStringToObject(root, "result", why.c_str());
    char* text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    dm_msg_t m;
    m.kind = DM_MSG_OTA_STATE;
    m.devid = devid;
    m.code = code;
    m.payload = text ? text : "";
    cJSON_free(text);
    dm_queue_push(std::move(m));
}

// What a download has seen so far.
struct Transfer {
    const Announcement* a = nullptr;
    bool firmware = true;  // else configuration, kept in memory
    int status = 0;
    long long announced_length = -1;
    long long got = 0;
    int last_percent = 0;
    bool write_failed = false;
    bool too_large = false;
    std::string config;
    mbedtls_md5_context md5;
    mbedtls_sha256_context sha256;
};

bool OnHead(void* ctx, int status, long long length) {
    Transfer* t = static_cast<Transfer*>(ctx);
    t->status = status;
    t->announced_length = length;
    if (status != 200) {
        log_err(MOD, "download of %s answered %d", nexo_url_for_log(t->a->url).c_str(), status);
        return false;
    }
    return true;
}

bool KeepGoing(void*) {
    return !g_cancel.load();
}

bool OnBody(void* ctx, const char* data, size_t len) {
    Transfer* t = static_cast<Transfer*>(ctx);
    if (g_cancel.load())
        return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    mbedtls_md5_update_ret(&t->md5, p, len);
    mbedtls_sha256_update_ret(&t->sha256, p, len);
    t->got += static_cast<long long>(len);
    if (t->a->size >= 0 && t->got > t->a->size) {
        log_err(MOD, "%s is larger than the announced %lld bytes",
                nexo_url_for_log(t->a->url).c_str(), t->a->size);
        t->too_large = true;
        return false;
    }
    if (!t->firmware) {
        if (t->config.size() + len > kConfigMax) {
            log_err(MOD, "configuration larger than %zu bytes", kConfigMax);
            t->too_large = true;
            return false;
        }
        t->config.append(data, len);
        return true;
    }
    if (HAL_Firmware_Persistence_Write(data, static_cast<uint32_t>(len)) != 0) {
        log_err(MOD, "Fota write firmware failed");
        t->write_failed = true;
        return false;
    }
    long long total = t->a->size >= 0 ? t->a->size : t->announced_length;
    if (total > 0) {
        int percent = static_cast<int>(t->got * 100 / total);
        if (percent >= t->last_percent + 10 && percent < 100) {
            t->last_percent = percent - percent % 10;
            ReportProgress(t->a->devid, t->last_percent, "downloading");
        }
    }
    return true;
}

// Runs one download; the step that failed (negative) or 0, with why.
int Download(Transfer* t, std::string* md5, std::string* sha256, std::string* why) {
    mbedtls_md5_init(&t->md5);
    mbedtls_sha256_init(&t->sha256);
    mbedtls_md5_starts_ret(&t->md5);
    mbedtls_sha256_starts_ret(&t->sha256, 0);
    nexo_http_sink_t sink{OnHead, OnBody, t, KeepGoing};
    int rc = nexo_https_get(t->a->url.c_str(), &sink, kIdleTimeoutMs);
    unsigned char d5[16], d256[32];
    mbedtls_md5_finish_ret(&t->md5, d5);
    mbedtls_sha256_finish_ret(&t->sha256, d256);
    mbedtls_md5_free(&t->md5);
    mbedtls_sha256_free(&t->sha256);
    *md5 = Hex(d5, sizeof(d5));
    *sha256 = Hex(d256, sizeof(d256));
    if (t->write_failed) {
        *why = "write failed";
        return kStepWriteFailed;
    }
    if (g_cancel.load()) {
        *why = "cancelled: the device closed";
        return kStepFailed;
    }
    if (t->too_large) {
        *why = "larger than announced";
        return kStepVerifyFailed;
    }
    if (rc != 200) {
        *why = rc > 0 ? "http status " + std::to_string(rc)
                      : "transfer failed (" + std::to_string(rc) + ")";
        return kStepDownloadFailed;
    }
    if (t->a->size >= 0 && t->got != t->a->size) {
        *why = "size " + std::to_string(t->got) + " != announced " + std::to_string(t->a->size);
        log_err(MOD, "%s", why->c_str());
        return kStepVerifyFailed;
    }
    if ((!t->a->md5.empty() && t->a->md5 != *md5) ||
        (!t->a->sha256.empty() && t->a->sha256 != *sha256)) {
        *why = "digest mismatch";
        log_err(MOD, "digest mismatch: md5 %s sha256 %s, announced md5 '%s' sha256 '%s'",
                md5->c_str(), sha256->c_str(), t->a->md5.c_str(), t->a->sha256.c_str());
        return kStepVerifyFailed;
    }
    return 0;
}

void* FotaWorker(void* arg) {
    Announcement* a = static_cast<Announcement*>(arg);
    log_info(MOD, "firmware %s: downloading %s", a->version.c_str(),
             nexo_url_for_log(a->url).c_str());
    ReportProgress(a->devid, 0, "download started");
    HAL_Firmware_Persistence_Start();
    Transfer t;
    t.a = a;
    std::string md5, sha256, why;
    int step = Download(&t, &md5, &sha256, &why);
    // Nothing becomes current before every check above has passed.
    if (step == 0 && HAL_Firmware_Persistence_Stop() != 0) {
        log_err(MOD, "Fota write firmware failed");
        step = kStepWriteFailed;
        why = "commit failed";
    } else if (step != 0) {
        HAL_Firmware_Persistence_Abort();
    }
    if (step == 0) {
        log_info(MOD, "firmware %s: %lld bytes, md5 %s, sha256 %s, written", a->version.c_str(),
                 t.got, md5.c_str(), sha256.c_str());
        ReportProgress(a->devid, 100, "firmware written");
    } else {
        log_err(MOD, "firmware %s not updated: %s", a->version.c_str(), why.c_str());
        ReportProgress(a->devid, step, why);
    }
    TellApplication(a->devid, step, "fota", *a, t.got, md5, sha256, step == 0 ? "ok" : why);
    delete a;
    g_busy = false;
    return nullptr;
}

void* CotaWorker(void* arg) {
    Announcement* a = static_cast<Announcement*>(arg);
    log_info(MOD, "configuration %s: downloading %s", a->version.c_str(),
             nexo_url_for_log(a->url).c_str());
    Transfer t;
    t.a = a;
    t.firmware = false;
    std::string md5, sha256, why;
    int step = Download(&t, &md5, &sha256, &why);
    if (step == 0 && HAL_Config_Write(t.config.data(), static_cast<int>(t.config.size())) < 0) {
        step = kStepWriteFailed;
        why = "write failed";
    }
    if (step != 0)
        log_err(MOD, "configuration %s not updated: %s", a->version.c_str(), why.c_str());
    TellApplication(a->devid, step, "cota", *a, t.got, md5, sha256, step == 0 ? "ok" : why);
    delete a;
    g_busy = false;
    return nullptr;
}

int Start(int devid, const Announcement& from, void* (*worker)(void*), const char* what) {
    std::lock_guard<std::mutex> l(g_mu);
    if (!from.valid || from.devid != devid) {
        log_err(MOD, "no usable %s announcement for device %d", what, devid);
        return -1;
    }
    bool expected = false;
    if (!g_busy.compare_exchange_strong(expected, true)) {
        log_err(MOD, "a download is already running; %s not started", what);
        return -1;
    }
    if (g_worker != nullptr) {
        HAL_ThreadDelete(g_worker);  // the previous one has ended
        g_worker = nullptr;
    }
    g_cancel = false;
    Announcement* a = new Announcement(from);
    hal_thread_param_t p{"tether_ota", 0, 0};
    int stack_used = 0;
    if (HAL_ThreadCreate(&g_worker, worker, a, &p, &stack_used) != 0) {
        delete a;
        g_worker = nullptr;
        g_busy = false;
        ReportProgress(devid, kStepFailed, "no thread");
        return -1;
    }
    return 0;
}

}  // namespace

bool dm_ota_fota_announced(int devid, const std::string& data_json, std::string* version) {
    cJSON* data = ParseObject(data_json);
    Announcement a;
    a.devid = devid;
    a.version = Text(cJSON_GetObjectItemCaseSensitive(data, "version"));
    a.url = Text(cJSON_GetObjectItemCaseSensitive(data, "url"));
    const cJSON* size = cJSON_GetObjectItemCaseSensitive(data, "size");
    a.size = cJSON_IsNumber(size) && size->valuedouble >= 0
                 ? static_cast<long long>(size->valuedouble)
                 : -1;
    ReadDigests(data, &a);
    cJSON_Delete(data);
    *version = a.version;
    a.valid = !a.version.empty() && Usable(a, "firmware");
    std::lock_guard<std::mutex> l(g_mu);
    g_fota = a;
    return a.valid;
}

bool dm_ota_cota_announced(int devid, const std::string& data_json) {
    cJSON* data = ParseObject(data_json);
    Announcement a;
    a.devid = devid;
    a.version = Text(cJSON_GetObjectItemCaseSensitive(data, "configId"));
    a.url = Text(cJSON_GetObjectItemCaseSensitive(data, "url"));
    const cJSON* size = cJSON_GetObjectItemCaseSensitive(data, "configSize");
    a.size = cJSON_IsNumber(size) && size->valuedouble >= 0
                 ? static_cast<long long>(size->valuedouble)
                 : -1;
    ReadDigests(data, &a);
    cJSON_Delete(data);
    a.valid = Usable(a, "configuration");
    std::lock_guard<std::mutex> l(g_mu);
    g_cota = a;
    return a.valid;
}

int dm_ota_start_fota(int devid) {
    return Start(devid, g_fota, FotaWorker, "firmware");
}

int dm_ota_start_cota(int devid) {
    return Start(devid, g_cota, CotaWorker, "configuration");
}

void dm_ota_stop() {
    void* worker = nullptr;
    g_cancel = true;
    {
        std::lock_guard<std::mutex> l(g_mu);
        worker = g_worker;
        g_worker = nullptr;
        g_fota = Announcement();
        g_cota = Announcement();
    }
    if (worker != nullptr)
        HAL_ThreadDelete(worker);
}

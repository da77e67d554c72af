#include "sdk/storage/kiv_identify.h"

#include <cassert>
#include <cjson/cJSON.h>
#include <kestrel/ks_api.h>

#include <cmath>

#include "core/digest.h"
#include "core/logger.h"
#include "core/single.h"
#include "core/time.h"
#include "net/task_queue.h"
#include "proto/storage_sign.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"

namespace kestrel {

namespace {

uint64_t MonotonicSeconds() {
    return Time::GetSystemTimeInt(1);
}

class CheckUpdateTask : public TaskEntry {
  public:
    CheckUpdateTask(KivIdentify* owner, int dev_id) : owner_(owner), dev_id_(dev_id) {}
    void Run() override {
        // Registered with its owner as the context: null is a bug here, not input.
        assert(owner_);
        owner_->CheckUpdate(dev_id_);
    }

  private:
    KivIdentify* owner_;
    int dev_id_;
};

// The string member `name` of `params`; false (logged) when it is missing,
// not a string, empty where it must not be, or unfit for a request head.
bool TakeString(const cJSON* params, const char* name, bool may_be_empty, std::string& out) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(params, name);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) {
        KS_LOGE("Parse PicKivDownstream failed: \"%s\" missing or not a string", name);
        return false;
    }
    std::string value(item->valuestring);
    if (!may_be_empty && value.empty()) {
        KS_LOGE("Parse PicKivDownstream failed: \"%s\" is empty", name);
        return false;
    }
    if (!storage_text_clean(value)) {
        KS_LOGE("Parse PicKivDownstream failed: \"%s\" holds control characters", name);
        return false;
    }
    out = value;
    return true;
}

bool TakeActiveTime(const cJSON* params, uint32_t& out) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(params, "activeTime");
    if (!cJSON_IsNumber(item) || std::isnan(item->valuedouble)) {
        KS_LOGE("Parse PicKivDownstream failed: \"activeTime\" missing or not a number");
        return false;
    }
    double v = item->valuedouble;
    out = v <= 0 ? 0u : v >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(v);
    return true;
}

bool ParseParams(const cJSON* params, KivUploadIdentify& id, uint32_t& active, std::string& raw) {
    return TakeString(params, "accessKey", false, id.access_key_) &&
           TakeString(params, "accessSecret", false, id.access_secret_) &&
           TakeString(params, "stsToken", false, id.sts_token_) &&
           TakeString(params, "endpoint", false, id.endpoint_) &&
           TakeString(params, "bucketName", false, id.bucket_name_) &&
           TakeString(params, "fileNamePrefix", true, raw) &&
           TakeString(params, "contentType", true, id.content_type_) &&
           TakeActiveTime(params, active);
}

std::string TokenDigest(const std::string& token) {
    unsigned char digest[KS_MD5_LEN];
    unsigned char hex[33] = {0};
    ks_md5(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest);
    ks_md5_hexstr(digest, hex);
    return std::string(reinterpret_cast<const char*>(hex), 32);
}

}  // namespace

KivIdentify::KivIdentify() : clock_(MonotonicSeconds), mutex_(true), subscriber_mutex_(true) {}

KivIdentify::~KivIdentify() = default;

void KivIdentify::Init() {
    Single<MessageService>::Instance()->RegisterKestrelHandler("/vision/pic/kiv/downstream",
                                                               picKivDownstream, this);
}

int KivIdentify::Attach(void* user, Callback callback) {
    MutexGuard guard(subscriber_mutex_);
    int id = ++subscriber_counter_;
    subscribers_.push_back({user, callback, id});
    return id;
}

void KivIdentify::Detach(int id) {
    MutexGuard guard(subscriber_mutex_);
    for (auto it = subscribers_.begin(); it != subscribers_.end(); ++it) {
        if (it->id == id) {
            subscribers_.erase(it);
            return;
        }
    }
}

void KivIdentify::notify(int dev_id, const KivUploadIdentify& identify) {
    MutexGuard guard(subscriber_mutex_);
    for (const Subscriber& s : subscribers_) {
        if (s.callback != nullptr) {
            s.callback(s.user, dev_id, identify);
        }
    }
}

void KivIdentify::ForceStsUpdate(int dev_id) {
    bool tell = false;
    bool request = false;
    KivUploadIdentify identify;
    {
        MutexGuard guard(mutex_);
        KivIdentifyProperty& p = devices_[dev_id];
        uint64_t t = now();
        uint64_t life = p.active_time_;
        bool known = p.update_time != 0;
        if (known && t < p.update_time + life / 10 * 8) {
            tell = true;
        } else if (!known || t >= p.update_time + life / 10 * 9) {
            request = true;
        } else {
            tell = true;
            request = true;
        }
        identify = p.identify;
    }
    if (tell) {
        notify(dev_id, identify);
    }
    if (request) {
        stsUpdate(dev_id);
    }
}

void KivIdentify::Refused(int dev_id, const std::string& sts_token) {
    {
        MutexGuard guard(mutex_);
        auto it = devices_.find(dev_id);
        if (it == devices_.end() || sts_token.empty() ||
            it->second.identify.sts_token_ != sts_token) {
            return;  // newer ones came meanwhile
        }
        it->second.update_time = 0;
        it->second.identify = KivUploadIdentify();
        // An answer came, so no request is outstanding: the next may go now.
        it->second.updating = false;
    }
    KS_LOGW("Storage credentials of dev id %d refused by the store, forgotten", dev_id);
}

void KivIdentify::stsUpdate(int dev_id) {
    mutex_.Lock();
    auto it = devices_.find(dev_id);
    if (it == devices_.end()) {
        mutex_.Unlock();
        // Its device was removed while the refresh waited: it gets an empty identity.
        KS_LOGW("Storage credentials for device %d, which is no longer registered", dev_id);
        notify(dev_id, KivUploadIdentify());
        return;
    }
    KivIdentifyProperty& p = it->second;
    if (p.updating) {
        mutex_.Unlock();
        return;
    }
    uint64_t t = now();
    if (p.window_start == 0 || p.window_start + kLimitWindowS < t) {
        p.window_start = t;
        p.request_count = 0;
    }
    if (p.request_count++ >= kRequestLimit) {
        mutex_.Unlock();
        KS_LOGW("Sts update is limited");
        notify(dev_id, KivUploadIdentify());
        return;
    }
    KS_LOGI("Start update kiv identify");
    p.updating = true;
    mutex_.Unlock();
    picKivUpstream(dev_id);
    if (TaskQueue* queue = DeviceEnv::Get()->Task()) {
        auto* task = new CheckUpdateTask(this, dev_id);
        task->SetDelayTime(kCheckDelayMs);
        queue->AddTask(task);
    }
}

void KivIdentify::CheckUpdate(int dev_id) {
    mutex_.Lock();
    auto it = devices_.find(dev_id);
    if (it == devices_.end()) {
        mutex_.Unlock();
        // Its device was removed while the refresh waited: it gets an empty identity.
        KS_LOGW("Storage credentials for device %d, which is no longer registered", dev_id);
        notify(dev_id, KivUploadIdentify());
        return;
    }
    KivIdentifyProperty& p = it->second;
    p.updating = false;
    bool fresh = p.update_time != 0 && now() < p.update_time + p.active_time_ / 10 * 9;
    mutex_.Unlock();
    if (!fresh) {
        stsUpdate(dev_id);
    }
}

void KivIdentify::picKivUpstream(int dev_id) {
    int id;
    {
        MutexGuard guard(mutex_);
        id = request_id_++;
    }
    std::string text = "{\"id\": \"" + std::to_string(id) +
                       "\",\"version\": \"1.0\",\"method\": \"requestKIVToken\",\"params\": {}}";
    Single<MessageService>::Instance()->AddKestrel(dev_id, "/vision/pic/kiv/upstream", text);
}

int KivIdentify::ParseDownstream(int dev_id, const std::string& payload) {
    cJSON* root = cJSON_ParseWithLength(payload.data(), payload.size());
    if (root == nullptr) {
        KS_LOGE("Parse PicKivDownstream failed: not JSON (%zu bytes)", payload.size());
        return -1;
    }
    KivUploadIdentify id;
    uint32_t active = 0;
    std::string raw_prefix;
    const cJSON* params = cJSON_GetObjectItemCaseSensitive(root, "params");
    bool ok = cJSON_IsObject(params) && ParseParams(params, id, active, raw_prefix);
    if (!cJSON_IsObject(params)) {
        KS_LOGE("Parse PicKivDownstream failed: no \"params\" object");
    }
    cJSON_Delete(root);
    if (!ok) {
        return -1;
    }
    id.file_name_prefix_ = raw_prefix + TokenDigest(id.sts_token_) + "_";
    {
        MutexGuard guard(mutex_);
        auto it = devices_.find(dev_id);
        if (it == devices_.end()) {
            KS_LOGE("Credentials for dev id %d that never asked for them, ignored", dev_id);
            return -1;
        }
        it->second.update_time = now();
        it->second.active_time_ = active;
        it->second.identify = id;
    }
    KS_LOGI("Update Sts success");
    notify(dev_id, id);
    // Secrets stay out of the log: their lengths are enough to diagnose.
    KS_LOGV("dev id: %d, access_key_: (%zu bytes)", dev_id, id.access_key_.size());
    KS_LOGV("dev id: %d, access_secret_: (%zu bytes)", dev_id, id.access_secret_.size());
    KS_LOGV("dev id: %d, sts_token_: (%zu bytes)", dev_id, id.sts_token_.size());
    KS_LOGV("dev id: %d, endpoint_: %s", dev_id, id.endpoint_.c_str());
    KS_LOGV("dev id: %d, bucket_name_: %s", dev_id, id.bucket_name_.c_str());
    KS_LOGV("dev id: %d, file_name_prefix_: %s", dev_id, id.file_name_prefix_.c_str());
    KS_LOGV("dev id: %d, content_type_: %s", dev_id, id.content_type_.c_str());
    KS_LOGV("dev id: %d, active_time_: %u", dev_id, active);
    return 0;
}

void KivIdentify::picKivDownstream(void* user, int dev_id, const std::string& /*topic*/,
                                   const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    static_cast<KivIdentify*>(user)->ParseDownstream(dev_id, payload);
}

}  // namespace kestrel

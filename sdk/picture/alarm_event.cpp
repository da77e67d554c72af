#include "sdk/picture/alarm_event.h"

#include <cassert>
#include <cjson/cJSON.h>
#include <kestrel/ks_api.h>

#include <cinttypes>
#include <cmath>

#include "core/logger.h"
#include "core/single.h"
#include "net/task_queue.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"
#include "sdk/picture/picture_store.h"

namespace kestrel {

void AlarmEventResult::OnResult(bool ok) {
    KS_LOGI("%s Put picture result = %s", prefix_.c_str(), ok ? "Success" : "Failed");
}

AlarmEventService::AlarmEventService() : clock_(picture_clock_default()), mutex_(true) {}

// Under the lock: drops events the cloud never answered, with their pictures.
void AlarmEventService::expire(uint64_t now) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (now - it->second.created_ms >= kPictureRequestExpireMs) {
            KS_LOGW("%s No upload url within %llu s, picture id = %s dropped",
                    it->second.prefix.c_str(),
                    static_cast<unsigned long long>(kPictureRequestExpireMs / 1000),
                    it->first.c_str());
            if (PictureStore* store = DeviceEnv::Get()->Store()) {
                store->Pop(it->second.index);
            }
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
}

bool AlarmEventService::permit(const std::string& prefix) {
    MutexGuard guard(mutex_);
    uint64_t now = clock_.wall_ms();
    if (last_post_ms_ != 0) {
        if (now < last_post_ms_) {
            KS_LOGW("%s Time error occur, current = %" PRIu64 ", last = %" PRIu64, prefix.c_str(),
                    now / 1000, last_post_ms_ / 1000);
        } else if (now - last_post_ms_ < kMinIntervalMs) {
            KS_LOGE(
                "%s Should not post alarm event too frequently, min interval %d , last time = "
                "%" PRIu64 ", curr time = %" PRIu64,
                prefix.c_str(), static_cast<int>(kMinIntervalMs), last_post_ms_ / 1000, now / 1000);
            return false;
        }
    }
    last_post_ms_ = now;
    return true;
}

int AlarmEventService::AddData(int dev_id, const char* data, unsigned len, int type,
                               bool with_extra, const std::string& extra, int* service_id) {
    DeviceEnv* env = DeviceEnv::Get();
    int id = env->Id();
    if (service_id != nullptr) {
        *service_id = id;
    }
    std::string label;
    if (!picture_device_label(dev_id, label)) {
        KS_LOGE("[service:%d][AlarmEvent] Device auth error, dev_id = %d", id, dev_id);
        return -1;
    }
    std::string prefix = label + "[Service:" + std::to_string(id) + "][AlarmEvent]";
    KS_LOGI("%s Add request, event type = %d, image size = %u", prefix.c_str(), type, len);
    if (len > kPictureMaxBytes) {
        KS_LOGE("%s image too large, image_size = %u, max = %u", prefix.c_str(), len,
                kPictureMaxBytes);
        return -1;
    }
    if (!permit(prefix)) {
        return -1;
    }
    int index = env->Store()->Copy(data, len, prefix);
    if (index < 0) {
        KS_LOGW("%s Picture limit, no space to store, image size = %u", prefix.c_str(), len);
    }
    PictureData entry;
    entry.service_id = id;
    entry.index = index;
    entry.prefix = prefix;
    {
        MutexGuard guard(mutex_);
        entry.created_ms = clock_.mono_ms();
        expire(entry.created_ms);
        char pid[64];
        snprintf(pid, sizeof(pid), "%d_%d%" PRIu64, index > 0 ? 1 : 0, counter_++,
                 entry.created_ms);
        entry.picture_id = pid;
        waiting_[entry.picture_id] = entry;
    }
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr || !cJSON_AddNumberToObject(root, "AlarmType", type) ||
        !cJSON_AddStringToObject(root, "AlarmPicID", entry.picture_id.c_str()) ||
        (with_extra && !cJSON_AddStringToObject(root, "Data", extra.c_str()))) {
        KS_LOGE("%s Create json failed", prefix.c_str());
        cJSON_Delete(root);
        return -1;
    }
    char* text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (text == nullptr) {
        KS_LOGE("%s Json error", prefix.c_str());
        return -1;
    }
    std::string json(text);
    cJSON_free(text);
    KS_LOGI("%s Publish AlarmEvent = %s", prefix.c_str(), json.c_str());
    Single<MessageService>::Instance()->AddEvent(dev_id, "AlarmEvent", json);
    return 0;
}

void AlarmEventService::AddRequest(int /*dev_id*/, const std::string& picture_id,
                                   const std::string& url) {
    PictureData entry;
    {
        MutexGuard guard(mutex_);
        expire(clock_.mono_ms());
        auto it = waiting_.find(picture_id);
        if (it == waiting_.end()) {
            KS_LOGE("Alarm event, data query failed, picture id = %s", picture_id.c_str());
            return;
        }
        entry = it->second;
        waiting_.erase(it);
    }
    KS_LOGI("%s Get upload url", entry.prefix.c_str());
    DeviceEnv* env = DeviceEnv::Get();
    SharedPtr<SharedBuffer> picture = env->Store()->Pop(entry.index);
    if (picture->Empty()) {
        KS_LOGI("%s Alarm event result, no image data, do nothing", entry.prefix.c_str());
        return;
    }
    SharedPtr<AlarmEventResult> result(new AlarmEventResult);
    result->SetInfo(entry.prefix);
    SharedPtr<OneTimePutDirect> put(new OneTimePutDirect(env->PictureProcess(), result));
    put->SetAddr(url, entry.prefix);
    put->SendContent(picture);
    KS_LOGI("%s Add upload task success", entry.prefix.c_str());
    env->PictureProcess()->AddAsyncProcess(put);
}

void AlarmEventService::Clear() {
    MutexGuard guard(mutex_);
    waiting_.clear();
}

size_t AlarmEventService::Pending() {
    MutexGuard guard(mutex_);
    return waiting_.size();
}

// --- EventLimit --------------------------------------------------------------

namespace {

uint64_t DefaultMonoMs() {
    return picture_clock_default().mono_ms();
}

// A limit value: > 0 an interval, -1 unlimited; false when not a number.
bool ReadLimit(const cJSON* params, const char* name, double& out) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(params, name);
    if (!cJSON_IsNumber(item) || std::isnan(item->valuedouble)) {
        KS_LOGE("Event limit answer refused: \"%s\" missing or not a number", name);
        return false;
    }
    out = item->valuedouble;
    return true;
}

void Apply(double value, bool& unlimited, uint32_t& interval) {
    if (value > 0) {
        unlimited = false;
        interval = value >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(value);
    } else if (value == -1) {
        unlimited = true;
    }
}

}  // namespace

EventLimit::EventLimit() : mono_ms_(DefaultMonoMs), mutex_(true) {}

void EventLimit::Init() {
    Single<MessageService>::Instance()->RegisterKestrelHandler("/vision/biz/event/downstream",
                                                               eventLimitDownstream, this);
}

void EventLimit::Start(int) {
    if (TaskQueue* queue = DeviceEnv::Get()->Task()) {
        queue->AddTask(this, &EventLimit::upstream, kRequestDelayMs);
    }
}

int EventLimit::SingleIsPermit(int key) {
    MutexGuard guard(mutex_);
    if (single_unlimited_) {
        return 0;
    }
    uint64_t now = mono_ms_();
    auto it = last_.find(key);
    if (it != last_.end() && now < it->second + single_interval_) {
        return -1;
    }
    last_[key] = now;
    return 0;
}

int EventLimit::Parse(const std::string& payload) {
    cJSON* root = cJSON_ParseWithLength(payload.data(), payload.size());
    if (root == nullptr) {
        KS_LOGE("Event limit answer refused: not JSON (%zu bytes)", payload.size());
        return -1;
    }
    const cJSON* params = cJSON_GetObjectItemCaseSensitive(root, "params");
    double single = 0;
    double batch = 0;
    bool ok = cJSON_IsObject(params);
    if (!ok) {
        KS_LOGE("Event limit answer refused: no \"params\" object");
    }
    ok = ok && ReadLimit(params, "single", single) && ReadLimit(params, "batch", batch);
    cJSON_Delete(root);
    if (!ok) {
        return -1;
    }
    MutexGuard guard(mutex_);
    Apply(single, single_unlimited_, single_interval_);
    Apply(batch, batch_unlimited_, batch_interval_);
    KS_LOGV("Single is %d limit to %u", single_unlimited_ ? 1 : 0, single_interval_);
    KS_LOGV("Batch is %d limit %u", batch_unlimited_ ? 1 : 0, batch_interval_);
    return 0;
}

void EventLimit::upstream(void* user) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    auto* self = static_cast<EventLimit*>(user);
    int id;
    {
        MutexGuard guard(self->mutex_);
        id = self->counter_++;
    }
    std::string text = "{\"id\": \"" + std::to_string(id) +
                       "\",\"version\": \"1.0\",\"method\": \"requestEventLimit\",\"params\": {}}";
    Single<MessageService>::Instance()->AddKestrel(0, "/vision/biz/event/upstream", text);
}

void EventLimit::eventLimitDownstream(void* user, int /*dev_id*/, const std::string& /*topic*/,
                                      const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    static_cast<EventLimit*>(user)->Parse(payload);
}

}  // namespace kestrel

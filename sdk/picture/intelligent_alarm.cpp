#include "sdk/picture/intelligent_alarm.h"

#include <cassert>
#include <cjson/cJSON.h>
#include <kestrel/ks_api.h>

#include "core/logger.h"
#include "core/single.h"
#include "core/time.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"
#include "sdk/picture/picture_store.h"

namespace kestrel {

namespace {

bool AddEntry(cJSON* list, const IntelligentAlarmEventProperty& p,
              const IntelligentAlarmEventPropertyPart& part, bool gateway) {
    cJSON* item = cJSON_CreateObject();
    if (item == nullptr) {
        return false;
    }
    cJSON_AddItemToArray(list, item);
    bool ok = cJSON_AddNumberToObject(item, "AlarmType", part.alarm_type) &&
              cJSON_AddStringToObject(item, "AlarmPicID", p.picture_id.c_str()) &&
              cJSON_AddNumberToObject(item, "AlarmPicSize", p.picture_size) &&
              cJSON_AddStringToObject(item, "EventTime", p.event_time.c_str());
    if (ok && gateway) {
        ok = cJSON_AddStringToObject(item, "Algorithm", part.algorithm.c_str()) &&
             cJSON_AddStringToObject(item, "ProductKey", part.product_key.c_str()) &&
             cJSON_AddStringToObject(item, "DeviceName", part.device_name.c_str());
    }
    return ok && cJSON_AddStringToObject(item, "Data", part.data.c_str());
}

}  // namespace

void IntelligentAlarmEventKivResult::OnResult(bool ok) {
    KS_LOGI("%s Put picture result = %s", property_.prefix.c_str(), ok ? "Success" : "Failed");
    if (!ok) {
        property_.picture_id.clear();
        property_.picture_size = 0;
    }
    IntelligentAlarmEventSession::intelligentAlarmEventPublish(property_);
}

IntelligentAlarmEventSession::IntelligentAlarmEventSession()
    : mutex_(true), limit_(new EventLimit) {
    limit_->Init();
}

IntelligentAlarmEventSession::~IntelligentAlarmEventSession() {
    Destroy();
    delete limit_;
}

int IntelligentAlarmEventSession::Init() {
    {
        MutexGuard guard(mutex_);
        counter_ = 0;
    }
    limit_->Start(0);
    KivIdentify* identify = DeviceEnv::Get()->Identify();
    if (subscription_ != 0) {
        identify->Detach(subscription_);
    }
    subscription_ = identify->Attach(this, identifyResult);
    return subscription_;
}

void IntelligentAlarmEventSession::Destroy() {
    if (subscription_ != 0) {
        if (DeviceEnv* env = Single<DeviceEnv>::Peek()) {
            env->Identify()->Detach(subscription_);
        }
        subscription_ = 0;
    }
    MutexGuard guard(mutex_);
    waiting_.clear();
}

size_t IntelligentAlarmEventSession::Waiting() {
    MutexGuard guard(mutex_);
    return waiting_.size();
}

std::string IntelligentAlarmEventSession::getRandom() {
    char text[48];
    snprintf(text, sizeof(text), "%u%lu", counter_++, Time::GetSystemTimeInt(1));
    return text;
}

int IntelligentAlarmEventSession::AddSingleData(
    int dev_id, int gateway, const char* data, unsigned len,
    const std::vector<IntelligentAlarmEventPropertyPart>& parts, int* service_id) {
    DeviceEnv* env = DeviceEnv::Get();
    IntelligentAlarmEventProperty p;
    p.service_id = env->Id();
    if (service_id != nullptr) {
        *service_id = p.service_id;
    }
    std::string label;
    if (!picture_device_label(dev_id, label)) {
        KS_LOGE("[service:%d][IntelligentAlarm] Device auth error, dev_id = %d", p.service_id,
                dev_id);
        return -1;
    }
    p.gateway = gateway;
    p.dev_id = dev_id;
    Time::GetUtcTimeMs(p.event_time);
    p.picture_size = static_cast<int>(len > kPictureMaxBytes ? kPictureMaxBytes + 1 : len);
    p.parts = parts;
    p.prefix = label + "[Service:" + std::to_string(p.service_id) + "][IntelligentAlarm]";
    KS_LOGI("%s Add request, utcTime = %s, pic size = %u", p.prefix.c_str(), p.event_time.c_str(),
            len);
    if (len > kPictureMaxBytes) {
        KS_LOGE("%s Image size large than %u Byte", p.prefix.c_str(), kPictureMaxBytes);
        return -1;
    }
    if (parts.empty()) {
        KS_LOGE("%s No event to post", p.prefix.c_str());
        return -1;
    }
    if (limit_->SingleIsPermit(dev_id) != 0) {
        KS_LOGE("%s Event limit", p.prefix.c_str());
        return -1;
    }
    int index = env->Store()->Copy(data, len, p.prefix);
    if (index > 0) {
        p.picture_index = index;
        {
            MutexGuard guard(mutex_);
            waiting_[p.service_id] = p;
        }
        env->Identify()->ForceStsUpdate(dev_id);
        return 0;
    }
    if (index < 0) {
        KS_LOGW("%s Picture limit, no space to store, image size = %u", p.prefix.c_str(), len);
    } else {
        KS_LOGI("%s No available image data", p.prefix.c_str());
    }
    p.picture_size = 1;
    intelligentAlarmEventPublish(p);
    return 0;
}

void IntelligentAlarmEventSession::identifyResult(void* user, int dev_id,
                                                  const KivUploadIdentify& identify) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    static_cast<IntelligentAlarmEventSession*>(user)->serve(dev_id, identify);
}

void IntelligentAlarmEventSession::serve(int dev_id, const KivUploadIdentify& identify) {
    DeviceEnv* env = DeviceEnv::Get();
    MutexGuard guard(mutex_);
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        IntelligentAlarmEventProperty& p = it->second;
        if (p.dev_id != dev_id) {
            ++it;
            continue;
        }
        SharedPtr<SharedBuffer> picture = env->Store()->Pop(p.picture_index);
        if (identify.file_name_prefix_.empty() || picture->Empty()) {
            // No credentials or no picture: the event still goes out, without one.
            KS_LOGI("%s No %s, publishing without picture, service_id = %d", p.prefix.c_str(),
                    picture->Empty() ? "available image data" : "storage credentials",
                    p.service_id);
            p.picture_size = 1;
            intelligentAlarmEventPublish(p);
        } else {
            std::string name = identify.file_name_prefix_ + getRandom();
            p.picture_id = name;
            p.picture_size = static_cast<int>(picture->GetLen());
            SharedPtr<IntelligentAlarmEventKivResult> result(new IntelligentAlarmEventKivResult(p));
            SharedPtr<OneTimePutSts> put(new OneTimePutSts(env->PictureProcess(), result));
            KivUploadIdentify target = identify;
            target.file_name_prefix_ = name;
            put->SetIdentify(target, p.prefix);
            put->SendContent(picture);
            KS_LOGI("%s Add upload task success", p.prefix.c_str());
            env->PictureProcess()->AddAsyncProcess(put);
        }
        it = waiting_.erase(it);
    }
}

std::string IntelligentAlarmEventSession::BuildEvent(const IntelligentAlarmEventProperty& p) {
    cJSON* root = cJSON_CreateObject();
    cJSON* list = root ? cJSON_AddArrayToObject(root, "EventList") : nullptr;
    if (list == nullptr) {
        KS_LOGE("%s Create json failed", p.prefix.c_str());
        cJSON_Delete(root);
        return std::string();
    }
    size_t count = p.gateway ? p.parts.size() : (p.parts.empty() ? 0 : 1);
    for (size_t i = 0; i < count; ++i) {
        if (!AddEntry(list, p, p.parts[i], p.gateway != 0)) {
            KS_LOGE("%s Create json failed", p.prefix.c_str());
            cJSON_Delete(root);
            return std::string();
        }
    }
    char* text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (text == nullptr) {
        KS_LOGE("%s Create json string failed", p.prefix.c_str());
        return std::string();
    }
    std::string json(text);
    cJSON_free(text);
    return json;
}

void IntelligentAlarmEventSession::intelligentAlarmEventPublish(
    const IntelligentAlarmEventProperty& p) {
    std::string json = BuildEvent(p);
    if (json.empty()) {
        return;
    }
    KS_LOGI("%s Publish IntelligentAlarm = %s", p.prefix.c_str(), json.c_str());
    Single<MessageService>::Instance()->AddEvent(p.dev_id, "IntelligentAlarm", json);
}

}  // namespace kestrel

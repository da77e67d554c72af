#include "sdk/picture/trigger_picture.h"

#include <time.h>

#include "core/logger.h"
#include "sdk/device_auth.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/picture/picture_store.h"

namespace kestrel {

namespace {

uint64_t ClockMs(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
uint64_t MonoMs() {
    return ClockMs(CLOCK_MONOTONIC);
}
uint64_t WallMs() {
    return ClockMs(CLOCK_REALTIME);
}

}  // namespace

PictureClock picture_clock_default() {
    return PictureClock{MonoMs, WallMs};
}

bool picture_device_label(int dev_id, std::string& label) {
    SharedPtr<DeviceAuth> auth = DeviceEnv::Get()->Auth()->GetAuth(dev_id);
    if (!auth || auth->IsIllegal()) {
        return false;
    }
    label = auth->GetPkDnS();
    return true;
}

void TriggerPictureResult::OnResult(bool ok) {
    KS_LOGI("%s Put picture result = %s", prefix_.c_str(), ok ? "Success" : "Failed");
}

TriggerPictureService::TriggerPictureService() : clock_(picture_clock_default()), mutex_(true) {}

void TriggerPictureService::expire(uint64_t now) {
    for (auto it = requests_.begin(); it != requests_.end();) {
        if (now - it->second.created_ms >= kPictureRequestExpireMs) {
            KS_LOGW("%s Request expired, no picture came within %llu s", it->second.prefix.c_str(),
                    static_cast<unsigned long long>(kPictureRequestExpireMs / 1000));
            it = requests_.erase(it);
        } else {
            ++it;
        }
    }
}

void TriggerPictureService::AddRequest(int dev_id, const std::string& request_id,
                                       const std::string& url) {
    DeviceEnv* env = DeviceEnv::Get();
    int service_id = env->Id();
    std::string label;
    if (!picture_device_label(dev_id, label)) {
        KS_LOGE("[service:%d][TriggerPicture] Device auth error, dev_id = %d", service_id, dev_id);
        return;
    }
    pictureProperty p;
    p.dev_id = dev_id;
    p.request_id = request_id;
    p.url = url;
    p.prefix = label + "[Service:" + std::to_string(service_id) + "][TriggerPicture]";
    KS_LOGI("%s Add request, request id = %s", p.prefix.c_str(), request_id.c_str());
    {
        MutexGuard guard(mutex_);
        p.created_ms = clock_.mono_ms();
        expire(p.created_ms);
        requests_[service_id] = p;
    }
    ks_trigger_picture_param_s param;
    param.service_id = service_id;
    env->Dispatch()->TriggerPicCaptureAsync(dev_id, &param);
}

int TriggerPictureService::AddData(int service_id, const char* data, unsigned len) {
    pictureProperty p;
    {
        MutexGuard guard(mutex_);
        expire(clock_.mono_ms());
        auto it = requests_.find(service_id);
        if (it == requests_.end()) {
            KS_LOGE("[service:%d][TriggerPicture] Query data failed", service_id);
            return -1;
        }
        p = it->second;
        requests_.erase(it);
    }
    if (len > kPictureMaxBytes) {
        KS_LOGE("%s image too large, image_size = %u, max = %u", p.prefix.c_str(), len,
                kPictureMaxBytes);
        return -1;
    }
    KS_LOGI("%s Add data success, image size = %u", p.prefix.c_str(), len);
    DeviceEnv* env = DeviceEnv::Get();
    int index = env->Store()->Copy(data, len, p.prefix);
    if (index < 0) {
        KS_LOGE("%s Picture limit, no space to store, image_size = %u", p.prefix.c_str(), len);
        return -1;
    }
    SharedPtr<SharedBuffer> picture = env->Store()->Pop(index);
    if (picture->Empty()) {
        KS_LOGW("%s No picture data, do nothing", p.prefix.c_str());
        return 0;
    }
    SharedPtr<TriggerPictureResult> result(new TriggerPictureResult);
    result->SetServiceId(p.prefix);
    SharedPtr<OneTimePutDirect> put(new OneTimePutDirect(env->PictureProcess(), result));
    put->SetAddr(p.url, p.prefix);
    put->SendContent(picture);
    KS_LOGI("%s Add upload task success", p.prefix.c_str());
    env->PictureProcess()->AddAsyncProcess(put);
    return 0;
}

void TriggerPictureService::Clear() {
    MutexGuard guard(mutex_);
    requests_.clear();
}

size_t TriggerPictureService::Pending() {
    MutexGuard guard(mutex_);
    return requests_.size();
}

}  // namespace kestrel

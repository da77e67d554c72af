#include "sdk/device_dispatch.h"

#include <cstring>

#include "core/job_pool.h"
#include "core/logger.h"
#include "sdk/device_auth.h"
#include "sdk/device_env.h"

namespace kestrel {

void SafeCopy(char** out, const char* src) {
    if (!src) {
        *out = nullptr;
        return;
    }
    size_t n = strlen(src) + 1;
    *out = new char[n];
    memcpy(*out, src, n);
}

namespace {

// One application callback with its own copy of the parameters and a reference
// to the device, so neither the caller's buffers nor the registry need outlive it.
template <typename Param, typename Callback>
class TaskEntryBase : public JobProperty {
  public:
    TaskEntryBase(SharedPtr<DeviceAuth> auth, Callback cb, const Param& param, bool need_auth)
        : auth_(std::move(auth)), cb_(cb), param_(param), need_auth_(need_auth) {}

    void Run() override {
        if (!cb_)
            return;
        if (need_auth_ && !auth_)
            return;
        cb_(auth_ ? auth_->GetAuth() : nullptr, &param_);
    }

  protected:
    SharedPtr<DeviceAuth> auth_;
    Callback cb_;
    Param param_;
    bool need_auth_;
};

using StartCb = int (*)(const ks_device_auth_s*, const ks_start_push_stream_param_s*);
using StopCb = int (*)(const ks_device_auth_s*, const ks_stop_push_stream_param_s*);
using CmdCb = int (*)(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s*);
using QueryCb = void (*)(const ks_device_auth_s*, const ks_query_record_param_s*);
using PictureCb = int (*)(const ks_device_auth_s*, const ks_trigger_picture_param_s*);
using EventCb = int (*)(const ks_device_auth_s*, const ks_cloud_event_param_s*);

class TaskEntryStartPushStream : public TaskEntryBase<ks_start_push_stream_param_s, StartCb> {
  public:
    TaskEntryStartPushStream(SharedPtr<DeviceAuth> auth, StartCb cb,
                             const ks_start_push_stream_param_s& p,
                             DeviceDispatch::StartRefused refused)
        : TaskEntryBase(std::move(auth), cb, p, true), refused_(std::move(refused)) {
        SafeCopy(&param_.file_name, p.file_name);
    }
    ~TaskEntryStartPushStream() override { delete[] param_.file_name; }

    void Run() override {
        if (!cb_ || !auth_)
            return;
        int result = cb_(auth_->GetAuth(), &param_);
        if (result != 0 && refused_)
            refused_(result);
    }

  private:
    DeviceDispatch::StartRefused refused_;
};

class TaskEntryStopPushStream : public TaskEntryBase<ks_stop_push_stream_param_s, StopCb> {
  public:
    using TaskEntryBase::TaskEntryBase;
};

class TaskEntryOnPushStreamCmd : public TaskEntryBase<ks_on_push_stream_cmd_param_s, CmdCb> {
  public:
    using TaskEntryBase::TaskEntryBase;
};

class TaskEntryQueryRecord : public TaskEntryBase<ks_query_record_param_s, QueryCb> {
  public:
    TaskEntryQueryRecord(SharedPtr<DeviceAuth> auth, QueryCb cb, const ks_query_record_param_s& p)
        : TaskEntryBase(std::move(auth), cb, p, true) {
        char* month = nullptr;
        SafeCopy(&month, p.month);
        param_.month = month;
    }
    ~TaskEntryQueryRecord() override { delete[] param_.month; }
};

class TaskEntryTriggerPicture : public TaskEntryBase<ks_trigger_picture_param_s, PictureCb> {
  public:
    using TaskEntryBase::TaskEntryBase;
};

class TaskEntryCloudEvent : public TaskEntryBase<ks_cloud_event_param_s, EventCb> {
  public:
    TaskEntryCloudEvent(SharedPtr<DeviceAuth> auth, EventCb cb, const ks_cloud_event_param_s& p)
        : TaskEntryBase(std::move(auth), cb, p, true) {
        SafeCopy(&param_.download_file_name, p.download_file_name);
        SafeCopy(&param_.download_url, p.download_url);
        SafeCopy(&param_.upload_file_name, p.upload_file_name);
        SafeCopy(&param_.upload_url, p.upload_url);
    }
    ~TaskEntryCloudEvent() override {
        delete[] param_.download_file_name;
        delete[] param_.download_url;
        delete[] param_.upload_file_name;
        delete[] param_.upload_url;
    }
};

SharedPtr<DeviceAuth> AuthOf(int dev_id) {
    return DeviceEnv::Get()->Auth()->GetAuth(dev_id);
}

void Post(JobProperty* job) {
    DeviceEnv::Get()->JobUser()->AddJob(job);
}

}  // namespace

DeviceDispatch::DeviceDispatch()
    : config_(new ks_init_config_s()),
      callbacks_(new ks_init_callback_s()),
      system_(new ks_init_system_s()) {}

DeviceDispatch::~DeviceDispatch() {
    delete config_;
    delete callbacks_;
    delete system_;
}

int DeviceDispatch::Init(const ks_init_config_s* config, const ks_init_callback_s* callbacks,
                         const ks_init_system_s* system) {
    MutexGuard guard(mutex_);
    if (init_) {
        KS_LOGW("Already init");
        return 0;
    }
    if (!config || !callbacks || !system) {
        KS_LOGE("Illegal input");
        return -1;
    }
    if (static_cast<unsigned>(config->log_level) > 6 ||
        static_cast<unsigned>(config->log_dest) > 2 ||
        (config->log_dest == 2 && !callbacks->logger_cb) || !callbacks->start_push_streaming_cb ||
        !callbacks->stop_push_streaming_cb || !callbacks->query_storage_record_cb ||
        !callbacks->on_push_streaming_cmd_cb || !callbacks->on_push_streaming_data_cb ||
        !callbacks->message_publish_cb || !callbacks->trigger_picture_cb ||
        !callbacks->feature_check_cb) {
        return -1;
    }
    *config_ = *config;
    *callbacks_ = *callbacks;
    *system_ = *system;
    init_ = true;
    return 0;
}

int DeviceDispatch::Destroy() {
    MutexGuard guard(mutex_);
    if (!init_) {
        KS_LOGW("Not inited yet");
        return 0;
    }
    init_ = false;
    *config_ = ks_init_config_s();
    *callbacks_ = ks_init_callback_s();
    *system_ = ks_init_system_s();
    return 0;
}

bool DeviceDispatch::IsInit() {
    MutexGuard guard(mutex_);
    return init_;
}

bool DeviceDispatch::snapshot(ks_init_callback_s& out) {
    MutexGuard guard(mutex_);
    if (!init_)
        return false;
    out = *callbacks_;
    return true;
}

int DeviceDispatch::FeatureCheck() {
    ks_init_callback_s cb;
    if (!snapshot(cb) || !cb.feature_check_cb)
        return 0;
    return cb.feature_check_cb();
}

int DeviceDispatch::StartPushStreamingAsync(int dev_id, const ks_start_push_stream_param_s* param,
                                            StartRefused refused) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return -1;
    Post(new TaskEntryStartPushStream(AuthOf(dev_id), cb.start_push_streaming_cb, *param,
                                      std::move(refused)));
    return 0;
}

int DeviceDispatch::StopPushStreamingAsync(int dev_id, const ks_stop_push_stream_param_s* param) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return -1;
    Post(new TaskEntryStopPushStream(AuthOf(dev_id), cb.stop_push_streaming_cb, *param, true));
    return 0;
}

int DeviceDispatch::OnPushStreamingCmdAsync(int dev_id,
                                            const ks_on_push_stream_cmd_param_s* param) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return -1;
    Post(new TaskEntryOnPushStreamCmd(AuthOf(dev_id), cb.on_push_streaming_cmd_cb, *param, true));
    return 0;
}

int DeviceDispatch::CloudEventAsync(int dev_id, const ks_cloud_event_param_s* param) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return -1;
    Post(new TaskEntryCloudEvent(AuthOf(dev_id), cb.cloud_event_cb, *param));
    return 0;
}

void DeviceDispatch::QueryStorageRecordAsync(int dev_id, const ks_query_record_param_s* param) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return;
    Post(new TaskEntryQueryRecord(AuthOf(dev_id), cb.query_storage_record_cb, *param));
}

void DeviceDispatch::TriggerPicCaptureAsync(int dev_id, const ks_trigger_picture_param_s* param) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return;
    Post(new TaskEntryTriggerPicture(AuthOf(dev_id), cb.trigger_picture_cb, *param, false));
}

int DeviceDispatch::OnPushStreamingData(int dev_id,
                                        const ks_on_push_streaming_data_param_s* param) {
    ks_init_callback_s cb;
    if (!param || !snapshot(cb))
        return -1;
    if (cb.on_push_streaming_data_cb) {
        SharedPtr<DeviceAuth> auth = AuthOf(dev_id);
        cb.on_push_streaming_data_cb(auth->GetAuth(), param);
    }
    return 0;
}

}  // namespace kestrel

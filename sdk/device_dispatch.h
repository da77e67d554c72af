// The only way the SDK calls the application: each request becomes a job that
// runs the application's callback on the job thread, one at a time, in order.
#pragma once

#include <kestrel/ks_api.h>

#include <functional>

#include "core/mutex.h"

namespace kestrel {

class DeviceDispatch {
  public:
    DeviceDispatch();
    ~DeviceDispatch();
    DeviceDispatch(const DeviceDispatch&) = delete;
    DeviceDispatch& operator=(const DeviceDispatch&) = delete;

    int Init(const ks_init_config_s* config, const ks_init_callback_s* callbacks,
             const ks_init_system_s* system);
    int Destroy();
    int FeatureCheck();
    bool IsInit();

    // `refused` runs on the job thread, after the callback, when the
    // application answered the start with anything but 0: the stream it will
    // never feed must be taken down, not left to publish nothing.
    using StartRefused = std::function<void(int result)>;
    int StartPushStreamingAsync(int dev_id, const ks_start_push_stream_param_s* param,
                                StartRefused refused = nullptr);
    int StopPushStreamingAsync(int dev_id, const ks_stop_push_stream_param_s* param);
    int OnPushStreamingCmdAsync(int dev_id, const ks_on_push_stream_cmd_param_s* param);
    int CloudEventAsync(int dev_id, const ks_cloud_event_param_s* param);
    void QueryStorageRecordAsync(int dev_id, const ks_query_record_param_s* param);
    void TriggerPicCaptureAsync(int dev_id, const ks_trigger_picture_param_s* param);
    // Synchronous, on the caller's (voice session's) thread.
    int OnPushStreamingData(int dev_id, const ks_on_push_streaming_data_param_s* param);

  private:
    // The callback table is read from many threads while Init/Destroy may write
    // it, so every access takes a snapshot under the lock.
    bool snapshot(ks_init_callback_s& out);

    Mutex mutex_;
    bool init_ = false;
    ks_init_config_s* config_;
    ks_init_callback_s* callbacks_;
    ks_init_system_s* system_;
};

// A new copy of `src` (with its terminator), or null for null.
void SafeCopy(char** out, const char* src);

}  // namespace kestrel

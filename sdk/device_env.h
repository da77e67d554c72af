// The SDK's process-wide environment: the long-lived services every part
// reaches through it, and the one counter of service ids.
#pragma once

#include "core/mutex.h"
#include "core/single.h"

namespace kestrel {

class DeviceDispatch;
class TaskQueue;
class JobPool;
class DeviceAuthService;
class AsyncProcessPool;
class KivIdentify;
class PictureStore;

class DeviceEnv {
  public:
    DeviceEnv();
    ~DeviceEnv();
    DeviceEnv(const DeviceEnv&) = delete;
    DeviceEnv& operator=(const DeviceEnv&) = delete;

    static DeviceEnv* Get() { return Single<DeviceEnv>::Instance(); }

    // Job thread, then task-queue thread, then network; -1 at the first failure.
    int Start();
    void Stop();

    DeviceDispatch* Dispatch() { return dispatch_; }
    TaskQueue* Task() { return task_; }
    JobPool* JobUser() { return job_; }
    DeviceAuthService* Auth() { return auth_; }
    AsyncProcessPool* PictureProcess() { return picture_process_; }
    KivIdentify* Identify() { return identify_; }
    PictureStore* Store() { return store_; }

    // A new service id: 1 first, never reused within one environment.
    int Id();

  private:
    DeviceDispatch* dispatch_;
    TaskQueue* task_;
    JobPool* job_;
    DeviceAuthService* auth_;
    AsyncProcessPool* picture_process_;
    KivIdentify* identify_;
    PictureStore* store_;
    Mutex mutex_;
    int id_ = 0;
    bool job_started_ = false;
    bool task_started_ = false;
};

}  // namespace kestrel

#include "sdk/device_env.h"

#include "core/async_process.h"
#include "core/job_pool.h"
#include "net/net_connector.h"
#include "net/task_queue.h"
#include "sdk/device_auth.h"
#include "sdk/device_dispatch.h"
#include "sdk/picture/picture_store.h"
#include "sdk/storage/kiv_identify.h"

namespace kestrel {

DeviceEnv::DeviceEnv()
    : dispatch_(new DeviceDispatch),
      task_(new TaskQueue),
      job_(new JobPool),
      auth_(new DeviceAuthService),
      picture_process_(new AsyncProcessPool),
      identify_(new KivIdentify),
      store_(new PictureStore),
      mutex_(true) {}

DeviceEnv::~DeviceEnv() {
    if (job_started_ || task_started_)
        Stop();
    delete dispatch_;
    delete task_;
    delete job_;
    delete auth_;
    delete identify_;
    // Queued uploads hold pictures: they go before the store they count in.
    delete picture_process_;
    delete store_;
}

int DeviceEnv::Start() {
    // A retried ks_init must not start a second set of threads.
    if (!job_started_) {
        if (job_->Start() < 0)
            return -1;
        job_started_ = true;
    }
    if (!task_started_) {
        if (task_->Start() < 0)
            return -1;
        task_started_ = true;
    }
    if (NetConnector::Start() < 0)
        return -1;
    return 0;
}

void DeviceEnv::Stop() {
    // Sockets first: their handlers may still post jobs and tasks.
    NetConnector::Stop();
    dispatch_->Destroy();
    if (job_started_) {
        job_->Stop();
        job_started_ = false;
    }
    if (task_started_) {
        task_->Stop(true);
        task_started_ = false;
    }
}

int DeviceEnv::Id() {
    MutexGuard guard(mutex_);
    return ++id_;
}

}  // namespace kestrel

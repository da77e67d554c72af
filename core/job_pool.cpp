#include "core/job_pool.h"

#include "core/logger.h"

namespace kestrel {

JobPool::~JobPool() {
    Stop();
    std::lock_guard<std::mutex> lk(mutex_);
    for (JobProperty* job : jobs_) {
        delete job;
    }
    jobs_.clear();
}

int JobPool::Start() {
    std::unique_lock<std::mutex> lk(mutex_);
    if (started_) {
        KS_LOGW("JobPool already started");
        return 0;
    }
    quit_ = false;
    int ret = pthread_create(&thread_, nullptr, &JobPool::jobProcess, this);
    if (ret != 0) {
        KS_LOGI("Create thread failed, ret = %d", ret);
        lk.unlock();
        Stop();
        KS_LOGE("JobPool start failed");
        return -1;
    }
    joinable_ = true;
    started_ = true;
    KS_LOGI("JobPool start success");
    return 0;
}

bool JobPool::IsStarted() {
    std::lock_guard<std::mutex> lk(mutex_);
    return started_;
}

void JobPool::AddJob(JobProperty* job) {
    if (job == nullptr) {
        KS_LOGE("JobPool: null job");
        return;
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (started_) {
            jobs_.push_back(job);
            cond_.notify_one();
            return;
        }
    }
    KS_LOGW("JobPool is not start");
    delete job;
}

int JobPool::Stop() {
    std::unique_lock<std::mutex> lk(mutex_);
    if (!started_) {
        return 0;
    }
    if (joinable_ && pthread_equal(pthread_self(), thread_)) {
        KS_LOGE("JobPool stop called from a job, refused");
        return -1;
    }
    // No new jobs from here on; the worker leaves only once the queue is
    // empty, so everything posted before this point still runs, in order.
    started_ = false;
    quit_ = true;
    cond_.notify_all();
    bool join = joinable_;
    joinable_ = false;
    lk.unlock();
    if (join) {
        pthread_join(thread_, nullptr);
    }
    KS_LOGI("JobPool stop success");
    return 0;
}

JobProperty* JobPool::getJob() {
    std::unique_lock<std::mutex> lk(mutex_);
    cond_.wait(lk, [this] { return !jobs_.empty() || quit_; });
    if (jobs_.empty()) {
        return nullptr;
    }
    JobProperty* job = jobs_.front();
    jobs_.pop_front();
    return job;
}

void* JobPool::jobProcess(void* self) {
    JobPool* pool = static_cast<JobPool*>(self);
    while (JobProperty* job = pool->getJob()) {
        job->Run();
        delete job;
    }
    return nullptr;
}

}  // namespace kestrel

#include "core/job_pool.h"

#include "core/logger.h"
#include "core/time.h"

namespace kestrel {

namespace {

uint64_t SystemClock() {
    return Time::GetSystemTimeInt(0);
}

}  // namespace

JobPool::JobPool() : clock_(&SystemClock) {}

void JobPool::SetLimit(size_t limit) {
    std::lock_guard<std::mutex> lk(mutex_);
    limit_ = limit > 0 ? limit : 1;
}

void JobPool::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lk(mutex_);
    clock_ = clock ? clock : &SystemClock;
}

unsigned long JobPool::Dropped() {
    std::lock_guard<std::mutex> lk(mutex_);
    return dropped_;
}

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
    bool started = false;
    unsigned long tell = 0, total = 0;
    size_t limit = 0;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        started = started_;
        if (started && jobs_.size() < limit_) {
            jobs_.push_back(job);
            cond_.notify_one();
            return;
        }
        if (started) {
            ++dropped_;
            ++dropped_unlogged_;
            uint64_t now = clock_();
            if (!drop_logged_ || now - last_drop_log_ms_ >= 1000) {
                drop_logged_ = true;
                last_drop_log_ms_ = now;
                tell = dropped_unlogged_;
                total = dropped_;
                limit = limit_;
                dropped_unlogged_ = 0;
            }
        }
    }
    // The job's destructor may post or log: neither under the lock.
    delete job;
    if (!started) {
        KS_LOGW("JobPool is not start");
    } else if (tell > 0) {
        KS_LOGE("JobPool queue full (%zu jobs): %lu dropped since the last report, %lu in all",
                limit, tell, total);
    }
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

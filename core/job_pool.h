// One worker thread that runs posted jobs one at a time, in posting order.
// Calls into the application and outbound cloud messages go through here so
// that none of them runs on the cloud-message or network threads.
#ifndef KESTREL_CORE_JOB_POOL_H
#define KESTREL_CORE_JOB_POOL_H

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace kestrel {

class JobProperty {
  public:
    virtual ~JobProperty() = default;
    virtual void Run() {}
};

class JobPool {
  public:
    JobPool() = default;
    ~JobPool();
    JobPool(const JobPool&) = delete;
    JobPool& operator=(const JobPool&) = delete;

    int Start();
    // Takes ownership. A pool that is not started deletes the job unrun.
    void AddJob(JobProperty* job);
    // Runs every job already queued, then ends the worker. Returns -1 only
    // when called from a job (the worker cannot join itself).
    int Stop();

    bool IsStarted();

  private:
    static void* jobProcess(void* self);
    JobProperty* getJob();

    // The lock and condition live as long as the pool, not just between
    // Start and Stop, so a late AddJob from another thread never touches a
    // destroyed mutex.
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<JobProperty*> jobs_;
    pthread_t thread_{};
    bool started_ = false;
    bool quit_ = false;
    bool joinable_ = false;
};

}  // namespace kestrel

#endif  // KESTREL_CORE_JOB_POOL_H

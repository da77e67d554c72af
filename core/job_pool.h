// One worker thread that runs posted jobs one at a time, in posting order.
// Calls into the application and outbound cloud messages go through here so
// that none of them runs on the cloud-message or network threads.
#ifndef KESTREL_CORE_JOB_POOL_H
#define KESTREL_CORE_JOB_POOL_H

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
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
    JobPool();
    ~JobPool();
    JobPool(const JobPool&) = delete;
    JobPool& operator=(const JobPool&) = delete;

    using Clock = uint64_t (*)();  // monotonic milliseconds

    // Jobs waiting at most; a peer that makes the SDK post work faster than
    // the application takes it must not grow the queue without end.
    static constexpr size_t kDefaultLimit = 4096;

    int Start();
    // Takes ownership. A pool that is not started, or whose queue is at its
    // limit, deletes the job unrun; drops are counted and told in at most
    // one line a second.
    void AddJob(JobProperty* job);
    // Tests shrink the bound and replace the clock.
    void SetLimit(size_t limit);
    void SetClock(Clock clock);
    unsigned long Dropped();
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
    size_t limit_ = kDefaultLimit;
    Clock clock_;
    unsigned long dropped_ = 0;          // all drops since start-up
    unsigned long dropped_unlogged_ = 0;  // drops not yet told
    uint64_t last_drop_log_ms_ = 0;
    bool drop_logged_ = false;
};

}  // namespace kestrel

#endif  // KESTREL_CORE_JOB_POOL_H

// A parallelism limiter for uploads: queued processes are started only while
// fewer than the configured number are in flight. A process counts as in
// flight while an AsyncProcessCount token of the pool lives (the upload's
// handler holds one for the life of its transfer).
#ifndef KESTREL_CORE_ASYNC_PROCESS_H
#define KESTREL_CORE_ASYNC_PROCESS_H

#include <deque>

#include "core/mutex.h"
#include "core/shared_ptr.h"

namespace kestrel {

class AsyncProcess {
  public:
    virtual ~AsyncProcess() = default;
    virtual void Run() = 0;
};

class AsyncProcessPool;

// Holds one running slot of its pool for as long as it lives.
class AsyncProcessCount {
  public:
    explicit AsyncProcessCount(AsyncProcessPool* pool);
    ~AsyncProcessCount();
    AsyncProcessCount(const AsyncProcessCount&) = delete;
    AsyncProcessCount& operator=(const AsyncProcessCount&) = delete;

  private:
    AsyncProcessPool* pool_;
};

class AsyncProcessPool {
  public:
    enum { kMaxParallel = 8 };

    AsyncProcessPool() = default;
    AsyncProcessPool(const AsyncProcessPool&) = delete;
    AsyncProcessPool& operator=(const AsyncProcessPool&) = delete;

    // Values above 8 become 8; 0 is refused (nothing would ever start).
    void SetParallel(unsigned parallel);
    void AddAsyncProcess(SharedPtr<AsyncProcess> process);
    // Starts pending processes, on the calling thread, while slots are free.
    void DoTask();
    void AddProcess();
    void DeleteProcess();

    int GetParallel();
    int GetRunning();
    int GetPending();

  private:
    int running_ = 0;
    int parallel_ = 1;
    Mutex mutex_{true};
    std::deque<SharedPtr<AsyncProcess>> pending_;
    // Processes taken from the queue whose Run() has not returned yet. They
    // count against the limit until then, so two threads freeing or adding
    // at once cannot both start a process into the same free slot.
    int starting_ = 0;
};

}  // namespace kestrel

#endif  // KESTREL_CORE_ASYNC_PROCESS_H

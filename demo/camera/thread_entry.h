// A worker thread that calls one function over and over until it is stopped or
// the function returns false.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace kestrel {
namespace camera {

// Monotonic clock in milliseconds.
uint64_t GetLocalTime();

class ThreadEntry {
  public:
    using Fn = bool (*)(void*);

    ThreadEntry() = default;
    ThreadEntry(const ThreadEntry&) = delete;
    ThreadEntry& operator=(const ThreadEntry&) = delete;
    ~ThreadEntry() { Stop(); }

    // Starts a detached thread running fn(arg) while the entry is running and fn
    // returns true. A null fn does nothing. Returns 0, or -1 when the thread could
    // not be created or one is still alive.
    int Start(Fn fn, void* arg);
    // Asks the thread to quit and waits until it has; a thread that stops itself
    // only clears the running flag.
    void Stop();
    bool IsAlive() const;
    // False once Stop() was called.
    bool Running() const { return running_; }
    // For the thread's own function: up to ms milliseconds, cut short by
    // Stop(). True when it was.
    bool WaitStop(unsigned ms);

  private:
    static void* Main(void* self);

    Fn fn_ = nullptr;
    void* arg_ = nullptr;
    std::atomic<bool> running_{false};
    mutable std::mutex mutex_;
    std::condition_variable quit_;
    std::condition_variable stop_asked_;
    bool alive_ = false;         // guarded by mutex_
    pthread_t thread_{};         // guarded by mutex_; set by the thread itself
    bool thread_known_ = false;  // guarded by mutex_
};

}  // namespace camera
}  // namespace kestrel

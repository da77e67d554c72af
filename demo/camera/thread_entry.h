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

  private:
    static void* Main(void* self);

    Fn fn_ = nullptr;
    void* arg_ = nullptr;
    std::atomic<bool> running_{false};
    mutable std::mutex mutex_;
    std::condition_variable quit_;
    bool alive_ = false;         // guarded by mutex_
    pthread_t thread_{};         // guarded by mutex_; set by the thread itself
    bool thread_known_ = false;  // guarded by mutex_
};

}  // namespace camera
}  // namespace kestrel

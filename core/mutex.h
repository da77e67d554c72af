// A plain non-recursive POSIX mutex that can be switched off for objects owned
// by a single thread.
#pragma once

#include <pthread.h>

namespace kestrel {

class Mutex {
  public:
    explicit Mutex(bool enabled = true);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock();
    void Unlock();

  private:
    bool enabled_;
    pthread_mutex_t* mutex_;
};

class MutexGuard {
  public:
    explicit MutexGuard(Mutex& m) : m_(m) { m_.Lock(); }
    ~MutexGuard() { m_.Unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

  private:
    Mutex& m_;
};

}  // namespace kestrel

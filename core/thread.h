// A thread with a fixed life cycle: subclasses fill in the hooks, and the base
// runs realThread() over and over until asked to stop or until it fails.
// A subclass must stop its thread in its own destructor: by the time the base
// destructor waits, the subclass's hooks are gone.
#pragma once

#include <pthread.h>

#include <atomic>

namespace kestrel {

class Thread {
  public:
    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    int Start();
    void Stop(bool wait);

    bool IsRunning() const { return running_.load(); }
    bool IsFinished() const { return finished_.load(); }

  protected:
    virtual int beforeStart() { return 0; }
    virtual void beforeStop() {}
    virtual int beforeThread() { return 0; }
    virtual int realThread() = 0;
    virtual int afterThread() { return 0; }
    virtual int afterStart() { return 0; }
    virtual void afterStop() {}

  private:
    static void* innerFunction(void* self);
    void waitFinished();

    std::atomic<bool> running_{false};
    std::atomic<bool> finished_{true};
    // Joinable, so a stop waits on the thread itself rather than polling.
    pthread_t tid_{};
    std::atomic<bool> joinable_{false};
};

class ThreadSimple : public Thread {
  public:
    ThreadSimple(int (*fn)(void*), void* arg) : fn_(fn), arg_(arg) {}
    ~ThreadSimple() override;

  protected:
    int beforeStart() override;
    int realThread() override { return fn_(arg_); }

  private:
    int (*fn_)(void*);
    void* arg_;
};

}  // namespace kestrel

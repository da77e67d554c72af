// A unit of work for the task queue, due at or after its forward time
// (monotonic milliseconds; 0 means at once).
#ifndef KESTREL_NET_TASK_ENTRY_H
#define KESTREL_NET_TASK_ENTRY_H

#include <string>

#include "core/time.h"

namespace kestrel {

class TaskEntry {
  public:
    virtual ~TaskEntry() = default;
    virtual void Run() = 0;

    void SetDelayTime(unsigned long ms) { forward_time_ = Time::GetSystemTimeInt(0) + ms; }
    unsigned long GetForwardTime() const { return forward_time_; }

  protected:
    unsigned long forward_time_ = 0;
};

class TaskA : public TaskEntry {
  public:
    using Fn = void (*)(void*);
    TaskA(void* user, Fn fn) : user_(user), fn_(fn) {}
    void Run() override {
        if (fn_ != nullptr) {
            fn_(user_);
        }
    }

  private:
    void* user_;
    Fn fn_;
};

class TaskB : public TaskEntry {
  public:
    using Fn = void (*)(void*, int, const std::string&, const std::string&, const std::string&);
    TaskB(void* user, Fn fn, int i, const std::string& s1, const std::string& s2,
          const std::string& s3)
        : user_(user), fn_(fn), i_(i), s1_(s1), s2_(s2), s3_(s3) {}
    void Run() override {
        if (fn_ != nullptr) {
            fn_(user_, i_, s1_, s2_, s3_);
        }
    }

  private:
    void* user_;
    Fn fn_;
    int i_;
    std::string s1_, s2_, s3_;
};

class TaskC : public TaskEntry {
  public:
    using Fn = void (*)(void*, int, int, const std::string&, const std::string&);
    TaskC(void* user, Fn fn, int i1, int i2, const std::string& s1, const std::string& s2)
        : user_(user), fn_(fn), i1_(i1), i2_(i2), s1_(s1), s2_(s2) {}
    void Run() override {
        if (fn_ != nullptr) {
            fn_(user_, i1_, i2_, s1_, s2_);
        }
    }

  private:
    void* user_;
    Fn fn_;
    int i1_, i2_;
    std::string s1_, s2_;
};

// Only wakes the queue's thread.
class TaskEmpty : public TaskEntry {
  public:
    void Run() override {}
};

}  // namespace kestrel

#endif  // KESTREL_NET_TASK_ENTRY_H

// Runs posted tasks on its own thread, at once or after a delay: the SDK's
// timer service. Any thread may post; the queue owns what it is given.
#ifndef KESTREL_NET_TASK_QUEUE_H
#define KESTREL_NET_TASK_QUEUE_H

#include <list>
#include <string>

#include "core/mutex.h"
#include "core/thread.h"
#include "net/io_multiplexing.h"
#include "net/net_socket_pair.h"
#include "net/task_entry.h"

namespace kestrel {

class TaskQueue : public Thread {
  public:
    enum : unsigned long { kIdleWaitMs = 60000 };

    TaskQueue();
    ~TaskQueue() override;

    // Takes ownership whatever the result. Returns the wake write's result
    // (-1 when the queue is not running; the task then waits for Start).
    long AddTask(TaskEntry* task);
    long AddTask(void* user, TaskA::Fn fn, unsigned long delay_ms);
    long AddTask(void* user, TaskB::Fn fn, unsigned long delay_ms, int i, const std::string& s1,
                 const std::string& s2, const std::string& s3);
    long AddTask(void* user, TaskC::Fn fn, unsigned long delay_ms, int i1, int i2,
                 const std::string& s1, const std::string& s2);

    unsigned long GetTaskCount();

  protected:
    int beforeStart() override;
    void beforeStop() override;
    int realThread() override;
    int afterThread() override;
    void afterStop() override;

  private:
    int doTask();

    unsigned long next_wait_ms_ = 0;  // touched by the queue thread only
    NetSocketPair* pair_;
    IoMultiplexing* io_;
    Mutex* mutex_;
    std::list<TaskEntry*> tasks_;
    bool registered_ = false;
};

}  // namespace kestrel

#endif  // KESTREL_NET_TASK_QUEUE_H

#include "net/task_queue.h"

#include <vector>

#include "core/logger.h"
#include "core/time.h"

namespace kestrel {

TaskQueue::TaskQueue()
    : pair_(new NetSocketPair), io_(new IoMultiplexing), mutex_(new Mutex(true)) {}

TaskQueue::~TaskQueue() {
    // The base destructor cannot stop a running loop safely: our overrides
    // are gone by then.
    Stop(true);
    for (TaskEntry* task : tasks_) {
        delete task;
    }
    tasks_.clear();
    delete io_;
    delete pair_;
    delete mutex_;
}

long TaskQueue::AddTask(TaskEntry* task) {
    if (task == nullptr) {
        KS_LOGE("TaskQueue: null task");
        return -1;
    }
    mutex_->Lock();
    tasks_.push_back(task);
    mutex_->Unlock();
    return pair_->Send("t", 1);
}

long TaskQueue::AddTask(void* user, TaskA::Fn fn, unsigned long delay_ms) {
    TaskA* task = new TaskA(user, fn);
    task->SetDelayTime(delay_ms);
    return AddTask(task);
}

long TaskQueue::AddTask(void* user, TaskB::Fn fn, unsigned long delay_ms, int i,
                        const std::string& s1, const std::string& s2, const std::string& s3) {
    TaskB* task = new TaskB(user, fn, i, s1, s2, s3);
    task->SetDelayTime(delay_ms);
    return AddTask(task);
}

long TaskQueue::AddTask(void* user, TaskC::Fn fn, unsigned long delay_ms, int i1, int i2,
                        const std::string& s1, const std::string& s2) {
    TaskC* task = new TaskC(user, fn, i1, i2, s1, s2);
    task->SetDelayTime(delay_ms);
    return AddTask(task);
}

unsigned long TaskQueue::GetTaskCount() {
    MutexGuard g(*mutex_);
    return tasks_.size();
}

int TaskQueue::beforeStart() {
    if (pair_->Start() < 0) {
        return -1;
    }
    if (!registered_) {
        if (io_->AddFd(pair_->GetReadFd(), true, false) < 0) {
            pair_->Stop();
            return -1;
        }
        registered_ = true;
    }
    next_wait_ms_ = 0;
    return 0;
}

void TaskQueue::beforeStop() {
    AddTask(new TaskEmpty);
}

int TaskQueue::afterThread() {
    doTask();
    return 0;
}

void TaskQueue::afterStop() {
    if (registered_) {
        io_->DeleteFd(pair_->GetReadFd());
        registered_ = false;
    }
    pair_->Stop();
}

int TaskQueue::doTask() {
    unsigned long now = Time::GetSystemTimeInt(0);
    std::vector<TaskEntry*> run;
    mutex_->Lock();
    bool waiting = false;
    unsigned long earliest = 0;
    for (auto it = tasks_.begin(); it != tasks_.end();) {
        unsigned long fwd = (*it)->GetForwardTime();
        if (now >= fwd) {
            run.push_back(*it);
            it = tasks_.erase(it);
        } else {
            if (!waiting || fwd < earliest) {
                earliest = fwd;
            }
            waiting = true;
            ++it;
        }
    }
    next_wait_ms_ = waiting ? earliest - now : kIdleWaitMs;
    mutex_->Unlock();

    for (TaskEntry* task : run) {
        task->Run();
        delete task;
    }
    return 0;
}

int TaskQueue::realThread() {
    if (pair_->IsClosed()) {
        KS_LOGE("Pair closed");
        return -1;
    }
    int ret = io_->Dispatch(false, next_wait_ms_);
    if (ret < 0) {
        KS_LOGE("Dispatch failed");
        return -1;
    }
    if (ret > 0) {
        bool readable = false;
        bool writable = false;
        if (io_->FdCheck(pair_->GetReadFd(), readable, writable) < 0) {
            KS_LOGE("Fd check error");
            return -1;
        }
        if (!readable) {
            return 0;
        }
        pair_->Readable();
    }
    if (doTask() < 0) {
        KS_LOGE("Do task failed");
        return -1;
    }
    return 0;
}

}  // namespace kestrel

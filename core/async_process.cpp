#include "core/async_process.h"

#include <cassert>

#include "core/logger.h"

namespace kestrel {

AsyncProcessCount::AsyncProcessCount(AsyncProcessPool* pool) : pool_(pool) {
    if (pool_ != nullptr) {
        pool_->AddProcess();
    }
}

AsyncProcessCount::~AsyncProcessCount() {
    if (pool_ != nullptr) {
        pool_->DeleteProcess();
    }
}

void AsyncProcessPool::SetParallel(unsigned parallel) {
    if (parallel == 0) {
        MutexGuard g(mutex_);
        KS_LOGW("Process parallel 0 refused, keeping %d", parallel_);
        return;
    }
    int value = parallel > kMaxParallel ? kMaxParallel : static_cast<int>(parallel);
    {
        MutexGuard g(mutex_);
        parallel_ = value;
    }
    KS_LOGI("Process parallel = %d", value);
    // A raised limit may free slots for what is already waiting.
    DoTask();
}

void AsyncProcessPool::AddAsyncProcess(SharedPtr<AsyncProcess> process) {
    if (!process) {
        KS_LOGE("AsyncProcessPool: null process");
        return;
    }
    mutex_.Lock();
    pending_.push_back(process);
    mutex_.Unlock();
    DoTask();
}

void AsyncProcessPool::DoTask() {
    // A process whose Run() fails before taking a slot leaves the slot free;
    // keep going so the next pending one is not stranded until some later event.
    for (;;) {
        mutex_.Lock();
        if (pending_.empty()) {
            mutex_.Unlock();
            return;
        }
        KS_LOGI("Task size = %d, task parallel = %d", static_cast<int>(pending_.size()), running_);
        if (running_ + starting_ >= parallel_) {
            mutex_.Unlock();
            return;
        }
        SharedPtr<AsyncProcess> process = pending_.front();
        pending_.pop_front();
        ++starting_;
        mutex_.Unlock();

        process->Run();
        process.release();

        mutex_.Lock();
        --starting_;
        mutex_.Unlock();
    }
}

void AsyncProcessPool::AddProcess() {
    MutexGuard g(mutex_);
    ++running_;
}

void AsyncProcessPool::DeleteProcess() {
    {
        MutexGuard g(mutex_);
        // Every delete follows the add that counted it; a release build
        // keeps the count from going below zero.
        assert(running_ > 0);
        if (running_ > 0)
            --running_;
    }
    DoTask();
}

int AsyncProcessPool::GetParallel() {
    MutexGuard g(mutex_);
    return parallel_;
}

int AsyncProcessPool::GetRunning() {
    MutexGuard g(mutex_);
    return running_;
}

int AsyncProcessPool::GetPending() {
    MutexGuard g(mutex_);
    return static_cast<int>(pending_.size());
}

}  // namespace kestrel

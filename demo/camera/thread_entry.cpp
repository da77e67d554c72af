#include "thread_entry.h"

#include <stdio.h>
#include <time.h>

#include <chrono>

namespace kestrel {
namespace camera {

uint64_t GetLocalTime() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int ThreadEntry::Start(Fn fn, void* arg) {
    if (fn == nullptr) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (alive_) {
            printf("Thread already running\n");
            return -1;
        }
        alive_ = true;
        thread_known_ = false;
    }
    fn_ = fn;
    arg_ = arg;
    running_ = true;

    pthread_attr_t attr;
    int ret = pthread_attr_init(&attr);
    if (ret != 0) {
        printf("Create thread attr failed, ret = %d\n", ret);
    } else {
        ret = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (ret != 0) {
            printf("Set thread attr failed, ret = %d\n", ret);
        } else {
            pthread_t thread;
            ret = pthread_create(&thread, &attr, &ThreadEntry::Main, this);
            if (ret != 0) {
                printf("Create thread failed, ret = %d\n", ret);
            }
        }
        pthread_attr_destroy(&attr);
    }
    if (ret != 0) {
        running_ = false;
        std::lock_guard<std::mutex> lock(mutex_);
        alive_ = false;
        return -1;
    }
    return 0;
}

void* ThreadEntry::Main(void* self) {
    ThreadEntry* entry = static_cast<ThreadEntry*>(self);
    {
        std::lock_guard<std::mutex> lock(entry->mutex_);
        entry->thread_ = pthread_self();
        entry->thread_known_ = true;
    }
    while (entry->running_ && entry->fn_(entry->arg_)) {
    }
    // Last touch of the entry: once the flag is clear under the lock, Stop() may
    // return and the owner may free it.
    std::lock_guard<std::mutex> lock(entry->mutex_);
    entry->alive_ = false;
    entry->quit_.notify_all();
    return nullptr;
}

void ThreadEntry::Stop() {
    running_ = false;
    std::unique_lock<std::mutex> lock(mutex_);
    stop_asked_.notify_all();
    if (alive_ && thread_known_ && pthread_equal(pthread_self(), thread_)) {
        return;  // called from the thread's own function: it quits after this cycle
    }
    quit_.wait(lock, [this] { return !alive_; });
}

bool ThreadEntry::WaitStop(unsigned ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return stop_asked_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running_; });
}

bool ThreadEntry::IsAlive() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return alive_;
}

}  // namespace camera
}  // namespace kestrel

#include "core/thread.h"

#include <pthread.h>

#include "core/logger.h"

namespace kestrel {

Thread::~Thread() {
    running_ = false;
    waitFinished();
}

int Thread::Start() {
    if (joinable_.load()) {
        if (!finished_.load()) {
            KS_LOGD("Thread is already running\n");
            return -1;
        }
        // A restarted thread first reaps the one before it.
        waitFinished();
    }
    int ret = beforeStart();
    if (ret < 0) {
        KS_LOGD("Before start failed, ret = %d\n", ret);
        return -1;
    }
    finished_ = false;
    running_ = true;

    pthread_attr_t attr;
    ret = pthread_attr_init(&attr);
    if (ret != 0) {
        running_ = false;
        finished_ = true;
        KS_LOGD("Create thread attr failed, ret = %d\n", ret);
        return -2;
    }
    ret = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (ret != 0) {
        pthread_attr_destroy(&attr);
        running_ = false;
        finished_ = true;
        KS_LOGD("Set thread attr failed, ret = %d\n", ret);
        return -3;
    }
    ret = pthread_create(&tid_, &attr, &Thread::innerFunction, this);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        running_ = false;
        finished_ = true;
        KS_LOGD("Create thread failed, ret = %d\n", ret);
        return -4;
    }
    joinable_ = true;
    ret = afterStart();
    if (ret < 0) {
        running_ = false;
        KS_LOGD("After start failed, ret = %d\n", ret);
        return -5;
    }
    return 0;
}

void* Thread::innerFunction(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    if (self->beforeThread() < 0)
        self->running_ = false;
    while (self->running_) {
        if (self->realThread() < 0)
            self->running_ = false;
    }
    self->afterThread();
    // Last touch of the object: once finished is seen, the owner may delete it.
    self->finished_ = true;
    return nullptr;
}

void Thread::Stop(bool wait) {
    running_ = false;
    if (!wait)
        return;
    beforeStop();
    waitFinished();
    afterStop();
}

void Thread::waitFinished() {
    if (!joinable_.exchange(false))
        return;
    if (pthread_equal(tid_, pthread_self())) {
        // Stopped from its own loop: nobody can wait for it, so let it go.
        pthread_detach(tid_);
        return;
    }
    pthread_join(tid_, nullptr);
}

ThreadSimple::~ThreadSimple() {
    Stop(true);
}

int ThreadSimple::beforeStart() {
    if (!fn_) {
        KS_LOGE("Thread error");
        return -1;
    }
    return 0;
}

}  // namespace kestrel

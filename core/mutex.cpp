#include "core/mutex.h"

#include "core/logger.h"

namespace kestrel {

Mutex::Mutex(bool enabled) : enabled_(enabled), mutex_(nullptr) {
    if (!enabled_)
        return;
    mutex_ = new pthread_mutex_t;
    int ret = pthread_mutex_init(mutex_, nullptr);
    if (ret != 0) {
        KS_LOGE("pthread_mutex_init failed, ret = %d", ret);
        delete mutex_;
        mutex_ = nullptr;
        enabled_ = false;
    }
}

Mutex::~Mutex() {
    if (mutex_) {
        pthread_mutex_destroy(mutex_);
        delete mutex_;
    }
}

void Mutex::Lock() {
    if (enabled_)
        pthread_mutex_lock(mutex_);
}

void Mutex::Unlock() {
    if (enabled_)
        pthread_mutex_unlock(mutex_);
}

}  // namespace kestrel

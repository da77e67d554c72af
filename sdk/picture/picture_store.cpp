#include "sdk/picture/picture_store.h"

#include <mutex>
#include <set>

#include "core/logger.h"

namespace kestrel {

namespace {

// Pictures in flight may outlive their store (an upload finishing during
// ks_destroy). Their release callbacks find the store through this set and
// do nothing once it is gone.
std::mutex g_live_mutex;
std::set<PictureStore*> g_live;

}  // namespace

PictureStore::PictureStore() : mutex_(true) {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    g_live.insert(this);
}

PictureStore::~PictureStore() {
    {
        std::lock_guard<std::mutex> lock(g_live_mutex);
        g_live.erase(this);
    }
    MutexGuard guard(mutex_);
    for (auto& entry : pictures_) {
        entry.second->SetCallback(nullptr, nullptr);
    }
    pictures_.clear();
}

void PictureStore::SetAbility(unsigned size_max) {
    {
        MutexGuard guard(mutex_);
        max_ = size_max;
    }
    KS_LOGI("PictureStore size_max = %u", size_max);
}

void PictureStore::reset() {
    for (auto& entry : pictures_) {
        entry.second->SetCallback(nullptr, nullptr);
    }
    pictures_.clear();
    used_ = 0;
}

bool PictureStore::evictOldest(const std::string& prefix) {
    if (pictures_.empty()) {
        return false;
    }
    auto oldest = pictures_.begin();
    SharedPtr<SharedBuffer> buffer = oldest->second;
    buffer->SetCallback(nullptr, nullptr);
    pictures_.erase(oldest);
    unsigned long len = buffer->GetLen();
    if (used_ < len) {
        KS_LOGE("%s Delete picture error, len = %lu size = %u", prefix.c_str(), len, used_);
        reset();
    } else {
        used_ -= static_cast<uint32_t>(len);
        KS_LOGI("%s Delete picture, len = %lu size = %u size_max = %u", prefix.c_str(), len, used_,
                max_);
    }
    return true;
}

int PictureStore::Copy(const char* data, unsigned len, const std::string& prefix) {
    if (data == nullptr || len == 0) {
        return 0;
    }
    MutexGuard guard(mutex_);
    while (max_ < used_ || max_ - used_ < len) {
        if (!evictOldest(prefix)) {
            return -1;
        }
    }
    SharedPtr<SharedBuffer> buffer = SharedBuffer::Copy(data, len);
    if (!buffer || buffer->GetLen() != len) {
        KS_LOGE("%s Picture copy of %u bytes failed", prefix.c_str(), len);
        return -1;
    }
    buffer->SetTag(prefix);
    buffer->SetCallback(this, &PictureStore::onRelease);
    int index = ++last_index_;
    pictures_[index] = buffer;
    used_ += len;
    KS_LOGI("%s Add picture, len = %u size = %u size_max = %u", prefix.c_str(), len, used_, max_);
    return index;
}

SharedPtr<SharedBuffer> PictureStore::Pop(int index) {
    if (index > 0) {
        MutexGuard guard(mutex_);
        auto it = pictures_.find(index);
        if (it != pictures_.end()) {
            SharedPtr<SharedBuffer> buffer = it->second;
            pictures_.erase(it);
            return buffer;
        }
    }
    return SharedBuffer::New();
}

unsigned PictureStore::Used() {
    MutexGuard guard(mutex_);
    return used_;
}

unsigned PictureStore::Waiting() {
    MutexGuard guard(mutex_);
    return static_cast<unsigned>(pictures_.size());
}

void PictureStore::onRelease(void* user, unsigned long len, const std::string& tag) {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    auto* store = static_cast<PictureStore*>(user);
    if (g_live.count(store) != 0) {
        store->release(len, tag);
    }
}

void PictureStore::release(unsigned long len, const std::string& tag) {
    MutexGuard guard(mutex_);
    if (used_ < len) {
        KS_LOGE("%s Delete picture error,len = %lu size = %u", tag.c_str(), len, used_);
        reset();
        return;
    }
    used_ -= static_cast<uint32_t>(len);
    KS_LOGI("%s Delete picture, len = %lu size = %u size_max = %u", tag.c_str(), len, used_, max_);
}

}  // namespace kestrel

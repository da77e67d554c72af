#include "core/auto_grow_buffer.h"

#include <cstring>

namespace kestrel {

AutoGrowBuffer::AutoGrowBuffer(unsigned long capacity, bool locked)
    : capacity_(capacity > kMaxLen ? kMaxLen : capacity),
      data_(new char[capacity_ ? capacity_ : 1]),
      mutex_(new Mutex(locked)) {}

AutoGrowBuffer::~AutoGrowBuffer() {
    delete[] data_;
    delete mutex_;
}

unsigned long AutoGrowBuffer::GetReAllocLen(unsigned long n) {
    unsigned long p = 1;
    while (n) {
        n >>= 1;
        p <<= 1;
    }
    return p;
}

long AutoGrowBuffer::AddTailData(const char* src, unsigned long len) {
    if (!src || len == 0)
        return 0;
    if (len > kMaxLen)
        return -1;
    MutexGuard guard(*mutex_);
    if (capacity_ < tail_ + len) {
        unsigned long unread = tail_ - head_;
        if (capacity_ - unread >= len) {
            memmove(data_, data_ + head_, unread);
        } else {
            unsigned long grown = GetReAllocLen(unread + len);
            if (grown > kMaxLen)
                return -1;
            char* bigger = new char[grown];
            memcpy(bigger, data_ + head_, unread);
            delete[] data_;
            data_ = bigger;
            capacity_ = grown;
        }
        head_ = 0;
        tail_ = unread;
    }
    memcpy(data_ + tail_, src, len);
    tail_ += len;
    return static_cast<long>(len);
}

long AutoGrowBuffer::PopHeadData(Consumer consumer, void* user) {
    if (!consumer)
        return -1;
    MutexGuard guard(*mutex_);
    unsigned long unread = tail_ - head_;
    if (unread == 0)
        return 0;
    long used = consumer(user, data_ + head_, unread);
    if (used < 0 || static_cast<unsigned long>(used) > unread)
        return -3;
    head_ += static_cast<unsigned long>(used);
    return used;
}

long AutoGrowBuffer::PopHeadData(Consumer consumer, void* user, unsigned long max) {
    if (!consumer || max == 0)
        return -1;
    MutexGuard guard(*mutex_);
    unsigned long unread = tail_ - head_;
    if (unread == 0)
        return 0;
    unsigned long offered = unread < max ? unread : max;
    long used = consumer(user, data_ + head_, offered);
    if (used < 0)
        return -3;
    if (static_cast<unsigned long>(used) > offered)
        return -2;
    head_ += static_cast<unsigned long>(used);
    return used;
}

unsigned long AutoGrowBuffer::GetSize() {
    MutexGuard guard(*mutex_);
    return tail_ - head_;
}

}  // namespace kestrel

// FIFO byte queue for streaming: appends at the tail, consumers take from the
// head. Compacts before it grows and never holds more than 1 MiB.
#pragma once

#include "core/mutex.h"

namespace kestrel {

class AutoGrowBuffer {
  public:
    static constexpr unsigned long kMaxLen = 1024UL * 1024UL;
    using Consumer = long (*)(void* user, const char* data, unsigned long len);

    AutoGrowBuffer(unsigned long capacity, bool locked);
    ~AutoGrowBuffer();
    AutoGrowBuffer(const AutoGrowBuffer&) = delete;
    AutoGrowBuffer& operator=(const AutoGrowBuffer&) = delete;

    // len on success, 0 for empty input, -1 when the data cannot fit under the limit.
    long AddTailData(const char* src, unsigned long len);
    // Offers every unread byte to the consumer, which returns how many it took.
    long PopHeadData(Consumer consumer, void* user);
    // The same, offering at most `max` bytes.
    long PopHeadData(Consumer consumer, void* user, unsigned long max);
    unsigned long GetSize();
    unsigned long GetCapacity() const { return capacity_; }

    static unsigned long GetReAllocLen(unsigned long n);

  private:
    unsigned long capacity_;
    unsigned long head_ = 0;
    unsigned long tail_ = 0;
    char* data_;
    Mutex* mutex_;
};

}  // namespace kestrel

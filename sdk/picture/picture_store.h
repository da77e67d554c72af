// A byte budget for pictures held in memory: pictures wait here (by index)
// until their upload takes them, and stay counted until the last reference to
// them is gone. Older waiting pictures make room for newer ones.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/mutex.h"
#include "core/shared_buffer.h"
#include "core/shared_ptr.h"

namespace kestrel {

class PictureStore {
  public:
    PictureStore();
    ~PictureStore();
    PictureStore(const PictureStore&) = delete;
    PictureStore& operator=(const PictureStore&) = delete;

    void SetAbility(unsigned size_max);
    // The new index (> 0), 0 for no data, -1 when it does not fit.
    int Copy(const char* data, unsigned len, const std::string& prefix);
    // Removes and returns the picture; empty for an unknown index.
    SharedPtr<SharedBuffer> Pop(int index);

    unsigned Used();
    unsigned Waiting();

  private:
    static void onRelease(void* user, unsigned long len, const std::string& tag);
    void release(unsigned long len, const std::string& tag);
    // Under the lock: forget everything, callbacks detached first.
    void reset();
    bool evictOldest(const std::string& prefix);

    uint32_t used_ = 0;
    uint32_t max_ = 4294967295u;
    int last_index_ = 0;
    std::map<int, SharedPtr<SharedBuffer>> pictures_;
    Mutex mutex_;
};

}  // namespace kestrel

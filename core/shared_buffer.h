// An immutable payload (a picture, a frame) referenced by several users without
// copying. Its owner can ask to be told when the last reference has gone.
#pragma once

#include <string>

#include "core/shared_ptr.h"

namespace kestrel {

class SharedBuffer {
  public:
    using ReleaseCallback = void (*)(void* user, unsigned long len, const std::string& tag);

    // adopt != 0: take `data` (allocated with new[]) as is; adopt == 0: copy it.
    SharedBuffer(char* data, unsigned long len, int adopt);
    virtual ~SharedBuffer();
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    const char* GetData() const { return data_; }
    unsigned long GetLen() const { return len_; }
    bool Empty() const { return data_ == nullptr || len_ == 0; }
    void SetCallback(void* user, ReleaseCallback cb) {
        user_ = user;
        callback_ = cb;
    }
    void SetTag(const std::string& tag) { tag_ = tag; }

    static SharedPtr<SharedBuffer> Copy(const char* data, unsigned long len);
    static SharedPtr<SharedBuffer> Move(char* data, unsigned long len);
    static SharedPtr<SharedBuffer> New();

  private:
    char* data_ = nullptr;
    unsigned long len_ = 0;
    void* user_ = nullptr;
    ReleaseCallback callback_ = nullptr;
    std::string tag_;
};

}  // namespace kestrel

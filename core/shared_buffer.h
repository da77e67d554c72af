// An immutable payload (a picture, a frame) referenced by several users without
// copying. Its owner can ask to be told when the last reference has gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// A byte block several users keep by reference while one writer refills it
// when nobody else holds it: a frame copied out of a ring lives in one while
// the socket still has it queued, and the reader reuses it (no allocation)
// once the socket let go.
class SharedBytes {
  public:
    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }
    size_t Size() const { return size_; }
    size_t Capacity() const { return capacity_; }
    // Makes room for n bytes (the contents are not kept) and sets the size.
    void Resize(size_t n) {
        if (n > capacity_) {
            data_.reset(new uint8_t[n]);
            capacity_ = n;
        }
        size_ = n;
    }

  private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace kestrel

#include "core/shared_buffer.h"

#include <cstring>

namespace kestrel {

SharedBuffer::SharedBuffer(char* data, unsigned long len, int adopt) {
    if (!data || len == 0) {
        if (adopt)
            delete[] data;
        return;
    }
    if (adopt) {
        data_ = data;
    } else {
        data_ = new char[len];
        memcpy(data_, data, len);
    }
    len_ = len;
}

SharedBuffer::~SharedBuffer() {
    bool had_data = data_ != nullptr && len_ != 0;
    delete[] data_;
    if (had_data && callback_)
        callback_(user_, len_, tag_);
}

SharedPtr<SharedBuffer> SharedBuffer::Copy(const char* data, unsigned long len) {
    return MakeShared<SharedBuffer>(const_cast<char*>(data), len, 0);
}

SharedPtr<SharedBuffer> SharedBuffer::Move(char* data, unsigned long len) {
    return MakeShared<SharedBuffer>(data, len, 1);
}

SharedPtr<SharedBuffer> SharedBuffer::New() {
    return MakeShared<SharedBuffer>(nullptr, 0, 0);
}

}  // namespace kestrel

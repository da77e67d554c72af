#include "sdk/streaming/write_turn.h"

namespace kestrel {

bool WriteTurn::next(FrameRingBuffer& ring, const std::string& label, Frame& f) {
    if (holding_) {
        f.desc = held_desc_;
        f.data = held_.data();
        f.len = static_cast<unsigned>(held_.size());
        f.held = true;
        return true;
    }
    const unsigned char* frame = nullptr;
    int r = ring.PeekFrame(&frame, &f.len, &f.desc);
    if (r == FrameRingBuffer::kEmpty) {
        f.len = 0;
        return false;
    }
    if (r != FrameRingBuffer::kOk) {
        KS_LOGE("%s Read data failed", label.c_str());
        ring.CleanAllFrameData();
        f.len = kReadError;
        return false;
    }
    f.data = frame;
    return true;
}

void WriteTurn::hold(const Frame& f) {
    holding_ = true;
    held_desc_ = f.desc;
    held_.assign(f.data, f.data + f.len);
}

void WriteTurn::Drop() {
    holding_ = false;
    held_.clear();
}

}  // namespace kestrel

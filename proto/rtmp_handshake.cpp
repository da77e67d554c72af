#include "proto/rtmp_handshake.h"

#include <cstring>

namespace kestrel {

namespace {
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
}  // namespace

size_t rtmp_handshake_c0(uint8_t* buf, uint8_t version) {
    if (version != RTMP_VERSION && version != RTMP_PRIVATE_VERSION) {
        return 0;
    }
    buf[0] = version;
    return 1;
}

size_t rtmp_handshake_c1(uint8_t* buf, uint32_t time, const uint8_t* random) {
    PutBe32(buf, time);
    std::memset(buf + 4, 0, 4);
    if (random) {
        std::memcpy(buf + 8, random, RTMP_HANDSHAKE_RANDOM);
    } else {
        std::memset(buf + 8, 0, RTMP_HANDSHAKE_RANDOM);
    }
    return RTMP_HANDSHAKE_SIZE;
}

size_t rtmp_handshake_c2(uint8_t* buf, uint32_t time, const uint8_t* s1, size_t s1_len) {
    if (s1_len != RTMP_HANDSHAKE_SIZE) {
        return 0;
    }
    std::memmove(buf, s1, RTMP_HANDSHAKE_SIZE);
    PutBe32(buf + 4, time);
    return RTMP_HANDSHAKE_SIZE;
}

}  // namespace kestrel

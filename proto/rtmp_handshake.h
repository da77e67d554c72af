// Client side of the RTMP handshake: C0 names the version (3, or the
// private 4 this cloud's servers accept), C1 and C2 are 1536 bytes each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

constexpr uint8_t RTMP_VERSION = 3;
constexpr uint8_t RTMP_PRIVATE_VERSION = 4;
constexpr size_t RTMP_HANDSHAKE_SIZE = 1536;
constexpr size_t RTMP_HANDSHAKE_RANDOM = RTMP_HANDSHAKE_SIZE - 8;

// 1, or 0 (nothing written) for a version other than 3 and 4.
size_t rtmp_handshake_c0(uint8_t* buf, uint8_t version);
// Time (seconds, big-endian), four zero bytes, then RTMP_HANDSHAKE_RANDOM
// bytes of `random` (zeros when null). Returns 1536.
size_t rtmp_handshake_c1(uint8_t* buf, uint32_t time, const uint8_t* random);
// S1 echoed with bytes 4..7 replaced by `time`; 1536, or 0 when s1_len is
// not 1536.
size_t rtmp_handshake_c2(uint8_t* buf, uint32_t time, const uint8_t* s1, size_t s1_len);

}  // namespace kestrel

// The chunk reader on arbitrary peer bytes, fed in pieces whose sizes come
// from the input. Every delivered message must be exactly as long as its
// header says, and the reader must never claim more bytes than it was given.
#include <cstdint>
#include <cstdlib>

#include "proto/rtmp_chunk.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    RtmpChunkReader reader(64 * 1024);
    reader.SetChunkSize(64u + data[0] * 4u);
    size_t step = 1 + data[1] % 64;
    volatile uint8_t sink = 0;
    for (size_t pos = 2; pos < size;) {
        size_t n = step < size - pos ? step : size - pos;
        size_t used = 0;
        rtmp_message_t msg;
        int rc = reader.Read(data + pos, n, &used, &msg);
        if (used > n) {
            abort();
        }
        if (rc < 0) {
            break;
        }
        if (rc == RTMP_CHUNK_MESSAGE) {
            if (msg.length != msg.header.length) {
                abort();
            }
            if (msg.length) {
                sink = sink ^ msg.payload[0] ^ msg.payload[msg.length - 1];
            }
        } else if (used != n) {
            abort();
        }
        pos += used;
    }
    return 0;
}

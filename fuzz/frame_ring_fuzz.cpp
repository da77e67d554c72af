// Drives a frame ring with an arbitrary sequence of writes, reads, clears and
// strategy changes, and the stream checks with arbitrary frames and
// timestamps. The ring must hand back exactly the frames it stored, intact
// and in order, with every stored byte either read or counted as dropped.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/logger.h"
#include "sdk/streaming/frame_ring_buffer.h"
#include "sdk/streaming/stream_check.h"

using namespace kestrel;

namespace {

void Quiet(int, const char*, int, const char*, ...) {}

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t U8() {
        if (!n)
            return 0;
        --n;
        return *p++;
    }
    uint32_t U16() { return U8() | (uint32_t{U8()} << 8); }
};

// Frame bytes that name their frame: a window into a fixed pattern, chosen by
// the frame's index, so no frame is filled or compared byte by byte.
constexpr unsigned kMaxLen = 65535;
const uint8_t* Pattern(uint64_t index) {
    static std::vector<uint8_t> pattern = [] {
        std::vector<uint8_t> p(kMaxLen + 251);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<uint8_t>(i * 7 + i / 251);
        return p;
    }();
    return pattern.data() + index % 251;
}

void RunRing(Reader& in) {
    FrameRingBuffer ring(1024u << (in.U8() % 7), "[fuzz]");
    uint64_t index = 1, last_read = 0, stored = 0, refused = 0, consumed = 0, dropped = 0;
    while (in.n) {
        uint8_t op = in.U8();
        switch (op % 6) {
            case 0:
            case 1:
            case 2: {
                unsigned len = in.U16();
                MediaSpecialInfo d{op % 3 == 2 ? 2u : 1u, 0, op % 3 == 0 ? 1u : 0u, 0, index};
                unsigned desc_len = op & 0x40 ? in.U8() : sizeof(d);
                int rc = ring.DataOneFrameIn(Pattern(index), len, &d, desc_len);
                const uint64_t total = len + 12 + sizeof(d);
                if (rc == 0 || rc == -9)
                    stored += total;
                // Refused frames count as dropped; a malformed call does not.
                else if (rc == -6 || rc == -7 || rc == -8 || (rc == -2 && desc_len == sizeof(d)))
                    refused += total;
                ++index;
                break;
            }
            case 3: {
                unsigned char* out;
                unsigned len;
                MediaSpecialInfo* desc;
                unsigned desc_len;
                int rc = ring.DataOneFrameOut(&out, &len, &desc, &desc_len);
                if (rc == -4)
                    break;
                if (rc != 0 || desc->index <= last_read)
                    abort();
                if (memcmp(out, Pattern(desc->index), len) != 0)
                    abort();
                last_read = desc->index;
                consumed += len + 12 + desc_len;
                break;
            }
            case 4:
                ring.CleanAllFrameData();
                break;
            default:
                ring.SetPackageDropStrategy(op & 0x10 ? 1 : 0);
                dropped += static_cast<uint64_t>(ring.GetFrameDropAndReset());
                break;
        }
        if (ring.GetDataUsed() > ring.GetSize())
            abort();
    }
    dropped += static_cast<uint64_t>(ring.GetFrameDropAndReset());
    if (stored + refused != consumed + dropped + ring.GetDataUsed())
        abort();
}

void RunChecks(Reader& in) {
    StreamCheckUnit unit;
    unit.SetServiceId(1);
    StreamCheckUnitInfo info;
    info.fps = in.U8();
    info.key_frame_interval = in.U16() * 8;
    unit.SetFrameInfo(info);
    while (in.n) {
        uint8_t op = in.U8();
        uint32_t ts = in.U16() * (op & 0x80 ? 64 : 1);
        if (op % 5 == 0) {
            unit.SetSeekTimestamp(ts);
        } else if (op % 5 == 1) {
            unit.SetPlayParam(op & 0x40, static_cast<double>(in.U8()) / 4);
        } else if (op % 5 == 2) {
            unit.CheckAudio(in.p, static_cast<unsigned>(in.n > 64 ? 64 : in.n), ts);
        } else {
            // The rest of the input is the frame: any length, any content.
            unsigned len = static_cast<unsigned>(in.n);
            unit.CheckVideo(op % 3, in.p, len, op % 5 == 3, ts);
            in.p += len / 2;
            in.n -= len / 2;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    logger_set_user_define(Quiet);
    if (size == 0)
        return 0;
    Reader in{data + 1, size - 1};
    if (data[0] & 1)
        RunChecks(in);
    else
        RunRing(in);
    return 0;
}

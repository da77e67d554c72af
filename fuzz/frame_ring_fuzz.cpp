// Drives a frame ring with an arbitrary sequence of writes, reads (copied, or
// peeked in place and released later), clears and strategy changes, and the
// stream checks with arbitrary frames and timestamps. The ring must hand back
// exactly the frames it stored, intact and in order, a peeked frame intact
// until it is released, with every stored byte either read or counted as
// dropped.
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

// The reader's peek as the ring should keep it: the same record, its bytes
// untouched by whatever the writer and the owner do until it is released.
struct Peek {
    bool on = false;
    const unsigned char* at = nullptr;
    unsigned len = 0;
    uint64_t index = 0;
};

// Takes the next record (copied, or peeked and released later); aborts on a
// record out of order or with bytes that are not the ones stored.
void ReadOne(FrameRingBuffer& ring, uint8_t op, Peek& peek, uint64_t& last_read,
             uint64_t& consumed) {
    const uint64_t overhead = 12 + sizeof(MediaSpecialInfo);
    if (op % 8 == 7) {
        if (peek.on)
            consumed += peek.len + overhead;
        peek.on = false;
        ring.ReleaseFrame();
        return;
    }
    if (op % 8 == 6) {
        const unsigned char* at;
        unsigned len;
        MediaSpecialInfo d;
        int rc = ring.PeekFrame(&at, &len, &d);
        if (rc == -4)
            return;
        if (rc != 0 || (peek.on ? d.index != peek.index || at != peek.at : d.index <= last_read))
            abort();
        peek = Peek{true, at, len, d.index};
        last_read = d.index;
        return;
    }
    unsigned char* out;
    unsigned len;
    MediaSpecialInfo* desc;
    unsigned desc_len;
    int rc = ring.DataOneFrameOut(&out, &len, &desc, &desc_len);
    if (rc == -4)
        return;
    // A peeked record is the next one: the copying reader takes it.
    if (rc != 0 || (peek.on ? desc->index != peek.index : desc->index <= last_read))
        abort();
    if (memcmp(out, Pattern(desc->index), len) != 0)
        abort();
    peek.on = false;
    last_read = desc->index;
    consumed += len + overhead;
}

void RunRing(Reader& in) {
    FrameRingBuffer ring(1024u << (in.U8() % 7), "[fuzz]");
    uint64_t index = 1, last_read = 0, stored = 0, refused = 0, consumed = 0, dropped = 0;
    Peek peek;
    while (in.n) {
        uint8_t op = in.U8();
        switch (op % 8) {
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
            case 4:
                ring.CleanAllFrameData();
                break;
            case 5:
                ring.SetPackageDropStrategy(op & 0x10 ? 1 : 0);
                dropped += static_cast<uint64_t>(ring.GetFrameDropAndReset());
                break;
            default:
                ReadOne(ring, op, peek, last_read, consumed);
                break;
        }
        if (ring.GetDataUsed() > ring.GetSize())
            abort();
        if (peek.on && memcmp(peek.at, Pattern(peek.index), peek.len) != 0)
            abort();
    }
    dropped += static_cast<uint64_t>(ring.GetFrameDropAndReset());
    if (stored + refused != consumed + dropped + ring.GetRecordBytes())
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

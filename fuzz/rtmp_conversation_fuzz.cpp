// Whole server conversations against the client session, handshake
// included, cut into reads of the sizes the input chooses and handled the
// way the connection does: a bounded batch of events per pass, polled
// before the rest of the read is fed.
#include <cstdint>
#include <cstdlib>

#include "proto/rtmp_session.h"

using namespace kestrel;

// Byte 0: handshake mode, play or publish, transcode. Then reads, each a
// 16-bit length and that many bytes (the last one takes what is left).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) {
        return 0;
    }
    RtmpSession session;
    RtmpSessionConfig cfg;
    cfg.app = "live";
    cfg.stream = "s";
    cfg.tc_url = "rtmp://h/live";
    cfg.private_mode = input[0] & 1;
    cfg.publish = (input[0] >> 1) & 3;
    cfg.transcode = (input[0] >> 3) & 1;
    if (session.Configure(cfg) != 0 || session.Start(0, nullptr) != 0) {
        abort();
    }
    session.Output().clear();
    size_t pos = 1;
    const uint8_t frame[16] = {0x17, 1, 0, 0, 0, 0, 0, 0, 5, 0x65, 1, 2, 3, 4, 5};
    while (pos < size) {
        size_t len = size - pos;
        if (len > 2) {
            size_t want = static_cast<size_t>(input[pos]) << 8 | input[pos + 1];
            pos += 2;
            len = want < size - pos ? want : size - pos;
        }
        const uint8_t* read = input + pos;
        pos += len;
        size_t done = 0;
        while (done < len) {
            size_t used = 0;
            int rc = session.InputSome(read + done, len - done, 0, &used);
            if (rc < 0) {
                return 0;  // final: the connection would close
            }
            done += used;
            RtmpEvent ev;
            size_t events = 0;
            while (session.PollEvent(&ev)) {
                if (ev.kind == RTMP_EVENT_AUDIO && ev.data.size() < 2) {
                    abort();  // refused media must never become an event
                }
                ++events;
            }
            if (events > RtmpSession::kMaxPendingEvents) {
                abort();  // a pass did unbounded work
            }
            if (used == 0 && events == 0) {
                abort();  // no progress and nothing to hand on
            }
        }
        if (session.StreamId() != 0) {
            session.PushMedia(RTMP_CHANNEL_MEDIA, RTMP_TYPE_VIDEO, frame, sizeof frame, 0);
        }
        session.Output().clear();
    }
    return 0;
}

// RTMP chunk stream: cutting outgoing messages into chunks with compressed
// headers, reassembling incoming chunks into messages, and the ready-made
// protocol-control messages. The reader trusts nothing the peer sends: a
// header in the middle of a message, an unknown chunk stream, an oversize
// message or a ninth chunk stream ends the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "proto/io_pieces.h"

namespace kestrel {

enum RTMPMessageTypeId : uint8_t {
    RTMP_TYPE_SET_CHUNK_SIZE = 1,
    RTMP_TYPE_ABORT = 2,
    RTMP_TYPE_ACKNOWLEDGEMENT = 3,
    RTMP_TYPE_EVENT = 4,
    RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE = 5,
    RTMP_TYPE_SET_PEER_BANDWIDTH = 6,
    RTMP_TYPE_AUDIO = 8,
    RTMP_TYPE_VIDEO = 9,
    RTMP_TYPE_FLEX_STREAM = 15,
    RTMP_TYPE_FLEX_OBJECT = 16,
    RTMP_TYPE_FLEX_MESSAGE = 17,
    RTMP_TYPE_DATA = 18,
    RTMP_TYPE_SHARED_OBJECT = 19,
    RTMP_TYPE_INVOKE = 20,
    RTMP_TYPE_METADATA = 22,
};

enum RtmpChunkType : uint8_t {
    RTMP_CHUNK_TYPE_0 = 0,  // full header
    RTMP_CHUNK_TYPE_1 = 1,  // same stream id
    RTMP_CHUNK_TYPE_2 = 2,  // timestamp delta only
    RTMP_CHUNK_TYPE_3 = 3,  // no header
};

// Chunk streams this client sends on.
enum rtmp_channel_t : uint32_t {
    RTMP_CHANNEL_PROTOCOL = 2,
    RTMP_CHANNEL_INVOKE = 3,
    RTMP_CHANNEL_MEDIA = 4,
    RTMP_CHANNEL_5 = 5,
    RTMP_CHANNEL_6 = 6,
};

enum RtmpChunkResult {
    RTMP_CHUNK_NEED_MORE = 0,       // every byte consumed, no message complete
    RTMP_CHUNK_MESSAGE = 1,         // a message is complete
    RTMP_CHUNK_BAD_ARGUMENT = -22,  // caller passed an unusable value
    RTMP_CHUNK_MALFORMED = -2,      // header mid-message, unknown chunk stream
    RTMP_CHUNK_TOO_MANY_STREAMS = -3,
    RTMP_CHUNK_TOO_LONG = -4,  // message longer than the reader accepts
};

constexpr uint32_t RTMP_CHUNK_SIZE_DEFAULT = 128;
constexpr uint32_t RTMP_CHUNK_SIZE_MIN = 64;
constexpr uint32_t RTMP_CHUNK_SIZE_MAX = 0x800000;
constexpr uint32_t RTMP_TIMESTAMP_EXTENDED = 0xFFFFFF;
constexpr uint32_t RTMP_CID_MAX = 65535 + 64;
// Only commands, control messages and audio come in; they are small.
constexpr uint32_t RTMP_INBOUND_MESSAGE_MAX = 256 * 1024;

struct rtmp_chunk_header_t {
    uint8_t fmt = 0;
    uint32_t cid = 0;
    uint32_t timestamp = 0;  // absolute or delta, by fmt
    uint32_t length = 0;
    uint8_t type = 0;
    uint32_t stream_id = 0;
};

// Basic header: 1, 2 or 3 bytes; the writer returns the size (0 for a cid
// outside 2..65599), the reader the bytes used (0 when more are needed).
size_t rtmp_chunk_basic_header_write(uint8_t* out, uint8_t fmt, uint32_t cid);
size_t rtmp_chunk_basic_header_read(const uint8_t* in, size_t len, uint8_t* fmt, uint32_t* cid);
// Message header of 11, 7, 3 or 0 bytes by fmt; a timestamp field from
// 0xFFFFFF on is written as 0xFFFFFF (the caller adds the extended one).
size_t rtmp_chunk_message_header_write(uint8_t* out, const rtmp_chunk_header_t& h);
size_t rtmp_chunk_message_header_size(uint8_t fmt);

// One whole control message on chunk stream 2; total length, or 0 when
// `len` is too short.
size_t rtmp_set_chunk_size(uint8_t* buf, size_t len, uint32_t size);               // 16
size_t rtmp_acknowledgement(uint8_t* buf, size_t len, uint32_t sequence);          // 16
size_t rtmp_window_acknowledgement_size(uint8_t* buf, size_t len, uint32_t size);  // 16
size_t rtmp_event_set_buffer_length(uint8_t* buf, size_t len, uint32_t stream_id,
                                    uint32_t ms);                      // 22
size_t rtmp_event_pong(uint8_t* buf, size_t len, uint32_t timestamp);  // 18

class RtmpChunkWriter {
  public:
    void SetChunkSize(uint32_t size) { chunk_size_ = size; }
    uint32_t ChunkSize() const { return chunk_size_; }
    // Appends the whole message, chunked, to *out: 0, or
    // RTMP_CHUNK_BAD_ARGUMENT (fmt other than 0/1, cid outside 2..6, length
    // from 0xFFFFFF on, no payload). An empty message appends nothing. With
    // fmt 1 the header is compressed against the stream's last message.
    int Write(const rtmp_chunk_header_t& header, const uint8_t* payload, std::vector<uint8_t>* out);
    // The same message with its payload in pieces [first, first + count) of
    // `body` (header.length bytes in all): the chunk headers go into out's
    // arena, the payload is split at the chunk boundaries by reference, so
    // the wire bytes equal Write's without a copy of the payload. The
    // continuation header is built once and repeated. A payload piece is as
    // transient in *out as it was in `body` (arena pieces of `body` become
    // transient spans: `body` must stay unchanged while *out is used).
    int WritePieces(const rtmp_chunk_header_t& header, const IoPieces& body, size_t first,
                    size_t count, IoPieces* out);

  private:
    // Checks the header, compresses it against the chunk stream's last
    // message and records this one; the result goes to *h.
    int Prepare(const rtmp_chunk_header_t& in, bool has_payload, rtmp_chunk_header_t* h);

    struct Slot {
        bool used = false;
        rtmp_chunk_header_t header;
        uint32_t clock = 0;
        uint32_t delta = 0;
    };
    uint32_t chunk_size_ = RTMP_CHUNK_SIZE_DEFAULT;
    Slot slots_[RTMP_CHANNEL_6 + 1];
};

struct rtmp_message_t {
    rtmp_chunk_header_t header;  // timestamp absolute
    const uint8_t* payload = nullptr;
    size_t length = 0;
};

class RtmpChunkReader {
  public:
    explicit RtmpChunkReader(uint32_t max_message = RTMP_INBOUND_MESSAGE_MAX)
        : max_message_(max_message) {}
    // 0, or RTMP_CHUNK_BAD_ARGUMENT outside 64..0x800000. Applies from the
    // next chunk on.
    int SetChunkSize(uint32_t size);
    uint32_t ChunkSize() const { return chunk_size_; }
    // Consumes input until a message is complete (RTMP_CHUNK_MESSAGE, *msg
    // valid until the next call) or the input ends (RTMP_CHUNK_NEED_MORE).
    // *used says how far it got either way. A negative result is final: the
    // stream is out of sync.
    int Read(const uint8_t* data, size_t len, size_t* used, rtmp_message_t* msg);

  private:
    enum State { INIT, HEADER, EXTENDED, PAYLOAD };
    struct Slot {
        rtmp_chunk_header_t header;  // cid 0: free
        uint32_t ts_field = 0;       // last 3-byte timestamp field seen
        uint32_t clock = 0;
        uint32_t delta = 0;
        size_t bytes = 0;  // of the current message
        std::vector<uint8_t> payload;
    };
    Slot* Find(uint32_t cid);
    int OnHeader();
    int OnMessageStart();
    int Fail(int code);

    uint32_t chunk_size_ = RTMP_CHUNK_SIZE_DEFAULT;
    uint32_t max_message_;
    State state_ = INIT;
    uint8_t hdr_[18] = {};
    size_t have_ = 0;
    size_t need_ = 0;
    size_t chunk_left_ = 0;
    uint8_t fmt_ = 0;
    Slot* pkt_ = nullptr;
    Slot* delivered_ = nullptr;  // its buffer is released on the next call
    int error_ = 0;
    Slot slots_[8];
};

}  // namespace kestrel

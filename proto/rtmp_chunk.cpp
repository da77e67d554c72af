#include "proto/rtmp_chunk.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// A slot keeps at most this much buffer between messages, so a peer cannot
// pin large allocations for the life of the connection.
constexpr size_t kSlotKeep = 4096;

void PutBe(uint8_t* p, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        *p++ = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t GetBe(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

size_t BasicSize(uint8_t first) {
    uint8_t low = first & 0x3F;
    return low == 0 ? 2 : low == 1 ? 3 : 1;
}

size_t ControlMessage(uint8_t* buf, size_t len, uint8_t type, const uint8_t* payload,
                      uint32_t payload_len) {
    if (len < 12 + payload_len) {
        return 0;
    }
    rtmp_chunk_header_t h;
    h.cid = RTMP_CHANNEL_PROTOCOL;
    h.length = payload_len;
    h.type = type;
    size_t n = rtmp_chunk_basic_header_write(buf, 0, h.cid);
    n += rtmp_chunk_message_header_write(buf + n, h);
    std::memcpy(buf + n, payload, payload_len);
    return n + payload_len;
}

size_t Control32(uint8_t* buf, size_t len, uint8_t type, uint32_t value) {
    uint8_t payload[4];
    PutBe(payload, value, 4);
    return ControlMessage(buf, len, type, payload, sizeof payload);
}

}  // namespace

size_t rtmp_chunk_basic_header_write(uint8_t* out, uint8_t fmt, uint32_t cid) {
    if (cid < 2 || cid > RTMP_CID_MAX) {
        return 0;
    }
    uint8_t high = static_cast<uint8_t>(fmt << 6);
    if (cid < 64) {
        out[0] = static_cast<uint8_t>(high | cid);
        return 1;
    }
    uint32_t rest = cid - 64;
    if (cid < 319) {
        out[0] = high;
        out[1] = static_cast<uint8_t>(rest);
        return 2;
    }
    out[0] = static_cast<uint8_t>(high | 1);
    out[1] = static_cast<uint8_t>(rest & 0xFF);
    out[2] = static_cast<uint8_t>(rest >> 8);
    return 3;
}

size_t rtmp_chunk_basic_header_read(const uint8_t* in, size_t len, uint8_t* fmt, uint32_t* cid) {
    if (len < 1 || len < BasicSize(in[0])) {
        return 0;
    }
    *fmt = in[0] >> 6;
    switch (BasicSize(in[0])) {
        case 1:
            *cid = in[0] & 0x3F;
            return 1;
        case 2:
            *cid = 64u + in[1];
            return 2;
        default:
            *cid = 64u + in[1] + (static_cast<uint32_t>(in[2]) << 8);
            return 3;
    }
}

size_t rtmp_chunk_message_header_size(uint8_t fmt) {
    static const size_t kSizes[4] = {11, 7, 3, 0};
    return kSizes[fmt & 3];
}

size_t rtmp_chunk_message_header_write(uint8_t* out, const rtmp_chunk_header_t& h) {
    size_t n = rtmp_chunk_message_header_size(h.fmt);
    if (n >= 3) {
        PutBe(out, std::min(h.timestamp, RTMP_TIMESTAMP_EXTENDED), 3);
    }
    if (n >= 7) {
        PutBe(out + 3, h.length, 3);
        out[6] = h.type;
    }
    if (n == 11) {
        for (int i = 0; i < 4; ++i) {  // little-endian on the wire
            out[7 + i] = static_cast<uint8_t>(h.stream_id >> (8 * i));
        }
    }
    return n;
}

size_t rtmp_set_chunk_size(uint8_t* buf, size_t len, uint32_t size) {
    return Control32(buf, len, RTMP_TYPE_SET_CHUNK_SIZE, size & 0x7FFFFFFF);
}

size_t rtmp_acknowledgement(uint8_t* buf, size_t len, uint32_t sequence) {
    return Control32(buf, len, RTMP_TYPE_ACKNOWLEDGEMENT, sequence);
}

size_t rtmp_window_acknowledgement_size(uint8_t* buf, size_t len, uint32_t size) {
    return Control32(buf, len, RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE, size);
}

size_t rtmp_event_set_buffer_length(uint8_t* buf, size_t len, uint32_t stream_id, uint32_t ms) {
    uint8_t payload[10];
    PutBe(payload, 3, 2);
    PutBe(payload + 2, stream_id, 4);
    PutBe(payload + 6, ms, 4);
    return ControlMessage(buf, len, RTMP_TYPE_EVENT, payload, sizeof payload);
}

size_t rtmp_event_pong(uint8_t* buf, size_t len, uint32_t timestamp) {
    uint8_t payload[6];
    PutBe(payload, 7, 2);
    PutBe(payload + 2, timestamp, 4);
    return ControlMessage(buf, len, RTMP_TYPE_EVENT, payload, sizeof payload);
}

int RtmpChunkWriter::Prepare(const rtmp_chunk_header_t& in, bool has_payload,
                             rtmp_chunk_header_t* out) {
    if ((in.fmt != RTMP_CHUNK_TYPE_0 && in.fmt != RTMP_CHUNK_TYPE_1) || in.cid < 2 ||
        in.cid > RTMP_CHANNEL_6 || in.length >= RTMP_TIMESTAMP_EXTENDED ||
        (in.length && !has_payload)) {
        return RTMP_CHUNK_BAD_ARGUMENT;
    }
    if (in.length == 0) {
        return 0;
    }
    Slot& slot = slots_[in.cid];
    rtmp_chunk_header_t h = in;
    uint32_t delta = 0;
    if (in.fmt == RTMP_CHUNK_TYPE_1 && slot.used && in.timestamp >= slot.clock &&
        in.stream_id == slot.header.stream_id) {
        delta = in.timestamp - slot.clock;
        h.timestamp = delta;
        bool same_shape = in.type == slot.header.type && in.length == slot.header.length;
        h.fmt = !same_shape           ? RTMP_CHUNK_TYPE_1
                : delta != slot.delta ? RTMP_CHUNK_TYPE_2
                                      : RTMP_CHUNK_TYPE_3;
    } else {
        h.fmt = RTMP_CHUNK_TYPE_0;
    }
    slot.used = true;
    slot.header = in;
    slot.clock = in.timestamp;
    slot.delta = delta;
    *out = h;
    return 0;
}

namespace {

// The first chunk's header, or (fmt 3) the one every continuation repeats.
// The timestamp field of the first chunk decides whether every chunk of the
// message carries the extended timestamp, continuations included.
size_t ChunkHeader(uint8_t* head, const rtmp_chunk_header_t& h, uint32_t first_timestamp) {
    size_t n = rtmp_chunk_basic_header_write(head, h.fmt, h.cid);
    n += rtmp_chunk_message_header_write(head + n, h);
    if (first_timestamp >= RTMP_TIMESTAMP_EXTENDED) {
        PutBe(head + n, first_timestamp, 4);
        n += 4;
    }
    return n;
}

}  // namespace

int RtmpChunkWriter::Write(const rtmp_chunk_header_t& in, const uint8_t* payload,
                           std::vector<uint8_t>* out) {
    if (!out) {
        return RTMP_CHUNK_BAD_ARGUMENT;
    }
    rtmp_chunk_header_t h;
    int r = Prepare(in, payload != nullptr, &h);
    if (r != 0 || in.length == 0) {
        return r;
    }
    const uint32_t first_timestamp = h.timestamp;
    uint8_t head[18];
    size_t chunks = (in.length + chunk_size_ - 1) / chunk_size_;
    out->reserve(out->size() + in.length + chunks * 8 + 18);
    for (uint32_t sent = 0; sent < in.length;) {
        size_t n = ChunkHeader(head, h, first_timestamp);
        uint32_t part = std::min(in.length - sent, chunk_size_);
        out->insert(out->end(), head, head + n);
        out->insert(out->end(), payload + sent, payload + sent + part);
        sent += part;
        h.fmt = RTMP_CHUNK_TYPE_3;
    }
    return 0;
}

int RtmpChunkWriter::WritePieces(const rtmp_chunk_header_t& in, const IoPieces& body,
                                 size_t first, size_t count, IoPieces* out) {
    size_t have = 0;
    bool fits = out && first <= body.Count() && count <= body.Count() - first;
    for (size_t i = first; fits && i < first + count; ++i) {
        have += body.At(i).len;
    }
    if (!fits || have != in.length) {
        return RTMP_CHUNK_BAD_ARGUMENT;
    }
    rtmp_chunk_header_t h;
    int r = Prepare(in, count > 0, &h);
    if (r != 0 || in.length == 0) {
        return r;
    }
    const uint32_t first_timestamp = h.timestamp;
    uint8_t head[18];
    out->Break();
    out->AddOwn(head, ChunkHeader(head, h, first_timestamp));
    h.fmt = RTMP_CHUNK_TYPE_3;
    size_t cont_at = 0;
    size_t cont_len = 0;
    if (in.length > chunk_size_) {
        // Written once; every later chunk boundary points at the same bytes.
        cont_len = ChunkHeader(head, h, first_timestamp);
        cont_at = out->Stash(head, cont_len);
    }
    IoPieces& o = *out;
    uint32_t chunk_left = chunk_size_;
    for (size_t i = first; i < first + count; ++i) {
        const IoPieces::Piece& p = body.At(i);
        const uint8_t* d = body.Data(i);
        bool transient = p.transient || p.in_arena;
        size_t at = 0;
        while (at < p.len) {
            if (chunk_left == 0) {
                o.AddArena(cont_at, cont_len);
                chunk_left = chunk_size_;
            }
            size_t part = std::min<size_t>(p.len - at, chunk_left);
            o.AddSpan(d + at, part, transient);
            at += part;
            chunk_left -= static_cast<uint32_t>(part);
        }
    }
    return 0;
}

int RtmpChunkReader::SetChunkSize(uint32_t size) {
    if (size < RTMP_CHUNK_SIZE_MIN || size > RTMP_CHUNK_SIZE_MAX) {
        return RTMP_CHUNK_BAD_ARGUMENT;
    }
    chunk_size_ = size;
    return 0;
}

RtmpChunkReader::Slot* RtmpChunkReader::Find(uint32_t cid) {
    for (uint32_t i = 0; i < 8; ++i) {
        Slot& s = slots_[(cid + i) & 7];
        if (s.header.cid == cid) {
            return &s;
        }
    }
    return nullptr;
}

int RtmpChunkReader::Fail(int code) {
    error_ = code;
    return code;
}

int RtmpChunkReader::OnHeader() {
    uint8_t fmt;
    uint32_t cid;
    size_t n = rtmp_chunk_basic_header_read(hdr_, have_, &fmt, &cid);
    Slot* slot = Find(cid);
    if (!slot) {
        if (fmt > RTMP_CHUNK_TYPE_1) {
            return Fail(RTMP_CHUNK_MALFORMED);
        }
        for (uint32_t i = 0; i < 8 && !slot; ++i) {
            if (slots_[(cid + i) & 7].header.cid == 0) {
                slot = &slots_[(cid + i) & 7];
            }
        }
        if (!slot) {
            return Fail(RTMP_CHUNK_TOO_MANY_STREAMS);
        }
        slot->header = rtmp_chunk_header_t();
        slot->header.cid = cid;
    } else if (slot->bytes > 0 && fmt != RTMP_CHUNK_TYPE_3) {
        // A new header would change the length of a message half received.
        return Fail(RTMP_CHUNK_MALFORMED);
    }
    const uint8_t* p = hdr_ + n;
    slot->header.fmt = fmt;
    if (fmt <= RTMP_CHUNK_TYPE_2) {
        slot->ts_field = GetBe(p, 3);
        slot->header.timestamp = slot->ts_field;
    }
    if (fmt <= RTMP_CHUNK_TYPE_1) {
        slot->header.length = GetBe(p + 3, 3);
        slot->header.type = p[6];
    }
    if (fmt == RTMP_CHUNK_TYPE_0) {
        slot->header.stream_id = static_cast<uint32_t>(p[7]) | static_cast<uint32_t>(p[8]) << 8 |
                                 static_cast<uint32_t>(p[9]) << 16 |
                                 static_cast<uint32_t>(p[10]) << 24;
    }
    pkt_ = slot;
    fmt_ = fmt;
    if (slot->ts_field == RTMP_TIMESTAMP_EXTENDED) {
        state_ = EXTENDED;
        need_ = have_ + 4;
        return 0;
    }
    return OnMessageStart();
}

int RtmpChunkReader::OnMessageStart() {
    Slot* s = pkt_;
    if (s->ts_field == RTMP_TIMESTAMP_EXTENDED && fmt_ != RTMP_CHUNK_TYPE_3) {
        s->header.timestamp = GetBe(hdr_ + have_ - 4, 4);
    }
    if (s->bytes == 0) {
        uint32_t ts = s->header.timestamp;
        if (fmt_ == RTMP_CHUNK_TYPE_0) {
            s->clock = ts;
            s->delta = 0;
        } else if (fmt_ != RTMP_CHUNK_TYPE_3) {
            s->delta = ts;
        }
        if (s->header.length > max_message_) {
            return Fail(RTMP_CHUNK_TOO_LONG);
        }
        s->payload.resize(s->header.length);
    }
    chunk_left_ = std::min<size_t>(chunk_size_, s->header.length - s->bytes);
    state_ = PAYLOAD;
    return 0;
}

int RtmpChunkReader::Read(const uint8_t* data, size_t len, size_t* used, rtmp_message_t* msg) {
    *used = 0;
    if (error_) {
        return error_;
    }
    if (delivered_) {
        if (delivered_->payload.capacity() > kSlotKeep) {
            std::vector<uint8_t>().swap(delivered_->payload);
        }
        delivered_ = nullptr;
    }
    size_t pos = 0;
    while (pos < len || state_ == PAYLOAD) {
        int rc = 0;
        switch (state_) {
            case INIT:
                hdr_[0] = data[pos++];
                have_ = 1;
                need_ = BasicSize(hdr_[0]) + rtmp_chunk_message_header_size(hdr_[0] >> 6);
                state_ = HEADER;
                if (have_ == need_) {
                    rc = OnHeader();
                }
                break;
            case HEADER:
            case EXTENDED: {
                size_t n = std::min(need_ - have_, len - pos);
                std::memcpy(hdr_ + have_, data + pos, n);
                have_ += n;
                pos += n;
                if (have_ == need_) {
                    rc = state_ == HEADER ? OnHeader() : OnMessageStart();
                }
                break;
            }
            case PAYLOAD: {
                Slot* s = pkt_;
                size_t n = std::min(chunk_left_, len - pos);
                if (n) {
                    std::memcpy(s->payload.data() + s->bytes, data + pos, n);
                }
                s->bytes += n;
                pos += n;
                chunk_left_ -= n;
                if (chunk_left_ > 0) {
                    break;  // input exhausted
                }
                state_ = INIT;
                if (s->bytes == s->header.length) {
                    s->bytes = 0;
                    s->clock += s->delta;
                    msg->header = s->header;
                    msg->header.timestamp = s->clock;
                    msg->payload = s->payload.data();
                    msg->length = s->header.length;
                    delivered_ = s;
                    *used = pos;
                    return RTMP_CHUNK_MESSAGE;
                }
                break;
            }
        }
        if (rc < 0) {
            *used = pos;
            return rc;
        }
        if (state_ == PAYLOAD && chunk_left_ > 0 && pos == len) {
            break;
        }
    }
    *used = pos;
    return RTMP_CHUNK_NEED_MORE;
}

}  // namespace kestrel

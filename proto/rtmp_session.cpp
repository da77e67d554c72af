#include "proto/rtmp_session.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

constexpr uint32_t kPrivateChunkSize = 60000;
constexpr uint32_t kPublishChunkSize = 65536;

uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

int RtmpSession::Configure(const RtmpSessionConfig& config) {
    if (handshake_ != kIdle) {
        return RTMP_SESSION_BAD_STATE;
    }
    if (config.app.empty() || config.stream.empty() || config.app.size() > RTMP_NAME_MAX ||
        config.stream.size() > RTMP_NAME_MAX || config.tc_url.size() > RTMP_NAME_MAX) {
        return RTMP_SESSION_BAD_ARGUMENT;
    }
    config_ = config;
    connect_ = rtmp_connect_t();
    connect_.app = config.app;
    connect_.tc_url = config.tc_url;
    configured_ = true;
    return RTMP_SESSION_OK;
}

int RtmpSession::Fail(int code, const std::string& why) {
    error_ = why;
    return code;
}

void RtmpSession::SendRaw(const uint8_t* data, size_t len) {
    out_.insert(out_.end(), data, data + len);
}

int RtmpSession::SendCommand(uint32_t stream_id, uint8_t* end_of_body) {
    if (!end_of_body) {
        return Fail(RTMP_SESSION_BAD_ARGUMENT, "command does not fit its buffer");
    }
    rtmp_chunk_header_t h;
    h.cid = RTMP_CHANNEL_INVOKE;
    h.type = RTMP_TYPE_INVOKE;
    h.stream_id = stream_id;
    h.length = static_cast<uint32_t>(end_of_body - scratch_);
    return writer_.Write(h, scratch_, &out_) == 0 ? RTMP_SESSION_OK : RTMP_SESSION_BAD_ARGUMENT;
}

int RtmpSession::Start(uint32_t now_s, const uint8_t* random) {
    if (!configured_ || handshake_ != kIdle) {
        return Fail(RTMP_SESSION_BAD_STATE, "session not configured or already started");
    }
    uint8_t hello[1 + RTMP_HANDSHAKE_SIZE];
    rtmp_handshake_c0(hello, config_.private_mode ? RTMP_PRIVATE_VERSION : RTMP_VERSION);
    rtmp_handshake_c1(hello + 1, now_s, random);
    SendRaw(hello, sizeof hello);
    handshake_ = kS0;
    if (!config_.private_mode) {
        return RTMP_SESSION_OK;
    }
    // The private server takes the whole sequence before answering, with
    // both sides at a chunk size agreed in advance.
    reader_.SetChunkSize(kPrivateChunkSize);
    writer_.SetChunkSize(kPrivateChunkSize);
    uint8_t* end = scratch_ + sizeof scratch_;
    int rc = SendCommand(0, rtmp_command_connect(scratch_, end, connect_));
    stream_id_ = 1;
    if (rc == 0 && config_.publish == 0) {
        rc = SendCommand(stream_id_, rtmp_command_publish(scratch_, end, config_.stream));
    } else if (rc == 0) {
        if (config_.transcode == 1) {
            rc = SendRequestAudioType(1);
        }
        if (rc == 0) {
            rc = SendCommand(stream_id_, rtmp_command_play(scratch_, end, config_.stream));
        }
    }
    if (rc == 0) {
        RtmpEvent ev;
        ev.kind = RTMP_EVENT_STREAM_CREATED;
        events_.push_back(ev);
    }
    return rc;
}

int RtmpSession::SendRequestAudioType(int type) {
    if (!configured_) {
        return Fail(RTMP_SESSION_BAD_STATE, "session not configured");
    }
    return SendCommand(stream_id_,
                       rtmp_command_request_audio_type(scratch_, scratch_ + sizeof scratch_, type));
}

// The header of one media message on the publishing stream, once the
// session and the length allow it.
int RtmpSession::mediaHeader(uint32_t channel, uint8_t type, size_t len, uint32_t timestamp,
                             rtmp_chunk_header_t* h) {
    if (stream_id_ == 0) {
        return Fail(RTMP_SESSION_NO_STREAM, "no stream yet");
    }
    if (len >= RTMP_TIMESTAMP_EXTENDED) {
        return Fail(RTMP_SESSION_BAD_ARGUMENT, "message too long");
    }
    h->cid = channel;
    h->type = type;
    h->timestamp = timestamp;
    h->length = static_cast<uint32_t>(len);
    h->stream_id = stream_id_;
    return RTMP_SESSION_OK;
}

int RtmpSession::PushMedia(uint32_t channel, uint8_t type, const uint8_t* data, size_t len,
                           uint32_t timestamp) {
    rtmp_chunk_header_t h;
    int rc = mediaHeader(channel, type, len, timestamp, &h);
    if (rc != RTMP_SESSION_OK) {
        return rc;
    }
    if (writer_.Write(h, data, &out_) != 0) {
        return Fail(RTMP_SESSION_BAD_ARGUMENT, "bad chunk stream or payload");
    }
    return RTMP_SESSION_OK;
}

int RtmpSession::PushMediaPieces(uint32_t channel, uint8_t type, const IoPieces& body,
                                 size_t first, size_t count, size_t len, uint32_t timestamp,
                                 IoPieces* out) {
    rtmp_chunk_header_t h;
    int rc = mediaHeader(channel, type, len, timestamp, &h);
    if (rc != RTMP_SESSION_OK) {
        return rc;
    }
    if (writer_.WritePieces(h, body, first, count, out) != 0) {
        return Fail(RTMP_SESSION_BAD_ARGUMENT, "bad chunk stream or payload");
    }
    return RTMP_SESSION_OK;
}

bool RtmpSession::PollEvent(RtmpEvent* event) {
    if (events_.empty()) {
        return false;
    }
    *event = std::move(events_.front());
    events_.pop_front();
    return true;
}

int RtmpSession::OnHandshake(const uint8_t* data, size_t len, size_t* used, uint32_t now_s) {
    size_t pos = 0;
    if (handshake_ == kS0 && pos < len) {
        uint8_t v = data[pos++];
        if (v != RTMP_VERSION && !(config_.private_mode && v == RTMP_PRIVATE_VERSION)) {
            *used = pos;
            return Fail(RTMP_SESSION_FAILED, "server answered with version " + std::to_string(v));
        }
        handshake_ = kS1;
    }
    if (handshake_ == kS1 && pos < len) {
        size_t n = std::min(RTMP_HANDSHAKE_SIZE - s1_.size(), len - pos);
        s1_.insert(s1_.end(), data + pos, data + pos + n);
        pos += n;
        if (s1_.size() == RTMP_HANDSHAKE_SIZE) {
            if (config_.private_mode) {
                handshake_ = kDone;
            } else {
                uint8_t c2[RTMP_HANDSHAKE_SIZE];
                rtmp_handshake_c2(c2, now_s, s1_.data(), s1_.size());
                SendRaw(c2, sizeof c2);
                handshake_ = kS2;
            }
            std::vector<uint8_t>().swap(s1_);
        }
    }
    if (handshake_ == kS2 && pos < len) {
        size_t n = std::min(RTMP_HANDSHAKE_SIZE - s2_bytes_, len - pos);
        s2_bytes_ += n;
        pos += n;
        if (s2_bytes_ == RTMP_HANDSHAKE_SIZE) {
            handshake_ = kDone;
            *used = pos;
            return SendCommand(
                0, rtmp_command_connect(scratch_, scratch_ + sizeof scratch_, connect_));
        }
    }
    *used = pos;
    return RTMP_SESSION_OK;
}

int RtmpSession::Input(const uint8_t* data, size_t len, uint32_t now_s) {
    size_t used = 0;
    return Read(data, len, now_s, &used, SIZE_MAX);
}

int RtmpSession::InputSome(const uint8_t* data, size_t len, uint32_t now_s, size_t* used) {
    return Read(data, len, now_s, used, kMaxPendingEvents);
}

int RtmpSession::Read(const uint8_t* data, size_t len, uint32_t now_s, size_t* consumed,
                      size_t max_events) {
    *consumed = 0;
    if (handshake_ == kIdle) {
        return Fail(RTMP_SESSION_BAD_STATE, "input before start");
    }
    size_t pos = 0;
    while (pos < len && events_.size() < max_events) {
        size_t used = 0;
        int rc;
        if (handshake_ != kDone) {
            rc = OnHandshake(data + pos, len - pos, &used, now_s);
        } else {
            rtmp_message_t msg;
            rc = reader_.Read(data + pos, len - pos, &used, &msg);
            if (rc == RTMP_CHUNK_MESSAGE) {
                rc = OnMessage(msg);
            } else if (rc < 0) {
                rc = Fail(rc, "chunk stream out of sync (" + std::to_string(rc) + ")");
            }
        }
        pos += used;
        *consumed = pos;
        Acknowledge(used);
        if (rc < 0) {
            return rc;
        }
    }
    return RTMP_SESSION_OK;
}

void RtmpSession::Acknowledge(size_t bytes) {
    received_ += bytes;
    if (received_ - acked_ < window_size_) {
        return;
    }
    uint8_t buf[16];
    // The sequence number wraps like every RTMP counter.
    SendRaw(buf, rtmp_acknowledgement(buf, sizeof buf, static_cast<uint32_t>(received_)));
    acked_ = received_;
}

int RtmpSession::OnMessage(const rtmp_message_t& msg) {
    switch (msg.header.type) {
        case RTMP_TYPE_SET_CHUNK_SIZE:
        case RTMP_TYPE_ABORT:
        case RTMP_TYPE_ACKNOWLEDGEMENT:
        case RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE:
        case RTMP_TYPE_SET_PEER_BANDWIDTH:
            return OnControl(msg);
        case RTMP_TYPE_EVENT:
            return OnUserControl(msg);
        case RTMP_TYPE_AUDIO: {
            // A tag header alone (or nothing) carries no sound: refused
            // here so that a flood of them costs neither events nor lines.
            if (msg.length < 2) {
                ++unusable_run_;
                ++unusable_total_;
                return RTMP_SESSION_OK;
            }
            unusable_run_ = 0;
            RtmpEvent ev;
            ev.kind = RTMP_EVENT_AUDIO;
            ev.timestamp = msg.header.timestamp;
            ev.data.assign(msg.payload, msg.payload + msg.length);
            events_.push_back(std::move(ev));
            return RTMP_SESSION_OK;
        }
        case RTMP_TYPE_VIDEO:
        case RTMP_TYPE_FLEX_STREAM:
        case RTMP_TYPE_DATA:
        case RTMP_TYPE_FLEX_OBJECT:
        case RTMP_TYPE_SHARED_OBJECT:
        case RTMP_TYPE_METADATA:
            return RTMP_SESSION_OK;  // a publishing client has no use for them
        case RTMP_TYPE_FLEX_MESSAGE:
            if (msg.length < 1) {
                return Fail(RTMP_SESSION_MALFORMED, "empty AMF3 command");
            }
            return OnCommand(msg.payload + 1, msg.length - 1);
        case RTMP_TYPE_INVOKE:
            return OnCommand(msg.payload, msg.length);
        default:
            return Fail(RTMP_SESSION_FAILED,
                        "unknown rtmp message type " + std::to_string(msg.header.type));
    }
}

int RtmpSession::OnControl(const rtmp_message_t& msg) {
    const uint8_t* p = msg.payload;
    size_t want = msg.header.type == RTMP_TYPE_SET_PEER_BANDWIDTH ? 5 : 4;
    if (msg.length != want) {
        return RTMP_SESSION_OK;  // dropped, as a lenient peer would
    }
    uint32_t value = Be32(p);
    switch (msg.header.type) {
        case RTMP_TYPE_SET_CHUNK_SIZE:
            if (reader_.SetChunkSize(value & 0x7FFFFFFF) != 0) {
                return Fail(RTMP_SESSION_FAILED, "peer chunk size " + std::to_string(value));
            }
            break;
        case RTMP_TYPE_ACKNOWLEDGEMENT:
            sequence_number_ = value;
            break;
        case RTMP_TYPE_WINDOW_ACKNOWLEDGEMENT_SIZE:
            if (value > 0) {  // a zero window would mean an ack per read
                window_size_ = value;
            }
            break;
        case RTMP_TYPE_SET_PEER_BANDWIDTH: {
            peer_bandwidth_ = value;
            limit_type_ = p[4];
            uint8_t buf[16];
            SendRaw(buf, rtmp_window_acknowledgement_size(buf, sizeof buf, window_size_));
            break;
        }
        default:  // Abort: nothing is half-received that the client cares for
            break;
    }
    return RTMP_SESSION_OK;
}

int RtmpSession::OnUserControl(const rtmp_message_t& msg) {
    if (msg.length < 6) {
        return Fail(RTMP_SESSION_FAILED, "user control message too short");
    }
    uint16_t event = static_cast<uint16_t>(msg.payload[0] << 8 | msg.payload[1]);
    uint32_t value = Be32(msg.payload + 2);
    if (event == 1) {  // StreamEOF
        stopped_ = true;
        started_ = false;
    } else if (event == 3) {  // SetBufferLength
        if (msg.length < 10) {
            return Fail(RTMP_SESSION_FAILED, "SetBufferLength too short");
        }
        buffer_length_ms_ = Be32(msg.payload + 6);
    } else if (event == 6) {  // PingRequest
        uint8_t buf[18];
        SendRaw(buf, rtmp_event_pong(buf, sizeof buf, value));
    }
    return RTMP_SESSION_OK;
}

int RtmpSession::OnCommand(const uint8_t* body, size_t len) {
    rtmp_command_t cmd;
    if (rtmp_command_parse(body, len, &cmd) != RTMP_COMMAND_OK) {
        return Fail(RTMP_SESSION_MALFORMED,
                    std::string("unparsable command ") + (cmd.name[0] ? cmd.name : "(none)"));
    }
    switch (cmd.kind) {
        case RTMP_CMD_RESULT:
            return OnResult(cmd);
        case RTMP_CMD_ERROR:
            return Fail(RTMP_SESSION_FAILED,
                        "_error: " + std::string(cmd.code) + " " + cmd.description.c_str());
        case RTMP_CMD_ON_STATUS:
            return OnStatus(cmd);
        default:
            return RTMP_SESSION_OK;  // server-role requests and unknown names
    }
}

int RtmpSession::OnResult(const rtmp_command_t& cmd) {
    uint8_t* end = scratch_ + sizeof scratch_;
    int rc = RTMP_SESSION_OK;
    if (cmd.transaction == RTMP_TXN_CONNECT) {
        RtmpEvent ev;
        ev.kind = RTMP_EVENT_CONNECTED;
        events_.push_back(ev);
        if (config_.private_mode) {
            return RTMP_SESSION_OK;
        }
        if (config_.publish == 0) {
            rc = SendCommand(0, rtmp_command_release_stream(scratch_, end, config_.stream));
            rc = rc ? rc : SendCommand(0, rtmp_command_fcpublish(scratch_, end, config_.stream));
        } else if (config_.transcode == 1) {
            rc = SendRequestAudioType(1);
        }
        return rc ? rc : SendCommand(0, rtmp_command_create_stream(scratch_, end));
    }
    if (cmd.transaction != RTMP_TXN_CREATE_STREAM || !cmd.has_stream_id) {
        return RTMP_SESSION_OK;
    }
    // Written so that NaN fails too; a fractional id is no stream either.
    if (!(cmd.stream_id >= 1 && cmd.stream_id <= 4294967295.0) ||
        cmd.stream_id != std::floor(cmd.stream_id)) {
        return Fail(RTMP_SESSION_FAILED, "server created no usable stream");
    }
    stream_id_ = static_cast<uint32_t>(cmd.stream_id);
    if (config_.publish == 0) {
        rc = SendCommand(stream_id_, rtmp_command_publish(scratch_, end, config_.stream));
        if (rc == 0) {
            uint8_t buf[16];
            SendRaw(buf, rtmp_set_chunk_size(buf, sizeof buf, kPublishChunkSize));
            writer_.SetChunkSize(kPublishChunkSize);
        }
    } else {
        if (config_.publish == 3) {
            rc = SendCommand(stream_id_,
                             rtmp_command_get_stream_length(scratch_, end, config_.stream));
        }
        rc = rc ? rc : SendCommand(stream_id_, rtmp_command_play(scratch_, end, config_.stream));
        if (rc == 0) {
            uint8_t buf[22];
            SendRaw(buf,
                    rtmp_event_set_buffer_length(buf, sizeof buf, stream_id_, buffer_length_ms_));
        }
    }
    if (rc == 0) {
        RtmpEvent ev;
        ev.kind = RTMP_EVENT_STREAM_CREATED;
        events_.push_back(ev);
    }
    return rc;
}

void RtmpSession::Notify(int code, const rtmp_status_entry_t& entry,
                         const std::string& description) {
    RtmpEvent ev;
    ev.kind = RTMP_EVENT_NOTIFY;
    ev.notify = code;
    if (entry.data == RTMP_DATA_DESCRIPTION) {
        ev.has_text = true;
        ev.text = description.c_str();
    } else if (entry.data == RTMP_DATA_NUMBER) {
        ev.has_value = true;
        ev.value = std::strtod(description.c_str(), nullptr);
    } else if (entry.data == RTMP_DATA_PLAY_PARAM) {
        ev.has_text = rtmp_play_param_text(description, &ev.text);
    }
    events_.push_back(std::move(ev));
}

int RtmpSession::OnStatus(const rtmp_command_t& cmd) {
    const rtmp_status_entry_t* entry = rtmp_status_lookup(cmd.code);
    std::string level = cmd.level;
    if (level == "error") {
        if (entry->publish_notify == RTMP_NOTIFY_COMPLETE_RESPONSE && config_.publish == 0) {
            Notify(RTMP_NOTIFY_COMPLETE_RESPONSE, *entry, cmd.description);
        }
        return Fail(RTMP_SESSION_FAILED,
                    "onStatus error: " + std::string(cmd.code) + " " + cmd.description.c_str());
    }
    if ((level != "status" && level != "warning") || entry->effect == RTMP_STATUS_UNKNOWN) {
        RtmpEvent ev;
        ev.kind = RTMP_EVENT_STATUS_UNHANDLED;
        ev.text = level + " " + cmd.code + " " + cmd.description.c_str();
        events_.push_back(std::move(ev));
        return RTMP_SESSION_OK;
    }
    switch (entry->effect) {
        case RTMP_STATUS_STARTED:
            started_ = true;
            stopped_ = false;
            break;
        case RTMP_STATUS_STOPPED:
            started_ = false;
            stopped_ = true;
            break;
        case RTMP_STATUS_FAILED:
            return Fail(RTMP_SESSION_FAILED,
                        "onStatus " + std::string(cmd.code) + " " + cmd.description.c_str());
        default:
            break;
    }
    int code = config_.publish == 0 ? entry->publish_notify : entry->play_notify;
    if (code != RTMP_NOTIFY_NONE) {
        Notify(code, *entry, cmd.description);
    }
    return RTMP_SESSION_OK;
}

}  // namespace kestrel

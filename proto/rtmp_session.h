// The client side of one RTMP connection as a pure state machine: it is fed
// received bytes and the current time, and produces the bytes to send and
// the events for its owner. It never touches a socket or a clock, so every
// path runs in tests without a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "proto/rtmp_chunk.h"
#include "proto/rtmp_command.h"
#include "proto/rtmp_handshake.h"

namespace kestrel {

enum RtmpSessionResult {
    RTMP_SESSION_OK = 0,
    RTMP_SESSION_FAILED = -1,         // handshake, _error, error status, failure code
    RTMP_SESSION_NO_STREAM = -5,      // media before the server created the stream
    RTMP_SESSION_BAD_STATE = -6,      // not created, or started twice
    RTMP_SESSION_MALFORMED = -22,     // command without name / transaction, bad body
    RTMP_SESSION_BAD_ARGUMENT = -23,  // empty or over-long names, bad values
};

struct RtmpSessionConfig {
    std::string app;
    std::string stream;
    std::string tc_url;    // may be empty: then not sent
    int private_mode = 0;  // handshake version 4, commands sent at once
    int transcode = 0;     // play mode: ask for audio type 1 first
    int publish = 0;       // 0 publish; otherwise play (3: ask the length first)
};

enum RtmpEventKind {
    RTMP_EVENT_NOTIFY,            // notify, with value or text when the code has data
    RTMP_EVENT_AUDIO,             // data, timestamp
    RTMP_EVENT_CONNECTED,         // the connect command was answered
    RTMP_EVENT_STREAM_CREATED,    // stream id known: media may flow
    RTMP_EVENT_STATUS_UNHANDLED,  // level/code/description the client does not act on
};

struct RtmpEvent {
    RtmpEventKind kind = RTMP_EVENT_NOTIFY;
    int notify = RTMP_NOTIFY_NONE;
    bool has_value = false;
    double value = 0;
    bool has_text = false;
    std::string text;  // notification text, or "level code description"
    uint32_t timestamp = 0;
    std::vector<uint8_t> data;
};

class RtmpSession {
  public:
    // RTMP_SESSION_BAD_ARGUMENT for an empty app or stream, or any name
    // longer than RTMP_NAME_MAX: those are refused, never cut.
    int Configure(const RtmpSessionConfig& config);

    // C0 + C1 (and in private mode connect and publish or play at once).
    // `random` gives the C1 filler (RTMP_HANDSHAKE_RANDOM bytes; may be null).
    int Start(uint32_t now_s, const uint8_t* random);
    // Consumes every byte; negative results are final.
    int Input(const uint8_t* data, size_t len, uint32_t now_s);
    // Like Input, but stops once kMaxPendingEvents events wait to be polled
    // and reports in *used how far it read: a reader that handles the
    // events and comes back for the rest does bounded work per pass however
    // small the peer's messages are.
    int InputSome(const uint8_t* data, size_t len, uint32_t now_s, size_t* used);
    static constexpr size_t kMaxPendingEvents = 64;
    // One media or data message, full header, on the created stream.
    int PushMedia(uint32_t channel, uint8_t type, const uint8_t* data, size_t len,
                  uint32_t timestamp);
    // The same with the body in pieces [first, first + count) of `body`:
    // the chunked message is appended to *out as pieces (see
    // RtmpChunkWriter::WritePieces), not to Output().
    int PushMediaPieces(uint32_t channel, uint8_t type, const IoPieces& body, size_t first,
                        size_t count, size_t len, uint32_t timestamp, IoPieces* out);
    int SendRequestAudioType(int type);

    // Bytes to send, whole messages only; the owner sends them all or closes.
    std::vector<uint8_t>& Output() { return out_; }
    bool PollEvent(RtmpEvent* event);

    bool HandshakeDone() const { return handshake_ == kDone; }
    uint32_t StreamId() const { return stream_id_; }
    bool Started() const { return started_; }
    bool Stopped() const { return stopped_; }
    // Why the last negative result happened, for the owner's log line.
    const std::string& LastError() const { return error_; }
    uint32_t WindowSize() const { return window_size_; }
    uint32_t OutChunkSize() const { return writer_.ChunkSize(); }
    // Media messages refused since the last usable one (empty, or too short
    // to carry a tag header and a byte of data): a peer that keeps sending
    // only these is worth closing.
    uint32_t UnusableRun() const { return unusable_run_; }
    uint64_t UnusableTotal() const { return unusable_total_; }

  private:
    int mediaHeader(uint32_t channel, uint8_t type, size_t len, uint32_t timestamp,
                    rtmp_chunk_header_t* h);
    enum Handshake { kIdle, kS0, kS1, kS2, kDone };
    int Fail(int code, const std::string& why);
    int Read(const uint8_t* data, size_t len, uint32_t now_s, size_t* consumed, size_t max_events);
    int OnHandshake(const uint8_t* data, size_t len, size_t* used, uint32_t now_s);
    int OnMessage(const rtmp_message_t& msg);
    int OnControl(const rtmp_message_t& msg);
    int OnUserControl(const rtmp_message_t& msg);
    int OnCommand(const uint8_t* body, size_t len);
    int OnResult(const rtmp_command_t& cmd);
    int OnStatus(const rtmp_command_t& cmd);
    void Acknowledge(size_t bytes);
    int SendCommand(uint32_t stream_id, uint8_t* end_of_body);
    void SendRaw(const uint8_t* data, size_t len);
    void Notify(int code, const rtmp_status_entry_t& entry, const std::string& description);

    RtmpSessionConfig config_;
    rtmp_connect_t connect_;
    bool configured_ = false;
    Handshake handshake_ = kIdle;
    std::vector<uint8_t> s1_;
    size_t s2_bytes_ = 0;
    RtmpChunkReader reader_;
    RtmpChunkWriter writer_;
    uint32_t stream_id_ = 0;
    bool started_ = false;
    bool stopped_ = false;
    uint32_t window_size_ = 2500000;
    uint32_t peer_bandwidth_ = 2500000;
    uint8_t limit_type_ = 0;
    uint32_t buffer_length_ms_ = 30000;
    uint32_t sequence_number_ = 0;  // last Acknowledgement received
    uint64_t received_ = 0;         // chunk-stream bytes received
    uint64_t acked_ = 0;            // what the last Acknowledgement sent covered
    std::vector<uint8_t> out_;
    std::deque<RtmpEvent> events_;
    std::string error_;
    uint32_t unusable_run_ = 0;
    uint64_t unusable_total_ = 0;
    uint8_t scratch_[2048];
};

}  // namespace kestrel

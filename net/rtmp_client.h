// One RTMP publication to a relay server over a plain TCP connector: the
// client session turns muxed FLV bodies into RTMP messages, and server
// notifications and intercom audio come back to the owner. Every callback
// runs on the network engine thread; the owner makes its own calls (Start,
// the sends, Stop) from there too, or before Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/shared_ptr.h"
#include "net/net_socket_handler.h"
#include "proto/flv_mux.h"
#include "proto/rtmp_session.h"

namespace kestrel {

// Closes this client decides itself; the engine's NetSocketDisconnectResult
// values (0..7) come through unchanged.
enum RtmpCloseReason {
    RTMP_CLOSE_BAD_URL = 16,        // the URL does not parse as rtmp://host[:port]/app/stream
    RTMP_CLOSE_CREATE_FAILED = 17,  // names empty or too long
    RTMP_CLOSE_START_FAILED = 18,   // the handshake could not be queued
    RTMP_CLOSE_START_TIMEOUT = 19,  // handshake and publish did not finish in time
    RTMP_CLOSE_STALLED = 20,        // queued data made no progress
    RTMP_CLOSE_PROTOCOL = 21,       // the server broke the protocol or refused us
    RTMP_CLOSE_SEND_FAILED = 22,    // a message could not be queued whole
};

class RtmpClientHandler {
  public:
    // A NetSocketDisconnectResult or an RtmpCloseReason.
    using CloseResult = int;

    virtual ~RtmpClientHandler() = default;
    // TCP is up and the RTMP start was attempted.
    virtual void OnConnect() = 0;
    // data: the description text, a double, the play-parameter text or null,
    // by code; valid during the call only.
    virtual void OnNotify(rtmp_client_notify_t code, void* data) = 0;
    // Exactly once, whatever ended the connection (start failures included).
    virtual void OnClose(CloseResult result) = 0;
    // The connection can take more: the point to pull the next frame.
    virtual void OnWrite() = 0;
    virtual void OnAudio(const void* data, size_t len, uint32_t timestamp) = 0;
    virtual void OnAudioFormat(AudioFormat format, AudioBit bit, AudioChannel channel,
                               AudioAdditionalRate rate) = 0;
};

class RtmpClient : public NetSocketHandler {
  public:
    using Clock = uint64_t (*)();  // monotonic milliseconds

    static constexpr unsigned short kDefaultPort = 8000;
    static constexpr unsigned long kConnectTimeoutMs = 5000;
    static constexpr unsigned long kStartTimeoutMs = 10000;
    static constexpr unsigned long kStallTimeoutMs = 30000;
    // The connector queues at most 1 MiB. A frame needs room for its own
    // bytes and its framing (tag header, length prefixes, chunk headers);
    // behind queued data it waits for kFrameOverhead more so the queue never
    // runs so full that the next frame cannot follow. On an empty queue only
    // the framing counts, so any frame up to kMaxFrame goes out; a larger
    // one never could and is refused for good (-3) instead of held.
    static constexpr long kQueueLimit = 1024 * 1024;
    static constexpr long kFrameOverhead = 64 * 1024;
    static constexpr long kFraming = 4096;
    static constexpr uint32_t kMaxFrame = static_cast<uint32_t>(kQueueLimit - kFraming);
    // Media messages in a row the peer sent that could not be used before
    // the connection is closed.
    static constexpr uint32_t kUnusableLimit = 32;
    // Keep-alive on every relay connection: the device may wait on the
    // server with nothing queued (a paused playback, listen-only voice).
    static constexpr int kKeepAliveIdleS = 30;
    static constexpr int kKeepAliveIntervalS = 10;
    static constexpr int kKeepAliveCount = 3;

    // Null when the handler is null, or the connector is not started or full.
    static SharedPtr<RtmpClient> Create(SharedPtr<RtmpClientHandler> handler);

    // A second attach is ignored.
    void SetConnector(unsigned long id);
    void SetLogInfo(const std::string& info);
    int SetEncryption(const std::string& key_b64, const std::string& iv_b64);
    int SetAudioCodec(AudioFormat format, AudioBit bit, AudioChannel channel, AudioRate rate,
                      AudioAdditionalRate additional_rate);
    // Tests shorten the bounds and replace the clock.
    void SetTimeouts(unsigned long start_ms, unsigned long stall_ms);
    void SetClock(Clock clock) { clock_ = clock; }
    // Notifications (bit 1 << rtmp_client_notify_t) that must all arrive
    // within the start bound; Publish.Start by default. Set before Start.
    void SetStartNotices(unsigned mask) { start_mask_ = mask; }

    void Start(const std::string& url, int private_mode);
    // True when a frame of len bytes fits the connector's queue now; the
    // sends refuse (-2, nothing taken) when it does not.
    bool CanTake(uint32_t len) const;
    // 0; -1 without a connector, before the server made the stream or when
    // the muxer refuses the frame; -2 when there is no room; -3 when the
    // frame is over kMaxFrame and can never be sent (nothing taken).
    // With `keep`, the frame's bytes are not copied: they are written from
    // where they are, and if they must wait, `keep` (which holds `data`)
    // stays referenced until they are written. Without it, bytes that must
    // wait are copied into the queue.
    int SendVideo(int format, int key_frame, const char* data, uint32_t len, uint32_t timestamp,
                  const SharedPtr<SharedBytes>& keep = SharedPtr<SharedBytes>());
    int SendAudio(const char* data, uint32_t len, uint32_t timestamp,
                  const SharedPtr<SharedBytes>& keep = SharedPtr<SharedBytes>());
    int SendScript(FlvMux::ScriptType type);
    void SendMetadata(double duration);
    // Any thread: a frame is waiting; the owner gets an OnWrite turn soon.
    void RequestWrite();
    void Stop();

    // Publishing: the server accepted the stream.
    bool Publishing() const { return publishing_; }

    void OnConnect() override;
    void OnDisConnect(NetSocketDisconnectResult reason) override;
    long OnData(const char* data, unsigned long len) override;
    long OnWrite() override;
    void OnTimer() override;

    ~RtmpClient() override;

  private:
    explicit RtmpClient(SharedPtr<RtmpClientHandler> handler);
    static void OnMuxStatus(void* param, FlvMux::Status status);

    void CloseWith(int reason);
    bool Flush();
    // Chunks what the muxer returned and hands it to the socket in one go.
    bool SendBodies(const SharedPtr<SharedBytes>& keep);
    bool SendWire(const SharedPtr<SharedBytes>& keep);
    long QueuedBytes() const;
    void HandleEvents();
    bool PeerUseless();
    void HandleAudio(const RtmpEvent& ev);
    void ArmTimer();
    bool Ready() const;
    uint64_t Now() const { return clock_(); }

    unsigned long id_ = 0;
    bool attached_ = false;
    SharedPtr<RtmpClientHandler> handler_;
    std::unique_ptr<RtmpSession> session_;
    std::string url_;
    std::string log_info_;
    int private_mode_ = 0;
    FlvMux mux_;
    FlvTagBodyAudioDataParse audio_;
    // Engine thread only: the socket from the connect to the disconnect, and
    // the muxer's and the chunk writer's output, reused for every frame.
    SharedPtr<NetSocket> socket_;
    // Set by Create before anyone else sees the client, never changed: any
    // thread asks for a write turn through it without a look-up by id.
    WeakPtr<NetSocket> weak_socket_;
    FlvBodies bodies_;
    IoPieces wire_;

    Clock clock_;
    unsigned long start_timeout_ms_ = kStartTimeoutMs;
    unsigned long stall_timeout_ms_ = kStallTimeoutMs;
    uint64_t start_ms_ = 0;
    uint64_t last_progress_ms_ = 0;
    long last_pending_ = 0;
    bool write_owed_ = false;  // data sent since the last write turn
    bool publishing_ = false;
    unsigned start_mask_ = 1u << RTMP_NOTIFY_PUBLISH_START;
    unsigned started_mask_ = 0;
    uint32_t audio_failures_ = 0;  // audio messages in a row that did not parse
    std::atomic<bool> closing_{false};  // Stop may come from the owner's thread
    bool close_reported_ = false;
    int close_reason_ = -1;
};

}  // namespace kestrel

// Relays: each pushes one session's media from its frame ring buffer to a
// relay server over one RtmpClient, and reports how the connection ended.
//
// Frames arrive on the application's threads, server notifications and write
// turns on the network thread. The frame ring is where the two meet: below
// it, a write turn takes no lock of the relay's. What the application changes
// for the network thread (codec settings, the metadata, markers that could
// not be queued) is raised in an atomic flag and only then fetched under the
// relay's mutex, so a frame on its way pays nothing for settings that did not
// change. The muxer itself is only touched on the network thread.
#pragma once

#include <kestrel/ks_api.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "core/shared_ptr.h"
#include "net/rtmp_client.h"
#include "proto/flv_mux.h"
#include "sdk/device_monitor.h"
#include "sdk/streaming/frame_ring_buffer.h"
#include "sdk/streaming/trans_quality.h"

namespace kestrel {

// Told when a relay's connection has ended, on the network thread.
class RelayServiceHandler {
  public:
    virtual ~RelayServiceHandler() = default;
    virtual void RelayServiceOnClose(const std::string& label, int dev_id, int service_id) = 0;
};

// Descriptor media values besides video (1) and audio (2): a script marker
// queued behind the frames it must follow.
constexpr uint32_t kMediaScript = 3;

class RelayServiceBase : public RtmpClientHandler {
  public:
    static constexpr unsigned kWriteBudget = 262144;
    // Closes the relay reports on top of the engine's 0..7.
    static void CloseCode(int result, std::string& code, std::string& message);
    static unsigned BufferSizeFor(unsigned bitrate_kbps);

    RelayServiceBase();
    ~RelayServiceBase() override;

    void SetDeviceInfo(RelayServiceHandler* handler, int dev_id, int service_id,
                       const std::string& session_id, const std::string& label);
    void SetClient(int relay_id, SharedPtr<RtmpClient> client);
    void Start(const std::string& url, int private_mode);
    void Stop();
    void SetEncryption(const std::string& key, const std::string& iv);
    void SetBuffer(unsigned bitrate_kbps);
    void SetDuration(unsigned seconds);
    void SetVideoCodec(const ks_video_param_s* video);
    void SetAudioCodec(const ks_audio_param_s* audio);

    virtual int AddVideoFrame(int format, bool key_frame, const unsigned char* data, unsigned len,
                              unsigned timestamp) = 0;
    virtual int AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) = 0;
    virtual void AddScript(FlvMux::ScriptType type) = 0;
    virtual void getType(std::string& kind, std::string& method, bool& statistics) const = 0;

    // RtmpClientHandler: the base's connect and close; notifications and
    // write turns belong to the kinds.
    void OnConnect() override;
    void OnClose(CloseResult result) override;
    void OnAudio(const void*, size_t, uint32_t) override {}
    void OnAudioFormat(AudioFormat, AudioBit, AudioChannel, AudioAdditionalRate) override {}

    int RelayId() const { return relay_id; }
    int ServiceId() const { return service_id; }
    const std::string& Label() const { return label; }
    // Tests look at the report and the buffer.
    MonitorRelayInfo Monitor();
    FrameRingBuffer* Buffer() { return buffer.get(); }

  protected:
    virtual void afterWriteVideo(uint64_t /*index*/) {}
    virtual int beforeStart() { return 0; }
    virtual int ringBufferMode() const { return 0; }

    int addVideoFrame(int format, bool key_frame, const unsigned char* data, unsigned len,
                      unsigned timestamp, uint64_t index);
    int addAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp);
    // Queues a completion marker behind what is already queued. When the
    // buffer cannot take it (none yet, full, waiting for a key frame), it
    // goes out once everything queued has been written.
    void queueScript(FlvMux::ScriptType type);
    int realWrite();
    // Live and pre-event relays write only once the server has accepted the publish.
    void writeIfPublished();
    void sendCmd(ks_on_push_stream_cmd_type_e cmd, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0);
    // A command a server can repeat at will (key-frame request, seek, play
    // parameters): at most one waits in the job queue per kind, and it
    // carries the latest values when it runs.
    enum CoalescedKind { kCoalesceIFrame, kCoalesceSeek, kCoalesceParam, kCoalesceKinds };
    // False when the command was folded into one already waiting.
    bool sendLatest(CoalescedKind kind, ks_on_push_stream_cmd_type_e cmd, uint32_t a = 0,
                    uint32_t b = 0, uint32_t c = 0);

  public:
    // Shared with the jobs that carry the commands: they may outlive the relay.
    struct Coalesced;

  protected:
    std::shared_ptr<Coalesced> coalesced;
    SharedPtr<RtmpClient> lockClient() const;
    void requestWrite();

    int relay_id = 0;
    int dev_id = 0;
    int service_id = 0;
    RelayServiceHandler* handler = nullptr;
    std::unique_ptr<FrameRingBuffer> buffer;  // set once, under `mutex`
    std::atomic<FrameRingBuffer*> buffer_ready{nullptr};
    WeakPtr<RtmpClient> client;
    std::string label;
    std::string session_id;
    std::unique_ptr<TransQuality> quality;
    bool statistics = false;

    // Guards everything below and the monitor record; the atomics are read
    // without it and changed under it.
    Mutex mutex;
    MonitorRelayInfo monitor;
    std::atomic<bool> iframe_seen{false};
    std::atomic<bool> force_cmd_seen{false};
    std::atomic<bool> force_iframe_seen{false};
    // Settings (audio codec, quality figures, metadata) the network thread
    // has not fetched yet.
    std::atomic<bool> settings_dirty{true};
    unsigned duration = 0;
    bool metadata_sent = false;
    bool audio_pending = false;  // the muxer has not taken the audio settings yet
    AudioFormat audio_format = AUDIO_FORMAT_AAC;
    AudioBit audio_bit = AUDIO_BIT_16;
    AudioChannel audio_channel = AUDIO_CHANNEL_MONO;
    AudioAdditionalRate audio_rate = AUDIO_ADD_RATE_8000;
    std::atomic<unsigned> script_pending{0};  // bit per FlvMux::ScriptType waiting for an empty buffer
    int audio_log_count = 0;
    bool quality_pending = false;
    unsigned quality_fps = 0;
    unsigned quality_gop = 0;
    std::string key, iv;

    // Subclass state, also under `mutex`.
    std::atomic<bool> published{false};
    std::atomic<bool> playing{false};
    bool server_pause = false;
    std::atomic<bool> buffer_pause{false};
    bool pause_sent = false;

  private:
    static constexpr int kUnknownMedia = -100;
    int sendFrame(RtmpClient& rtmp, const unsigned char* data, unsigned len,
                  const MediaSpecialInfo& desc, const SharedPtr<SharedBytes>& keep);
    int afterSend(int sent, unsigned len, const MediaSpecialInfo& desc);
    void holdFrame(const unsigned char* data, unsigned len, const MediaSpecialInfo& desc);
    void noteKeyFrame(const MediaSpecialInfo& desc, unsigned len);
    void applySettings(RtmpClient& rtmp);
    void sendPendingScripts(RtmpClient& rtmp);

  protected:
    // Network thread only: a frame taken from the buffer that the connection
    // had no room for yet, copied out of the ring.
    SharedPtr<SharedBytes> held;
    unsigned held_len = 0;
    // A peer that reads slowly holds frames back again and again: said once.
    bool hold_logged = false;
    MediaSpecialInfo held_desc{};
};

class RelayServiceLive : public RelayServiceBase {
  public:
    int AddVideoFrame(int format, bool key_frame, const unsigned char* data, unsigned len,
                      unsigned timestamp) override;
    int AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) override;
    void AddScript(FlvMux::ScriptType) override {}
    void getType(std::string& kind, std::string& method, bool& stats) const override;
    void OnNotify(rtmp_client_notify_t code, void* arg) override;
    void OnWrite() override;
};

class RelayServicePreEvent : public RelayServiceBase {
  public:
    int AddVideoFrame(int format, bool key_frame, const unsigned char* data, unsigned len,
                      unsigned timestamp) override;
    int AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) override;
    void AddScript(FlvMux::ScriptType type) override;
    void getType(std::string& kind, std::string& method, bool& stats) const override;
    void OnNotify(rtmp_client_notify_t code, void* arg) override;
    void OnWrite() override;

  protected:
    // Full: keep the pre-recorded head of the clip, refuse what comes after.
    int ringBufferMode() const override { return 1; }

  private:
    uint64_t count = 0;
};

class RelayServiceVod : public RelayServiceBase {
  public:
    static constexpr unsigned kPauseAbove = 59;
    static constexpr unsigned kResumeAtOrBelow = 20;

    int AddVideoFrame(int format, bool key_frame, const unsigned char* data, unsigned len,
                      unsigned timestamp) override;
    int AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) override;
    void AddScript(FlvMux::ScriptType type) override;
    void getType(std::string& kind, std::string& method, bool& stats) const override;
    void OnNotify(rtmp_client_notify_t code, void* arg) override;
    void OnWrite() override;

  private:
    // Under `mutex`.
    bool checkKeyFrame(bool key);
    void checkPause();
    void setPlayParam(const char* text);

    uint64_t count = 0;
    int key_mode = 0;  // 0 all frames, 1 waiting for a key frame, 2 key frames only
};

}  // namespace kestrel

// The voice session's own thread: audio the relay server sends down is queued
// here by the network thread and handed to the application's data callback
// from this thread, so a slow application never holds up the connection.
//
// The codec record is validated before anything of it changes and committed
// whole under the lock; the thread copies it under the same lock before each
// call, so the application never sees a half-updated record.
#pragma once

#include <kestrel/ks_api.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/thread.h"
#include "proto/flv_mux.h"
#include "sdk/streaming/frame_ring_buffer.h"

namespace kestrel {

class RelayServiceVoiceAssistant : public Thread {
  public:
    static constexpr unsigned kBufferSize = 65536;
    // Where received frames go: the application's data callback by default.
    using Sink = int (*)(void* ctx, int dev_id, const ks_on_push_streaming_data_param_s* param);

    RelayServiceVoiceAssistant();
    ~RelayServiceVoiceAssistant() override;

    void SetDeviceInfo(int dev_id, int service_id, const std::string& label);
    void SetSink(Sink sink, void* ctx);

    // FLV codes of the received stream. 0, or -1 (nothing changed) when any
    // value is out of range.
    int SetCodec(AudioFormat format, AudioBit bits, AudioChannel channel, AudioAdditionalRate rate);
    // Network thread. The ring's result (FrameRingBuffer::Result).
    int AddAudioData(const char* data, unsigned len, unsigned timestamp);

    // Ends the loop without waiting for it: safe on any thread, including
    // the network thread while the application's callback still runs.
    void Halt();
    // The codec record as the thread would hand it out; false before any.
    bool Codec(ks_audio_param_s& out);
    uint64_t Delivered();

  protected:
    int realThread() override;

  private:
    void deliver(const unsigned char* data, unsigned len, unsigned timestamp);

    std::unique_ptr<FrameRingBuffer> buffer;
    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    ks_audio_param_s audio{};
    bool codec_set = false;
    bool pending = false;  // queued since the thread last looked
    bool active = true;
    int dev_id = 0;
    int service_id = 0;
    std::string label;
    Sink sink;
    void* sink_ctx = nullptr;
    uint64_t delivered = 0;
    unsigned no_codec_drops = 0;  // thread only
};

}  // namespace kestrel

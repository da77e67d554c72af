// Voice intercom: one RTMP connection that carries the camera's microphone up
// and the remote party's audio down. The sending side is a relay like the
// others, but it queues and writes nothing until the server has both started
// the publication and said the talk is ready: audio from before that would
// only reach the listener late. Received audio goes to a companion thread
// that hands it to the application.
#pragma once

#include <atomic>
#include <memory>

#include "sdk/streaming/relay_service.h"
#include "sdk/streaming/voice_assistant.h"

namespace kestrel {

class RelayServiceVoice : public RelayServiceBase {
  public:
    RelayServiceVoice();
    ~RelayServiceVoice() override;

    // Video has no place in an intercom: accepted and dropped.
    int AddVideoFrame(int format, bool key_frame, const unsigned char* data, unsigned len,
                      unsigned timestamp) override;
    int AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) override;
    void AddScript(FlvMux::ScriptType) override {}
    void getType(std::string& kind, std::string& method, bool& stats) const override;

    void OnNotify(rtmp_client_notify_t code, void* arg) override;
    void OnWrite() override;
    void OnClose(CloseResult result) override;
    void OnAudio(const void* data, size_t len, uint32_t timestamp) override;
    void OnAudioFormat(AudioFormat format, AudioBit bit, AudioChannel channel,
                       AudioAdditionalRate rate) override;

    // Ends delivery to the application at once and leaves the join of the
    // thread to the job thread; any thread, any number of times. Called
    // when the session is closed or replaced, before the application is
    // told to stop, so no received audio reaches it after that.
    void StopDelivery();

    RelayServiceVoiceAssistant& Assistant() { return *assistant; }
    bool TalkReady();
    // Device audio dropped because the talk was not ready yet.
    unsigned EarlyDrops() const { return early_drops.load(); }

  protected:
    int beforeStart() override;

  private:
    std::shared_ptr<RelayServiceVoiceAssistant> assistant;
    std::atomic<bool> delivery_stopped{false};
    std::atomic<unsigned> early_drops{0};
};

}  // namespace kestrel

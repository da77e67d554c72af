#include "sdk/streaming/voice_relay.h"

#include "core/job_pool.h"
#include "core/logger.h"
#include "core/single.h"
#include "sdk/device_env.h"

namespace kestrel {

namespace {

// Waits for a stopped assistant on the job thread: the network thread must
// not wait while the application's callback may still be running.
class AssistantJoin : public JobProperty {
  public:
    explicit AssistantJoin(std::shared_ptr<RelayServiceVoiceAssistant> a)
        : assistant(std::move(a)) {}
    ~AssistantJoin() override { assistant->Stop(true); }
    void Run() override { assistant->Stop(true); }

  private:
    std::shared_ptr<RelayServiceVoiceAssistant> assistant;
};

}  // namespace

RelayServiceVoice::RelayServiceVoice()
    : assistant(std::make_shared<RelayServiceVoiceAssistant>()) {}

// Without a close the thread may still run; the last owner of the assistant
// (this or a pending join) waits for it.
RelayServiceVoice::~RelayServiceVoice() {
    StopDelivery();
}

void RelayServiceVoice::getType(std::string& kind, std::string& method, bool& stats) const {
    kind = "Voice";
    method = "startRelayVoice";
    stats = false;
}

int RelayServiceVoice::beforeStart() {
    assistant->SetDeviceInfo(dev_id, service_id, label);
    if (assistant->Start() < 0) {
        KS_LOGE("%s Start voice assistant failed", label.c_str());
        return -1;
    }
    return 0;
}

void RelayServiceVoice::StopDelivery() {
    if (delivery_stopped.exchange(true))
        return;
    assistant->Halt();
    DeviceEnv* env = Single<DeviceEnv>::Peek();
    JobPool* jobs = env ? env->JobUser() : nullptr;
    if (jobs && jobs->IsStarted()) {
        // A pool that stops meanwhile deletes the job unrun, which joins.
        jobs->AddJob(new AssistantJoin(assistant));
        return;
    }
    assistant->Stop(true);
}

bool RelayServiceVoice::TalkReady() {
    MutexGuard guard(mutex);
    return published && playing;
}

int RelayServiceVoice::AddVideoFrame(int, bool, const unsigned char*, unsigned, unsigned) {
    return 0;
}

int RelayServiceVoice::AddAudioFrame(const unsigned char* data, unsigned len, unsigned timestamp) {
    if (!TalkReady()) {
        if (early_drops++ == 0)
            KS_LOGI("%s Talk is not ready, device audio is not queued", label.c_str());
        return 0;
    }
    return addAudioFrame(data, len, timestamp);
}

void RelayServiceVoice::OnNotify(rtmp_client_notify_t code, void*) {
    if (code == RTMP_NOTIFY_PUBLISH_START) {
        KS_LOGI("%s Recv cmd: start publish", label.c_str());
        MutexGuard guard(mutex);
        published = true;
    } else if (code == RTMP_NOTIFY_TALK_READY) {
        KS_LOGI("%s Recv cmd: talk ready", label.c_str());
        MutexGuard guard(mutex);
        playing = true;
    } else {
        return;
    }
    unsigned early = early_drops.load();
    if (TalkReady() && early)
        KS_LOGI("%s Talk ready, %u device audio frames from before it dropped", label.c_str(),
                early);
    OnWrite();
}

void RelayServiceVoice::OnWrite() {
    if (TalkReady())
        realWrite();
}

void RelayServiceVoice::OnClose(CloseResult result) {
    StopDelivery();
    RelayServiceBase::OnClose(result);
}

void RelayServiceVoice::OnAudio(const void* data, size_t len, uint32_t timestamp) {
    if (len > FrameRingBuffer::kMaxFrame) {
        KS_LOGE("%s Received audio of %zu bytes is too large, dropped", label.c_str(), len);
        return;
    }
    int ret = assistant->AddAudioData(static_cast<const char*>(data), static_cast<unsigned>(len),
                                      timestamp);
    if (ret < 0 && ret != FrameRingBuffer::kStoredAfterDrop)
        KS_LOGW("%s Received audio not queued, ret = %d, time = %u", label.c_str(), ret, timestamp);
}

void RelayServiceVoice::OnAudioFormat(AudioFormat format, AudioBit bit, AudioChannel channel,
                                      AudioAdditionalRate rate) {
    assistant->SetCodec(format, bit, channel, rate);
}

}  // namespace kestrel

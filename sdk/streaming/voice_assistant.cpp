#include "sdk/streaming/voice_assistant.h"

#include "core/logger.h"
#include "core/single.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"

namespace kestrel {

namespace {

int DispatchSink(void*, int dev_id, const ks_on_push_streaming_data_param_s* param) {
    DeviceEnv* env = Single<DeviceEnv>::Peek();
    if (!env || !env->Dispatch())
        return -1;
    return env->Dispatch()->OnPushStreamingData(dev_id, param);
}

// The device API's audio format for a received FLV sound format; -1 for none.
int DeviceFormat(AudioFormat format) {
    switch (format) {
        case AUDIO_FORMAT_G711A:
            return KS_AUDIO_FORMAT_G711A;
        case AUDIO_FORMAT_G711U:
            return KS_AUDIO_FORMAT_G711U;
        case AUDIO_FORMAT_AAC:
            return KS_AUDIO_FORMAT_AAC;
    }
    return -1;
}

// A frame without codec is noted once and then every this many.
constexpr unsigned kNoCodecLogEvery = 100;

}  // namespace

RelayServiceVoiceAssistant::RelayServiceVoiceAssistant()
    : buffer(new FrameRingBuffer(kBufferSize, "Voice")), sink(&DispatchSink) {}

RelayServiceVoiceAssistant::~RelayServiceVoiceAssistant() {
    Halt();
    Stop(true);
}

void RelayServiceVoiceAssistant::SetDeviceInfo(int dev, int service, const std::string& l) {
    std::lock_guard<std::mutex> guard(mutex);
    dev_id = dev;
    service_id = service;
    label = l;
}

void RelayServiceVoiceAssistant::SetSink(Sink s, void* ctx) {
    std::lock_guard<std::mutex> guard(mutex);
    sink = s ? s : &DispatchSink;
    sink_ctx = ctx;
}

int RelayServiceVoiceAssistant::SetCodec(AudioFormat format, AudioBit bits, AudioChannel channel,
                                         AudioAdditionalRate rate) {
    const int f = DeviceFormat(format);
    std::lock_guard<std::mutex> guard(mutex);
    if (f < 0 || bits < AUDIO_BIT_8 || bits > AUDIO_BIT_16 || channel < AUDIO_CHANNEL_MONO ||
        channel > AUDIO_CHANNEL_STEREO || rate < 0 || rate > AUDIO_ADD_RATE_MAX) {
        KS_LOGE("%s Set audio codec failed: format = %d, bits = %d, channel = %d, rate = %d",
                label.c_str(), static_cast<int>(format), static_cast<int>(bits),
                static_cast<int>(channel), static_cast<int>(rate));
        return -1;
    }
    audio.format = static_cast<ks_audio_format_e>(f);
    audio.sample_rate = rate;
    audio.bits_per_sample = bits;
    audio.channel = channel;
    codec_set = true;
    KS_LOGI("%s Audio codec: format = %d, channel = %d, sample bit = %d, sample rate = %d",
            label.c_str(), f, static_cast<int>(channel), static_cast<int>(bits),
            static_cast<int>(rate));
    return 0;
}

int RelayServiceVoiceAssistant::AddAudioData(const char* data, unsigned len, unsigned timestamp) {
    MediaSpecialInfo desc{2, timestamp, 0, 0, 0};
    int ret = buffer->DataOneFrameIn(reinterpret_cast<const unsigned char*>(data), len, &desc,
                                     sizeof desc);
    if (ret == FrameRingBuffer::kOk || ret == FrameRingBuffer::kStoredAfterDrop) {
        std::lock_guard<std::mutex> guard(mutex);
        pending = true;
        wake.notify_one();
    }
    return ret;
}

void RelayServiceVoiceAssistant::Halt() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        active = false;
        wake.notify_all();
    }
    Stop(false);
}

bool RelayServiceVoiceAssistant::Codec(ks_audio_param_s& out) {
    std::lock_guard<std::mutex> guard(mutex);
    out = audio;
    return codec_set;
}

uint64_t RelayServiceVoiceAssistant::Delivered() {
    std::lock_guard<std::mutex> guard(mutex);
    return delivered;
}

// Waits for the network thread's signal rather than polling, then hands over
// everything queued, oldest first.
int RelayServiceVoiceAssistant::realThread() {
    {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return pending || !active; });
        if (!active)
            return -1;
        pending = false;
    }
    for (;;) {
        unsigned char* data = nullptr;
        unsigned len = 0, desc_len = 0;
        MediaSpecialInfo* desc = nullptr;
        int ret = buffer->DataOneFrameOut(&data, &len, &desc, &desc_len);
        if (ret == FrameRingBuffer::kEmpty)
            return 0;
        if (ret != FrameRingBuffer::kOk) {
            KS_LOGE("%s Voice service Read data failed", label.c_str());
            buffer->CleanAllFrameData();
            return 0;
        }
        deliver(data, len, desc->timestamp);
        std::lock_guard<std::mutex> guard(mutex);
        if (!active)
            return -1;
    }
}

void RelayServiceVoiceAssistant::deliver(const unsigned char* data, unsigned len,
                                         unsigned timestamp) {
    ks_audio_param_s codec;
    Sink s;
    void* ctx;
    int dev, service;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!codec_set) {
            if (no_codec_drops++ % kNoCodecLogEvery == 0)
                KS_LOGW("%s No audio codec info, %u frames dropped", label.c_str(), no_codec_drops);
            return;
        }
        codec = audio;
        s = sink;
        ctx = sink_ctx;
        dev = dev_id;
        service = service_id;
        ++delivered;
    }
    ks_on_push_streaming_data_param_s param{};
    param.service_id = service;
    param.len = len;
    param.timestamp = timestamp;
    param.reserved = 0;
    param.audio_param = &codec;
    param.p = data;
    s(ctx, dev, &param);
}

}  // namespace kestrel

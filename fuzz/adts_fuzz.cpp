// AAC frames as the camera hands them over, with or without an ADTS header:
// an accepted header describes exactly the frame, and the muxer's audio body
// never holds more than the frame's payload.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "proto/codec_config.h"
#include "proto/flv_mux.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

size_t g_frame_len = 0;

int OnData(void*, kestrel::FlvMux::DataType type, const char* data, size_t len, uint32_t) {
    if (type == kestrel::FlvMux::DATA_AUDIO && len >= 2 && data[1] == 1)
        Check(len >= 3 && len - 2 <= g_frame_len);
    return 0;
}

void OnStatus(void*, kestrel::FlvMux::Status) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> frame(data, data + size);
    kestrel::AdtsHeader h;
    size_t stop = 0;
    if (kestrel::adts_parse(frame.data(), frame.size(), &h, &stop) == kestrel::CODEC_OK) {
        Check(h.header_len == 7 || h.header_len == 9);
        Check(stop == h.header_len && h.frame_len == frame.size());
        Check(h.sampling_index <= 12);
    }
    g_frame_len = frame.size();
    kestrel::FlvMux mux(kestrel::FlvMux::MODE_RTMP, nullptr, OnData, OnStatus);
    mux.SetAudioCodec(kestrel::AUDIO_FORMAT_AAC, kestrel::AUDIO_BIT_16, kestrel::AUDIO_CHANNEL_MONO,
                      kestrel::AUDIO_RATE_44K, kestrel::AUDIO_ADD_RATE_16000);
    mux.SendAudio(reinterpret_cast<const char*>(frame.data()), static_cast<uint32_t>(frame.size()),
                  0);
    return 0;
}

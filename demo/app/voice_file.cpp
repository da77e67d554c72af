#include "demo/app/voice_file.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>

namespace {

const unsigned kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                           22050, 16000, 12000, 11025, 8000,  7350};

struct VoiceFile {
    FILE* f = nullptr;
    ks_audio_param_s audio{};
    uint32_t data_bytes = 0;
    bool failed = false;
};

std::mutex g_mutex;
std::map<int, VoiceFile> g_files;

void Le16(unsigned char* p, unsigned v) {
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
}
void Le32(unsigned char* p, uint32_t v) {
    Le16(p, v & 0xFFFF);
    Le16(p + 2, v >> 16);
}

bool IsG711(ks_audio_format_e f) {
    return f == KS_AUDIO_FORMAT_G711A || f == KS_AUDIO_FORMAT_G711U;
}

// RIFF/WAVE with a non-PCM fmt chunk (cbSize 0) and a fact chunk, as the
// format asks of compressed data.
bool WriteWavHeader(VoiceFile& v) {
    const unsigned channels = v.audio.channel ? 2 : 1;
    const unsigned rate = kRates[v.audio.sample_rate];
    unsigned char h[58];
    memcpy(h, "RIFF", 4);
    Le32(h + 4, 50 + v.data_bytes);
    memcpy(h + 8, "WAVEfmt ", 8);
    Le32(h + 16, 18);
    Le16(h + 20, v.audio.format == KS_AUDIO_FORMAT_G711A ? 6 : 7);
    Le16(h + 22, channels);
    Le32(h + 24, rate);
    Le32(h + 28, rate * channels);
    Le16(h + 32, channels);
    Le16(h + 34, 8);
    Le16(h + 36, 0);
    memcpy(h + 38, "fact", 4);
    Le32(h + 42, 4);
    Le32(h + 46, v.data_bytes / channels);
    memcpy(h + 50, "data", 4);
    Le32(h + 54, v.data_bytes);
    return fseek(v.f, 0, SEEK_SET) == 0 && fwrite(h, 1, sizeof h, v.f) == sizeof h &&
           fseek(v.f, 0, SEEK_END) == 0;
}

bool WriteAdtsHeader(VoiceFile& v, unsigned len) {
    const unsigned full = len + 7;
    const unsigned channels = v.audio.channel ? 2 : 1;
    unsigned char h[7];
    h[0] = 0xFF;
    h[1] = 0xF1;  // MPEG-4, no CRC
    h[2] = static_cast<unsigned char>((1 << 6) | (v.audio.sample_rate << 2) | (channels >> 2));
    h[3] = static_cast<unsigned char>(((channels & 3) << 6) | ((full >> 11) & 3));
    h[4] = static_cast<unsigned char>((full >> 3) & 0xFF);
    h[5] = static_cast<unsigned char>(((full & 7) << 5) | 0x1F);
    h[6] = 0xFC;
    return fwrite(h, 1, 7, v.f) == 7;
}

bool Open(int service_id, VoiceFile& v, const ks_audio_param_s& audio) {
    v.audio = audio;
    std::string name = voice_file_name(service_id, audio.format);
    v.f = fopen(name.c_str(), "wb");
    if (!v.f) {
        printf("Open voice file %s failed\n", name.c_str());
        return false;
    }
    printf("Voice of service %d goes to %s\n", service_id, name.c_str());
    return !IsG711(audio.format) || WriteWavHeader(v);
}

}  // namespace

std::string voice_file_name(int service_id, ks_audio_format_e format) {
    return "voice_" + std::to_string(service_id) + (IsG711(format) ? ".wav" : ".aac");
}

int voice_file_write(int service_id, const ks_on_push_streaming_data_param_s* param) {
    if (!param || !param->audio_param || !param->p || param->len == 0)
        return -1;
    const ks_audio_param_s& audio = *param->audio_param;
    if ((!IsG711(audio.format) && audio.format != KS_AUDIO_FORMAT_AAC) || audio.sample_rate < 0 ||
        audio.sample_rate > 12)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    VoiceFile& v = g_files[service_id];
    if (v.failed)
        return -1;
    if (!v.f && !Open(service_id, v, audio)) {
        v.failed = true;
        return -1;
    }
    // A session whose codec changes midway keeps its first format: mixing
    // two in one file would make neither playable.
    if (audio.format != v.audio.format)
        return -1;
    bool ok = IsG711(audio.format) || WriteAdtsHeader(v, param->len);
    ok = ok && fwrite(param->p, 1, param->len, v.f) == param->len;
    if (ok && IsG711(audio.format)) {
        v.data_bytes += param->len;
        ok = WriteWavHeader(v);
    }
    ok = ok && fflush(v.f) == 0;
    if (!ok) {
        printf("Write voice file of service %d failed\n", service_id);
        v.failed = true;
        return -1;
    }
    return 0;
}

void voice_file_close(int service_id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_files.find(service_id);
    if (it == g_files.end())
        return;
    if (it->second.f)
        fclose(it->second.f);
    g_files.erase(it);
}

// Camera access units through NAL splitting, the parameter-set readers and the
// muxer. Units never carry a start code's zeros, and every video body the
// muxer emits is exactly a run of length-prefixed units (or a record).
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

uint32_t Get32(const char* p) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
}

int OnData(void*, kestrel::FlvMux::DataType type, const char* data, size_t len, uint32_t) {
    if (type != kestrel::FlvMux::DATA_VIDEO)
        return 0;
    Check(len >= 5);
    if (data[1] == 0)
        return 0;
    size_t at = 5;
    while (at < len) {
        Check(len - at >= 4);
        uint32_t n = Get32(data + at);
        Check(n > 0 && n <= len - at - 4);
        at += 4 + n;
    }
    Check(at == len);
    return 0;
}

void OnStatus(void*, kestrel::FlvMux::Status) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    bool hevc = data[0] & 1;
    std::vector<uint8_t> au(data + 1, data + size);
    const uint8_t* base = au.data();

    std::vector<kestrel::NalUnit> units;
    if (kestrel::nal_split(base, au.size(), &units) == kestrel::CODEC_OK) {
        for (const auto& u : units) {
            Check(u.len > 0 && u.data >= base && u.data + u.len <= base + au.size());
            Check(u.data[u.len - 1] != 0);
        }
    }
    // Each unit also as a parameter set of every kind.
    for (const auto& u : units) {
        kestrel::H264Sps s264;
        kestrel::HevcVps vps;
        kestrel::HevcSps sps;
        kestrel::HevcPps pps;
        size_t stop = 0;
        kestrel::h264_parse_sps(u.data, u.len, &s264, &stop);
        Check(stop <= u.len);
        kestrel::h265_parse_vps(u.data, u.len, &vps, &stop);
        kestrel::h265_parse_sps(u.data, u.len, &sps, &stop);
        Check(stop <= u.len);
        kestrel::h265_parse_pps(u.data, u.len, &pps, &stop);
    }

    kestrel::FlvMux mux(kestrel::FlvMux::MODE_RTMP, nullptr, OnData, OnStatus);
    mux.SendVideo(hevc ? 1 : 0, 1, reinterpret_cast<const char*>(base),
                  static_cast<uint32_t>(au.size()), 0);
    mux.SendVideo(hevc ? 1 : 0, 0, reinterpret_cast<const char*>(base),
                  static_cast<uint32_t>(au.size()), 40);
    return 0;
}

// Readers for the companions of a sample stream N: N.index (one line per frame)
// and N.meta (codec parameters and duration). Both print why they reject a file.
#pragma once

#include <kestrel/ks_api.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kestrel {
namespace camera {

// Every frame of a stream file starts with this marker.
constexpr unsigned char kFrameMarker[4] = {0xFC, 0xFC, 0xFC, 0xFC};
// Largest frame (marker included) a replayer reads.
constexpr uint32_t kMaxFrameLen = 131072;

enum { kMediaVideo = 0, kMediaAudio = 1 };

struct IndexInfo {
    int32_t media;       // 0 video, 1 audio, other: read and skipped
    uint32_t len;        // bytes, marker included
    uint32_t offset;     // position of the marker in the data file
    uint32_t timestamp;  // ms, never below the previous line's
    int32_t key;         // non-zero: video key frame
};

struct StreamParam {
    ks_video_param_s video;
    ks_audio_param_s audio;
    uint32_t duration;  // seconds
};

// Reads "media=%d,offset=%d,len=%d,timestamp=%d,key=%d" lines. A line that does
// not give all five numbers, a negative number or a timestamp below the one
// before invalidates the whole index. Returns 0 or -1.
int ReadStreamIndex(const std::string& path, std::vector<IndexInfo>* index);

// Reads key=value lines; unknown keys are ignored. Returns 0 or -1; *param is
// only written on success.
int ReadStreamMeta(const std::string& path, StreamParam* param);

}  // namespace camera
}  // namespace kestrel

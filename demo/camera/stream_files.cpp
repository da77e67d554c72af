#include "stream_files.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>

namespace kestrel {
namespace camera {

namespace {

// Lines of both files are at most this long, line break excluded.
constexpr size_t kMaxLine = 127;

bool ReadLine(std::ifstream& in, std::string* line) {
    if (!std::getline(in, *line)) {
        return false;
    }
    if (!line->empty() && line->back() == '\r') {
        line->pop_back();
    }
    return true;
}

// Parses a whole decimal integer (surrounding blanks allowed) into [lo, hi].
bool ParseInt(const std::string& text, long long lo, long long hi, long long* out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(begin, &end, 10);
    if (end == begin || errno != 0) {
        return false;
    }
    while (*end == ' ' || *end == '\t') {
        ++end;
    }
    if (*end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

// One field "name=<int>" at *p, followed by ',' (or the end for the last one).
bool ParseField(const char** p, const char* name, bool last, long long* out) {
    size_t n = strlen(name);
    if (strncmp(*p, name, n) != 0 || (*p)[n] != '=') {
        return false;
    }
    const char* begin = *p + n + 1;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(begin, &end, 10);
    if (end == begin || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    if (last) {
        while (*end == ' ' || *end == '\t') {
            ++end;
        }
        if (*end != '\0') {
            return false;
        }
    } else {
        if (*end != ',') {
            return false;
        }
        ++end;
    }
    *out = v;
    *p = end;
    return true;
}

bool ParseIndexLine(const std::string& line, IndexInfo* info) {
    long long media, offset, len, timestamp, key;
    const char* p = line.c_str();
    if (!ParseField(&p, "media", false, &media) || !ParseField(&p, "offset", false, &offset) ||
        !ParseField(&p, "len", false, &len) || !ParseField(&p, "timestamp", false, &timestamp) ||
        !ParseField(&p, "key", true, &key)) {
        return false;
    }
    if (offset < 0 || len < 0 || timestamp < 0) {
        return false;
    }
    info->media = static_cast<int32_t>(media);
    info->offset = static_cast<uint32_t>(offset);
    info->len = static_cast<uint32_t>(len);
    info->timestamp = static_cast<uint32_t>(timestamp);
    info->key = static_cast<int32_t>(key);
    return true;
}

bool InvalidParam(const std::string& value) {
    printf("Invalid param:  %s\n", value.c_str());
    return false;
}

// Applies one meta line; false when it makes the whole file invalid.
bool ApplyMeta(const std::string& key, const std::string& value, StreamParam* param) {
    long long v = 0;
    if (key == "video.format") {
        if (value == "h264") {
            param->video.format = KS_VIDEO_FORMAT_H264;
        } else if (value == "h265") {
            param->video.format = KS_VIDEO_FORMAT_H265;
        } else {
            InvalidParam(value);  // keeps the format read so far
        }
    } else if (key == "video.fps") {
        if (!ParseInt(value, 0, 1000, &v)) {
            return InvalidParam(value);
        }
        param->video.fps = static_cast<uint32_t>(v);
    } else if (key == "audio.format") {
        if (value == "aac") {
            param->audio.format = KS_AUDIO_FORMAT_AAC;
        } else if (value == "g711a") {
            param->audio.format = KS_AUDIO_FORMAT_G711A;
        } else if (value == "pcm") {
            param->audio.format = KS_AUDIO_FORMAT_PCM;
        } else if (value == "g711u") {
            param->audio.format = KS_AUDIO_FORMAT_G711U;
        } else {
            InvalidParam(value);
        }
    } else if (key == "audio.sample_rate") {
        static const long long kRates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                                           24000, 22050, 16000, 12000, 11025, 8000};
        if (!ParseInt(value, 0, INT32_MAX, &v)) {
            return InvalidParam(value);
        }
        int code = -1;
        for (int i = 0; i < static_cast<int>(sizeof(kRates) / sizeof(kRates[0])); ++i) {
            if (kRates[i] == v) {
                code = i;
            }
        }
        if (code < 0) {
            return InvalidParam(value);
        }
        param->audio.sample_rate = code;
    } else if (key == "audio.bits_per_sample") {
        if (!ParseInt(value, 0, INT32_MAX, &v) || (v != 8 && v != 16)) {
            return InvalidParam(value);
        }
        param->audio.bits_per_sample = v == 8 ? KS_AUDIO_BITS_8 : KS_AUDIO_BITS_16;
    } else if (key == "audio.channel") {
        if (!ParseInt(value, 0, INT32_MAX, &v) || (v != 1 && v != 2)) {
            return InvalidParam(value);
        }
        param->audio.channel = v == 1 ? KS_AUDIO_CHANNEL_MONO : KS_AUDIO_CHANNEL_STEREO;
    } else if (key == "duration") {
        if (!ParseInt(value, 0, INT32_MAX, &v)) {
            return InvalidParam(value);
        }
        param->duration = static_cast<uint32_t>(v);
    }
    return true;
}

}  // namespace

int ReadStreamIndex(const std::string& path, std::vector<IndexInfo>* index) {
    std::ifstream in(path);
    if (!in) {
        printf("Read file failed: %s\n", path.c_str());
        return -1;
    }
    std::vector<IndexInfo> frames;
    std::string line;
    while (ReadLine(in, &line)) {
        IndexInfo info;
        if (line.size() > kMaxLine || !ParseIndexLine(line, &info) ||
            (!frames.empty() && info.timestamp < frames.back().timestamp)) {
            printf("Read file failed: %s\n", path.c_str());
            return -1;
        }
        frames.push_back(info);
    }
    if (in.bad()) {
        printf("Read file failed: %s\n", path.c_str());
        return -1;
    }
    if (frames.empty()) {
        printf("Read index file failed: %s\n", path.c_str());
        return -1;
    }
    index->swap(frames);
    return 0;
}

int ReadStreamMeta(const std::string& path, StreamParam* param) {
    std::ifstream in(path);
    if (!in) {
        printf("Read file failed: %s\n", path.c_str());
        return -1;
    }
    StreamParam read;
    memset(&read, 0, sizeof(read));
    std::string line;
    while (ReadLine(in, &line)) {
        if (line.size() > kMaxLine) {
            printf("Read file failed: %s\n", path.c_str());
            return -1;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;  // blank or comment line
        }
        if (!ApplyMeta(line.substr(0, eq), line.substr(eq + 1), &read)) {
            return -1;
        }
    }
    if (in.bad()) {
        printf("Read file failed: %s\n", path.c_str());
        return -1;
    }
    *param = read;
    return 0;
}

}  // namespace camera
}  // namespace kestrel

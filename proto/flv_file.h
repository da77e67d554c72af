// FLV file framing for recordings written to object storage: the file header
// and tags around the bodies FlvMux produces. Pure functions over a byte
// string; nothing here knows about codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

enum FlvTagType : int { FLV_TAG_AUDIO = 8, FLV_TAG_VIDEO = 9, FLV_TAG_SCRIPT = 18 };

enum : size_t {
    kFlvFileHeaderSize = 13,    // 9-byte header and the first PreviousTagSize
    kFlvTagOverhead = 15,       // 11-byte tag header and the trailing PreviousTagSize
    kFlvMaxTagBody = 0xFFFFFF,  // DataSize is 24 bits
};

// "FLV", version 1, the audio and video flags, header size 9, then
// PreviousTagSize0 (0).
void flv_file_header(std::string& out, bool audio, bool video);

// Appends one tag: header (type, 24-bit size, timestamp with its extension
// byte, stream id 0), the body and PreviousTagSize. -1 with `out` untouched
// for an unknown type or a body over 24 bits (or null with a length).
int flv_append_tag(std::string& out, int type, uint32_t timestamp, const char* body, size_t len);

}  // namespace kestrel

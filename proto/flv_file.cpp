#include "proto/flv_file.h"

namespace kestrel {

namespace {

void Put24(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>((v >> 16) & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
    out.push_back(static_cast<char>(v & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>((v >> 24) & 0xFF));
    Put24(out, v);
}

}  // namespace

void flv_file_header(std::string& out, bool audio, bool video) {
    out.append("FLV\x01", 4);
    out.push_back(static_cast<char>((audio ? 4 : 0) | (video ? 1 : 0)));
    Put32(out, 9);
    Put32(out, 0);
}

int flv_append_tag(std::string& out, int type, uint32_t timestamp, const char* body, size_t len) {
    if ((type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO && type != FLV_TAG_SCRIPT) ||
        len > kFlvMaxTagBody || (body == nullptr && len != 0)) {
        return -1;
    }
    out.push_back(static_cast<char>(type));
    Put24(out, static_cast<uint32_t>(len));
    Put24(out, timestamp & 0xFFFFFF);
    out.push_back(static_cast<char>((timestamp >> 24) & 0xFF));
    Put24(out, 0);
    out.append(body, len);
    Put32(out, static_cast<uint32_t>(len + 11));
    return 0;
}

}  // namespace kestrel

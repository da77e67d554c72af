#include "picture_parser.h"

#include <stdio.h>

#include <algorithm>

namespace kestrel {
namespace camera {

PictureParser::PictureParser(PictureSink sink, void* user, ReplayClock& clock)
    : sink_(sink), user_(user), clock_(clock) {}

PictureParser::~PictureParser() {
    Stop();
}

int PictureParser::Start(unsigned interval, const std::string& path) {
    Stop();
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        printf("Open file failed: %s\n", path.c_str());
        return -1;
    }
    int result = -1;
    long size = -1;
    if (fseek(f, 0, SEEK_END) != 0 || (size = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0) {
        printf("File read error: %s\n", path.c_str());
    } else if (static_cast<unsigned long>(size) > kMaxPicture) {
        printf("File is too large: %s\n", path.c_str());
    } else if (fread(buffer_, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        printf("File read error: %s\n", path.c_str());
    } else {
        result = 0;
    }
    fclose(f);
    if (result != 0) {
        len_ = 0;
        return -1;
    }
    len_ = static_cast<unsigned>(size);
    interval_ = std::max(interval, kMinInterval);
    return thread_.Start(&PictureParser::ThreadMain, this);
}

void PictureParser::Stop() {
    thread_.Stop();
}

int PictureParser::Capture(unsigned char** p, unsigned* len) {
    if (p == nullptr || len == nullptr || len_ == 0) {
        return -1;
    }
    *p = buffer_;
    *len = len_;
    return 0;
}

bool PictureParser::ThreadMain(void* self) {
    PictureParser* parser = static_cast<PictureParser*>(self);
    // One wait for the whole interval: Stop() ends it, nothing wakes to look.
    parser->clock_.WaitMs(parser->interval_ * 1000u, parser->thread_);
    if (!parser->thread_.Running())
        return false;
    parser->sink_(parser->user_, parser->buffer_, parser->len_);
    return true;
}

}  // namespace camera
}  // namespace kestrel

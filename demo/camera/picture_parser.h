// The camera's still picture: one JPEG read at start, handed out on request and
// given to the picture sink every `interval` seconds.
#pragma once

#include <string>

#include "replay_clock.h"
#include "thread_entry.h"

namespace kestrel {
namespace camera {

class PictureParser {
  public:
    using PictureSink = void (*)(void* user, unsigned char* p, unsigned len);

    static constexpr unsigned kMaxPicture = 65536;
    static constexpr unsigned kMinInterval = 10;

    PictureParser(PictureSink sink, void* user, ReplayClock& clock = SystemReplayClock());
    PictureParser(const PictureParser&) = delete;
    PictureParser& operator=(const PictureParser&) = delete;
    ~PictureParser();

    // Reads the picture (at most 64 KiB) and starts the periodic thread; the
    // interval is raised to at least 10 s. Returns 0 or -1.
    int Start(unsigned interval, const std::string& path);
    void Stop();
    // The picture buffer itself and its length; -1 before a successful Start.
    int Capture(unsigned char** p, unsigned* len);
    unsigned Interval() const { return interval_; }

  private:
    static bool ThreadMain(void* self);

    PictureSink sink_;
    void* user_;
    ReplayClock& clock_;
    unsigned char buffer_[kMaxPicture];
    unsigned len_ = 0;
    unsigned interval_ = kMinInterval;
    ThreadEntry thread_;
};

}  // namespace camera
}  // namespace kestrel

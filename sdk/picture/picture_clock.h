// Clocks of the picture services, replaceable so tests never wait.
#pragma once

#include <cstdint>

namespace kestrel {

struct PictureClock {
    uint64_t (*mono_ms)();  // monotonic milliseconds
    uint64_t (*wall_ms)();  // wall-clock milliseconds since the epoch
};

PictureClock picture_clock_default();

// How long a request waits for its answer (a picture from the application,
// an upload URL from the cloud) before it is dropped and its picture freed.
constexpr uint64_t kPictureRequestExpireMs = 5 * 60 * 1000;

// The largest picture the services take.
constexpr unsigned kPictureMaxBytes = 5242880;

}  // namespace kestrel

#include <string>

namespace kestrel {

// The device's log label, or false for an unknown or illegal device.
bool picture_device_label(int dev_id, std::string& label);

}  // namespace kestrel

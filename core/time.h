#pragma once

#include <string>

namespace kestrel {

class Time {
  public:
    // Monotonic clock: whole seconds when `seconds` is non-zero, else milliseconds.
    static unsigned long GetSystemTimeInt(int seconds);
    static std::string GetSystemTimeString(int seconds);
    // Local time "%y-%m-%d-%H:%M:%S", with ".mmm" of the wall clock when asked.
    static std::string GetUtcTime(bool with_ms);
    // Wall-clock milliseconds since the Unix epoch, as decimal text.
    static void GetUtcTimeMs(std::string& out);
    // The current UTC time as an HTTP date, e.g. "Sun, 06 Dec 2026 17:53:07 GMT".
    static std::string GetGmtDate();
};

class Sleep {
  public:
    static void SleepMs(unsigned ms);
};

}  // namespace kestrel

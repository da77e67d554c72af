// The clock the camera paces itself by. Replay and picture threads ask it for the
// time and sleep through it, so a test can run them on simulated time.
#pragma once

#include <stdint.h>

#include "thread_entry.h"

namespace kestrel {
namespace camera {

class ReplayClock {
  public:
    virtual ~ReplayClock() = default;
    // Monotonic milliseconds.
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(unsigned ms) = 0;
    // A long wait of `thread`'s own function that its Stop() cuts short. A
    // simulated clock lets its own time pass instead.
    virtual void WaitMs(unsigned ms, ThreadEntry& thread) = 0;
};

// The monotonic clock of the machine; the default of every camera part.
ReplayClock& SystemReplayClock();

}  // namespace camera
}  // namespace kestrel

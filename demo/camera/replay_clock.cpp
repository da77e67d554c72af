#include "replay_clock.h"

#include <unistd.h>

#include "thread_entry.h"

namespace kestrel {
namespace camera {

namespace {
class SystemClock : public ReplayClock {
  public:
    uint64_t NowMs() override { return GetLocalTime(); }
    void SleepMs(unsigned ms) override { usleep(ms * 1000u); }
    void WaitMs(unsigned ms, ThreadEntry& thread) override { thread.WaitStop(ms); }
};
}  // namespace

ReplayClock& SystemReplayClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace camera
}  // namespace kestrel

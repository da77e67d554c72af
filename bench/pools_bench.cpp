// Latency of the two work queues every SDK component posts to: how long a
// job waits between AddJob and its Run(), and how far past its due time a
// task-queue task starts (delay 0 = straight after posting).
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/job_pool.h"
#include "core/logger.h"
#include "net/task_queue.h"

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

void QuietLogger(int, const char*, int, const char*, ...) {}

// Handed to the job or task: stamps the moment it ran and wakes the poster.
struct Stamp {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    Clock::time_point ran;

    void Hit() {
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lk(mu);
        ran = now;
        done = true;
        cv.notify_one();
    }
    Clock::time_point Wait() {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait(lk, [this] { return done; });
        done = false;
        return ran;
    }
};

class StampJob : public JobProperty {
  public:
    explicit StampJob(Stamp* s) : s_(s) {}
    void Run() override { s_->Hit(); }

  private:
    Stamp* s_;
};

void StampTask(void* user) {
    static_cast<Stamp*>(user)->Hit();
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_JobPostToRun(benchmark::State& state) {
    logger_set_user_define(QuietLogger);
    JobPool pool;
    pool.Start();
    Stamp stamp;
    for (auto _ : state) {
        Clock::time_point posted = Clock::now();
        pool.AddJob(new StampJob(&stamp));
        state.SetIterationTime(Seconds(stamp.Wait() - posted));
    }
    pool.Stop();
}
BENCHMARK(BM_JobPostToRun)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Iteration time: from posting to the task's start. Counter late_us: how far
// past its due time (post + delay) the task started.
void BM_TaskQueueScheduling(benchmark::State& state) {
    logger_set_user_define(QuietLogger);
    const unsigned long delay_ms = static_cast<unsigned long>(state.range(0));
    TaskQueue queue;
    queue.Start();
    Stamp stamp;
    double late_s = 0;
    for (auto _ : state) {
        Clock::time_point posted = Clock::now();
        queue.AddTask(&stamp, StampTask, delay_ms);
        Clock::time_point ran = stamp.Wait();
        state.SetIterationTime(Seconds(ran - posted));
        late_s += Seconds(ran - posted) - delay_ms / 1000.0;
    }
    state.counters["late_us"] =
        benchmark::Counter(late_s * 1e6, benchmark::Counter::kAvgIterations);
    queue.Stop(true);
}
BENCHMARK(BM_TaskQueueScheduling)->Arg(0)->Arg(5)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

#include "core/job_pool.h"

#include <gtest/gtest.h>

#include "log_capture.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace kestrel;

namespace {

// Records its id (and what it saw) when it runs, and counts deletions, so a
// test can tell "ran" from "deleted unrun".
struct Journal {
    std::mutex mu;
    std::vector<int> ran;
    std::vector<std::thread::id> threads;
    std::atomic<int> deleted{0};
    std::atomic<bool> stop_returned{false};
    std::vector<bool> stop_returned_when_run;

    std::vector<int> Ran() {
        std::lock_guard<std::mutex> lk(mu);
        return ran;
    }
};

class RecordJob : public JobProperty {
  public:
    RecordJob(Journal* j, int id) : j_(j), id_(id) {}
    ~RecordJob() override { j_->deleted++; }
    void Run() override {
        std::lock_guard<std::mutex> lk(j_->mu);
        j_->ran.push_back(id_);
        j_->threads.push_back(std::this_thread::get_id());
        j_->stop_returned_when_run.push_back(j_->stop_returned.load());
    }

  private:
    Journal* j_;
    int id_;
};

// Blocks the worker until released, so later jobs are certainly queued.
class GateJob : public JobProperty {
  public:
    explicit GateJob(std::shared_future<void> open) : open_(std::move(open)) {}
    void Run() override { open_.wait(); }

  private:
    std::shared_future<void> open_;
};

class FnJob : public JobProperty {
  public:
    explicit FnJob(std::function<void()> fn) : fn_(std::move(fn)) {}
    void Run() override { fn_(); }

  private:
    std::function<void()> fn_;
};

TEST(JobPool, RunsJobsFifoOnOneWorkerAndDeletesThem) {
    Journal j;
    JobPool pool;
    ASSERT_EQ(0, pool.Start());
    // Posted from several threads: each poster's own jobs keep their order.
    const int kPosters = 3, kPerPoster = 200;
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPerPoster; ++i)
                pool.AddJob(new RecordJob(&j, p * 1000 + i));
        });
    }
    for (auto& t : posters)
        t.join();
    ASSERT_EQ(0, pool.Stop());

    std::vector<int> ran = j.Ran();
    ASSERT_EQ(size_t(kPosters * kPerPoster), ran.size());
    std::vector<int> last(kPosters, -1);
    for (int id : ran) {
        int p = id / 1000, i = id % 1000;
        EXPECT_EQ(last[p] + 1, i) << "poster " << p << " out of order";
        last[p] = i;
    }
    for (auto& t : j.threads) {
        EXPECT_EQ(j.threads[0], t);
        EXPECT_NE(std::this_thread::get_id(), t);
    }
    EXPECT_EQ(kPosters * kPerPoster, j.deleted.load());
}

TEST(JobPool, JobsToAPoolNotStartedAreDeletedUnrun) {
    Journal j;
    JobPool pool;
    pool.AddJob(new RecordJob(&j, 1));  // before Start
    ASSERT_EQ(0, pool.Start());
    ASSERT_EQ(0, pool.Stop());
    pool.AddJob(new RecordJob(&j, 2));  // after Stop
    EXPECT_TRUE(j.Ran().empty());
    EXPECT_EQ(2, j.deleted.load());
    pool.AddJob(nullptr);  // refused with a log line, no crash
}

// Stop must not return before every job queued ahead of it has run (in
// order), and refuses jobs posted once it has begun.
TEST(JobPool, StopDrainsQueuedJobsBeforeTheWorkerEnds) {
    Journal j;
    JobPool pool;
    ASSERT_EQ(0, pool.Start());
    std::promise<void> gate;
    pool.AddJob(new GateJob(gate.get_future().share()));
    for (int i = 1; i <= 3; ++i)
        pool.AddJob(new RecordJob(&j, i));

    std::thread stopper([&] {
        EXPECT_EQ(0, pool.Stop());
        j.stop_returned = true;
    });
    // Wait until Stop has begun: from then on new jobs are refused.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (pool.IsStarted() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_FALSE(pool.IsStarted());
    pool.AddJob(new RecordJob(&j, 99));
    EXPECT_FALSE(j.stop_returned.load());
    gate.set_value();
    stopper.join();

    EXPECT_EQ((std::vector<int>{1, 2, 3}), j.Ran());
    for (bool seen : j.stop_returned_when_run)
        EXPECT_FALSE(seen);
    EXPECT_EQ(4, j.deleted.load());
}

TEST(JobPool, StopFromAJobIsRefusedAndThePoolRestarts) {
    JobPool pool;
    EXPECT_EQ(0, pool.Stop());  // never started: returns at once
    ASSERT_EQ(0, pool.Start());
    EXPECT_EQ(0, pool.Start());  // second Start: no second worker
    std::promise<int> inner;
    pool.AddJob(new FnJob([&] { inner.set_value(pool.Stop()); }));
    EXPECT_EQ(-1, inner.get_future().get());
    EXPECT_TRUE(pool.IsStarted());
    ASSERT_EQ(0, pool.Stop());

    Journal j;
    ASSERT_EQ(0, pool.Start());
    pool.AddJob(new RecordJob(&j, 7));
    ASSERT_EQ(0, pool.Stop());
    EXPECT_EQ((std::vector<int>{7}), j.Ran());
}

TEST(JobPool, DestructorDrainsWhatIsQueued) {
    Journal j;
    {
        JobPool pool;
        ASSERT_EQ(0, pool.Start());
        std::promise<void> gate;
        pool.AddJob(new GateJob(gate.get_future().share()));
        pool.AddJob(new RecordJob(&j, 1));
        pool.AddJob(new RecordJob(&j, 2));
        gate.set_value();
    }
    EXPECT_EQ((std::vector<int>{1, 2}), j.Ran());
    EXPECT_EQ(2, j.deleted.load());
}

uint64_t g_fake_ms = 0;
uint64_t FakeClock() {
    return g_fake_ms;
}

// A queue at its bound drops new jobs (deleted unrun, counted) and says so
// in at most one line a second, whatever the rate of posting.
TEST(JobPool, FullQueueDropsCountsAndReportsOncePerSecond) {
    kestrel_test::LogCapture log;
    Journal j;
    JobPool pool;
    pool.SetLimit(4);
    pool.SetClock(&FakeClock);
    g_fake_ms = 10000;
    ASSERT_EQ(0, pool.Start());
    std::promise<void> gate;
    pool.AddJob(new GateJob(gate.get_future().share()));
    // The gate may still be queued or already running: fill up to the bound.
    for (int i = 1; i <= 1000; ++i)
        pool.AddJob(new RecordJob(&j, i));
    unsigned long dropped = pool.Dropped();
    EXPECT_GE(dropped, 996u);
    EXPECT_EQ(1u, log.Count("JobPool queue full"));
    g_fake_ms += 999;
    pool.AddJob(new RecordJob(&j, 2000));
    EXPECT_EQ(1u, log.Count("JobPool queue full"));
    g_fake_ms += 1;
    pool.AddJob(new RecordJob(&j, 2001));
    EXPECT_EQ(2u, log.Count("JobPool queue full"));
    // The first line told one drop; the second tells every one since.
    EXPECT_TRUE(log.Contains(std::to_string(dropped + 1) + " dropped since the last report"));
    gate.set_value();
    ASSERT_EQ(0, pool.Stop());
    EXPECT_EQ(dropped + 2, pool.Dropped());
    EXPECT_EQ(j.Ran().size() + pool.Dropped(), 1002u);
    EXPECT_EQ(1002, j.deleted.load());
}

}  // namespace

#include "core/async_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kestrel;

namespace {

// Stands in for an upload: Run() either starts a "transfer" (a slot token
// kept until the test finishes it) or fails before taking a slot.
struct Uploads {
    AsyncProcessPool* pool;
    std::vector<std::string> started;
    std::vector<std::pair<std::string, std::unique_ptr<AsyncProcessCount>>> in_flight;

    void Finish(const std::string& name) {
        for (auto it = in_flight.begin(); it != in_flight.end(); ++it) {
            if (it->first == name) {
                auto token = std::move(it->second);
                in_flight.erase(it);
                token.reset();  // frees the slot: the next pending upload starts here
                return;
            }
        }
        ADD_FAILURE() << name << " not in flight";
    }
};

class Upload : public AsyncProcess {
  public:
    Upload(Uploads* u, std::string name, bool fails = false)
        : u_(u), name_(std::move(name)), fails_(fails) {}
    void Run() override {
        u_->started.push_back(name_);
        if (!fails_) {
            u_->in_flight.emplace_back(name_, std::make_unique<AsyncProcessCount>(u_->pool));
        }
    }

  private:
    Uploads* u_;
    std::string name_;
    bool fails_;
};

SharedPtr<AsyncProcess> MakeUpload(Uploads* u, const std::string& name, bool fails = false) {
    return SharedPtr<AsyncProcess>(new Upload(u, name, fails));
}

TEST(AsyncProcessPool, SetParallelClampsAndRefusesZero) {
    const struct {
        unsigned in;
        int expect;
    } cases[] = {{3, 3}, {8, 8}, {20, 8}, {0, 8}, {1, 1}, {0, 1}};
    AsyncProcessPool pool;
    EXPECT_EQ(1, pool.GetParallel());
    for (const auto& c : cases) {
        pool.SetParallel(c.in);
        EXPECT_EQ(c.expect, pool.GetParallel()) << "SetParallel(" << c.in << ")";
    }
}

TEST(AsyncProcessPool, LimitTwoStartsTheThirdOnlyWhenOneFinishes) {
    AsyncProcessPool pool;
    pool.SetParallel(2);
    Uploads u{&pool, {}, {}};
    pool.AddAsyncProcess(MakeUpload(&u, "a"));
    pool.AddAsyncProcess(MakeUpload(&u, "b"));
    pool.AddAsyncProcess(MakeUpload(&u, "c"));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), u.started);
    EXPECT_EQ(2, pool.GetRunning());
    EXPECT_EQ(1, pool.GetPending());

    u.Finish("b");
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), u.started);
    EXPECT_EQ(2, pool.GetRunning());
    u.Finish("a");
    u.Finish("c");
    EXPECT_EQ(0, pool.GetRunning());
    EXPECT_EQ(0, pool.GetPending());
}

// An upload that fails before taking a slot must not strand the ones queued
// behind it until some unrelated event.
TEST(AsyncProcessPool, FailedStartDoesNotStrandTheNextUpload) {
    AsyncProcessPool pool;
    Uploads u{&pool, {}, {}};
    pool.AddAsyncProcess(MakeUpload(&u, "a"));
    pool.AddAsyncProcess(MakeUpload(&u, "fails", true));
    pool.AddAsyncProcess(MakeUpload(&u, "c"));
    EXPECT_EQ((std::vector<std::string>{"a"}), u.started);

    u.Finish("a");
    EXPECT_EQ((std::vector<std::string>{"a", "fails", "c"}), u.started);
    EXPECT_EQ(1, pool.GetRunning());
    u.Finish("c");
    EXPECT_EQ(0, pool.GetRunning());
}

TEST(AsyncProcessPool, RaisingTheLimitStartsWaitingUploadsAndSpareFreesAreHarmless) {
    AsyncProcessPool pool;
    Uploads u{&pool, {}, {}};
    for (const char* n : {"a", "b", "c"})
        pool.AddAsyncProcess(MakeUpload(&u, n));
    EXPECT_EQ(1u, u.started.size());
    pool.SetParallel(3);
    EXPECT_EQ(3u, u.started.size());

    for (const char* n : {"a", "b", "c"})
        u.Finish(n);
    pool.DeleteProcess();  // one free too many: logged, count stays at 0
    EXPECT_EQ(0, pool.GetRunning());
    pool.AddAsyncProcess(SharedPtr<AsyncProcess>());  // refused, nothing queued
    EXPECT_EQ(0, pool.GetPending());
}

// Several threads queue uploads while a "network" thread finishes transfers:
// the number of transfers alive at once must never exceed the limit, and
// every upload must eventually run.
TEST(AsyncProcessPool, ConcurrentAddsAndFinishesNeverExceedTheLimit) {
    const int kLimit = 2, kThreads = 4, kPerThread = 100;
    AsyncProcessPool pool;
    pool.SetParallel(kLimit);

    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::unique_ptr<AsyncProcessCount>> to_finish;
    std::atomic<int> live{0}, max_live{0}, done{0};
    bool stop = false;

    struct Transfer : AsyncProcess {
        AsyncProcessPool* pool;
        std::mutex* mu;
        std::condition_variable* cv;
        std::deque<std::unique_ptr<AsyncProcessCount>>* q;
        std::atomic<int>*live, *max_live;
        void Run() override {
            auto token = std::make_unique<AsyncProcessCount>(pool);
            int now = ++*live;
            int seen = max_live->load();
            while (now > seen && !max_live->compare_exchange_weak(seen, now)) {
            }
            std::lock_guard<std::mutex> lk(*mu);
            q->push_back(std::move(token));
            cv->notify_one();
        }
    };

    std::thread network([&] {
        std::unique_lock<std::mutex> lk(mu);
        for (;;) {
            cv.wait(lk, [&] { return stop || !to_finish.empty(); });
            if (to_finish.empty())
                return;
            auto token = std::move(to_finish.front());
            to_finish.pop_front();
            lk.unlock();
            --live;
            ++done;
            token.reset();  // may start the next transfer on this thread
            lk.lock();
        }
    });

    std::vector<std::thread> adders;
    for (int t = 0; t < kThreads; ++t) {
        adders.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) {
                auto* tr = new Transfer;
                tr->pool = &pool;
                tr->mu = &mu;
                tr->cv = &cv;
                tr->q = &to_finish;
                tr->live = &live;
                tr->max_live = &max_live;
                pool.AddAsyncProcess(SharedPtr<AsyncProcess>(tr));
            }
        });
    }
    for (auto& t : adders)
        t.join();

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done.load() < kThreads * kPerThread && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    {
        std::lock_guard<std::mutex> lk(mu);
        stop = true;
        cv.notify_one();
    }
    network.join();

    EXPECT_EQ(kThreads * kPerThread, done.load());
    EXPECT_LE(max_live.load(), kLimit);
    EXPECT_EQ(0, pool.GetRunning());
    EXPECT_EQ(0, pool.GetPending());
}

}  // namespace

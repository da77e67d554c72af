#include "net/task_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/time.h"
#include "net/net_socket_pair.h"

using namespace kestrel;

namespace {

// What the tasks of one test saw, in run order.
struct Log {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<unsigned long> at_ms;
    std::vector<std::thread::id> threads;

    void Add(const std::string& e) {
        std::lock_guard<std::mutex> lk(mu);
        events.push_back(e);
        at_ms.push_back(Time::GetSystemTimeInt(0));
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
    }
    bool WaitFor(size_t n, int ms = 2000) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return events.size() >= n; });
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lk(mu);
        return events;
    }
};

struct Named {
    Log* log;
    std::string name;
};

void RunA(void* user) {
    auto* n = static_cast<Named*>(user);
    n->log->Add(n->name);
}

void RunB(void* user, int i, const std::string& a, const std::string& b, const std::string& c) {
    static_cast<Log*>(user)->Add("B" + std::to_string(i) + a + b + c);
}

void RunC(void* user, int i, int j, const std::string& a, const std::string& b) {
    static_cast<Log*>(user)->Add("C" + std::to_string(i) + std::to_string(j) + a + b);
}

class CountedTask : public TaskEntry {
  public:
    CountedTask(std::atomic<int>* ran, std::atomic<int>* deleted) : ran_(ran), deleted_(deleted) {}
    ~CountedTask() override { ++*deleted_; }
    void Run() override { ++*ran_; }

  private:
    std::atomic<int>* ran_;
    std::atomic<int>* deleted_;
};

// Sleeps on the queue thread so that tasks pile up behind it.
class BlockTask : public TaskEntry {
  public:
    explicit BlockTask(int ms, std::atomic<bool>* started = nullptr) : ms_(ms), started_(started) {}
    void Run() override {
        if (started_ != nullptr)
            *started_ = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms_));
    }

  private:
    int ms_;
    std::atomic<bool>* started_;
};

void WaitTrue(const std::atomic<bool>& flag) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!flag.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(flag.load());
}

TEST(TaskQueue, KindsCarryTheirArgumentsAndRunOnTheQueueThread) {
    Log log;
    TaskQueue q;
    ASSERT_EQ(0, q.Start());
    Named a{&log, "A"};
    // The strings are temporaries: the task must hold copies.
    EXPECT_GT(q.AddTask(&a, RunA, 0), 0);
    EXPECT_GT(q.AddTask(&log, RunB, 0, 7, std::string("x"), std::string("y"), std::string("z")), 0);
    EXPECT_GT(q.AddTask(&log, RunC, 0, 1, 2, std::string("p"), std::string("q")), 0);
    EXPECT_GT(q.AddTask(&log, static_cast<TaskA::Fn>(nullptr), 0), 0);  // runs as a no-op
    EXPECT_EQ(-1, q.AddTask(static_cast<TaskEntry*>(nullptr)));
    ASSERT_TRUE(log.WaitFor(3));
    q.Stop(true);
    EXPECT_EQ((std::vector<std::string>{"A", "B7xyz", "C12pq"}), log.Events());
    for (auto& t : log.threads)
        EXPECT_NE(std::this_thread::get_id(), t);
}

// An idle queue waits 60 s; a delayed post must wake it to recompute its wait.
TEST(TaskQueue, DelayedTaskOnAnIdleQueueRunsAfterItsDelay) {
    Log log;
    TaskQueue q;
    ASSERT_EQ(0, q.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // now idle in its long wait
    Named a{&log, "late"}, b{&log, "now"};
    unsigned long posted = Time::GetSystemTimeInt(0);
    q.AddTask(&a, RunA, 120);
    q.AddTask(&b, RunA, 0);
    ASSERT_TRUE(log.WaitFor(2, 1500)) << "the delayed task did not wake the queue";
    q.Stop(true);
    EXPECT_EQ((std::vector<std::string>{"now", "late"}), log.Events());
    EXPECT_GE(log.at_ms[1], posted + 120) << "ran before its forward time";
}

// Tasks that are due together run in posting order, not deadline order.
TEST(TaskQueue, TasksDueInOnePassRunInPostingOrder) {
    Log log;
    TaskQueue q;
    ASSERT_EQ(0, q.Start());
    std::atomic<bool> blocking{false};
    q.AddTask(new BlockTask(150, &blocking));
    WaitTrue(blocking);  // everything below is posted while the queue is busy
    Named a{&log, "a"}, b{&log, "b"}, c{&log, "c"}, d{&log, "d"};
    q.AddTask(&a, RunA, 60);
    q.AddTask(&b, RunA, 0);
    q.AddTask(&c, RunA, 30);
    q.AddTask(&d, RunA, 400);  // not due in that pass: runs after the others
    ASSERT_TRUE(log.WaitFor(4));
    q.Stop(true);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d"}), log.Events());
}

TEST(TaskQueue, StopRunsDueTasksAndDeletesWaitingOnesUnrun) {
    std::atomic<int> ran{0}, deleted{0};
    {
        TaskQueue q;
        ASSERT_EQ(0, q.Start());
        q.AddTask(new BlockTask(100));
        for (int i = 0; i < 3; ++i)
            q.AddTask(new CountedTask(&ran, &deleted));
        auto* waiting = new CountedTask(&ran, &deleted);
        waiting->SetDelayTime(60000);
        q.AddTask(waiting);
        q.Stop(true);
        EXPECT_EQ(3, ran.load());
        EXPECT_EQ(1ul, q.GetTaskCount());
    }
    EXPECT_EQ(3, ran.load());
    EXPECT_EQ(4, deleted.load());
}

TEST(TaskQueue, PostsBeforeStartRunOnceStarted) {
    std::atomic<int> ran{0}, deleted{0};
    TaskQueue q;
    EXPECT_EQ(-1, q.AddTask(new CountedTask(&ran, &deleted)));  // queued, no loop to wake yet
    ASSERT_EQ(0, q.Start());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (ran.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    q.Stop(true);
    EXPECT_EQ(1, ran.load());
    EXPECT_EQ(1, deleted.load());
}

// Posting from many threads at once (more wake bytes than one drain read
// takes): every task runs exactly once.
TEST(TaskQueue, ConcurrentPostersEveryTaskRunsOnce) {
    std::atomic<int> ran{0}, deleted{0};
    TaskQueue q;
    ASSERT_EQ(0, q.Start());
    const int kThreads = 4, kEach = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_GT(q.AddTask(new CountedTask(&ran, &deleted)), 0);
        });
    }
    for (auto& t : posters)
        t.join();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ran.load() < kThreads * kEach && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    q.Stop(true);
    EXPECT_EQ(kThreads * kEach, ran.load());
    EXPECT_EQ(kThreads * kEach, deleted.load());
}

TEST(NetSocketPair, FullPipeStillCountsAsAWakeAndDrainEmptiesIt) {
    NetSocketPair pair;
    EXPECT_EQ(-1, pair.Send("t", 1));  // not started
    ASSERT_EQ(0, pair.Start());
    EXPECT_EQ(0, pair.Start());  // already open
    std::string chunk(256, 't');
    // Far more than a socket buffer holds: once full, writes would block,
    // yet each must still report the wake as delivered.
    for (int i = 0; i < 8192; ++i)
        ASSERT_EQ(256, pair.Send(chunk.data(), chunk.size())) << i;
    pair.Readable();
    EXPECT_FALSE(pair.IsClosed());
    char c;
    EXPECT_EQ(-1, read(pair.GetReadFd(), &c, 1)) << "drain left bytes behind";
    pair.Stop();
    EXPECT_TRUE(pair.IsClosed());
    EXPECT_EQ(-1, pair.Send("t", 1));
}

}  // namespace

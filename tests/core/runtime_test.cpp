// Logger line format and filtering, thread life cycle, clocks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <fstream>
#include <regex>
#include <sstream>

#include "core/logger.h"
#include "core/thread.h"
#include "core/time.h"

using namespace kestrel;

namespace {

// Runs `fn` with standard output sent to a file and returns what it printed.
template <typename Fn>
std::string CaptureStdout(Fn fn) {
    fflush(stdout);
    char path[] = "/tmp/ks_logXXXXXX";
    int fd = mkstemp(path);
    int saved = dup(1);
    dup2(fd, 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(path);
    return ss.str();
}

}  // namespace

TEST(LoggerTest, LineFormatColoursAndLevelFilter) {
    logger_reset_default();
    logger_set_level(KS_LOG_DEBUG);
    std::string out = CaptureStdout([] {
        logger_printf(KS_LOG_ERROR, "a.cpp", 12, "boom %d", 7);
        logger_printf(KS_LOG_INFO, "b.cpp", 3, "hello");
        logger_printf(KS_LOG_VERBOSE, "c.cpp", 1, "filtered at level 5");
        logger_printf(7, "d.cpp", 1, "not a level");
        logger_printf(1, "d.cpp", 1, "not a level either");
    });
    std::regex line(
        "\x1b\\[31m\\[KS-ERROR  \\|\\d\\d-\\d\\d-\\d\\d-\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] "
        "\\(a\\.cpp:12\\) : \x1b\\[0mboom 7\n"
        "\x1b\\[33m\\[KS-INFO   \\|[-0-9:.]{21}\\] \\(b\\.cpp:3\\) : \x1b\\[0mhello\n");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

// A clock the test moves by hand; both readings come from these two values.
struct timespec g_fake_real = {0, 0};
struct timespec g_fake_mono = {100, 0};
struct timespec FakeClock(clockid_t id) {
    return id == CLOCK_REALTIME ? g_fake_real : g_fake_mono;
}

TEST(LoggerTest, StampTakesSecondsAndMillisecondsFromOneRealTimeReading) {
    logger_reset_default();
    logger_set_level(KS_LOG_DEBUG);
    logger_set_clock(FakeClock);
    setenv("TZ", "UTC", 1);
    tzset();
    // Monotonic milliseconds that disagree with the real-time ones show a mixed stamp.
    g_fake_mono = {100, 123000000};
    std::string out = CaptureStdout([] {
        g_fake_real = {1700000034, 872000000};
        logger_printf(KS_LOG_INFO, "a.cpp", 1, "one");
        g_fake_real = {1700000035, 1000000};
        logger_printf(KS_LOG_INFO, "a.cpp", 1, "two");
    });
    logger_set_clock(nullptr);
    EXPECT_NE(std::string::npos, out.find("23-11-14-22:13:54.872] (a.cpp:1)")) << out;
    EXPECT_NE(std::string::npos, out.find("23-11-14-22:13:55.001] (a.cpp:1)")) << out;
}

namespace {
std::vector<std::string> g_sunk;
void CollectSink(int level, const char* file, int line, const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    g_sunk.push_back(std::to_string(level) + " " + file + ":" + std::to_string(line) + " " + buf);
}
void Flood(int i) { KS_LOGE("flood %d", i); }
void Other() { KS_LOGW("other"); }
}  // namespace

TEST(LoggerTest, RepeatedLinesFromOneSourceAreLimitedPerSecond) {
    logger_set_clock(FakeClock);
    logger_reset_limits();
    logger_set_user_define(CollectSink);
    g_sunk.clear();
    g_fake_mono = {500, 0};
    for (int i = 0; i < 1000; ++i)
        Flood(i);
    Other();  // another source keeps its own allowance
    ASSERT_EQ(kLogBurst + 1, g_sunk.size());
    EXPECT_NE(std::string::npos,
              g_sunk[kLogBurst - 1].find("flood " + std::to_string(kLogBurst - 1)));
    EXPECT_NE(std::string::npos, g_sunk.back().find("other"));

    g_fake_mono = {500, 999000000};  // still the same second: counted, not written
    Flood(1000);
    EXPECT_EQ(kLogBurst + 1, g_sunk.size());

    g_fake_mono = {501, 0};
    g_sunk.clear();
    Flood(1001);
    ASSERT_EQ(2u, g_sunk.size());
    EXPECT_NE(std::string::npos, g_sunk[0].find("2 runtime_test.cpp:")) << g_sunk[0];
    EXPECT_NE(std::string::npos,
              g_sunk[0].find("repeated " + std::to_string(1001 - kLogBurst) + " times"))
        << g_sunk[0];
    EXPECT_NE(std::string::npos, g_sunk[1].find("flood 1001"));

    // A quiet source starts afresh without a repeat line.
    g_fake_mono = {600, 0};
    g_sunk.clear();
    Flood(1);
    EXPECT_EQ(1u, g_sunk.size());
    logger_reset_default();
    logger_set_clock(nullptr);
    logger_reset_limits();
}

TEST(LoggerTest, LevelSetterAcceptsOnlyTwoToSix) {
    logger_set_level(4);
    for (int bad : {7, 1, 0, -3}) {
        logger_set_level(bad);
        EXPECT_EQ(4, g_logger_level.load()) << bad;
    }
    logger_set_level(KS_LOG_DEBUG);
    logger_set_user_define(nullptr);  // ignored
    EXPECT_EQ(&logger_printf, g_logger_cb.load());
}

namespace {

class CountingThread : public Thread {
  public:
    std::atomic<int> passes{0};
    std::atomic<int> after{0};
    int fail_at = -1;
    int before_start = 0;

  protected:
    int beforeStart() override { return before_start; }
    int realThread() override {
        int n = ++passes;
        usleep(1000);
        return n == fail_at ? -1 : 0;
    }
    int afterThread() override {
        ++after;
        return 0;
    }
};

int CountTo(void* arg) {
    auto* n = static_cast<std::atomic<int>*>(arg);
    return ++*n >= 3 ? -1 : 0;
}

}  // namespace

TEST(ThreadTest, LifeCycle) {
    CountingThread never;
    never.Stop(true);  // never started: returns at once
    EXPECT_TRUE(never.IsFinished());

    CountingThread t;
    ASSERT_EQ(0, t.Start());
    while (t.passes < 3)
        usleep(1000);
    t.Stop(true);
    EXPECT_TRUE(t.IsFinished());
    EXPECT_EQ(1, t.after.load());

    CountingThread failing;
    failing.fail_at = 2;
    ASSERT_EQ(0, failing.Start());
    while (!failing.IsFinished())
        usleep(1000);
    EXPECT_EQ(2, failing.passes.load());
    EXPECT_EQ(1, failing.after.load());

    CountingThread refused;
    refused.before_start = -7;
    EXPECT_EQ(-1, refused.Start());
    EXPECT_FALSE(refused.IsRunning());
}

TEST(ThreadTest, SimpleThreadRunsItsFunctionAndRefusesNone) {
    std::atomic<int> n{0};
    ThreadSimple t(CountTo, &n);
    ASSERT_EQ(0, t.Start());
    while (!t.IsFinished())
        usleep(1000);
    EXPECT_EQ(3, n.load());

    ThreadSimple none(nullptr, nullptr);
    EXPECT_EQ(-1, none.Start());
}

TEST(TimeTest, Formats) {
    unsigned long ms = Time::GetSystemTimeInt(0);
    unsigned long s = Time::GetSystemTimeInt(1);
    EXPECT_NEAR(static_cast<double>(ms / 1000), static_cast<double>(s), 1.0);
    EXPECT_TRUE(std::regex_match(
        Time::GetGmtDate(), std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \\d\\d "
                                       "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                       "\\d\\d:\\d\\d:\\d\\d GMT")));
    EXPECT_EQ(29u, Time::GetGmtDate().size());
    EXPECT_TRUE(std::regex_match(Time::GetUtcTime(false),
                                 std::regex("\\d\\d-\\d\\d-\\d\\d-\\d\\d:\\d\\d:\\d\\d")));
    EXPECT_TRUE(std::regex_match(Time::GetUtcTime(true), std::regex("[-0-9:]{17}\\.\\d{3}")));
    std::string utc;
    Time::GetUtcTimeMs(utc);
    EXPECT_EQ(13u, utc.size());
    unsigned long before = Time::GetSystemTimeInt(0);
    Sleep::SleepMs(30);
    EXPECT_GE(Time::GetSystemTimeInt(0) - before, 29u);
}

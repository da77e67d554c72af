// Log line format, time, semaphores, timers, threads, identity and the
// configuration and firmware files.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>

#include "port_test_util.h"
#include "tether/hal.h"

namespace {

// ---------------------------------------------------------------------------
// Log routine
// ---------------------------------------------------------------------------
std::string log_line(int current, int level, const char* fmt, const char* arg) {
    LITE_set_loglevel(current);
    port_test::StdoutCapture out;
    LITE_syslog("MQTT", "nexo_mc_connect", 321, level, fmt, arg);
    return out.text();
}

TEST(HalLogTest, LineLayout) {
    std::string line = log_line(LOG_DEBUG_LEVEL, LOG_INFO_LEVEL, "connected to %s", "broker");
    std::regex re(
        "\033\\[0m\\[QX-INF\\]\\(\\d+\\) nexo_mc_connect\\(321\\): connected to broker"
        "\r\n\033\\[0m");
    EXPECT_TRUE(std::regex_match(line, re)) << line;

    // A message that ends its own line gets no second line end.
    line = log_line(LOG_DEBUG_LEVEL, LOG_ERR_LEVEL, "%s\n", "bye");
    EXPECT_TRUE(std::regex_match(line, std::regex("\033\\[0m\\[QX-ERR\\]\\(\\d+\\) "
                                                  "nexo_mc_connect\\(321\\): bye\n\033\\[0m")))
        << line;
}

TEST(HalLogTest, LevelNamesAndFiltering) {
    const char* names[] = {"QX-NON", "QX-CRT", "QX-ERR", "QX-WRN", "QX-INF", "QX-DBG"};
    for (int i = 0; i <= 5; ++i) {
        EXPECT_STREQ(names[i], LITE_level_name(i));
    }
    EXPECT_EQ(nullptr, LITE_level_name(6));
    for (int level = LOG_CRIT_LEVEL; level <= LOG_DEBUG_LEVEL; ++level) {
        SCOPED_TRACE(level);
        EXPECT_NE(std::string::npos,
                  log_line(level, level, "%s", "x").find(std::string("[") + names[level] + "]"));
        EXPECT_EQ("", log_line(level - 1, level, "%s", "x"));
    }
    EXPECT_EQ(-1, LITE_set_loglevel(6));
    EXPECT_EQ(-1, LITE_set_loglevel(-1));
    EXPECT_EQ(LOG_DEBUG_LEVEL - 1, LITE_get_loglevel());
    LITE_set_loglevel(LOG_DEBUG_LEVEL);
}

TEST(HalLogTest, LongMessageIsCutAt512Characters) {
    std::string msg(600, 'm');
    std::string line = log_line(LOG_DEBUG_LEVEL, LOG_WARNING_LEVEL, "%s", msg.c_str());
    size_t start = line.find(": ") + 2;
    EXPECT_EQ(std::string(512, 'm') + " ...\r\n\033[0m", line.substr(start));
    // Exactly 512 is not cut.
    line = log_line(LOG_DEBUG_LEVEL, LOG_WARNING_LEVEL, "%s", msg.substr(0, 512).c_str());
    EXPECT_EQ(std::string::npos, line.find(" ..."));
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
TEST(HalTimeTest, TimeStringAndPlatformUtc) {
    char buf[32];
    ASSERT_EQ(buf, HAL_GetTimeStr(buf, sizeof(buf)));
    EXPECT_TRUE(std::regex_match(buf, std::regex("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}")))
        << buf;

    const uint64_t set = 4102444800000ull;  // 2100-01-01
    HAL_UTC_Set(set);
    HAL_SleepMs(20);
    uint64_t got = HAL_UTC_Get();
    EXPECT_GE(got, set + 15);
    EXPECT_LT(got, set + 5000);
    HAL_UTC_Set(1000);
    EXPECT_LT(HAL_UTC_Get(), 10000u);
}

// ---------------------------------------------------------------------------
// Semaphores
// ---------------------------------------------------------------------------
TEST(HalSemaphoreTest, WaitTimesOutThenTakesPosts) {
    void* sem = HAL_SemaphoreCreate();
    ASSERT_NE(nullptr, sem);
    uint64_t t0 = HAL_UptimeMs();
    EXPECT_EQ(-1, HAL_SemaphoreWait(sem, 60));
    uint64_t waited = HAL_UptimeMs() - t0;
    EXPECT_GE(waited, 60u);
    EXPECT_LT(waited, 3000u);

    HAL_SemaphorePost(sem);
    HAL_SemaphorePost(sem);
    EXPECT_EQ(0, HAL_SemaphoreWait(sem, 0));
    EXPECT_EQ(0, HAL_SemaphoreWait(sem, 0));
    EXPECT_EQ(-1, HAL_SemaphoreWait(sem, 0));
    EXPECT_EQ(-1, HAL_SemaphoreWait(nullptr, 0));
    HAL_SemaphoreDestroy(sem);
}

void* post_later(void* sem) {
    HAL_SleepMs(50);
    HAL_SemaphorePost(sem);
    return nullptr;
}

TEST(HalSemaphoreTest, ForeverWaitBlocksUntilPosted) {
    void* sem = HAL_SemaphoreCreate();
    void* th = nullptr;
    uint64_t t0 = HAL_UptimeMs();
    ASSERT_EQ(0, HAL_ThreadCreate(&th, post_later, sem, nullptr, nullptr));
    EXPECT_EQ(0, HAL_SemaphoreWait(sem, HAL_WAIT_FOREVER));
    EXPECT_GE(HAL_UptimeMs() - t0, 45u);
    HAL_ThreadDelete(th);
    HAL_SemaphoreDestroy(sem);
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------
struct TimerProbe {
    void* fired = HAL_SemaphoreCreate();
    void* entered = HAL_SemaphoreCreate();
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
    int hold_ms = 0;
    void* self_delete = nullptr;
    ~TimerProbe() {
        HAL_SemaphoreDestroy(fired);
        HAL_SemaphoreDestroy(entered);
    }
};

void on_timer(void* ctx) {
    TimerProbe* p = static_cast<TimerProbe*>(ctx);
    p->calls++;
    HAL_SemaphorePost(p->entered);
    if (p->hold_ms > 0) {
        HAL_SleepMs(static_cast<uint32_t>(p->hold_ms));
    }
    if (p->self_delete != nullptr) {
        HAL_Timer_Delete(p->self_delete);
    }
    p->finished = true;
    HAL_SemaphorePost(p->fired);
}

TEST(HalTimerTest, FiresOnceWithItsContextAndCanBeRestarted) {
    TimerProbe p;
    void* t = HAL_Timer_Create("t1", on_timer, &p);
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(0, HAL_Timer_Start(t, 20));
    EXPECT_EQ(0, HAL_SemaphoreWait(p.fired, 5000));
    EXPECT_EQ(-1, HAL_SemaphoreWait(p.fired, 60));  // one-shot
    ASSERT_EQ(0, HAL_Timer_Start(t, 0));
    EXPECT_EQ(0, HAL_SemaphoreWait(p.fired, 5000));
    EXPECT_EQ(2, p.calls.load());
    EXPECT_EQ(0, HAL_Timer_Delete(t));
    EXPECT_EQ(-1, HAL_Timer_Delete(t));
    EXPECT_EQ(-1, HAL_Timer_Start(t, 10));
}

TEST(HalTimerTest, StoppedTimerDoesNotFire) {
    TimerProbe p;
    void* t = HAL_Timer_Create("t2", on_timer, &p);
    ASSERT_EQ(0, HAL_Timer_Start(t, 80));
    ASSERT_EQ(0, HAL_Timer_Stop(t));
    EXPECT_EQ(-1, HAL_SemaphoreWait(p.fired, 150));
    EXPECT_EQ(0, HAL_Timer_Delete(t));
    EXPECT_EQ(0, p.calls.load());
}

TEST(HalTimerTest, DeleteWaitsForARunningCallback) {
    TimerProbe p;
    p.hold_ms = 100;
    void* t = HAL_Timer_Create("t3", on_timer, &p);
    ASSERT_EQ(0, HAL_Timer_Start(t, 1));
    ASSERT_EQ(0, HAL_SemaphoreWait(p.entered, 5000));
    EXPECT_EQ(0, HAL_Timer_Delete(t));
    // The probe is destroyed right after this test: the callback must be out.
    EXPECT_TRUE(p.finished.load());
}

TEST(HalTimerTest, CallbackMayDeleteItsOwnTimer) {
    TimerProbe p;
    void* t = HAL_Timer_Create("t4", on_timer, &p);
    p.self_delete = t;
    ASSERT_EQ(0, HAL_Timer_Start(t, 1));
    EXPECT_EQ(0, HAL_SemaphoreWait(p.fired, 5000));
    EXPECT_EQ(-1, HAL_Timer_Delete(t));  // already gone
}

TEST(HalTimerTest, BadArguments) {
    EXPECT_EQ(nullptr, HAL_Timer_Create("x", nullptr, nullptr));
    EXPECT_EQ(-1, HAL_Timer_Start(nullptr, 10));
    EXPECT_EQ(-1, HAL_Timer_Stop(reinterpret_cast<void*>(0x7fffffff)));
    void* t = HAL_Timer_Create("x", on_timer, nullptr);
    EXPECT_EQ(-1, HAL_Timer_Start(t, -5));
    HAL_Timer_Delete(t);
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
struct Work {
    std::atomic<bool> done{false};
    std::atomic<void*> self_handle{nullptr};
};

void* slow_work(void* arg) {
    HAL_SleepMs(30);
    static_cast<Work*>(arg)->done = true;
    return nullptr;
}

TEST(HalThreadTest, DeleteWaitsForTheRoutineToEnd) {
    for (int i = 0; i < 5; ++i) {
        Work w;
        void* th = nullptr;
        int used = -1;
        hal_thread_param_t param = {"worker", 6144, 0};
        ASSERT_EQ(0, HAL_ThreadCreate(&th, slow_work, &w, &param, &used));
        EXPECT_EQ(0, used);
        HAL_ThreadDelete(th);
        ASSERT_TRUE(w.done.load()) << "iteration " << i;
    }
    HAL_ThreadDelete(nullptr);
}

void* quick_work(void* arg) {
    static_cast<Work*>(arg)->done = true;
    return nullptr;
}

TEST(HalThreadTest, DeleteAfterTheThreadEndedAndDetach) {
    Work w;
    void* th = nullptr;
    ASSERT_EQ(0, HAL_ThreadCreate(&th, quick_work, &w, nullptr, nullptr));
    while (!w.done.load()) {
        HAL_SleepMs(1);
    }
    HAL_SleepMs(20);  // let the thread finish exiting
    HAL_ThreadDelete(th);

    Work w2;
    ASSERT_EQ(0, HAL_ThreadCreate(&th, slow_work, &w2, nullptr, nullptr));
    HAL_ThreadDetach(th);
    while (!w2.done.load()) {
        HAL_SleepMs(1);
    }
    EXPECT_EQ(-1, HAL_ThreadCreate(&th, nullptr, nullptr, nullptr, nullptr));
}

void* delete_self(void* arg) {
    Work* w = static_cast<Work*>(arg);
    while (w->self_handle.load() == nullptr) {
        HAL_SleepMs(1);
    }
    HAL_ThreadDelete(w->self_handle.load());
    w->done = true;
    return nullptr;
}

TEST(HalThreadTest, ThreadMayDeleteItsOwnHandle) {
    static Work w;  // outlives the thread, which ends after the flag is set
    void* th = nullptr;
    ASSERT_EQ(0, HAL_ThreadCreate(&th, delete_self, &w, nullptr, nullptr));
    w.self_handle = th;
    for (int i = 0; i < 5000 && !w.done.load(); ++i) {
        HAL_SleepMs(1);
    }
    EXPECT_TRUE(w.done.load());
}

// ---------------------------------------------------------------------------
// Locks, random numbers, identity
// ---------------------------------------------------------------------------
TEST(HalMiscTest, MutexAndRandom) {
    void* m = HAL_MutexCreate();
    ASSERT_NE(nullptr, m);
    HAL_MutexLock(m);
    HAL_MutexUnlock(m);
    HAL_MutexDestroy(m);

    EXPECT_EQ(0u, HAL_Random(0));
    HAL_Srandom(7);
    for (int i = 0; i < 100; ++i) {
        EXPECT_LT(HAL_Random(10), 10u);
    }
}

TEST(HalIdentityTest, StoredValuesFixedAnswersAndLimits) {
    ASSERT_EQ(11, HAL_SetProductKey("a1B2c3D4e5f"));
    ASSERT_EQ(8, HAL_SetDeviceName("camera01"));
    ASSERT_EQ(6, HAL_SetDeviceSecret("s3cr3t"));
    ASSERT_EQ(2, HAL_SetProductSecret("ps"));

    // Over-long values are refused and leave the stored one alone.
    EXPECT_EQ(-1, HAL_SetProductKey(std::string(21, 'p').c_str()));
    EXPECT_EQ(-1, HAL_SetDeviceName(std::string(33, 'n').c_str()));
    EXPECT_EQ(-1, HAL_SetDeviceSecret(std::string(65, 's').c_str()));
    EXPECT_EQ(-1, HAL_SetProductSecret(nullptr));
    EXPECT_EQ(20, HAL_SetProductKey(std::string(20, 'p').c_str()));
    ASSERT_EQ(11, HAL_SetProductKey("a1B2c3D4e5f"));

    char pk[HAL_PRODUCT_KEY_LEN + 1], dn[HAL_DEVICE_NAME_LEN + 1], ds[HAL_DEVICE_SECRET_LEN + 1],
        id[HAL_DEVICE_ID_LEN + 1], buf[65];
    HAL_GetProductKey(pk);
    HAL_GetDeviceName(dn);
    HAL_GetDeviceSecret(ds);
    EXPECT_STREQ("a1B2c3D4e5f", pk);
    EXPECT_STREQ("camera01", dn);
    EXPECT_STREQ("s3cr3t", ds);
    EXPECT_EQ(20, HAL_GetDeviceID(id));
    EXPECT_STREQ("a1B2c3D4e5f.camera01", id);

    struct {
        int (*get)(char*);
        const char* want;
    } fixed[] = {{HAL_GetPartnerID, "example.demo.partner-id"},
                 {HAL_GetModuleID, "example.demo.module-id"},
                 {HAL_GetChipID, "rtl8188eu 12345678"},
                 {HAL_GetFirmwareVersion, "app-1.0.0-20180101.1000"},
                 {HAL_GetNetifInfo, "WiFi|03ACDEFF0032"}};
    for (const auto& f : fixed) {
        EXPECT_EQ(static_cast<int>(strlen(f.want)), f.get(buf));
        EXPECT_STREQ(f.want, buf);
    }
}

TEST(HalSystemTest, LoopbackAddress) {
    char ip[HAL_IPV4_TEXT_LEN];
    uint32_t a = HAL_Wifi_Get_IP(ip, "lo");
    EXPECT_STREQ("127.0.0.1", ip);
    EXPECT_EQ(0x0100007fu, a);
    EXPECT_EQ(static_cast<uint32_t>(-1), HAL_Wifi_Get_IP(ip, "no-such-if0"));
}

// ---------------------------------------------------------------------------
// Configuration and firmware files
// ---------------------------------------------------------------------------
TEST(HalFilesTest, ConfigRoundTripInTheStorageDir) {
    port_test::TempDir dir;
    ASSERT_EQ(0, HAL_SetStorageDir(dir.path().c_str()));
    char out[64];
    EXPECT_EQ(-1, HAL_Config_Read(out, sizeof(out)));  // nothing written yet
    ASSERT_EQ(11, HAL_Config_Write("{\"a\":true}\n", 11));
    EXPECT_EQ("{\"a\":true}\n", port_test::read_file(dir.file(HAL_CONFIG_FILE_NAME)));
    EXPECT_EQ(4, HAL_Config_Read(out, 4));
    EXPECT_EQ(11, HAL_Config_Read(out, sizeof(out)));
    EXPECT_EQ("{\"a\":true}\n", std::string(out, 11));
    HAL_SetStorageDir(nullptr);
}

TEST(HalFilesTest, FirmwareIsWrittenInPieces) {
    port_test::TempDir dir;
    std::string path = dir.file("fw.bin");
    ASSERT_EQ(0, HAL_Firmware_SetPath(path.c_str()));
    EXPECT_EQ(-1, HAL_Firmware_Persistence_Write("x", 1));  // not started
    HAL_Firmware_Persistence_Start();
    EXPECT_EQ(0, HAL_Firmware_Persistence_Write("abc", 3));
    EXPECT_EQ(0, HAL_Firmware_Persistence_Write("\0de", 3));
    EXPECT_EQ(0, HAL_Firmware_Persistence_Stop());
    EXPECT_EQ(std::string("abc\0de", 6), port_test::read_file(path));
    EXPECT_EQ(-1, HAL_Firmware_Persistence_Stop());

    // An image being written, or discarded, never replaces the current one.
    HAL_Firmware_Persistence_Start();
    EXPECT_EQ(0, HAL_Firmware_Persistence_Write("new", 3));
    EXPECT_EQ(std::string("abc\0de", 6), port_test::read_file(path));
    EXPECT_EQ(0, HAL_Firmware_Persistence_Abort());
    EXPECT_EQ(std::string("abc\0de", 6), port_test::read_file(path));
    EXPECT_EQ(access((path + ".part").c_str(), F_OK), -1) << "no partial image may stay";
    EXPECT_EQ(-1, HAL_Firmware_Persistence_Abort());
    HAL_Firmware_SetPath(nullptr);
}

}  // namespace

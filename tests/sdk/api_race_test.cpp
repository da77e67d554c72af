// ks_destroy racing the application's other calls, and the sink ks_init installed.
#include <atomic>
#include <thread>
#include <vector>

#include "sdk_fixture.h"

using namespace kestrel_test;

namespace {
Identity g_dev(0, "pk1", "dev1", "secret1");
}  // namespace

class ApiRaceTest : public SdkTest {};

// Each call either runs against live services or is refused as "not initialised";
// under the sanitizers a call that slips past the check into deleted services shows.
TEST_F(ApiRaceTest, CallsRacingDestroyAreServedOrRefusedNeverUseFreedServices) {
    // A repeated run within the same second would find the refusal's line
    // already over its flood limit.
    kestrel::logger_reset_limits();
    ASSERT_EQ(0, Init());
    ASSERT_EQ(0, Connect(&g_dev.auth));
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    // Loops each caller has finished: a round waits until every caller has
    // made a whole call while the gate was closed, so refusals happen on every
    // round however the threads are scheduled.
    std::atomic<unsigned> loops[3] = {{0}, {0}, {0}};
    auto check = [&](int r) {
        if (r != 0 && r != -1 && r != KS_ERR_FRAME_DROPPED)
            ++odd;
    };
    auto closed_calls = [&] {
        unsigned seen[3];
        for (int i = 0; i < 3; ++i)
            seen[i] = loops[i].load();
        for (int i = 0; i < 3; ++i) {
            while (loops[i].load() < seen[i] + 2)
                std::this_thread::yield();
        }
    };
    std::vector<std::thread> callers;
    callers.emplace_back([&] {
        unsigned char frame[8] = {0, 0, 0, 1, 0x65, 1, 2, 3};
        ks_stream_send_media_param_s m = {};
        m.p = frame;
        m.len = sizeof(frame);
        m.key_frame = 1;
        for (; !stop; ++loops[0])
            check(ks_stream_send_media(1, &m));
    });
    callers.emplace_back([&] {
        ks_video_param_s v = {};
        ks_audio_param_s a = {};
        ks_stream_send_config_param_s c = {};
        c.video = &v;
        c.audio = &a;
        for (; !stop; ++loops[1]) {
            check(ks_stream_send_config(1, &c));
            check(ks_stream_send_cmd(1, KS_STORAGE_RECORD_COMPLETE));
            check(ks_control(KS_CONTROL_STREAM_AUTO_CHECK, 1));
        }
    });
    callers.emplace_back([&] {
        for (; !stop; ++loops[2])
            check(Connect(&g_dev.auth));
    });
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(0, ks_destroy());
        closed_calls();
        ASSERT_EQ(0, Init());
    }
    EXPECT_EQ(0, ks_destroy());
    stop = true;
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(0, odd.load());
    EXPECT_TRUE(log_.Contains("SDK is not init yet"));
}

namespace {
std::atomic<int> g_app_lines{0};
void AppSink(int, const char*, int, const char*, ...) { ++g_app_lines; }
}  // namespace

TEST_F(ApiRaceTest, DestroyTakesOutTheSinkInitInstalled) {
    ks_init_config_s cfg = DefaultConfig();
    cfg.log_dest = 2;
    ks_init_callback_s cb = DefaultCallbacks();
    cb.logger_cb = &AppSink;
    ks_init_system_s sys = {0};
    ASSERT_EQ(0, ks_init(&cfg, &cb, &sys));
    EXPECT_EQ(&AppSink, kestrel::g_logger_cb.load());
    ks_destroy();
    EXPECT_EQ(&kestrel::logger_printf, kestrel::g_logger_cb.load());
    int seen = g_app_lines;
    EXPECT_EQ(-1, ks_stream_send_cmd(1, KS_STORAGE_RECORD_COMPLETE));  // logs "not init"
    EXPECT_EQ(seen, g_app_lines.load());
}

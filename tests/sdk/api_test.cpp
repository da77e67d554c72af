// The public entry points: their checks, results and log lines.
#include <functional>

#include "sdk/device_env.h"
#include "sdk_fixture.h"

using namespace kestrel_test;

namespace {

Identity g_main(0, "pk1", "dev1", "secret1");

struct NamedCall {
    const char* api;
    std::function<int()> call;
};

std::vector<NamedCall> EveryCall() {
    static ks_stream_send_config_param_s cfg = {};
    static ks_stream_send_media_param_s media = {};
    static ks_picture_param_s pic = {};
    static ks_alarm_image_param_s alarm = {};
    static ks_intelligent_alarm_param_s intel = {};
    static ks_intelligent_alarm_gateway_item_s item = {};
    static ks_query_record_response_param_s rec = {};
    static int sid = 0;
    return {
        {"ks_message_adapter", [] { return Connect(&g_main.auth); }},
        {"ks_stream_send_config", [] { return ks_stream_send_config(1, &cfg); }},
        {"ks_stream_send_media", [] { return ks_stream_send_media(1, &media); }},
        {"ks_stream_send_cmd", [] { return ks_stream_send_cmd(1, KS_STORAGE_RECORD_COMPLETE); }},
        {"ks_control", [] { return ks_control(KS_CONTROL_LOG_LEVEL, 5); }},
        {"ks_post_trigger_picture", [] { return ks_post_trigger_picture(1, &pic); }},
        {"ks_post_alarm_image", [] { return ks_post_alarm_image(&g_main.auth, &alarm, &sid); }},
        {"ks_post_intelligent_alarm",
         [] { return ks_post_intelligent_alarm(&g_main.auth, &intel, &sid); }},
        {"ks_post_intelligent_alarm_gateway",
         [] { return ks_post_intelligent_alarm_gateway(0, nullptr, 0, 1, &item, &sid); }},
        {"ks_post_query_record", [] { return ks_post_query_record(1, &rec); }},
    };
}

}  // namespace

class ApiTest : public SdkTest {};

TEST_F(ApiTest, EveryCallBeforeInitIsRefused) {
    for (const auto& c : EveryCall()) {
        log_.Clear();
        EXPECT_EQ(-1, c.call()) << c.api;
        EXPECT_TRUE(log_.Contains(std::string("[API:") + c.api + "] SDK is not init yet")) << c.api;
    }
    // Destroy needs no init and always succeeds.
    log_.Clear();
    EXPECT_EQ(0, ks_destroy());
    EXPECT_TRUE(log_.Contains("[API:ks_destroy] Destroy success"));
}

TEST_F(ApiTest, InitSucceedsOnceAndASecondInitChangesNothing) {
    ASSERT_EQ(0, Init());
    EXPECT_TRUE(log_.Contains("[API:ks_init] Init success"));
    EXPECT_TRUE(log_.Contains("Build version: 2.1.2"));
    EXPECT_EQ(3u, log_.Count("Build id:      "));
    EXPECT_EQ(1, kestrel::DeviceEnv::Get()->Id());

    log_.Clear();
    EXPECT_EQ(0, Init());
    EXPECT_TRUE(log_.Contains("[API:ks_init] SDK is already init, do nothing"));
    EXPECT_EQ(2, kestrel::DeviceEnv::Get()->Id());  // same environment kept
}

TEST_F(ApiTest, RejectedConfigurationsLeaveTheSdkDestroyed) {
    struct Case {
        const char* name;
        std::function<void(ks_init_config_s&, ks_init_callback_s&)> mutate;
    };
    const Case cases[] = {
        {"log_level 7", [](ks_init_config_s& c, ks_init_callback_s&) { c.log_level = 7; }},
        {"log_level -1", [](ks_init_config_s& c, ks_init_callback_s&) { c.log_level = -1; }},
        {"log_dest 3", [](ks_init_config_s& c, ks_init_callback_s&) { c.log_dest = 3; }},
        {"log_dest 2 without sink",
         [](ks_init_config_s& c, ks_init_callback_s&) { c.log_dest = 2; }},
        {"no feature check",
         [](ks_init_config_s&, ks_init_callback_s& cb) { cb.feature_check_cb = nullptr; }},
        {"no publish",
         [](ks_init_config_s&, ks_init_callback_s& cb) { cb.message_publish_cb = nullptr; }},
        {"no start",
         [](ks_init_config_s&, ks_init_callback_s& cb) { cb.start_push_streaming_cb = nullptr; }},
        {"no data",
         [](ks_init_config_s&, ks_init_callback_s& cb) { cb.on_push_streaming_data_cb = nullptr; }},
    };
    for (const auto& c : cases) {
        ks_init_config_s cfg = DefaultConfig();
        ks_init_callback_s cb = DefaultCallbacks();
        ks_init_system_s sys = {0};
        c.mutate(cfg, cb);
        log_.Clear();
        EXPECT_EQ(-1, ks_init(&cfg, &cb, &sys)) << c.name;
        EXPECT_TRUE(log_.Contains("[API:ks_init] start config service failed")) << c.name;
        EXPECT_EQ(-1, Connect(&g_main.auth)) << c.name << ": must not be initialised";
    }
}

TEST_F(ApiTest, NullInputsAreIllegalAndOptionalCallbacksMayBeNull) {
    ks_init_config_s cfg = DefaultConfig();
    ks_init_callback_s cb = DefaultCallbacks();
    ks_init_system_s sys = {0};
    EXPECT_EQ(-1, ks_init(nullptr, &cb, &sys));
    EXPECT_TRUE(log_.Contains("[API:ks_init] Illegal input"));
    EXPECT_EQ(-1, ks_init(&cfg, nullptr, &sys));
    EXPECT_EQ(-1, ks_init(&cfg, &cb, nullptr));

    cb.cloud_event_cb = nullptr;
    cb.logger_cb = nullptr;
    EXPECT_EQ(0, ks_init(&cfg, &cb, &sys));
}

TEST_F(ApiTest, ApplicationSinkReceivesEveryLevel) {
    ks_init_config_s cfg = DefaultConfig();
    cfg.log_dest = 2;
    cfg.log_level = 2;  // the built-in filter must not apply to the application's sink
    ks_init_callback_s cb = DefaultCallbacks();
    cb.logger_cb = &LogCapture::Sink;
    ks_init_system_s sys = {0};
    ASSERT_EQ(0, ks_init(&cfg, &cb, &sys));
    log_.Clear();
    ASSERT_EQ(0, Connect(&g_main.auth));
    EXPECT_TRUE(log_.Contains("5 version: "));  // DEBUG line delivered
}

TEST_F(ApiTest, ControlTypes) {
    ASSERT_EQ(0, Init());
    EXPECT_EQ(0, ks_control(KS_CONTROL_LOG_LEVEL, 4));
    EXPECT_EQ(4, kestrel::g_logger_level.load());
    EXPECT_EQ(0, ks_control(KS_CONTROL_LOG_LEVEL, 7));
    EXPECT_EQ(4, kestrel::g_logger_level.load());
    EXPECT_EQ(0, ks_control(KS_CONTROL_LOG_LEVEL, 5));

    EXPECT_EQ(-1, ks_control(KS_CONTROL_STREAM_AUTO_SAVE, 1, static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log_.Contains("[API:ks_control] No save path"));

    EXPECT_EQ(-1, ks_control(3));
    EXPECT_TRUE(log_.Contains("[API:ks_control] Type 3 is not support"));

    log_.Clear();
    EXPECT_EQ(0, ks_control(KS_CONTROL_STREAM_AUTO_CHECK, 1));
    EXPECT_TRUE(log_.Contains("Stream check is open"));
    EXPECT_EQ(0, ks_control(KS_CONTROL_STREAM_AUTO_SAVE, 0));
    EXPECT_TRUE(log_.Contains("Stream auto save is close"));
}

TEST_F(ApiTest, MediaChecksItsInputAndUnknownTypesFailSilently) {
    ASSERT_EQ(0, Init());
    EXPECT_EQ(-1, ks_stream_send_media(1, nullptr));
    EXPECT_TRUE(log_.Contains("[API:ks_stream_send_media] Invalid param, null pointer"));
    EXPECT_EQ(-1, ks_stream_send_config(1, nullptr));
    EXPECT_TRUE(log_.Contains("[API:ks_stream_send_config] Invalid parameter(s)"));

    unsigned char frame[4] = {0, 0, 0, 1};
    ks_stream_send_media_param_s m = {};
    m.type = 2;
    m.p = frame;
    m.len = sizeof(frame);
    log_.Clear();
    EXPECT_EQ(-1, ks_stream_send_media(1, &m));
    EXPECT_TRUE(log_.Lines().empty());

    // Frames for a stream that does not exist fail every time.
    m.type = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(-1, ks_stream_send_media(1, &m));
}

TEST_F(ApiTest, PostsCheckTheirInputAndTheDevice) {
    ASSERT_EQ(0, Init());
    int sid = 0;
    ks_alarm_image_param_s alarm = {};
    EXPECT_EQ(-1, ks_post_alarm_image(nullptr, &alarm, &sid));
    EXPECT_TRUE(log_.Contains("[API:ks_post_alarm_image] Illegal input"));

    Identity camera1(1, "pk1", "dev1", "secret1");  // IPC: only id 0 exists
    EXPECT_EQ(-1, ks_post_alarm_image(&camera1.auth, &alarm, &sid));
    EXPECT_TRUE(log_.Contains("[API:ks_post_alarm_image] Device auth error"));

    ks_intelligent_alarm_gateway_item_s item = {};
    EXPECT_EQ(-1, ks_post_intelligent_alarm_gateway(-1, nullptr, 0, 1, &item, &sid));
    EXPECT_TRUE(log_.Contains("[API:ks_post_intelligent_alarm_gateway] Device auth error"));
    EXPECT_EQ(-1, ks_post_query_record(1, nullptr));
    EXPECT_TRUE(log_.Contains("[API:ks_post_query_record] Illegal input"));
}

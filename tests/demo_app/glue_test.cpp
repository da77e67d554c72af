// The demo's glue without a cloud: command line, identity list, reading the
// platform's requests, and the SDK callbacks that refuse a request.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "demo/app/cloud_requests.h"
#include "demo/app/demo_options.h"
#include "demo/app/device_auth_list.h"
#include "demo/app/kestrel_client.h"

namespace {

// argv for the parser; the option texts it hands out point into it, so it
// must outlive their use.
struct CommandLine {
    explicit CommandLine(std::vector<std::string> a) : args(std::move(a)) {
        args.insert(args.begin(), "kestrel_demo");
        for (auto& s : args)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
    }
    int Parse(demo_options_s* out) {
        return demo_options_parse(static_cast<int>(args.size()), argv.data(), out);
    }
    std::vector<std::string> args;
    std::vector<char*> argv;
};

int Parse(std::vector<std::string> args, demo_options_s* out) {
    return CommandLine(std::move(args)).Parse(out);
}

TEST(DemoOptions, LogLevelTakesOnlyTheFirstCharacter) {
    const struct {
        const char* value;
        int level;
    } cases[] = {{"2", 2}, {"6", 6}, {"34", 3}, {"9", 5}, {"x", 5}, {"1", 5}, {"7", 5}, {"", 5}};
    for (const auto& c : cases) {
        demo_options_s o;
        ASSERT_EQ(0, Parse({"-l", c.value}, &o)) << c.value;
        EXPECT_EQ(c.level, o.log_level) << "-l '" << c.value << "'";
    }
    demo_options_s o;
    ASSERT_EQ(0, Parse({}, &o));
    EXPECT_EQ(5, o.log_level);
}

TEST(DemoOptions, IdentityIsCutToItsBuffersAndUnknownOptionsAreIgnored) {
    const std::string pk25(25, 'k'), dn40(40, 'n'), ds70(70, 's'), ps70(70, 't');
    demo_options_s o;
    ASSERT_EQ(0, Parse({"-z", "-p", pk25, "-q", "junk", "-n", dn40, "-s", ds70, "-t", ps70}, &o));
    EXPECT_EQ(std::string(20, 'k'), o.product_key);
    EXPECT_EQ(std::string(32, 'n'), o.device_name);
    EXPECT_EQ(std::string(64, 's'), o.device_secret);
    EXPECT_EQ(std::string(64, 't'), o.product_secret);

    // A second parse starts afresh (getopt's scan is reset, buffers zeroed).
    CommandLine second({"-p", "pk2", "-H", "127.0.0.1", "-P", "8883", "-C", "ca.pem", "-S",
                        "store.pem", "-m", "m"});
    ASSERT_EQ(0, second.Parse(&o));
    EXPECT_STREQ("pk2", o.product_key);
    EXPECT_STREQ("", o.device_name);
    EXPECT_STREQ("127.0.0.1", o.broker_host);
    EXPECT_EQ(8883, o.broker_port);
    EXPECT_STREQ("ca.pem", o.trust_anchor);
    EXPECT_STREQ("store.pem", o.storage_anchor);
    EXPECT_STREQ("m", o.media_dir);
}

TEST(DemoOptions, UnusableBrokerValuesAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {"-P", "0"}, {"-P", "65536"}, {"-P", "12ab"}, {"-P", "-1"}, {"-P", ""},
        {"-H", ""},  {"-C", ""},      {"-S", ""},     {"-m", ""},  {"-F", ""},
        {"-B", ""},  {"-B", ":443"},  {"-B", "h:0"},  {"-B", "h:x"}, {"-R", "99"},
        {"-R", "60001"}, {"-R", "5s"}, {"-R", ""}};
    for (const auto& args : bad) {
        demo_options_s o;
        EXPECT_EQ(-1, Parse(args, &o)) << args[0] << " '" << args[1] << "'";
    }
    demo_options_s o;
    EXPECT_EQ(0, Parse({"-P", "65535"}, &o));
    EXPECT_EQ(65535, o.broker_port);
}

TEST(DemoOptions, BootstrapFirmwareRetryAndHelpLandInTheirFields) {
    demo_options_s o;
    // The texts handed out point into argv, which must outlive the checks.
    CommandLine first({"-B", "boot.local:8443", "-F", "fw.bin", "-R", "100", "-h"});
    ASSERT_EQ(0, first.Parse(&o));
    EXPECT_STREQ("boot.local", o.bootstrap_host);
    EXPECT_EQ(8443, o.bootstrap_port);
    EXPECT_STREQ("fw.bin", o.firmware_file);
    EXPECT_EQ(100u, o.retry_max_ms);
    EXPECT_EQ(1, o.help);

    CommandLine second({"-B", "boot.local", "-R", "60000"});
    ASSERT_EQ(0, second.Parse(&o));
    EXPECT_STREQ("boot.local", o.bootstrap_host);
    EXPECT_EQ(0, o.bootstrap_port);
    EXPECT_EQ(60000u, o.retry_max_ms);
    EXPECT_EQ(nullptr, o.firmware_file);
    EXPECT_EQ(0, o.help);
}

char* Str(const char* s) {
    return const_cast<char*>(s);
}

TEST(DeviceAuthList, CopyIsDeepAndCompareFindsTheExactIdentity) {
    ks_device_auth_s src[3] = {{0, Str("pk"), Str("cam"), Str("secret")},
                               {1, Str("pk"), Str("cam1"), Str("secret1")},
                               {2, Str("pk"), Str("cam2"), nullptr}};
    ks_device_auth_s* copy = ksDeviceAuthCopy(src, 3);
    ASSERT_NE(nullptr, copy);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(src[i].dev_id, copy[i].dev_id);
        EXPECT_NE(src[i].device_name, copy[i].device_name);
        EXPECT_STREQ(src[i].device_name, copy[i].device_name);
        EXPECT_STREQ(src[i].device_secret, copy[i].device_secret);
    }
    EXPECT_EQ(nullptr, copy[2].device_secret);

    const struct {
        ks_device_auth_s probe;
        unsigned index;
    } cases[] = {
        {{1, Str("pk"), Str("cam1"), Str("secret1")}, 1},
        {{0, Str("pk"), Str("cam"), Str("secret")}, 0},
        {{1, Str("pk"), Str("cam"), Str("secret")}, 3},   // right strings, wrong id
        {{0, Str("pk"), Str("cam"), Str("secre")}, 3},    // a prefix of the secret
        {{0, Str("pk"), Str("cam"), Str("secrets")}, 3},  // longer secret
        {{0, Str("pk"), Str("cam"), nullptr}, 3},         // null string never matches
        {{2, Str("pk"), Str("cam2"), nullptr}, 3},        // ... not even a null entry
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.index, ksDeviceAuthCompares(&c.probe, 3, copy))
            << c.probe.dev_id << " " << c.probe.device_name;
    EXPECT_GE(ksDeviceAuthCompares(nullptr, 3, copy), 3u);
    EXPECT_GE(ksDeviceAuthCompares(&src[0], 3, nullptr), 3u);
    EXPECT_EQ(0u, ksDeviceAuthCompares(&src[0], 0, copy));
    ksDeviceAuthDelete(copy, 3);

    EXPECT_EQ(nullptr, ksDeviceAuthCopy(nullptr, 2));
    EXPECT_EQ(nullptr, ksDeviceAuthCopy(src, 0));
    ksDeviceAuthDelete(nullptr, 2);
}

TEST(CloudRequests, ServicesForwardedToTheSdkByNamePrefix) {
    const struct {
        const char* text;
        int len;  // -1: the whole text
        bool forwarded;
    } cases[] = {
        {"StartVodByTime", -1, true},
        {"StartPushStreaming", -1, true},
        {"QueryMonthRecord", -1, true},
        {"TriggerPicCapture", -1, true},
        {"StopVoiceIntercom", -1, true},
        {"StartP2PStreamingV2", -1, true},
        {"StartVodByTimeXYZ", 8, true},  // "StartVod" within the given length
        {"StartVodByTime", 5, false},    // "Start" names no service
        {"Reboot", -1, false},
        {"PTZActionControl", -1, false},
        {"", 0, false},
    };
    for (const auto& c : cases) {
        int len = c.len < 0 ? static_cast<int>(strlen(c.text)) : c.len;
        EXPECT_EQ(c.forwarded, cloud_service_is_forwarded(c.text, len)) << c.text << "/" << len;
    }
    EXPECT_FALSE(cloud_service_is_forwarded(nullptr, 5));
}

TEST(CloudRequests, PtzIsRecognisedByItsWholeNameAndParsed) {
    EXPECT_TRUE(cloud_service_is_ptz("PTZActionControl", 16));
    EXPECT_FALSE(cloud_service_is_ptz("PTZActionControl", 3));
    EXPECT_FALSE(cloud_service_is_ptz("PTZActionControlX", 17));
    EXPECT_FALSE(cloud_service_is_ptz("PTZ", 3));
    EXPECT_FALSE(cloud_service_is_ptz(nullptr, 16));

    // The payload carries its length; what follows it is not part of it.
    const char buf[] = "{\"ActionType\":1,\"Step\":5}garbage";
    int action = -1, step = -1;
    ASSERT_EQ(0, cloud_parse_ptz(buf, static_cast<int>(strlen(buf)) - 7, &action, &step));
    EXPECT_EQ(1, action);
    EXPECT_EQ(5, step);

    const char* bad[] = {"{\"ActionType\":1}", "{\"Step\":5}", "{\"ActionType\":\"1\",\"Step\":5}",
                         "{\"ActionType\":1,", "[1,5]",        ""};
    for (const char* b : bad)
        EXPECT_EQ(-1, cloud_parse_ptz(b, static_cast<int>(strlen(b)), &action, &step)) << b;
    EXPECT_EQ(-1, cloud_parse_ptz(nullptr, 10, &action, &step));
}

TEST(CloudRequests, PropertySetReadsEveryMemberAndNamesWhatCannotBeApplied) {
    const struct {
        const char* request;
        int result;
        std::vector<cloud_property_member_s> members;
    } cases[] = {
        {"{\"MicSwitch\":1}", 0, {{"MicSwitch", "1", ""}}},
        {"{\"MicSwitch\":1,\"SpeakerSwitch\":0}",
         0,
         {{"MicSwitch", "1", ""}, {"SpeakerSwitch", "0", ""}}},
        {"{\"DayNightMode\":2.7}", 0, {{"DayNightMode", "2", ""}}},
        {"{\"DayNightMode\":\"a\\\"b\"}", 0, {{"DayNightMode", "\"a\\\"b\"", ""}}},
        // A bad member is named and the good ones around it still count.
        {"{\"MicSwitch\":true,\"SpeakerSwitch\":1,\"Zoom\":3,\"AlarmSwitch\":[1]}",
         0,
         {{"MicSwitch", "", "value of MicSwitch is neither a number nor a string"},
          {"SpeakerSwitch", "1", ""},
          {"Zoom", "", "unknown property Zoom"},
          {"AlarmSwitch", "", "value of AlarmSwitch is neither a number nor a string"}}},
        {"{}", 0, {}},
        {"[1]", -1, {}},
        {"7", -1, {}},
        {"{\"MicSwitch\":", -1, {}},
        {"", -1, {}},
    };
    for (const auto& c : cases) {
        std::vector<cloud_property_member_s> got;
        EXPECT_EQ(c.result,
                  cloud_property_members(c.request, static_cast<int>(strlen(c.request)), &got))
            << c.request;
        ASSERT_EQ(c.members.size(), got.size()) << c.request;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(c.members[i].name, got[i].name) << c.request;
            EXPECT_EQ(c.members[i].value, got[i].value) << c.request;
            EXPECT_EQ(c.members[i].error, got[i].error) << c.request;
        }
    }
    std::vector<cloud_property_member_s> got;
    EXPECT_EQ(-1, cloud_property_members(nullptr, 4, &got));
}

std::string CapturedCall(const std::function<int()>& call, int* result) {
    testing::internal::CaptureStdout();
    *result = call();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(SdkCallbacks, RequestsTheCameraCannotServeAreRefused) {
    ks_device_auth_s self = {0, Str("pk"), Str("cam"), Str("secret")};
    ks_device_auth_s stranger = {0, Str("pk"), Str("other"), Str("secret")};
    ASSERT_EQ(0, kestrel_client_assistant_start(0, &self, 0, nullptr));

    ks_start_push_stream_param_s start = {};
    start.service_id = 7;
    start.stream_cmd_type = KS_STREAM_CMD_PRE_EVENT_RECORD;
    int ret = 0;
    std::string out = CapturedCall([&] { return start_push_streaming_cb(&self, &start); }, &ret);
    EXPECT_EQ(-1, ret);
    EXPECT_EQ("startPushStreamingCallback:7 3\nStream type is not support\n", out);

    start.stream_cmd_type = KS_STREAM_CMD_LIVE;
    out = CapturedCall([&] { return start_push_streaming_cb(&stranger, &start); }, &ret);
    EXPECT_EQ(-1, ret);
    EXPECT_EQ("No ipc\n", out);

    ks_stop_push_stream_param_s stop = {7, KS_STREAM_CMD_LIVE};
    out = CapturedCall([&] { return stop_push_streaming_cb(&stranger, &stop); }, &ret);
    EXPECT_EQ(-1, ret);
    EXPECT_EQ("No ipc\n", out);

    kestrel_client_assistant_stop();
    out = CapturedCall([&] { return stop_push_streaming_cb(&self, &stop); }, &ret);
    EXPECT_EQ("No ipc\n", out) << "the device list must be gone after stop";
}

}  // namespace

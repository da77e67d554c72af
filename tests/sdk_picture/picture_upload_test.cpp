// Pictures from the public API to a real HTTPS store: trigger pictures,
// alarm pictures and intelligent alarms, with the store's failures, TLS
// refusals, expiry, and bad cloud input on every topic.
#include <cjson/cJSON.h>

#include "core/single.h"
#include "picture_fixture.h"
#include "sdk/device_env.h"
#include "sdk/picture/intelligent_alarm.h"
#include "sdk/picture/picture_session.h"
#include "sdk/picture/picture_store.h"

using namespace kestrel;
using namespace kestrel_test;

namespace picture_test {
namespace {

int PostTrigger(int service_id, const std::string& body) {
    ks_picture_param_s p;
    p.p = reinterpret_cast<unsigned char*>(const_cast<char*>(body.data()));
    p.len = static_cast<uint32_t>(body.size());
    return ks_post_trigger_picture(service_id, &p);
}

uint64_t g_mono_ms = 1000000;
uint64_t g_wall_ms = 1700000000000ull;
uint64_t FakeMono() {
    return g_mono_ms;
}
uint64_t FakeWall() {
    return g_wall_ms;
}

std::string StringOf(const cJSON* obj, const char* name) {
    const cJSON* v = cJSON_GetObjectItem(obj, name);
    return cJSON_IsString(v) ? v->valuestring : std::string("(missing)");
}
double NumberOf(const cJSON* obj, const char* name) {
    const cJSON* v = cJSON_GetObjectItem(obj, name);
    return cJSON_IsNumber(v) ? v->valuedouble : -999;
}

class PictureUpload : public PictureTest {
  protected:
    // Trigger, answer with `body`, wait for the upload's result line.
    void RoundTrip(const std::string& key, const std::string& body, const char* result) {
        size_t before = AppCalls::Get().picture_requests.size();
        Trigger(Url(key) + "?Signature=abc");
        int service_id = WaitPictureRequest(before + 1);
        ASSERT_GT(service_id, 0);
        ASSERT_EQ(0, PostTrigger(service_id, body));
        ASSERT_TRUE(WaitLog(std::string("Put picture result = ") + result,
                            log_.Count(std::string("Put picture result = ") + result) + 1))
            << key;
    }
    // An alarm post; its AlarmPicID.
    std::string PostAlarm(const std::string& body, size_t nth) {
        ks_alarm_image_param_s a;
        a.type = 3;
        a.p = reinterpret_cast<unsigned char*>(const_cast<char*>(body.data()));
        a.len = static_cast<uint32_t>(body.size());
        a.addition_string = "extra";
        int service_id = 0;
        EXPECT_EQ(0, ks_post_alarm_image(&device_.auth, &a, &service_id));
        EXPECT_GT(service_id, 0);
        auto events = WaitTopic("/thing/event/AlarmEvent/post", nth);
        if (events.size() < nth)
            return "";
        cJSON* params = Params(events[nth - 1]);
        std::string id = StringOf(params, "AlarmPicID");
        EXPECT_EQ(3, NumberOf(params, "AlarmType"));
        EXPECT_EQ("extra", StringOf(params, "Data"));
        cJSON_Delete(params);
        return id;
    }
    void UseFakeClocks() {
        g_wall_ms += 10000;  // the service's last post may be from an earlier test
        PictureSession* s = Single<PictureSession>::Instance();
        s->Alarm()->SetClock(PictureClock{FakeMono, FakeWall});
        s->Trigger()->SetClock(PictureClock{FakeMono, FakeWall});
    }
    void TearDown() override {
        PictureSession* s = Single<PictureSession>::Instance();
        s->Alarm()->SetClock(picture_clock_default());
        s->Trigger()->SetClock(picture_clock_default());
        PictureTest::TearDown();
    }
};

TEST_F(PictureUpload, TriggerPictureIsStoredByteForByte) {
    std::string body = Picture(300000, 1);  // more than two body chunks
    RoundTrip("bucket/trigger/one.jpg", body, "Success");
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object("bucket/trigger/one.jpg")));
    // Interim answers before the final one change nothing.
    RoundTrip("bucket/trigger/continue.jpg", body, "Success");
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object("bucket/trigger/continue.jpg")));
}

TEST_F(PictureUpload, StoreFailuresAreReportedAndTheNextUploadStillWorks) {
    struct Case {
        const char* key;
        const char* what;
    } cases[] = {
        {"bucket/status-403.jpg", "Put picture answered 403"},
        {"bucket/status-409.jpg", "Put picture answered 409"},
        {"bucket/status-500.jpg", "Put picture answered 500"},
        {"bucket/drop.jpg", "connection ended before a response"},
        {"bucket/stall.jpg", "Put picture stalled"},
        // The whole body taken, then silence: the answer is waited for only so long.
        {"bucket/silent.jpg", "Put picture stalled"},
        // An interim answer is not the result: the final one is waited for, so long.
        {"bucket/interim.jpg", "Put picture stalled"},
        {"bucket/garbage.jpg", "connection ended before a response"},
    };
    std::string body = Picture(20000, 2);
    for (const Case& c : cases) {
        auto start = std::chrono::steady_clock::now();
        RoundTrip(c.key, body, "Failed");
        EXPECT_TRUE(log_.Contains(c.what)) << c.key;
        // Bounded by the stall limit, not by the server's 20 s hang.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.key;
        std::string next = "bucket/next-" + std::to_string(&c - cases) + ".jpg";
        RoundTrip(next, body, "Success");
        EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object(next)));
    }
}

TEST_F(PictureUpload, UntrustedAndWrongNameServersGetNothing) {
    std::string body = Picture(5000, 3);
    std::string wrong = "https://device.test:" + std::to_string(wrong_store_->Port()) +
                        "/bucket/wrong-name.jpg?x=1";
    Trigger(wrong);
    ASSERT_EQ(0, PostTrigger(WaitPictureRequest(1), body));
    ASSERT_TRUE(WaitLog("Put picture result = Failed"));

    ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, "");  // only the pinned public root now
    Trigger(Url("bucket/untrusted.jpg") + "?x=1");
    ASSERT_EQ(0, PostTrigger(WaitPictureRequest(2), body));
    ASSERT_TRUE(WaitLog("Put picture result = Failed", 2));
    for (const auto& r : wrong_store_->Requests())
        ADD_FAILURE() << "wrong-name server got " << r.key;
    for (const auto& r : store_->Requests())
        EXPECT_NE("bucket/untrusted.jpg", r.key);
}

TEST_F(PictureUpload, TriggerAnswersAreCheckedOnce) {
    Trigger(Url("bucket/once.jpg") + "?x=1");
    int id = WaitPictureRequest(1);
    EXPECT_EQ(-1, PostTrigger(id + 1000, "x"));  // never issued
    EXPECT_TRUE(log_.Contains("Query data failed"));
    EXPECT_EQ(-1, PostTrigger(id, std::string(5242881, 'x')));  // one byte too many
    EXPECT_TRUE(log_.Contains("image too large"));
    EXPECT_EQ(-1, PostTrigger(id, "x"));  // the request was used up
    Trigger(Url("bucket/empty.jpg") + "?x=1");
    EXPECT_EQ(0, PostTrigger(WaitPictureRequest(2), ""));
    EXPECT_TRUE(log_.Contains("No picture data, do nothing"));
    Trigger(Url("bucket/max.jpg") + "?x=1");
    std::string max(5242880, 'm');
    EXPECT_EQ(0, PostTrigger(WaitPictureRequest(3), max));
    ASSERT_TRUE(WaitLog("Put picture result = Success", 1, 15000));
    EXPECT_EQ(max.size(), store_->Object("bucket/max.jpg").size());
}

TEST_F(PictureUpload, AlarmPictureGoesToTheUrlTheCloudAnswersWith) {
    UseFakeClocks();
    std::string body = Picture(40000, 4);
    std::string id = PostAlarm(body, 1);
    ASSERT_EQ("1_", id.substr(0, 2));
    EXPECT_EQ(40000u, DeviceEnv::Get()->Store()->Used());
    Trigger(Url("bucket/alarm.jpg") + "?eventType=3&id=" + id);
    ASSERT_TRUE(WaitLog("Put picture result = Success"));
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object("bucket/alarm.jpg")));
    EXPECT_TRUE(WaitFor([] { return DeviceEnv::Get()->Store()->Used() == 0; }));
    EXPECT_EQ(0u, AppCalls::Get().picture_requests.size());  // not a trigger picture

    // One post per second for the whole service.
    g_wall_ms += 999;
    ks_alarm_image_param_s a = {1, nullptr, 0, nullptr};
    EXPECT_EQ(-1, ks_post_alarm_image(&device_.auth, &a, nullptr));
    EXPECT_TRUE(log_.Contains("Should not post alarm event too frequently"));
    g_wall_ms += 1;
    EXPECT_EQ(0, ks_post_alarm_image(&device_.auth, &a, nullptr));
    auto events = WaitTopic("/thing/event/AlarmEvent/post", 2);
    ASSERT_EQ(2u, events.size());
    cJSON* params = Params(events[1]);
    std::string empty_id = StringOf(params, "AlarmPicID");
    EXPECT_EQ("0_", empty_id.substr(0, 2));
    EXPECT_STREQ("(missing)", StringOf(params, "Data").c_str());
    cJSON_Delete(params);
    Trigger(Url("bucket/none.jpg") + "?eventType=1&id=" + empty_id);
    EXPECT_TRUE(WaitLog("no image data, do nothing"));
}

TEST_F(PictureUpload, UnansweredRequestsExpireAndGiveTheirPicturesBack) {
    UseFakeClocks();
    std::string id = PostAlarm(Picture(30000, 5), 1);
    Trigger(Url("bucket/late-trigger.jpg") + "?x=1");
    int service_id = WaitPictureRequest(1);
    EXPECT_EQ(30000u, DeviceEnv::Get()->Store()->Used());
    g_mono_ms += 5 * 60 * 1000;
    g_wall_ms += 5 * 60 * 1000;
    EXPECT_EQ(-1, PostTrigger(service_id, "late"));
    EXPECT_TRUE(log_.Contains("Request expired"));
    Trigger(Url("bucket/late-alarm.jpg") + "?eventType=1&id=" + id);
    EXPECT_TRUE(WaitLog("data query failed"));
    EXPECT_TRUE(log_.Contains("No upload url within 300 s"));
    EXPECT_EQ(0u, DeviceEnv::Get()->Store()->Used());
    EXPECT_EQ(0u, Single<PictureSession>::Instance()->Alarm()->Pending());
}

TEST_F(PictureUpload, ARestartForgetsWaitingPictures) {
    UseFakeClocks();
    std::string old_id = PostAlarm(Picture(1000, 6), 1);
    ks_destroy();
    ks_init_config_s c = DefaultConfig();
    c.picture_store_size_max = 1 << 20;
    ks_init_callback_s cb = DefaultCallbacks();
    ks_init_system_s sys = {0};
    ASSERT_EQ(0, ks_init(&c, &cb, &sys));
    ASSERT_EQ(0, Connect(&device_.auth));
    ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, net_test::ReadFile(pki_->ca).c_str());
    g_wall_ms += 1000;
    std::string other = Picture(1000, 7);
    PostAlarm(other, 2);  // index 1 of the new store
    Trigger(Url("bucket/stale.jpg") + "?eventType=1&id=" + old_id);
    EXPECT_TRUE(WaitLog("data query failed"));
    EXPECT_EQ("", store_->Object("bucket/stale.jpg"));
}

TEST_F(PictureUpload, UrlsThatCannotBeUsedFailWithoutHoldingUpTheQueue) {
    UseFakeClocks();
    std::string a = PostAlarm(Picture(1000, 8), 1);
    g_wall_ms += 1000;
    std::string body = Picture(2000, 9);
    std::string b = PostAlarm(body, 2);
    Trigger("ftp://device.test/bucket/x.jpg?eventType=1&id=" + a);
    Trigger(Url("bucket/behind.jpg") + "?eventType=1&id=" + b);
    ASSERT_TRUE(WaitLog("Put picture result = Success"));
    EXPECT_TRUE(log_.Contains("Url protocol failed"));
    EXPECT_EQ(1u, log_.Count("Put picture result = Failed"));
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object("bucket/behind.jpg")));
    EXPECT_TRUE(WaitFor([] { return DeviceEnv::Get()->Store()->Used() == 0; }));
}

class IntelligentAlarm : public PictureUpload {
  protected:
    void SetUp() override {
        PictureUpload::SetUp();
        session_ = Single<IntelligentAlarmEventSession>::Instance();
        // The cloud lifts the per-device limit so posts can follow each other.
        session_->Limit()->Parse("{\"params\":{\"single\":-1,\"batch\":-1}}");
    }
    int Post(const std::string& body, int type = 7, const std::string& data = "d") {
        ks_intelligent_alarm_param_s p;
        p.type = type;
        p.p = reinterpret_cast<unsigned char*>(const_cast<char*>(body.data()));
        p.len = static_cast<uint32_t>(body.size());
        p.addition_string = data.c_str();
        p.addition_string_len = static_cast<uint32_t>(data.size());
        return ks_post_intelligent_alarm(&device_.auth, &p, nullptr);
    }
    // The n-th published event list.
    cJSON* Event(size_t n) {
        auto events = WaitTopic("/thing/event/IntelligentAlarm/post", n);
        if (events.size() < n)
            return nullptr;
        cJSON* params = Params(events[n - 1]);
        return params;
    }
    IntelligentAlarmEventSession* session_ = nullptr;
};

TEST_F(IntelligentAlarm, PictureIsStoredBeforeTheEventNamesIt) {
    std::string body = Picture(70000, 10);
    ASSERT_EQ(0, Post(body));
    ASSERT_FALSE(WaitTopic("/vision/pic/kiv/upstream", 1).empty());
    Kestrel("/vision/pic/kiv/downstream", Credentials());
    cJSON* params = Event(1);
    ASSERT_NE(nullptr, params);
    cJSON* item = cJSON_GetArrayItem(cJSON_GetObjectItem(params, "EventList"), 0);
    std::string key = StringOf(item, "AlarmPicID");
    EXPECT_EQ("pics/", key.substr(0, 5));
    EXPECT_EQ(70000, NumberOf(item, "AlarmPicSize"));
    EXPECT_EQ(7, NumberOf(item, "AlarmType"));
    EXPECT_EQ("d", StringOf(item, "Data"));
    cJSON_Delete(params);
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object(key)));  // there before the event went out
    auto requests = store_->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("ok", requests.back().auth);

    // Cached credentials serve the next post at once, no new request.
    ASSERT_EQ(0, Post(Picture(100, 11)));
    params = Event(2);
    ASSERT_NE(nullptr, params);
    cJSON_Delete(params);
    EXPECT_EQ(1u, WaitTopic("/vision/pic/kiv/upstream", 1).size());
}

TEST_F(IntelligentAlarm, GatewayFormListsEveryPartWithOnePicture) {
    Kestrel("/vision/pic/kiv/downstream", Credentials());  // unasked: refused
    EXPECT_TRUE(WaitLog("never asked for them"));
    std::string body = Picture(3000, 12);
    ks_intelligent_alarm_gateway_item_s items[3] = {
        {1, "algo-a", "pkA", "dnA", "one"},
        {2, nullptr, "pkB", "dnB", nullptr},
        {3, "algo-c", nullptr, "dnC", "three"},
    };
    ASSERT_EQ(0, ks_post_intelligent_alarm_gateway(
                     0, reinterpret_cast<const unsigned char*>(body.data()),
                     static_cast<unsigned>(body.size()), 3, items, nullptr));
    WaitTopic("/vision/pic/kiv/upstream", 1);
    Kestrel("/vision/pic/kiv/downstream", Credentials());
    cJSON* params = Event(1);
    ASSERT_NE(nullptr, params);
    cJSON* list = cJSON_GetObjectItem(params, "EventList");
    ASSERT_EQ(3, cJSON_GetArraySize(list));
    std::string key = StringOf(cJSON_GetArrayItem(list, 0), "AlarmPicID");
    const char* pks[] = {"pkA", "pkB", ""};
    const char* algos[] = {"algo-a", "", "algo-c"};
    for (int i = 0; i < 3; ++i) {
        cJSON* e = cJSON_GetArrayItem(list, i);
        EXPECT_EQ(key, StringOf(e, "AlarmPicID"));
        EXPECT_EQ(3000, NumberOf(e, "AlarmPicSize"));
        EXPECT_EQ(i + 1, NumberOf(e, "AlarmType"));
        EXPECT_EQ(pks[i], StringOf(e, "ProductKey"));
        EXPECT_EQ(algos[i], StringOf(e, "Algorithm"));
    }
    cJSON_Delete(params);
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object(key)));
    EXPECT_EQ(-1, ks_post_intelligent_alarm_gateway(-1, nullptr, 0, 1, items, nullptr));
    EXPECT_EQ(-1, ks_post_intelligent_alarm_gateway(0, nullptr, 0, 100000, items, nullptr));
}

TEST_F(IntelligentAlarm, WithoutPictureOrCredentialsTheEventStillGoesOut) {
    ASSERT_EQ(0, Post(""));  // no picture: at once, size 1
    cJSON* params = Event(1);
    ASSERT_NE(nullptr, params);
    cJSON* item = cJSON_GetArrayItem(cJSON_GetObjectItem(params, "EventList"), 0);
    EXPECT_EQ(1, NumberOf(item, "AlarmPicSize"));
    EXPECT_EQ("", StringOf(item, "AlarmPicID"));
    cJSON_Delete(params);

    // Credentials that never come: after the retries the event is published
    // without picture rather than dropped while success was returned.
    KivIdentify* identify = DeviceEnv::Get()->Identify();
    ASSERT_EQ(0, Post(Picture(500, 13)));
    for (int i = 0; i < 4; ++i)
        identify->CheckUpdate(0);
    params = Event(2);
    ASSERT_NE(nullptr, params);
    item = cJSON_GetArrayItem(cJSON_GetObjectItem(params, "EventList"), 0);
    EXPECT_EQ(1, NumberOf(item, "AlarmPicSize"));
    EXPECT_EQ("", StringOf(item, "AlarmPicID"));
    cJSON_Delete(params);
    EXPECT_EQ(0u, session_->Waiting());
    EXPECT_TRUE(WaitFor([] { return DeviceEnv::Get()->Store()->Used() == 0; }));
}

TEST_F(IntelligentAlarm, RefusedUploadPublishesWithSizeZero) {
    ASSERT_EQ(0, Post(Picture(800, 14)));
    WaitTopic("/vision/pic/kiv/upstream", 1);
    // A secret the store does not know: every signature is refused (403).
    Kestrel("/vision/pic/kiv/downstream", Credentials("pics/", 3600, "not-the-secret"));
    cJSON* params = Event(1);
    ASSERT_NE(nullptr, params);
    cJSON* item = cJSON_GetArrayItem(cJSON_GetObjectItem(params, "EventList"), 0);
    EXPECT_EQ(0, NumberOf(item, "AlarmPicSize"));
    EXPECT_EQ("", StringOf(item, "AlarmPicID"));
    cJSON_Delete(params);
    EXPECT_EQ("bad-signature", store_->Requests().back().auth);
    EXPECT_TRUE(log_.Contains("Put picture answered 403"));
}

TEST_F(IntelligentAlarm, OddKeysAndLongSecretsAreSignedAsTheStoreChecksThem) {
    // A prefix with a space and a percent sign; a secret longer than a block.
    std::string secret(100, 's');
    store_->Stop();
    ASSERT_TRUE(store_->Start(dir_ + "/store-long", pki_->device_cert, pki_->device_key, secret));
    std::string body = Picture(1200, 15);
    ASSERT_EQ(0, Post(body));
    WaitTopic("/vision/pic/kiv/upstream", 1);
    Kestrel("/vision/pic/kiv/downstream", Credentials("odd dir/100%/", 3600, secret));
    cJSON* params = Event(1);
    ASSERT_NE(nullptr, params);
    std::string key =
        StringOf(cJSON_GetArrayItem(cJSON_GetObjectItem(params, "EventList"), 0), "AlarmPicID");
    cJSON_Delete(params);
    EXPECT_EQ("odd dir/100%/", key.substr(0, 13));
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(store_->Object(key)));
    EXPECT_EQ("ok", store_->Requests().back().auth);
    for (const auto& line : log_.Lines()) {
        EXPECT_EQ(std::string::npos, line.find(secret)) << line;
        EXPECT_EQ(std::string::npos, line.find("token-123")) << line;
    }
    store_->Stop();
    ASSERT_TRUE(store_->Start(dir_ + "/store", pki_->device_cert, pki_->device_key));
}

TEST_F(IntelligentAlarm, DefaultLimitRefusesASecondPostWithinTenSeconds) {
    session_->Limit()->Parse("{\"params\":{\"single\":10000,\"batch\":100}}");
    ASSERT_EQ(0, Post(""));
    EXPECT_EQ(-1, Post(""));
    EXPECT_TRUE(log_.Contains("Event limit"));
    EXPECT_EQ(-1, Post(std::string(5242881, 'x')));
    EXPECT_TRUE(log_.Contains("Image size large than 5242880 Byte"));
}

// Garbage, wrong types and missing members on every topic the picture
// services listen on: an error line each, and nothing else happens.
TEST_F(PictureUpload, BadCloudInputGetsAnErrorLineAndNothingElse) {
    struct Case {
        bool service;
        const char* name;
        std::string payload;
        const char* error;
    } cases[] = {
        {true, "TriggerPicCapture", "garbage", "Parse value failed"},
        {true, "TriggerPicCapture", "{}", "No upload url"},
        {true, "TriggerPicCapture", "{\"UploadUrl\":5}", "No upload url"},
        {true, "TriggerPicCapture", "{\"UploadUrl\":\"https://h/no-query\"}", "Parse url failed"},
        {true, "TriggerPicCapture", "[\"UploadUrl\"]", "No upload url"},
        {false, "/vision/pic/kiv/downstream", "garbage", "Parse PicKivDownstream failed"},
        {false, "/vision/pic/kiv/downstream", "{\"params\":{\"accessKey\":1}}",
         "Parse PicKivDownstream failed"},
        {false, "/vision/biz/event/downstream", "garbage", "Event limit answer refused"},
        {false, "/vision/biz/event/downstream", "{\"params\":{\"single\":\"x\",\"batch\":1}}",
         "Event limit answer refused"},
        {false, "/vision/biz/event/downstream", "{\"params\":{\"batch\":1}}",
         "Event limit answer refused"},
        {false, "/vision/biz/dev/DownloadFile/invoke", "garbage", "FileParse, parse error"},
        {false, "/vision/biz/dev/DownloadFile/invoke", "{\"paramList\":[]}",
         "FileParse, parse error, array_size = 0"},
        {false, "/vision/biz/dev/DownloadFile/invoke",
         "{\"paramList\":[{\"downloadUrl\":1,\"fileName\":\"a\",\"fileType\":1}]}",
         "FileParse, parse error, array_index = 0"},
        {false, "/vision/biz/dev/UploadFile/invoke", "{\"paramList\":{}}",
         "FileParse, parse error"},
        {false, "/vision/biz/dev/UploadFile/invoke",
         "{\"paramList\":[{\"downloadUrl\":\"u\",\"fileName\":\"a\",\"fileType\":1}]}",
         "FileParse, parse error, array_index = 0"},
    };
    for (const Case& c : cases) {
        log_.Clear();
        if (c.service)
            ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "m",
                                     c.name, c.payload));
        else
            Kestrel(c.name, c.payload);
        EXPECT_TRUE(WaitLog(c.error)) << c.name << " " << c.payload;
    }
    Trigger(Url("bucket/sync.jpg") + "?x=1");  // queued behind all of them
    WaitPictureRequest(1);
    for (const auto& p : Recorder::Get().WaitPublished(0, 0)) {
        for (const char* made_by_input : {"Alarm", "kiv/upstream", "event/upstream"})
            EXPECT_EQ(std::string::npos, p.topic.find(made_by_input)) << p.topic;
    }
    EXPECT_EQ(1u, AppCalls::Get().picture_requests.size());
    EXPECT_TRUE(AppCalls::Get().cloud_events.empty());
}

TEST_F(PictureUpload, FileTransferEntriesBeforeABadOneReachTheApplication) {
    Kestrel("/vision/biz/dev/DownloadFile/invoke",
            "{\"paramList\":[{\"downloadUrl\":\"https://f/1\",\"fileName\":\"a.bin\","
            "\"fileType\":4},{\"downloadUrl\":\"https://f/2\",\"fileType\":4}]}");
    Kestrel("/vision/biz/dev/UploadFile/invoke",
            "{\"paramList\":[{\"uploadUrl\":\"https://f/3?Signature=pre-signed-secret\","
            "\"fileName\":\"log.txt\",\"fileType\":2}]}");
    ASSERT_TRUE(WaitFor([] {
        std::lock_guard<std::mutex> lock(AppCalls::Get().mutex);
        return AppCalls::Get().cloud_events.size() >= 2;
    }));
    std::lock_guard<std::mutex> lock(AppCalls::Get().mutex);
    EXPECT_EQ("1:4:a.bin:https://f/1", AppCalls::Get().cloud_events[0]);
    EXPECT_EQ("2:2:log.txt:https://f/3?Signature=pre-signed-secret",
              AppCalls::Get().cloud_events[1]);
    EXPECT_TRUE(log_.Contains("FileParse, parse error, array_index = 1"));
    // The application gets the pre-signed URL; the log never does.
    EXPECT_FALSE(log_.Contains("pre-signed-secret"));
}

}  // namespace
}  // namespace picture_test

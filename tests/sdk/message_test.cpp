// Cloud messages in and out through the public API: device log-in, reports,
// delivery to handlers on the task-queue thread, and the application callbacks.
#include <atomic>
#include <cstdlib>
#include <map>
#include <set>

#include "core/single.h"
#include "sdk/device_auth.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/device_monitor.h"
#include "sdk/message_service.h"
#include "sdk_fixture.h"

using namespace kestrel_test;
using kestrel::DeviceMonitor;
using kestrel::MessageService;
using kestrel::Single;

namespace {

// Nominal delays seen by the monitor, and how long each is really made to wait.
std::mutex g_delay_mutex;
std::vector<unsigned long> g_delays;
std::map<unsigned long, unsigned long> g_delay_map;

unsigned long RecordDelay(unsigned long nominal) {
    std::lock_guard<std::mutex> lock(g_delay_mutex);
    g_delays.push_back(nominal);
    auto it = g_delay_map.find(nominal);
    return it == g_delay_map.end() ? nominal : it->second;
}

const std::string kVersionPayload =
    "{\"version\":\"1.0\",\"method\":\"IpcNvrSDKVersion\",\"params\":{\"version\":\"2.1.2_"
    "30d93cc_ff9e561_75f80d2f_20210423023602_tarn.qb\",\"pic\":\"kiv\"}}";

class MessageTest : public SdkTest {
  protected:
    void SetUp() override {
        SdkTest::SetUp();
        {
            std::lock_guard<std::mutex> lock(g_delay_mutex);
            g_delays.clear();
            g_delay_map.clear();
        }
        DeviceMonitor::SetDelayHook(RecordDelay);
    }
    void TearDown() override {
        SdkTest::TearDown();
        DeviceMonitor::SetDelayHook(nullptr);
    }
    std::vector<unsigned long> Delays() {
        std::lock_guard<std::mutex> lock(g_delay_mutex);
        return g_delays;
    }
    void MapDelay(unsigned long nominal, unsigned long actual) {
        std::lock_guard<std::mutex> lock(g_delay_mutex);
        g_delay_map[nominal] = actual;
    }
    // Publishes a marker and waits for it: everything queued before it has
    // then been published, so "nothing else was sent" can be asserted.
    std::vector<Published> Flush(int dev_id = 0) {
        const std::string marker = "/marker" + std::to_string(++markers_);
        EXPECT_EQ(0, Single<MessageService>::Instance()->AddKestrel(dev_id, marker, "{}"));
        auto all = Recorder::Get().WaitTopicSuffix(marker);
        std::vector<Published> reports;
        for (const auto& p : all) {
            if (p.topic.find("/marker") == std::string::npos)
                reports.push_back(p);
        }
        all.swap(reports);
        return all;
    }
    int markers_ = 0;
};

Identity g_ipc(0, "pkA", "camA", "sA");

}  // namespace

TEST_F(MessageTest, FirstConnectOfTheMainDeviceSendsVersionPropertyAndAbilities) {
    Recorder::Get().feature = 0;
    ASSERT_EQ(0, Init());
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    auto got = Flush();
    ASSERT_EQ(4u, got.size());
    const std::string prefix = "/sys/pkA/camA";
    EXPECT_EQ(prefix + "/vision/biz/dev/monitor/upstream", got[0].topic);
    EXPECT_EQ(kVersionPayload, got[0].message);
    EXPECT_EQ(prefix + "/thing/event/property/post", got[1].topic);
    EXPECT_EQ(
        "{\"id\":\"1000002\",\"version\":\"1.0\",\"params\":{\"UploadPictureType\":1,"
        "\"EncryptTypeList\":[0],\"PreRecordSupport\":0},\"method\":\"thing.event.property.post\"}",
        got[1].message);
    EXPECT_EQ(prefix + "/vision/biz/dev/core/ability/upstream", got[2].topic);
    EXPECT_EQ(
        "{\"version\":\"1.0\",\"params\":{\"domainNameSupport\": true,\"preRecordSupport\":false}}",
        got[2].message);
    EXPECT_EQ(prefix + "/vision/p2p/dev/ability/upstream", got[3].topic);
    EXPECT_EQ("{\"version\":\"1.0\",\"params\":{\"p2pPreConnect\":true}}", got[3].message);
    for (const auto& p : got) {
        EXPECT_EQ(1, p.qos) << p.topic;
        EXPECT_EQ(0, p.dev_id);
    }
    // The version report schedules its own repetition 20 hours later.
    EXPECT_EQ(std::vector<unsigned long>{72000000UL}, Delays());

    // A second connected event (a cloud-link reconnect) repeats nothing.
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    EXPECT_EQ(4u, Flush().size());
}

TEST_F(MessageTest, PreEventSupportFollowsTheFeatureCheck) {
    Recorder::Get().feature = 10000;
    ASSERT_EQ(0, Init());
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    auto got = Flush();
    ASSERT_EQ(4u, got.size());
    EXPECT_NE(std::string::npos, got[1].message.find("\"PreRecordSupport\":1}"));
    EXPECT_NE(std::string::npos, got[2].message.find("\"preRecordSupport\":true}}"));
}

TEST_F(MessageTest, VersionReportRepeatsAndStopsWithDestroy) {
    MapDelay(72000000UL, 20);  // 20 hours made 20 ms
    ASSERT_EQ(0, Init());
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    auto got = Recorder::Get().WaitPublished(6);
    ASSERT_GE(got.size(), 6u);
    size_t versions = 0;
    for (const auto& p : got)
        versions += p.message == kVersionPayload;
    EXPECT_GE(versions, 2u);

    ks_destroy();
    size_t after_destroy = Recorder::Get().WaitPublished(0, 0).size();
    // Ten periods later nothing more has been sent.
    EXPECT_EQ(after_destroy, Recorder::Get().WaitPublished(after_destroy + 1, 200).size());
}

TEST_F(MessageTest, NvrCamerasReportLaterAndTheRecorderReportsNoProperties) {
    MapDelay(32000UL, 10);
    ASSERT_EQ(0, Init(1));
    Identity nvr(0, "pkN", "nvr", "sN");
    Identity cam4(4, "pkC", "cam4", "s4");
    ASSERT_EQ(0, Connect(&nvr.auth));
    ASSERT_EQ(0, Connect(&cam4.auth));
    auto got = Recorder::Get().WaitPublished(4);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ("/sys/pkN/nvr/vision/biz/dev/monitor/upstream", got[0].topic);
    EXPECT_EQ("/sys/pkC/cam4/thing/event/property/post", got[1].topic);
    EXPECT_EQ(4, got[1].dev_id);
    EXPECT_EQ("/sys/pkC/cam4/vision/p2p/dev/ability/upstream", got[3].topic);
    auto delays = Delays();
    EXPECT_NE(delays.end(), std::find(delays.begin(), delays.end(), 32000UL));
}

TEST_F(MessageTest, RefusedMessagesAndIdentities) {
    ASSERT_EQ(0, Init());
    // Before its connected event a device's messages are refused.
    EXPECT_EQ(-1,
              SendMessage(&g_ipc.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "1", "StopVod", "{}"));
    EXPECT_TRUE(log_.Contains(
        "[API:ks_message_adapter] KS_MESSAGE_ADAPTER_TYPE_CONNECTED is not set yet, dev_id = 0"));

    Identity ipc1(1, "pkA", "camA", "sA");
    EXPECT_EQ(-1, Connect(&ipc1.auth));
    EXPECT_TRUE(log_.Contains("Device auth error, device type = 0, device id = 1"));
    EXPECT_TRUE(log_.Contains("[API:ks_message_adapter] Device auth error"));

    // A second identity under a known id.
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    Identity other(0, "pkA", "camA", "another-secret");
    EXPECT_EQ(-1, Connect(&other.auth));
    EXPECT_TRUE(log_.Contains("Device auth error, device id exist, dev_id = 0"));

    EXPECT_EQ(-1, SendMessage(&g_ipc.auth, static_cast<ks_message_adapter_type_e>(9), "", "", ""));
    EXPECT_TRUE(log_.Contains("[API:ks_message_adapter] Not recognize adapter type: 9"));
}

TEST_F(MessageTest, NvrAcceptsCamerasUpTo128) {
    ASSERT_EQ(0, Init(1));
    Identity c128(128, "pk", "c128", "s");
    Identity c129(129, "pk", "c129", "s");
    EXPECT_EQ(0, Connect(&c128.auth));
    EXPECT_EQ(-1, Connect(&c129.auth));
    EXPECT_TRUE(log_.Contains("Device auth error, no more ipc auth under nvr"));
}

namespace {

struct Delivery {
    std::string service, payload, msg_id;
    pthread_t thread;
};
std::mutex g_delivery_mutex;
std::vector<Delivery> g_deliveries;

void OnService(void* user, int dev_id, const std::string& service, const std::string& payload,
               const std::string& msg_id) {
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), user);
    EXPECT_EQ(0, dev_id);
    std::lock_guard<std::mutex> lock(g_delivery_mutex);
    g_deliveries.push_back({service, payload, msg_id, pthread_self()});
}

void OnTopic(void*, int, const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(g_delivery_mutex);
    g_deliveries.push_back({topic, payload, "", pthread_self()});
}

}  // namespace

TEST_F(MessageTest, InboundMessagesReachTheirHandlersInOrderOnTheTaskThread) {
    {
        std::lock_guard<std::mutex> lock(g_delivery_mutex);
        g_deliveries.clear();
    }
    ASSERT_EQ(0, Init());
    MessageService* ms = Single<MessageService>::Instance();
    ms->RegisterServiceHandler("TestService", OnService, reinterpret_cast<void*>(0x1234));
    ms->RegisterKestrelHandler("/vision/test/downstream", OnTopic, nullptr);
    ASSERT_EQ(0, Connect(&g_ipc.auth));

    // Unknown names, and a name sent as the other kind, are dropped.
    EXPECT_EQ(0,
              SendMessage(&g_ipc.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "7", "StopVod", "{}"));
    EXPECT_EQ(0,
              SendMessage(&g_ipc.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "", "TestService", "{}"));
    // The lengths rule: the service text is cut to its length.
    EXPECT_EQ(0, SendMessage(&g_ipc.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "8", "TestService",
                             "{\"a\":1}"));
    EXPECT_EQ(0, SendMessage(&g_ipc.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "",
                             "/vision/test/downstream", "{\"b\":2}"));
    ks_message_adapter_param_s cut = {
        KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "9", 1, "TestServiceXYZ", 11, "{}", 2};
    EXPECT_EQ(0, ks_message_adapter(&g_ipc.auth, &cut));

    std::vector<Delivery> got;
    for (int i = 0; i < 300; ++i) {
        {
            std::lock_guard<std::mutex> lock(g_delivery_mutex);
            got = g_deliveries;
        }
        if (got.size() >= 3)
            break;
        usleep(10000);
    }
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ("TestService", got[0].service);
    EXPECT_EQ("{\"a\":1}", got[0].payload);
    EXPECT_EQ("8", got[0].msg_id);
    EXPECT_EQ("/vision/test/downstream", got[1].service);
    EXPECT_EQ("{\"b\":2}", got[1].payload);
    EXPECT_EQ("9", got[2].msg_id);
    EXPECT_FALSE(pthread_equal(pthread_self(), got[0].thread));
    EXPECT_TRUE(pthread_equal(got[0].thread, got[1].thread));
}

TEST_F(MessageTest, OutboundEnvelopes) {
    ASSERT_EQ(0, Init());
    MessageService* ms = Single<MessageService>::Instance();
    // Unknown device: refused, but the id is still taken.
    EXPECT_EQ(-1, ms->AddProperty(0, "{}"));
    EXPECT_TRUE(log_.Contains("Device auth error"));
    // Record the identity without a connected event (which would send reports).
    ASSERT_EQ(0, kestrel::DeviceEnv::Get()->Auth()->GetDevId("pk", "dn", "ds", 0));

    EXPECT_EQ(0, ms->AddRrpc(0, "Any", "{}", "42"));
    EXPECT_EQ(0, ms->AddEvent(0, "Alarm", "{\"x\":1}"));
    auto got = Recorder::Get().WaitPublished(2);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("/sys/pk/dn/rrpc/response/42", got[0].topic);
    EXPECT_EQ("{\"id\":\"1000002\",\"code\":200,\"data\":{}}", got[0].message);
    EXPECT_EQ(0, got[0].qos);
    EXPECT_EQ("/sys/pk/dn/thing/event/Alarm/post", got[1].topic);
    EXPECT_EQ(
        "{\"id\":\"1000003\",\"version\":\"1.0\",\"params\":{\"x\":1},\"method\":"
        "\"thing.event.Alarm.post\"}",
        got[1].message);
    EXPECT_EQ(1, got[1].qos);
}

TEST_F(MessageTest, IllegalIdentitiesAreRecordedButCannotPublish) {
    ASSERT_EQ(0, Init());
    auto* auths = kestrel::DeviceEnv::Get()->Auth();
    std::string pk255(255, 'k'), pk256(256, 'k');
    EXPECT_EQ(0, auths->GetDevId(pk256.c_str(), "dn", "ds", 0));
    EXPECT_TRUE(auths->GetAuth(0)->IsIllegal());
    EXPECT_EQ(nullptr, auths->GetAuth(0)->GetAuth()->product_key);
    EXPECT_EQ(-1, Single<MessageService>::Instance()->AddProperty(0, "{}"));
    ks_destroy();

    ASSERT_EQ(0, Init());
    auths = kestrel::DeviceEnv::Get()->Auth();
    EXPECT_EQ(0, auths->GetDevId(pk255.c_str(), "dn", "ds", 0));
    EXPECT_FALSE(auths->GetAuth(0)->IsIllegal());
    EXPECT_EQ(0, auths->GetDevId(pk255.c_str(), "dn", "ds", 0));  // same identity again
    EXPECT_EQ(-1, auths->GetDevId("", "dn", "ds", 0));            // differs from the recorded one
    EXPECT_EQ(-1, auths->GetDevId("pk", "dn", "ds", -1));
    EXPECT_TRUE(auths->GetAuth(77)->IsIllegal());  // unknown ids get the empty identity
}

TEST_F(MessageTest, StartRequestCopiesItsFileName) {
    ASSERT_EQ(0, Init());
    ASSERT_EQ(0, kestrel::DeviceEnv::Get()->Auth()->GetDevId("pk", "dn", "ds", 0));
    char* name = strdup("record-2026-12-10.mp4");
    ks_start_push_stream_param_s p = {};
    p.service_id = 3;
    p.stream_cmd_type = KS_STREAM_CMD_STORAGE_RECORD_BY_FILE;
    p.file_name = name;
    ASSERT_EQ(0, kestrel::DeviceEnv::Get()->Dispatch()->StartPushStreamingAsync(0, &p));
    memset(name, 'X', strlen(name));
    free(name);
    auto started = Recorder::Get().WaitStarted(1);
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ("record-2026-12-10.mp4", started[0]);

    ks_destroy();
    EXPECT_EQ(-1, kestrel::DeviceEnv::Get()->Dispatch()->StartPushStreamingAsync(0, &p));
}

TEST_F(MessageTest, NewInitStartsCountersAgain) {
    ASSERT_EQ(0, Init());
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    EXPECT_EQ(1, kestrel::DeviceEnv::Get()->Id());
    EXPECT_EQ(2, kestrel::DeviceEnv::Get()->Id());
    Flush();
    ks_destroy();
    Recorder::Get().Reset();

    ASSERT_EQ(0, Init());
    EXPECT_EQ(1, kestrel::DeviceEnv::Get()->Id());
    ASSERT_EQ(0, Connect(&g_ipc.auth));
    auto got = Flush();
    ASSERT_EQ(4u, got.size());
    EXPECT_NE(std::string::npos, got[1].message.find("\"id\":\"1000002\""));
}

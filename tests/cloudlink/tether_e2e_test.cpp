// The device link against a real Mosquitto over TLS: login, the topic table,
// upstream envelopes, QoS 1 acknowledgement and re-sending, downstream
// dispatch with replies, and surviving a broker restart.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloudlink/broker_fixture.h"
#include "infra/conn_mgr.h"
#include "infra/mqtt_client.h"
#include "services/dm_internal.h"
#include "tether/tether_api.h"

namespace {

using tethertest::Broker;
using tethertest::Device;
using tethertest::LogCapture;
using tethertest::Subscriber;
using tethertest::WaitUntil;

// --- what the callbacks saw ----------------------------------------------------
std::mutex g_mu;
std::vector<std::string> g_events;
struct Answer {
    int rc;
    std::string response;
};
std::map<std::string, Answer> g_answers;  // by service id

void Record(const std::string& e) {
    std::lock_guard<std::mutex> l(g_mu);
    g_events.push_back(e);
}
int CountEvents(const std::string& prefix) {
    std::lock_guard<std::mutex> l(g_mu);
    int n = 0;
    for (auto& e : g_events)
        n += e.compare(0, prefix.size(), prefix) == 0;
    return n;
}
bool HasEvent(const std::string& e) {
    std::lock_guard<std::mutex> l(g_mu);
    for (auto& x : g_events) {
        if (x == e)
            return true;
    }
    return false;
}
bool WaitEvent(const std::string& e, int ms = 5000) {
    return WaitUntil([&] { return HasEvent(e); }, ms);
}

int OnConnected() {
    Record("connected");
    return 0;
}
int OnDisconnected() {
    Record("disconnected");
    return 0;
}
int OnConnectFail() {
    Record("connect_fail");
    return 0;
}
int OnInit(const int devid) {
    Record("init:" + std::to_string(devid));
    return 0;
}
int OnMqttConnectSucc() {
    Record("mqtt_connect_succ");
    return 0;
}
int OnService(const int devid, const char* msgid, const int msgid_len, const char* svc,
              const int svc_len, const char* req, const int req_len, char** resp, int* resp_len) {
    std::string s(svc, static_cast<size_t>(svc_len));
    Record("service:" + std::to_string(devid) + "|" + std::string(msgid, msgid_len) + "|" + s +
           "|" + std::string(req, static_cast<size_t>(req_len)));
    Answer a{0, ""};
    {
        std::lock_guard<std::mutex> l(g_mu);
        auto it = g_answers.find(s);
        if (it != g_answers.end())
            a = it->second;
    }
    if (!a.response.empty()) {
        *resp = static_cast<char*>(HAL_Malloc(static_cast<uint32_t>(a.response.size())));
        memcpy(*resp, a.response.data(), a.response.size());
        *resp_len = static_cast<int>(a.response.size());
    }
    return a.rc;
}
int OnPropertySet(const int devid, const char* req, const int len) {
    Record("propset:" + std::to_string(devid) + "|" + std::string(req, static_cast<size_t>(len)));
    return 0;
}
int OnKestrel(const int devid, const char* svc, const int svc_len, const char* payload,
              const int len) {
    Record("kestrel:" + std::to_string(devid) + "|" + std::string(svc, svc_len) + "|" +
           std::string(payload, static_cast<size_t>(len)));
    return 0;
}
int OnTime(const char* ts) {
    Record(std::string("time:") + ts);
    return 0;
}
int OnEventNotify(const int devid, const char* req, const int len) {
    Record("notify:" + std::to_string(devid) + "|" + std::string(req, static_cast<size_t>(len)));
    return 0;
}

class TetherE2E : public ::testing::Test {
  protected:
    Device dev{"pkE2Etest", "cam-01", "device-secret-0123456789"};
    Broker broker;
    LogCapture log;
    std::atomic<bool> pumping{false};
    std::thread pump;
    std::string sys;  // "/sys/pk/dn/"

    void SetUp() override {
        {
            std::lock_guard<std::mutex> l(g_mu);
            g_events.clear();
            g_answers.clear();
        }
        sys = "/sys/" + dev.pk + "/" + dev.dn + "/";
        std::string err = broker.Start({dev});
        ASSERT_EQ(err, "") << "the real broker is required";
        nexo_register_for_ITE_CONNECT_SUCC(OnConnected);
        nexo_register_for_ITE_DISCONNECTED(OnDisconnected);
        nexo_register_for_ITE_CONNECT_FAIL(OnConnectFail);
        nexo_register_for_ITE_INITIALIZE_COMPLETED(OnInit);
        nexo_register_for_ITE_MQTT_CONNECT_SUCC(OnMqttConnectSucc);
        nexo_register_for_ITE_SERVICE_REQUST(OnService);
        nexo_register_for_ITE_PROPERTY_SET(OnPropertySet);
        nexo_register_for_ITE_KESTREL(OnKestrel);
        nexo_register_for_ITE_TIMESTAMP_REPLY(OnTime);
        nexo_register_for_ITE_EVENT_NOTIFY(OnEventNotify);
        ASSERT_EQ(HAL_SetTrustAnchorPem(broker.ca_path().c_str()), 0);
        Point("127.0.0.1");
        int on = 1;
        IOT_Ioctl(TETHER_IOCTL_RECV_EVENT_REPLY, &on);
        IOT_Tether_SetTiming(500, 60000, 3000, 4000);
    }

    void TearDown() override {
        StopPump();
        IOT_Tether_Close(0);
        HAL_SetTrustAnchorPem(nullptr);
    }

    void Point(const char* host) {
        IOT_Ioctl(TETHER_IOCTL_SET_MQTT_DOMAIN, const_cast<char*>(host));
        uint16_t port = static_cast<uint16_t>(broker.port());
        IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &port);
    }

    int OpenConnect(const std::string& secret) {
        tether_dev_meta_info_t meta{};
        strcpy(meta.product_key, dev.pk.c_str());
        strcpy(meta.device_name, dev.dn.c_str());
        strcpy(meta.device_secret, secret.c_str());
        strcpy(meta.product_secret, "product-secret");
        int id = IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, &meta);
        if (id != 0)
            return -100;
        return IOT_Tether_Connect(0);
    }

    void StartPump() {
        pumping = true;
        pump = std::thread([this] {
            while (pumping)
                IOT_Tether_Yield(10);
        });
    }
    void StopPump() {
        pumping = false;
        if (pump.joinable())
            pump.join();
    }

    void* Client() { return nexo_cm_get_client(dm_cm_handle()); }
    nexo_mc_stats_t Stats() {
        nexo_mc_stats_t s;
        nexo_mc_get_stats(Client(), &s);
        return s;
    }
};

// A host name (not an IP literal) keeps the certificate's name checked; the
// test points the library's resolver at a dead local port so the name is
// answered by the system resolver without leaving the machine.
TEST_F(TetherE2E, LoginSubscribesEveryTopicAndReports) {
    const char* dead_dns[] = {"127.0.0.1:9"};
    ASSERT_EQ(dns_set_servers(dead_dns, 1), 0);
    dns_set_policy(200, 1, 1);
    Point("localhost");
    Subscriber status(broker, "/sys/" + dev.pk + "/" + dev.dn + "/thing/status/update");
    Subscriber inform(broker, "/ota/device/inform/" + dev.pk + "/" + dev.dn);
    ASSERT_TRUE(status.Ready()) << status.Raw() << broker.log();
    ASSERT_TRUE(inform.Ready());

    ASSERT_EQ(OpenConnect(dev.ds), 0);
    dns_set_servers(nullptr, 0);
    dns_set_policy(0, 0, 0);
    EXPECT_TRUE(log.Contains("Devid 0 Sub Completed"));
    EXPECT_FALSE(log.Contains("ack code is 0x80")) << "a topic was refused by the broker";
    EXPECT_FALSE(log.Contains("DM Subscribe Failed"));
    // 29 table entries (post replies kept), the firmware announcement, the
    // configuration push and reply, and the property get.
    nexo_mc_stats_t st = Stats();
    EXPECT_EQ(st.subscriptions, 33u);
    EXPECT_EQ(st.sub_wait, 0u);
    EXPECT_EQ(st.keepalive_s, 60u);
    EXPECT_EQ(st.request_timeout_ms, 500u);

    EXPECT_NE(status.WaitFor("{\"id\":\""), "");
    std::string st_line = status.Lines().empty() ? "" : status.Lines()[0];
    EXPECT_NE(st_line.find("\",\"params\":{\"_sys_device_mid\":\"example.demo.module-id\","
                           "\"_sys_device_pid\":\"example.demo.partner-id\"}}"),
              std::string::npos)
        << st_line;
    EXPECT_NE(inform.WaitFor("\"params\":{\"version\":\"app-1.0.0-20180101.1000\"}}"), "");

    StartPump();
    EXPECT_TRUE(WaitEvent("connected"));
    EXPECT_TRUE(WaitEvent("init:0"));
    EXPECT_TRUE(WaitEvent("mqtt_connect_succ"));
    char *pk = nullptr, *dn = nullptr, *ds = nullptr;
    ASSERT_EQ(nexo_dm_get_triple_by_devid(0, &pk, &dn, &ds), 0);
    EXPECT_EQ(dev.pk, pk);
    EXPECT_EQ(dev.dn, dn);
    EXPECT_EQ(dev.ds, ds);
}

TEST_F(TetherE2E, WrongSecretIsRefusedAndTheLibraryStaysUsable) {
    ASSERT_EQ(OpenConnect("not-the-secret"), -1);
    EXPECT_GE(log.CountOf("connect ack is error, return code 5"), 2)
        << "connect is retried until its time-out";
    EXPECT_TRUE(log.Contains("DM Start Failed"));
    IOT_Tether_Yield(20);
    EXPECT_TRUE(HasEvent("connect_fail"));
    EXPECT_EQ(IOT_Tether_Close(0), 0);
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    EXPECT_EQ(IOT_MQTT_CheckStateNormal(nullptr), 1);
}

TEST_F(TetherE2E, UpstreamEnvelopesReachThePlatform) {
    Subscriber up(broker, sys + "#");
    Subscriber ntp(broker, "/ext/ntp/" + dev.pk + "/" + dev.dn + "/request");
    ASSERT_TRUE(up.Ready());
    ASSERT_TRUE(ntp.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);

    const char* prop = "{\"MicSwitch\":1}";
    int id = IOT_Tether_Report(0, TETHER_MSG_POST_PROPERTY,
                               reinterpret_cast<const unsigned char*>(prop), strlen(prop));
    ASSERT_GE(id, 0);
    std::string expect = sys + "thing/event/property/post {\"id\":\"" + std::to_string(id) +
                         "\",\"version\":\"1.0\",\"params\":{\"MicSwitch\":1},\"method\":\"thing."
                         "event.property.post\"}";
    EXPECT_EQ(up.WaitFor("thing/event/property/post"), expect);

    const char* ev = "{\"AlarmType\":2}";
    id = IOT_Tether_TriggerEvent(0, "AlarmEvent", 10, ev, static_cast<int>(strlen(ev)));
    ASSERT_GE(id, 0);
    EXPECT_EQ(up.WaitFor("AlarmEvent/post"),
              sys + "thing/event/AlarmEvent/post {\"id\":\"" + std::to_string(id) +
                  "\",\"version\":\"1.0\",\"params\":{\"AlarmType\":2},\"method\":\"thing.event."
                  "AlarmEvent.post\"}");

    // Params that are not JSON never leave the device.
    const char* bad = "{\"x\":";
    EXPECT_LT(IOT_Tether_Report(0, TETHER_MSG_POST_PROPERTY,
                                reinterpret_cast<const unsigned char*>(bad), strlen(bad)),
              0);
    EXPECT_TRUE(log.Contains("Wrong JSON Format, URI: " + sys + "thing/event/property/post"));

    // The request carries the device's clock (ms since the epoch), so the
    // platform's reply can give the offset.
    uint64_t before = HAL_UTC_Get();
    ASSERT_GE(IOT_Tether_Query(0, TETHER_MSG_QUERY_TIMESTAMP, nullptr, 0), 0);
    std::string line = ntp.WaitFor("request {\"deviceSendTime\":\"");
    unsigned long long sent = 0;
    ASSERT_EQ(1, sscanf(line.c_str(), "%*s {\"deviceSendTime\":\"%llu\"}", &sent)) << line;
    EXPECT_GE(sent, before);
    EXPECT_LE(sent, HAL_UTC_Get());

    // Any payload on any topic of the device, as the video SDK publishes.
    char raw[] = "{\"version\":\"1.0\",\"params\":{}}";
    ASSERT_EQ(IOT_MQTT_Publish_Simple(nullptr, (sys + "vision/biz/dev/monitor/upstream").c_str(), 0,
                                      raw, static_cast<int>(strlen(raw))),
              0);
    EXPECT_EQ(up.WaitFor("monitor/upstream"), sys + "vision/biz/dev/monitor/upstream " + raw);
}

TEST_F(TetherE2E, Qos1IsAcknowledgedResentAndBounded) {
    Subscriber up(broker, sys + "user/#");
    ASSERT_TRUE(up.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    const std::string topic = sys + "user/q1";

    char msg[] = "acked-once";
    int pid = IOT_MQTT_Publish_Simple(nullptr, topic.c_str(), 1, msg, strlen(msg));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(WaitUntil([&] { return Stats().pub_wait == 0; }, 3000)) << "PUBACK not handled";
    EXPECT_NE(up.WaitFor("acked-once"), "");

    // A frozen broker acknowledges nothing: the publication goes out again
    // after 2 x 500 ms and once more after each further period.
    broker.Pause();
    uint64_t t0 = tethertest::NowMs();
    char again[] = "sent-again";
    ASSERT_GT(IOT_MQTT_Publish_Simple(nullptr, topic.c_str(), 1, again, strlen(again)), 0);
    ASSERT_TRUE(WaitUntil([&] { return Stats().resends >= 1; }, 3000));
    EXPECT_GE(tethertest::NowMs() - t0, 1000u);
    ASSERT_TRUE(WaitUntil([&] { return Stats().resends >= 2; }, 3000));

    // 19 more fill the list of 20; the 21st fails without being sent.
    for (int i = 0; i < 19; ++i) {
        std::string m = "fill-" + std::to_string(i);
        ASSERT_GT(IOT_MQTT_Publish_Simple(nullptr, topic.c_str(), 1, m.data(), m.size()), 0) << i;
    }
    char over[] = "the-21st";
    EXPECT_EQ(IOT_MQTT_Publish_Simple(nullptr, topic.c_str(), 1, over, strlen(over)),
              TETHER_ERR_LIST_OVERFLOW);
    EXPECT_TRUE(log.Contains("more than 20 elements in republish list. List overflow!"));
    broker.Resume();

    EXPECT_TRUE(WaitUntil([&] { return Stats().pub_wait == 0; }, 5000));
    EXPECT_NE(up.WaitFor("fill-18"), "");
    EXPECT_GE(up.Count("sent-again"), 2) << "the re-sent copy reaches the platform too";
    EXPECT_EQ(up.Count("the-21st"), 0);
}

TEST_F(TetherE2E, ServiceCallsAreDispatchedAndAnswered) {
    Subscriber replies(broker, sys + "thing/service/+");
    Subscriber rrpc(broker, sys + "rrpc/response/+");
    ASSERT_TRUE(replies.Ready());
    ASSERT_TRUE(rrpc.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();
    {
        std::lock_guard<std::mutex> l(g_mu);
        g_answers["Ok"] = {0, "{\"r\":1}"};
        g_answers["Fails"] = {-1, "{\"err\":\"x\"}"};
        g_answers["Silent"] = {0, ""};
        g_answers["Marker"] = {0, "{}"};
        g_answers["Rr"] = {0, "{\"rr\":2}"};
    }
    struct Case {
        const char* service;
        const char* id;
        const char* expect_reply;  // nullptr: no reply at all
    };
    const Case cases[] = {
        {"Ok", "11", "{\"id\":\"11\",\"code\":200,\"data\":{\"r\":1}}"},
        {"Fails", "12", "{\"id\":\"12\",\"code\":400,\"data\":{\"err\":\"x\"}}"},
        {"Silent", "13", nullptr},
    };
    for (const Case& c : cases) {
        std::string body = std::string("{\"id\":\"") + c.id +
                           "\",\"version\":\"1.0\",\"params\":{\"k\":[1,2]},\"method\":\"thing."
                           "service." +
                           c.service + "\"}";
        ASSERT_EQ(broker.Publish(sys + "thing/service/" + c.service, body), 0);
        EXPECT_TRUE(
            WaitEvent(std::string("service:0|") + c.id + "|" + c.service + "|{\"k\":[1,2]}"))
            << c.service;
    }
    // Replies go out in dispatch order, so once the marker's reply is seen
    // every earlier reply has been sent.
    ASSERT_EQ(broker.Publish(sys + "thing/service/Marker",
                             "{\"id\":\"99\",\"version\":\"1.0\",\"params\":{},\"method\":\"m\"}"),
              0);
    ASSERT_NE(replies.WaitFor("Marker_reply"), "");
    for (const Case& c : cases) {
        std::string topic = sys + "thing/service/" + c.service + "_reply";
        if (c.expect_reply) {
            EXPECT_EQ(replies.Count(topic + " " + c.expect_reply), 1) << c.service;
        } else {
            EXPECT_EQ(replies.Count(topic), 0) << "an empty response must send nothing";
        }
    }

    ASSERT_EQ(broker.Publish(sys + "rrpc/request/7788",
                             "{\"id\":\"21\",\"version\":\"1.0\",\"params\":{\"a\":\"b\"},"
                             "\"method\":\"thing.service.Rr\"}"),
              0);
    EXPECT_TRUE(WaitEvent("service:0|7788|Rr|{\"a\":\"b\"}"));
    EXPECT_EQ(rrpc.WaitFor("7788"),
              sys + "rrpc/response/7788 {\"id\":\"21\",\"code\":200,\"data\":{\"rr\":2}}");

    // The id is echoed as a JSON string: a quote or backslash in it can neither
    // break the reply nor smuggle members (here a second "code") into it.
    ASSERT_EQ(broker.Publish(sys + "thing/service/Ok",
                             R"({"id":"5\",\"code\":500,\"x\":\"\\","version":"1.0",)"
                             R"("params":{},"method":"m"})"),
              0);
    EXPECT_TRUE(WaitEvent("service:0|5\",\"code\":500,\"x\":\"\\|Ok|{}"));
    EXPECT_NE(replies.WaitFor(R"(Ok_reply {"id":"5\",\"code\":500,\"x\":\"\\","code":200,)"
                              R"("data":{"r":1}})"),
              "");

    // A request without the envelope's fields is refused, not dispatched.
    ASSERT_EQ(broker.Publish(sys + "thing/service/Ok", "{\"id\":\"30\"}"), 0);
    EXPECT_TRUE(log.WaitFor("Wrong JSON Format, URI: " + sys + "thing/service/Ok", 3000));
    EXPECT_EQ(CountEvents("service:0|30|"), 0);
}

TEST_F(TetherE2E, KestrelPropertySetTimeAndNotifyMessages) {
    Subscriber replies(broker, sys + "#");
    ASSERT_TRUE(replies.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();
    struct Case {
        const char* levels;
        const char* body;
    };
    const Case kestrel[] = {
        {"vision/biz/dev/SendMessageToDev/invoke", "{\"a\": 1,  \"b\":[ ]}"},
        {"vision/biz/record/downstream", "not json at all {"},
        {"vision/pic/kiv/downstream", "{}"},
    };
    for (const Case& c : kestrel) {
        ASSERT_EQ(broker.Publish(sys + c.levels, c.body), 0);
        EXPECT_TRUE(WaitEvent(std::string("kestrel:0|/") + c.levels + "|" + c.body)) << c.levels;
    }
    EXPECT_EQ(replies.Count("vision/biz/dev/SendMessageToDev/invoke_reply"), 0);

    // A message larger than the 16 KiB receive buffer is dropped (and
    // acknowledged) without losing the connection or the next message.
    ASSERT_EQ(broker.Publish(sys + "vision/biz/dev/big/invoke", std::string(20000, 'b')), 0);
    ASSERT_EQ(broker.Publish(sys + "vision/biz/dev/small/invoke", "after-big"), 0);
    EXPECT_TRUE(WaitEvent("kestrel:0|/vision/biz/dev/small/invoke|after-big"));
    EXPECT_TRUE(log.Contains("exceeds the receive buffer (16384), dropped"));
    EXPECT_EQ(CountEvents("kestrel:0|/vision/biz/dev/big/invoke"), 0);
    EXPECT_EQ(IOT_MQTT_CheckStateNormal(nullptr), 1);

    ASSERT_EQ(broker.Publish(sys + "thing/service/property/set",
                             "{\"id\":\"41\",\"version\":\"1.0\",\"params\":{\"MicSwitch\":1},"
                             "\"method\":\"thing.service.property.set\"}"),
              0);
    EXPECT_TRUE(WaitEvent("propset:0|{\"MicSwitch\":1}"));
    EXPECT_EQ(replies.WaitFor("property/set_reply"),
              sys + "thing/service/property/set_reply {\"id\":\"41\",\"code\":200,\"data\":{}}");

    ASSERT_EQ(broker.Publish(sys + "_thing/event/notify",
                             "{\"id\":\"42\",\"version\":\"1.0\",\"params\":{\"n\":1},"
                             "\"method\":\"thing.event.notify\"}"),
              0);
    EXPECT_TRUE(WaitEvent("notify:0|{\"n\":1}"));
    EXPECT_EQ(replies.WaitFor("notify_reply"),
              sys + "_thing/event/notify_reply {\"id\":\"42\",\"code\":200,\"data\":{}}");

    ASSERT_EQ(broker.Publish("/ext/ntp/" + dev.pk + "/" + dev.dn + "/response",
                             "{\"deviceSendTime\":\"1234\",\"serverRecvTime\":\"1700000000000\","
                             "\"serverSendTime\":\"1700000000005\"}"),
              0);
    EXPECT_TRUE(WaitEvent("time:1700000000005"));

    // Another device's product key / name in the topic is not ours.
    ASSERT_EQ(broker.Publish("/sys/otherpk/otherdn/thing/service/Ok",
                             "{\"id\":\"1\",\"version\":\"1.0\",\"params\":{},\"method\":\"m\"}"),
              0);
}

// A set the application could not apply is answered with an error, never
// with 200: with its own reason (the _EX callback) or a generic one.
int RefusePropertySetWithReason(const int, const char*, const int, char** message,
                                int* message_len) {
    const char reason[] = "unknown property \"Zoom\"";
    *message = static_cast<char*>(HAL_Malloc(sizeof(reason) - 1));
    memcpy(*message, reason, sizeof(reason) - 1);
    *message_len = static_cast<int>(sizeof(reason) - 1);
    return -1;
}
int RefusePropertySet(const int, const char*, const int) {
    return -1;
}

TEST_F(TetherE2E, RefusedPropertySetIsAnsweredWithAnError) {
    Subscriber replies(broker, sys + "thing/service/property/set_reply");
    ASSERT_TRUE(replies.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();
    const struct {
        ite_property_set_ex_cb ex;
        ite_property_set_cb plain;
        const char* reply;
    } cases[] = {
        {RefusePropertySetWithReason, OnPropertySet,
         "{\"id\":\"51\",\"code\":400,\"data\":{},\"message\":\"unknown property \\\"Zoom\\\"\"}"},
        {nullptr, RefusePropertySet,
         "{\"id\":\"52\",\"code\":400,\"data\":{},\"message\":\"property set not applied\"}"},
        {nullptr, OnPropertySet, "{\"id\":\"53\",\"code\":200,\"data\":{}}"},
    };
    int id = 51;
    for (const auto& c : cases) {
        nexo_register_for_ITE_PROPERTY_SET_EX(c.ex);
        nexo_register_for_ITE_PROPERTY_SET(c.plain);
        std::string sid = std::to_string(id++);
        ASSERT_EQ(broker.Publish(sys + "thing/service/property/set",
                                 "{\"id\":\"" + sid +
                                     "\",\"version\":\"1.0\",\"params\":{\"Zoom\":1},"
                                     "\"method\":\"thing.service.property.set\"}"),
                  0);
        EXPECT_EQ(replies.WaitFor("\"id\":\"" + sid + "\""),
                  sys + "thing/service/property/set_reply " + c.reply);
    }
    nexo_register_for_ITE_PROPERTY_SET_EX(nullptr);
}

int AnswerPropertyGet(const int devid, const char* req, const int len, char** response,
                      int* response_len) {
    Record("propget:" + std::to_string(devid) + "|" + std::string(req, static_cast<size_t>(len)));
    const char body[] = "{\"MicSwitch\":1}";
    *response = static_cast<char*>(HAL_Malloc(sizeof(body) - 1));
    memcpy(*response, body, sizeof(body) - 1);
    *response_len = static_cast<int>(sizeof(body) - 1);
    return 0;
}
int OnReportReply(const int devid, const int msgid, const int code, const char* reply,
                  const int len) {
    Record("reply:" + std::to_string(devid) + "|" + std::to_string(msgid) + "|" +
           std::to_string(code) + "|" + std::string(reply, static_cast<size_t>(len)));
    return 0;
}

TEST_F(TetherE2E, PropertyGetAndDynamicModelGet) {
    nexo_register_for_ITE_PROPERTY_GET(AnswerPropertyGet);
    nexo_register_for_ITE_REPORT_REPLY(OnReportReply);
    Subscriber up(broker, sys + "thing/#");
    ASSERT_TRUE(up.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();

    ASSERT_EQ(broker.Publish(sys + "thing/service/property/get",
                             "{\"id\":\"71\",\"version\":\"1.0\",\"params\":[\"MicSwitch\"],"
                             "\"method\":\"thing.service.property.get\"}"),
              0);
    EXPECT_TRUE(WaitEvent("propget:0|[\"MicSwitch\"]"));
    EXPECT_EQ(up.WaitFor("property/get_reply"),
              sys +
                  "thing/service/property/get_reply "
                  "{\"id\":\"71\",\"code\":200,\"data\":{\"MicSwitch\":1}}");

    int id = IOT_Tether_Query(0, TETHER_MSG_QUERY_DYNAMIC_TSL, nullptr, 0);
    ASSERT_GE(id, 0);
    EXPECT_EQ(up.WaitFor("dynamicTsl/get "),
              sys + "thing/dynamicTsl/get {\"id\":\"" + std::to_string(id) +
                  "\",\"version\":\"1.0\",\"params\":{\"nodes\":[\"type\",\"identifier\"],"
                  "\"addDefault\":false},\"method\":\"thing.dynamicTsl.get\"}");
    ASSERT_EQ(broker.Publish(sys + "thing/dynamicTsl/get_reply",
                             "{\"id\":\"" + std::to_string(id) +
                                 "\",\"code\":200,\"data\":{\"properties\":[]}}"),
              0);
    EXPECT_TRUE(WaitEvent("reply:0|" + std::to_string(id) + "|200|{\"properties\":[]}"));
    nexo_register_for_ITE_PROPERTY_GET(nullptr);
    nexo_register_for_ITE_REPORT_REPLY(nullptr);
}

TEST_F(TetherE2E, The51stPendingMessageIsDropped) {
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    IOT_Tether_Yield(50);  // drain the connection events
    ASSERT_EQ(dm_queue_size(), 0u);
    std::vector<std::string> lines;
    for (int i = 0; i < 55; ++i)
        lines.push_back("{\"n\":" + std::to_string(i) + "}");
    ASSERT_EQ(broker.PublishLines(sys + "vision/biz/event/downstream", lines, 1), 0);
    ASSERT_TRUE(log.WaitFor("dm msg list size: 50, max size: 50", 5000));
    EXPECT_TRUE(WaitUntil([&] { return log.CountOf("dm msg list size: 50") == 5; }, 3000));
    EXPECT_EQ(dm_queue_size(), 50u);
    IOT_Tether_Yield(50);
    EXPECT_EQ(CountEvents("kestrel:"), 50);
    EXPECT_TRUE(HasEvent("kestrel:0|/vision/biz/event/downstream|{\"n\":49}"));
    EXPECT_FALSE(HasEvent("kestrel:0|/vision/biz/event/downstream|{\"n\":50}"));
}

TEST_F(TetherE2E, SubscriptionMadeBeforeAnyClientTakesEffect) {
    static std::atomic<int> hits{0};
    hits = 0;
    auto handler = [](void*, void*, tether_mqtt_event_msg_t* m) {
        if (m->event_type == TETHER_MQTT_EVENT_PUBLISH_RECEIVED)
            hits++;
    };
    const std::string topic = sys + "user/early";
    ASSERT_EQ(IOT_MQTT_Subscribe(nullptr, topic.c_str(), 1, handler, nullptr), 0);
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    ASSERT_TRUE(WaitUntil([&] { return Stats().sub_wait == 0; }, 3000));
    ASSERT_EQ(broker.Publish(topic, "hello"), 0);
    EXPECT_TRUE(WaitUntil([&] { return hits.load() == 1; }, 5000));
}

// Sub-device steps wait for the platform's answer to each request: a
// responder plays the platform and answers register, topology add and login.
TEST_F(TetherE2E, SubDeviceStepsWaitForThePlatformsReplies) {
    Subscriber req(broker, sys + "thing/#");
    Subscriber sess(broker, "/ext/session/" + dev.pk + "/" + dev.dn + "/#");
    ASSERT_TRUE(req.Ready());
    ASSERT_TRUE(sess.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    std::atomic<bool> answering{true};
    std::atomic<int> refuse_login{0};
    std::thread responder([&] {
        std::vector<std::string> done;
        while (answering) {
            std::vector<std::string> lines = req.Lines();
            for (auto& l : sess.Lines())
                lines.push_back(l);
            for (auto& l : lines) {
                size_t sp = l.find(' ');
                std::string topic = l.substr(0, sp);
                bool wanted =
                    topic.size() > 6 && (topic.find("thing/sub/register") + 18 == topic.size() ||
                                         topic.find("thing/topo/add") + 14 == topic.size() ||
                                         topic.find("combine/login") + 13 == topic.size());
                if (!wanted || std::find(done.begin(), done.end(), l) != done.end())
                    continue;
                done.push_back(l);
                size_t id_at = l.find("\"id\":\"");
                std::string id = l.substr(id_at + 6, l.find('"', id_at + 6) - id_at - 6);
                int code = topic.find("login") != std::string::npos && refuse_login ? 460 : 200;
                broker.Publish(topic + "_reply", "{\"id\":\"" + id + "\",\"code\":" +
                                                     std::to_string(code) + ",\"data\":{}}");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    tether_dev_meta_info_t sub{};
    strcpy(sub.product_key, "subPK");
    strcpy(sub.device_name, "sub-01");
    strcpy(sub.device_secret, "sub-secret");
    int id = IOT_Tether_Open(TETHER_DEV_TYPE_SLAVE, &sub);
    EXPECT_GT(id, 0);
    EXPECT_EQ(IOT_Tether_Connect(id), 0);
    EXPECT_GE(IOT_Tether_Report(id, TETHER_MSG_LOGIN, nullptr, 0), 0);
    refuse_login = 1;
    EXPECT_EQ(IOT_Tether_Report(id, TETHER_MSG_LOGIN, nullptr, 0), -1);
    answering = false;
    responder.join();
    EXPECT_NE(req.WaitFor("\"method\":\"thing.topo.add\""), "");
    std::string topo = req.WaitFor("thing.topo.add");
    EXPECT_NE(topo.find("\"clientId\":\"subPK.sub-01\",\"timestamp\":\"2524608000000\""),
              std::string::npos)
        << topo;
    char *pk = nullptr, *dn = nullptr;
    ASSERT_EQ(nexo_dm_get_triple_by_devid(id, &pk, &dn, nullptr), 0);
    EXPECT_STREQ(pk, "subPK");
    EXPECT_STREQ(dn, "sub-01");
    tether_dev_meta_info_t q{};
    strcpy(q.product_key, "subPK");
    strcpy(q.device_name, "sub-01");
    EXPECT_EQ(IOT_Ioctl(TETHER_IOCTL_QUERY_DEVID, &q), id);
}

// The broker dies and comes back without any session: the device must notice,
// back off from about 1 s, reconnect, subscribe everything again and obey the
// next command.
TEST_F(TetherE2E, SurvivesABrokerRestartWithoutPersistence) {
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();
    ASSERT_TRUE(WaitEvent("connected"));
    broker.Kill();
    ASSERT_TRUE(WaitEvent("disconnected", 5000));
    // Let two attempts fail: about 1 s, then 2..4 s later.
    ASSERT_TRUE(WaitUntil([&] { return Stats().reconnect_attempt_at_ms.size() >= 2; }, 8000));
    ASSERT_EQ(broker.Restart(), "");
    ASSERT_TRUE(WaitUntil([&] { return IOT_MQTT_CheckStateNormal(nullptr) == 1; }, 12000));
    EXPECT_TRUE(WaitUntil([&] { return CountEvents("connected") == 2; }, 3000));

    nexo_mc_stats_t st = Stats();
    ASSERT_EQ(st.disconnect_at_ms.size(), 1u);
    ASSERT_GE(st.reconnect_attempt_at_ms.size(), 3u);
    uint64_t first = st.reconnect_attempt_at_ms[0] - st.disconnect_at_ms[0];
    uint64_t second = st.reconnect_attempt_at_ms[1] - st.reconnect_attempt_at_ms[0];
    EXPECT_GE(first, 1000u);
    EXPECT_LT(first, 1500u);
    EXPECT_GE(second, 2000u);
    EXPECT_LT(second, 4500u);
    EXPECT_GE(st.resubscribed, 33u);

    {
        std::lock_guard<std::mutex> l(g_mu);
        g_answers["AfterRestart"] = {0, "{}"};
    }
    ASSERT_TRUE(WaitUntil([&] { return Stats().sub_wait == 0; }, 5000));
    ASSERT_EQ(broker.Publish(sys + "thing/service/AfterRestart",
                             "{\"id\":\"61\",\"version\":\"1.0\",\"params\":{},\"method\":\"m\"}"),
              0);
    EXPECT_TRUE(WaitEvent("service:0|61|AfterRestart|{}"));
}

// The cycle sleeps on its socket: idle, it wakes for the keep-alive only
// (the "cm_yield" thread has no period of its own); a PINGREQ goes out every
// period; a broker frozen past 1.5 periods is taken as gone, and the client
// is back once the broker thaws.
TEST_F(TetherE2E, KeepAlivePingsAndAFrozenBrokerIsDetected) {
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();
    ASSERT_TRUE(WaitUntil([&] { return Stats().sub_wait == 0; }, 5000));
    nexo_mc_stats_t before = Stats();
    HAL_SleepMs(1000);
    nexo_mc_stats_t idle = Stats();
    EXPECT_LE(idle.wakeups - before.wakeups, 3u) << "an idle client must not poll";
    EXPECT_EQ(idle.pings, before.pings);

    const uint32_t period = 400;
    nexo_mc_set_keepalive_ms(Client(), period);
    HAL_SleepMs(5 * period + period / 2);
    nexo_mc_stats_t pinged = Stats();
    EXPECT_GE(pinged.pings - idle.pings, 4u);
    EXPECT_LE(pinged.pings - idle.pings, 6u);
    EXPECT_TRUE(pinged.disconnect_at_ms.empty()) << "answered pings must keep the connection";

    uint64_t frozen_at = HAL_UptimeMs();
    broker.Pause();
    ASSERT_TRUE(WaitUntil([&] { return !Stats().disconnect_at_ms.empty(); }, 3000));
    uint64_t detected = Stats().disconnect_at_ms[0] - frozen_at;
    EXPECT_LE(detected, period * 5 / 2) << "detected after " << detected << " ms";
    EXPECT_TRUE(log.WaitFor("keepalive_probes more than 1, disconnected", 1000));
    EXPECT_TRUE(WaitEvent("disconnected", 2000));
    broker.Resume();
    ASSERT_TRUE(WaitUntil([&] { return IOT_MQTT_CheckStateNormal(nullptr) == 1; }, 15000));
    EXPECT_TRUE(WaitUntil([&] { return CountEvents("connected") == 2; }, 3000));
}

int OnCota(const int type, const char* id, const int size, const char* get_type, const char* sign,
           const char* method, const char* url) {
    Record("cota:" + std::to_string(type) + "|" + id + "|" + std::to_string(size) + "|" + get_type +
           "|" + sign + "|" + method + "|" + url);
    return 0;
}
int OnOtaState(const int ev, const char* msg) {
    Record("ota:" + std::to_string(ev) + "|" + msg);
    return 0;
}

// `openssl s_server -WWW`: serves the files of a directory over HTTPS, each
// body ending at the close (no length given).
class FileServer {
  public:
    FileServer(const Broker& b, const std::string& dir) : port_(tethertest::FreePort()) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            std::string accept = "127.0.0.1:" + std::to_string(port_);
            execl("/usr/bin/openssl", "openssl", "s_server", "-accept", accept.c_str(), "-cert",
                  (b.dir() + "/server.pem").c_str(), "-key", (b.dir() + "/server.key").c_str(),
                  "-WWW", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~FileServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    // Listening: a plain TCP connect, since s_server serves one connection
    // at a time and a TLS probe could hold it.
    bool Ready() {
        return WaitUntil(
            [&] {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<uint16_t>(port_));
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
                close(fd);
                return ok;
            },
            10000);
    }
    std::string Url(const std::string& name) const {
        return "https://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }

  private:
    int port_;
    pid_t pid_ = -1;
};

// A configuration push: announced, acknowledged, told to the application,
// fetched when asked, and written only when its digest matches.
TEST_F(TetherE2E, ConfigurationPushIsFetchedAndVerified) {
    nexo_register_for_ITE_COTA(OnCota);
    nexo_register_for_ITE_STATE_OTA(OnOtaState);
    ASSERT_EQ(HAL_SetStorageDir(broker.dir().c_str()), 0);
    const std::string config = "{\"Resolution\":\"1080p\",\"Fps\":25}\n";
    std::ofstream(broker.dir() + "/cfg.json") << config;
    std::string digest;
    ASSERT_EQ(tethertest::Run({"/usr/bin/sha256sum", broker.dir() + "/cfg.json"}, &digest), 0);
    digest = digest.substr(0, 64);
    FileServer files(broker, broker.dir());
    ASSERT_TRUE(files.Ready());
    Subscriber replies(broker, sys + "thing/config/push_reply");
    ASSERT_TRUE(replies.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();

    const struct {
        const char* id;
        std::string sign;
        int result;
    } cases[] = {{"c1", digest, 0}, {"c2", std::string(64, '0'), -3}};
    for (const auto& c : cases) {
        std::ofstream(broker.dir() + "/" + HAL_CONFIG_FILE_NAME) << "old";
        std::string params = "{\"configId\":\"" + std::string(c.id) +
                             "\",\"configSize\":" + std::to_string(config.size()) +
                             ",\"getType\":\"file\",\"sign\":\"" + c.sign +
                             "\",\"signMethod\":\"Sha256\",\"url\":\"" + files.Url("cfg.json") +
                             "\"}";
        ASSERT_EQ(broker.Publish(sys + "thing/config/push",
                                 "{\"id\":\"9" + std::string(c.id + 1) +
                                     "\",\"version\":\"1.0\",\"params\":" + params +
                                     ",\"method\":\"thing.config.push\"}"),
                  0);
        EXPECT_TRUE(WaitEvent("cota:0|" + std::string(c.id) + "|" + std::to_string(config.size()) +
                              "|file|" + c.sign + "|Sha256|" + files.Url("cfg.json")));
        EXPECT_NE(replies.WaitFor("\"id\":\"9" + std::string(c.id + 1) + "\",\"code\":200"), "");
        ASSERT_EQ(IOT_Tether_Query(0, TETHER_MSG_QUERY_COTA_DATA, nullptr, 0), 0);
        ASSERT_TRUE(WaitUntil([&] { return CountEvents("ota:") > 0; }, 10000));
        std::string event;
        {
            std::lock_guard<std::mutex> l(g_mu);
            for (auto& e : g_events)
                if (e.compare(0, 4, "ota:") == 0)
                    event = e;
            g_events.clear();
        }
        EXPECT_EQ(0u, event.find("ota:" + std::to_string(c.result) + "|")) << event;
        EXPECT_NE(std::string::npos, event.find("\"sha256\":\"" + digest + "\"")) << event;
        std::ifstream in(broker.dir() + "/" + HAL_CONFIG_FILE_NAME);
        std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(c.result == 0 ? config : "old", written) << c.id;
    }
    // No firmware was announced: its download cannot start.
    EXPECT_EQ(IOT_Tether_Query(0, TETHER_MSG_QUERY_FOTA_DATA, nullptr, 0), -1);
    HAL_SetStorageDir(nullptr);
    nexo_register_for_ITE_COTA(nullptr);
    nexo_register_for_ITE_STATE_OTA(nullptr);
}

// A firmware image that cannot be written ends the update with the write
// step reported, on the platform's progress topic and to the application.
TEST_F(TetherE2E, FirmwareWriteFailureIsReported) {
    nexo_register_for_ITE_STATE_OTA(OnOtaState);
    const std::string image(20000, 'F');
    std::ofstream(broker.dir() + "/fw.bin") << image;
    std::string digest;
    ASSERT_EQ(tethertest::Run({"/usr/bin/md5sum", broker.dir() + "/fw.bin"}, &digest), 0);
    ASSERT_EQ(HAL_Firmware_SetPath((broker.dir() + "/no-such-dir/fw.bin").c_str()), 0);
    FileServer files(broker, broker.dir());
    ASSERT_TRUE(files.Ready());
    Subscriber progress(broker, "/ota/device/progress/" + dev.pk + "/" + dev.dn);
    ASSERT_TRUE(progress.Ready());
    ASSERT_EQ(OpenConnect(dev.ds), 0);
    StartPump();
    ASSERT_EQ(broker.Publish("/ota/device/upgrade/" + dev.pk + "/" + dev.dn,
                             "{\"code\":\"1000\",\"data\":{\"version\":\"5.0\",\"url\":\"" +
                                 files.Url("fw.bin") + "\",\"size\":20000,\"md5\":\"" +
                                 digest.substr(0, 32) + "\"},\"id\":1,\"message\":\"success\"}"),
              0);
    // The announcement may still be on its way: an empty queue alone does not
    // say it was handled, so ask until the download starts.
    ASSERT_TRUE(WaitUntil(
        [&] { return IOT_Tether_Query(0, TETHER_MSG_QUERY_FOTA_DATA, nullptr, 0) == 0; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return CountEvents("ota:-4|") >= 1; }, 10000));
    EXPECT_TRUE(log.Contains("Fota write firmware failed"));
    EXPECT_NE(progress.WaitFor("\"step\":\"-4\""), "");
    HAL_Firmware_SetPath(nullptr);
    nexo_register_for_ITE_STATE_OTA(nullptr);
}

}  // namespace

// The MQTT client on its own against a real Mosquitto: handlers that call
// back into their client, and one thread's long cycle serving the others.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloudlink/broker_fixture.h"
#include "infra/mqtt_client.h"
#include "tether/hal.h"

namespace {

using tethertest::Broker;
using tethertest::Device;
using tethertest::LogCapture;
using tethertest::Subscriber;
using tethertest::WaitUntil;

class MqttClientLive : public ::testing::Test {
  protected:
    Device dev{"pkMqttLive", "cam-07", "device-secret-live-0123"};
    Broker broker;
    std::string sys;
    std::string user, password;
    void* client = nullptr;
    std::atomic<bool> cycling{false};
    std::thread cycle;

    void SetUp() override {
        sys = "/sys/" + dev.pk + "/" + dev.dn + "/";
        ASSERT_EQ(broker.Start({dev}), "") << "the real broker is required";
        ASSERT_EQ(HAL_SetTrustAnchorPem(broker.ca_path().c_str()), 0);
        user = tethertest::UserName(dev);
        password = tethertest::OpensslPassword(dev);
    }

    // Destroy first: it ends a round still running in the cycle thread.
    void TearDown() override {
        cycling = false;
        if (client != nullptr) {
            EXPECT_EQ(IOT_MQTT_Destroy(&client), 0);
        }
        if (cycle.joinable())
            cycle.join();
        HAL_SetTrustAnchorPem(nullptr);
    }

    void Connect(tether_mqtt_event_handle_t events) {
        tether_mqtt_param_t p{};
        p.host = "127.0.0.1";
        p.port = static_cast<uint16_t>(broker.port());
        p.client_id = "mqtt-live";
        p.username = user.c_str();
        p.password = password.c_str();
        p.keepalive_interval_ms = 60000;
        p.request_timeout_ms = 2000;
        p.write_buf_size = p.read_buf_size = 1024;
        p.handle_event = events;
        client = nexo_mc_init(&p);
        ASSERT_NE(client, nullptr);
        ASSERT_EQ(nexo_mc_connect(client), 0);
    }

    // The cycle in its own thread, in rounds of yield_ms.
    void StartCycle(int yield_ms) {
        cycling = true;
        cycle = std::thread([this, yield_ms] {
            while (cycling)
                IOT_MQTT_Yield(client, yield_ms);
        });
    }
    bool Settled() {
        nexo_mc_stats_t st;
        return WaitUntil(
            [&] { return nexo_mc_get_stats(client, &st) && st.sub_wait == 0 && st.pub_wait == 0; },
            5000);
    }
};

// What the handlers got back from the calls they made into their client.
struct Reentry {
    std::mutex mu;
    void* client = nullptr;
    std::string out, extra, in;
    int published = 0, subscribed = 0, unsubscribed = 0, yielded = -99;
    int sync_subscribed = 0, destroyed = 0, destroy_left_handle = 0;
    std::atomic<int> in_hits{0}, extra_hits{0}, event_publishes{0};
};
Reentry g_re;

void OnExtra(void*, void*, tether_mqtt_event_msg_t* m) {
    if (m->event_type == TETHER_MQTT_EVENT_PUBLISH_RECEIVED)
        g_re.extra_hits++;
}

void OnIn(void*, void* client, tether_mqtt_event_msg_t* m) {
    if (m->event_type != TETHER_MQTT_EVENT_PUBLISH_RECEIVED || g_re.in_hits++ > 0)
        return;
    auto* info = static_cast<tether_mqtt_topic_info_t*>(m->msg);
    std::string echo = "echo:" + std::string(info->payload, info->payload_len);
    std::lock_guard<std::mutex> l(g_re.mu);
    g_re.published = IOT_MQTT_Publish_Simple(client, g_re.out.c_str(), 1, echo.data(),
                                             static_cast<int>(echo.size()));
    g_re.subscribed = IOT_MQTT_Subscribe(client, g_re.extra.c_str(), 1, OnExtra, nullptr);
    g_re.unsubscribed = IOT_MQTT_Unsubscribe(client, g_re.in.c_str());
    g_re.yielded = IOT_MQTT_Yield(client, 200);
    g_re.sync_subscribed =
        IOT_MQTT_Subscribe_Sync(client, g_re.extra.c_str(), 1, OnExtra, nullptr, 500);
    void* h = client;
    g_re.destroyed = IOT_MQTT_Destroy(&h);
    g_re.destroy_left_handle = h == client;
}

// The PUBACK of the handler's QoS 1 echo answers with a QoS 0 publication.
void OnEvent(void*, void* client, tether_mqtt_event_msg_t* m) {
    if (m->event_type != TETHER_MQTT_EVENT_PUBLISH_SUCCESS || g_re.event_publishes++ > 0)
        return;
    std::string out;
    {
        std::lock_guard<std::mutex> l(g_re.mu);
        out = g_re.out;
    }
    char text[] = "from-event";
    IOT_MQTT_Publish_Simple(client, out.c_str(), 0, text, static_cast<int>(sizeof(text) - 1));
}

// Handlers run with no lock of the client held: publishing, subscribing and
// unsubscribing from inside them work; a yield there returns at once, and the
// calls that would wait for the handler's own cycle are refused, not hung.
TEST_F(MqttClientLive, HandlersCallBackIntoTheirClient) {
    {
        std::lock_guard<std::mutex> l(g_re.mu);
        g_re.out = sys + "user/out";
        g_re.extra = sys + "user/extra";
        g_re.in = sys + "user/in";
        g_re.in_hits = g_re.extra_hits = g_re.event_publishes = 0;
    }
    Subscriber out(broker, g_re.out);
    ASSERT_TRUE(out.Ready());
    LogCapture log;
    Connect({OnEvent, nullptr});
    StartCycle(50);
    ASSERT_GT(IOT_MQTT_Subscribe(client, g_re.in.c_str(), 1, OnIn, nullptr), 0);
    ASSERT_TRUE(Settled());

    ASSERT_EQ(broker.Publish(g_re.in, "hello"), 0);
    EXPECT_NE(out.WaitFor("echo:hello"), "") << out.Raw();
    EXPECT_NE(out.WaitFor("from-event"), "") << out.Raw();
    ASSERT_TRUE(Settled());
    {
        std::lock_guard<std::mutex> l(g_re.mu);
        EXPECT_GT(g_re.published, 0);
        EXPECT_GT(g_re.subscribed, 0);
        EXPECT_GT(g_re.unsubscribed, 0);
        EXPECT_EQ(g_re.yielded, 0);
        EXPECT_EQ(g_re.sync_subscribed, TETHER_ERR_WRONG_STATE);
        EXPECT_EQ(g_re.destroyed, TETHER_ERR_WRONG_STATE);
        EXPECT_EQ(g_re.destroy_left_handle, 1);
    }
    EXPECT_TRUE(log.Contains("use IOT_MQTT_Subscribe"));
    EXPECT_TRUE(log.Contains("cannot be destroyed from inside its own handler"));

    // The handler's subscribe and unsubscribe took effect: a message on the
    // dropped filter, then one on the new one, arrive in that order.
    ASSERT_EQ(broker.Publish(g_re.in, "again"), 0);
    ASSERT_EQ(broker.Publish(g_re.extra, "x"), 0);
    EXPECT_TRUE(WaitUntil([&] { return g_re.extra_hits.load() == 1; }, 5000));
    EXPECT_EQ(g_re.in_hits.load(), 1);
    EXPECT_EQ(IOT_MQTT_CheckStateNormal(client), 1);
}

// A thread holding the cycle for a long round still serves the others: its
// wait ends on input, so a synchronous subscribe from another thread gets its
// answer and a QoS 1 publication its PUBACK long before the round ends, and
// a destroy ends the round.
TEST_F(MqttClientLive, ALongCycleServesOtherThreadsAndEndsOnDestroy) {
    Connect({nullptr, nullptr});
    std::atomic<bool> returned{false};
    cycle = std::thread([this, &returned] {
        IOT_MQTT_Yield(client, 600000);
        returned = true;
    });
    ASSERT_TRUE(WaitUntil(
        [&] {
            nexo_mc_stats_t st;
            return nexo_mc_get_stats(client, &st) && st.cycle_held;
        },
        5000))
        << "the long round has begun";
    // Its own round is busy: the caller's yield leaves at its own time.
    EXPECT_EQ(IOT_MQTT_Yield(client, 20), 0);

    static std::atomic<int> hits{0};
    hits = 0;
    auto on_msg = [](void*, void*, tether_mqtt_event_msg_t* m) {
        if (m->event_type == TETHER_MQTT_EVENT_PUBLISH_RECEIVED)
            hits++;
    };
    std::string topic = sys + "user/long";
    EXPECT_GT(IOT_MQTT_Subscribe_Sync(client, topic.c_str(), 1, on_msg, nullptr, 8000), 0);
    char text[] = "loop";
    EXPECT_GT(IOT_MQTT_Publish_Simple(client, topic.c_str(), 1, text, 4), 0);
    EXPECT_TRUE(WaitUntil([&] { return hits.load() == 1; }, 5000));
    EXPECT_TRUE(Settled()) << "the PUBACK was read by the long round";
    EXPECT_FALSE(returned.load());

    void* h = client;
    EXPECT_EQ(IOT_MQTT_Destroy(&h), 0);
    cycle.join();
    EXPECT_TRUE(returned.load());
    client = nullptr;
}

}  // namespace

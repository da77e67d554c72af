// Connection information and signing, client parameter clamps and the
// option / argument checks of the public API. No broker needed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cloudlink/broker_fixture.h"
#include "infra/guider.h"
#include "infra/mqtt_client.h"
#include "tether/tether_api.h"

namespace {

using tethertest::Device;
using tethertest::LogCapture;

struct Restore {
    ~Restore() {
        nexo_guider_set_custom_domain("");
        uint16_t zero = 0;
        IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &zero);
        int r = 0;
        IOT_Ioctl(TETHER_IOCTL_SET_REGION, &r);
    }
};

TEST(Signing, CredentialsMatchAnIndependentComputation) {
    Restore restore;
    const Device devs[] = {
        {"a1B2c3D4e5F", "camera-01", "0123456789abcdef0123456789abcdef"},
        {"pk", "dn", "s"},
        {"PK20CHARS_PK20CHARS_", "dn-of-thirty-two-characters-long", std::string(64, 'k')},
    };
    for (const Device& d : devs) {
        tether_conn_info_t* info = nullptr;
        ASSERT_EQ(IOT_SetupConnInfo(d.pk.c_str(), d.dn.c_str(), d.ds.c_str(),
                                    reinterpret_cast<void**>(&info)),
                  0)
            << d.dn;
        ASSERT_NE(info, nullptr);
        std::string expect_pw = tethertest::OpensslPassword(d);
        ASSERT_EQ(expect_pw.size(), 40u) << "openssl CLI must be present";
        EXPECT_EQ(info->password, expect_pw) << d.dn;
        EXPECT_EQ(std::string(info->username), d.dn + "&" + d.pk);
        EXPECT_EQ(std::string(info->client_id),
                  d.pk + "." + d.dn +
                      "|securemode=2,_v=sdk-c-2.3.0,timestamp=2524608000000,signmethod=hmacsha1,"
                      "lan=C,gw=0,ext=0,pid=example.demo.partner-id,mid=example.demo.module-id|");
        EXPECT_EQ(info->port, 443);
        EXPECT_EQ(std::string(info->host_name), d.pk + "." + nexo_guider_get_domain(0));
    }
}

TEST(Signing, EndpointFollowsRegionCustomDomainAndPort) {
    Restore restore;
    tether_conn_info_t* info = nullptr;
    int region = 3;
    ASSERT_EQ(IOT_Ioctl(TETHER_IOCTL_SET_REGION, &region), 0);
    ASSERT_EQ(IOT_SetupConnInfo("pk1", "dn1", "sec", reinterpret_cast<void**>(&info)), 0);
    EXPECT_EQ(std::string(info->host_name), std::string("pk1.") + nexo_guider_get_domain(3));

    ASSERT_EQ(IOT_Ioctl(TETHER_IOCTL_SET_MQTT_DOMAIN, const_cast<char*>("broker.test")), 0);
    uint16_t port = 8883;
    ASSERT_EQ(IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &port), 0);
    ASSERT_EQ(IOT_SetupConnInfo("pk1", "dn1", "sec", reinterpret_cast<void**>(&info)), 0);
    EXPECT_EQ(std::string(info->host_name), "broker.test");
    EXPECT_EQ(info->port, 8883);
    IOT_Ioctl(TETHER_IOCTL_GET_REGION, &region);
    EXPECT_EQ(region, 5);
}

TEST(Signing, MissingIdentityIsRefused) {
    LogCapture log;
    EXPECT_EQ(IOT_SetupConnInfo(nullptr, "dn", "s", nullptr), -1);
    EXPECT_EQ(IOT_SetupConnInfo("pk", "", "s", nullptr), -1);
    EXPECT_TRUE(log.Contains("Invalid argument, product_key = "));
    EXPECT_TRUE(log.Contains("Invalid argument, device_name = ''"));
}

TEST(MqttClient, KeepaliveAndRequestTimeoutClamps) {
    struct Case {
        uint32_t keepalive_ms;
        uint32_t expect_s;
        uint32_t request_ms;
        uint32_t expect_request_ms;
    };
    const Case cases[] = {
        {10000, 30, 400, 2000},    {600000, 120, 6000, 2000}, {29999, 30, 499, 2000},
        {120001, 120, 5001, 2000}, {45000, 45, 500, 500},     {120000, 120, 5000, 5000},
    };
    LogCapture log;
    for (const Case& c : cases) {
        tether_mqtt_param_t p{};
        p.host = "127.0.0.1";
        p.port = 1;
        p.client_id = "c";
        p.keepalive_interval_ms = c.keepalive_ms;
        p.request_timeout_ms = c.request_ms;
        p.write_buf_size = p.read_buf_size = 256;
        void* client = nexo_mc_init(&p);
        ASSERT_NE(client, nullptr);
        nexo_mc_stats_t st;
        ASSERT_TRUE(nexo_mc_get_stats(client, &st));
        EXPECT_EQ(st.keepalive_s, c.expect_s) << c.keepalive_ms;
        EXPECT_EQ(st.request_timeout_ms, c.expect_request_ms) << c.request_ms;
        EXPECT_EQ(st.state, TETHER_MC_STATE_INITIALIZED);
        EXPECT_EQ(IOT_MQTT_Destroy(&client), 0);
        EXPECT_EQ(client, nullptr);
    }
    EXPECT_TRUE(log.Contains("Input heartbeat interval(10000 ms) < Allowed minimum(30000 ms)"));
    EXPECT_TRUE(log.Contains("Reset heartbeat interval => 120000 Millisecond"));

    tether_mqtt_param_t p{};
    p.host = "127.0.0.1";
    p.write_buf_size = 0;
    p.read_buf_size = 256;
    EXPECT_EQ(nexo_mc_init(&p), nullptr);
}

TEST(MqttClient, CallsOnAStaleOrUnconnectedClientFailCleanly) {
    tether_mqtt_param_t p{};
    p.host = "127.0.0.1";
    p.client_id = "c";
    p.write_buf_size = p.read_buf_size = 256;
    void* client = nexo_mc_init(&p);
    ASSERT_NE(client, nullptr);
    char data[] = "x";
    EXPECT_EQ(IOT_MQTT_Publish_Simple(client, "/a/b", 0, data, 1), TETHER_ERR_WRONG_STATE);
    EXPECT_EQ(IOT_MQTT_Publish_Simple(client, "/a/b", 2, data, 1), TETHER_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(IOT_MQTT_Publish_Simple(client, "/a/+", 0, data, 1), TETHER_ERR_INVALID_ARGUMENT);
    void* stale = client;
    ASSERT_EQ(IOT_MQTT_Destroy(&client), 0);
    // The record is gone: every call must refuse it rather than touch it.
    EXPECT_EQ(IOT_MQTT_Publish_Simple(stale, "/a/b", 0, data, 1), TETHER_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(IOT_MQTT_Yield(stale, 1), TETHER_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(IOT_MQTT_CheckStateNormal(stale), 0);
    EXPECT_EQ(IOT_MQTT_Destroy(&stale), TETHER_ERR_INVALID_ARGUMENT);
}

TEST(DeviceLinkApi, OptionsAndArgumentChecks) {
    LogCapture log;
    int v = 0;
    EXPECT_EQ(IOT_Ioctl(-1, &v), -1);
    EXPECT_EQ(IOT_Ioctl(TETHER_IOCTL_SET_REGION, nullptr), -1);
    EXPECT_TRUE(log.Contains("Invalid Parameter"));
    EXPECT_EQ(IOT_Ioctl(99, &v), -1);
    EXPECT_TRUE(log.Contains("Unknown Ioctl Option"));
    char ver[32] = {0};
    ASSERT_EQ(IOT_Ioctl(TETHER_IOCTL_GET_LIB_VERSION, ver), 0);
    EXPECT_STREQ(ver, "V2.3.1_210421_fadbe700");
    EXPECT_EQ(strlen(ver), 22u);
    v = 1;
    ASSERT_EQ(IOT_Ioctl(TETHER_IOCTL_SET_DYNAMIC_REGISTER, &v), 0);
    v = 0;
    ASSERT_EQ(IOT_Ioctl(TETHER_IOCTL_GET_DYNAMIC_REGISTER, &v), 0);
    EXPECT_EQ(v, 1);
    v = 0;
    IOT_Ioctl(TETHER_IOCTL_SET_DYNAMIC_REGISTER, &v);

    EXPECT_EQ(IOT_SetLogLevel(6), -1);
    EXPECT_TRUE(log.Contains("Invalid input level: 6 out of [0, 5]"));
    EXPECT_EQ(IOT_SetLogLevel(5), 0);
    EXPECT_TRUE(log.Contains("[QX-PRT] log level set as: [ 5 ]"));

    EXPECT_EQ(IOT_Tether_Open(2, nullptr), -1);
    tether_dev_meta_info_t meta{};
    EXPECT_EQ(IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, &meta), -1);  // empty identity
    memset(meta.product_key, 'p', sizeof(meta.product_key));        // no terminator
    strcpy(meta.device_name, "dn");
    EXPECT_EQ(IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, &meta), -1);
    EXPECT_TRUE(log.Contains("SDK Version:V2.3.0_200106_a5ab8aa93bb4e941fa90412208a84e315702c62b"));
    char *pk = nullptr, *dn = nullptr, *ds = nullptr;
    EXPECT_EQ(nexo_dm_get_triple_by_devid(-1, &pk, &dn, &ds), -2);
    EXPECT_EQ(nexo_dm_get_triple_by_devid(0, &pk, &dn, &ds), -1);
    EXPECT_EQ(IOT_Tether_Report(0, 99, nullptr, 0), -1);
}

}  // namespace

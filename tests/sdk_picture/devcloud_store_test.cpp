// Intelligent alarm pictures against devcloud's own object store, which
// derives every credential from its master key and recomputes every token and
// signature independently of the device code.
#include <cjson/cJSON.h>

#include <cstdio>

#include "core/single.h"
#include "picture_fixture.h"
#include "sdk/picture/intelligent_alarm.h"

using namespace kestrel;
using namespace kestrel_test;

namespace picture_test {
namespace {

std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

class DevcloudStore : public PictureTest {
  protected:
    static void SetUpTestSuite() {
        PictureTest::SetUpTestSuite();
        home_ = dir_ + "/devcloud";
        // The store's endpoint is its address: the certificate must name it.
        ASSERT_TRUE(net_test::Run("mkdir -p " + home_ + " && cp " + pki_->loopback_ip_cert + " " +
                                  home_ + "/server.pem && cp " + pki_->loopback_ip_key + " " +
                                  home_ + "/server.key"));
        std::string ready = home_ + "/ready.json";
        ASSERT_TRUE(proc_.Start({"/usr/bin/python3", "-c",
                                 "import sys; sys.path.insert(0, sys.argv[1]); "
                                 "from devcloud_lib import stored; "
                                 "sys.exit(stored.serve(sys.argv[2], 0, 0, sys.argv[3]))",
                                 DEVCLOUD_DIR, home_, ready},
                                home_ + "/store.out"));
        ASSERT_TRUE(WaitFor([&] { return !net_test::ReadFile(ready).empty(); }, 10000))
            << net_test::ReadFile(home_ + "/store.out");
        cJSON* j = cJSON_Parse(net_test::ReadFile(ready).c_str());
        ASSERT_NE(nullptr, j);
        control_port_ = cJSON_GetObjectItem(j, "control_port")->valueint;
        cJSON_Delete(j);
    }
    static void TearDownTestSuite() {
        proc_.Stop();
        PictureTest::TearDownTestSuite();
    }
    // The agent's answer to a credential request, as the store issues it.
    std::string StoreCredentials() {
        std::string creds = Capture("curl -sS 'http://127.0.0.1:" + std::to_string(control_port_) +
                                    "/credentials?pk=" + device_.pk + "&dn=" + device_.dn + "'");
        return "{\"id\":\"1\",\"version\":\"1.0\",\"params\":" + creds + "}";
    }
    static std::string home_;
    static net_test::Process proc_;
    static int control_port_;
};

std::string DevcloudStore::home_;
net_test::Process DevcloudStore::proc_;
int DevcloudStore::control_port_ = 0;

TEST_F(DevcloudStore, IntelligentAlarmPicturesPassItsChecks) {
    Single<IntelligentAlarmEventSession>::Instance()->Limit()->Parse(
        "{\"params\":{\"single\":-1,\"batch\":-1}}");
    std::string body = Picture(200000, 21);
    ks_intelligent_alarm_param_s p;
    p.type = 2;
    p.p = reinterpret_cast<unsigned char*>(&body[0]);
    p.len = static_cast<uint32_t>(body.size());
    p.addition_string = "zone-1";
    p.addition_string_len = 6;
    ASSERT_EQ(0, ks_post_intelligent_alarm(&device_.auth, &p, nullptr));
    ASSERT_FALSE(WaitTopic("/vision/pic/kiv/upstream", 1).empty());
    std::string creds = StoreCredentials();
    ASSERT_NE(std::string::npos, creds.find("accessSecret")) << creds;
    Kestrel("/vision/pic/kiv/downstream", creds);

    auto events = WaitTopic("/thing/event/IntelligentAlarm/post", 1);
    ASSERT_EQ(1u, events.size());
    cJSON* params = Params(events[0]);
    cJSON* item = cJSON_GetArrayItem(cJSON_GetObjectItem(params, "EventList"), 0);
    std::string key = cJSON_GetObjectItem(item, "AlarmPicID")->valuestring;
    EXPECT_EQ(200000, cJSON_GetObjectItem(item, "AlarmPicSize")->valueint);
    cJSON_Delete(params);
    ASSERT_EQ("pkTest/dnTest/", key.substr(0, 14));
    std::string stored = net_test::ReadFile(home_ + "/storage/objects/devcloud/" + key);
    EXPECT_EQ(Sha256Hex(body), Sha256Hex(stored));
    EXPECT_TRUE(log_.Contains("Put picture result = Success"));
}

}  // namespace
}  // namespace picture_test

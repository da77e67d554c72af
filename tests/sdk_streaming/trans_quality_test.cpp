#include "sdk/streaming/trans_quality.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "core/single.h"
#include "core/time.h"
#include "sdk/device_monitor.h"
#include "sdk/sdk_fixture.h"

using kestrel::MonitorTransQualityInfo;
using kestrel::TransQuality;

namespace {

std::atomic<unsigned long> g_now{0};
unsigned long FakeNow() {
    return g_now.load();
}

std::vector<MonitorTransQualityInfo> g_reports;
void Capture(int, const MonitorTransQualityInfo& info) {
    g_reports.push_back(info);
}

class TransQualityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_reports.clear();
        g_now = 1000000;
        tq.SetDevId(0);
        tq.SetSessionId("s1");
        tq.SetModule("relay");
        tq.SetFps(25);
        tq.SetGop(2000);
        tq.Reset();
    }
    void Send(bool key, unsigned len, unsigned long at) {
        g_now = at;
        tq.AddVideoInfo(key, static_cast<unsigned>(at - 1000000), len, at);
    }
    TransQuality tq{FakeNow, Capture};
};

TEST_F(TransQualityTest, ReportOnCloseCarriesJitterDropsRatesAndOccupancy) {
    const unsigned long t0 = 1000000;
    Send(true, 5000, t0);
    for (unsigned long at : {t0 + 40, t0 + 80, t0 + 120, t0 + 200})
        Send(false, 1000, at);
    tq.DropFrame(100);
    tq.DropFrame(50);
    tq.BufferQueue(1000);
    tq.BufferQueue(2001);
    g_now = t0 + 5000;
    tq.ForceReport();

    ASSERT_EQ(1u, g_reports.size());
    const MonitorTransQualityInfo& r = g_reports[0];
    EXPECT_EQ("s1", r.session_id);
    EXPECT_EQ("relay", r.module);
    EXPECT_EQ("1000", r.begin_ts);
    EXPECT_EQ("1005", r.end_ts);
    // Intervals 40, 40, 40, 80: mean 50, population variance 300 ms^2.
    EXPECT_EQ("300", r.send_delta_sd);
    EXPECT_EQ("", r.ping_delay);
    EXPECT_EQ("150", r.drop_frame);
    // 9000 bytes over 200 ms: 45 bytes/ms, 360 kbit/s.
    EXPECT_EQ(std::to_string(360 * 1024), r.avg_bitrate);
    EXPECT_EQ("0", r.peak_bitrate);
    EXPECT_EQ("25", r.fps);
    EXPECT_EQ("2000", r.gop);
    EXPECT_EQ("5000", r.max_iframe);
    EXPECT_EQ("9000", r.total_flow);
    EXPECT_EQ("1500", r.buff_queue);
}

TEST_F(TransQualityTest, ReportsEvery180SecondsWithAJitterValuePer30Seconds) {
    const unsigned long t0 = 1000000;
    for (unsigned long at = t0; at <= t0 + 180000; at += 40)
        Send(at % 2000 == 0, 500, at);
    ASSERT_EQ(1u, g_reports.size());
    EXPECT_EQ("0,0,0,0,0,0", g_reports[0].send_delta_sd);
    EXPECT_EQ("1000", g_reports[0].begin_ts);
    EXPECT_EQ("1180", g_reports[0].end_ts);

    // The next period starts from the report.
    Send(false, 500, t0 + 180040);
    g_now = t0 + 181000;
    tq.ForceReport();
    ASSERT_EQ(2u, g_reports.size());
    EXPECT_EQ("1180", g_reports[1].begin_ts);
    EXPECT_EQ("0", g_reports[1].send_delta_sd);
}

TEST_F(TransQualityTest, NothingSentReportsZeros) {
    tq.ForceReport();
    ASSERT_EQ(1u, g_reports.size());
    EXPECT_EQ("0", g_reports[0].buff_queue);
    EXPECT_EQ("0", g_reports[0].avg_bitrate);
    EXPECT_EQ("", g_reports[0].send_delta_sd);
    EXPECT_EQ("0", g_reports[0].drop_frame);
}

// Through the SDK: the published report is JSON a cloud can read, whatever
// the texts hold and whether or not there were samples.
class TransQualityReportTest : public kestrel_test::SdkTest {};

cJSON* WaitReport(const std::string& session,
                  const std::string& method = "transQualityStatistic") {
    kestrel_test::Recorder& rec = kestrel_test::Recorder::Get();
    std::unique_lock<std::mutex> lock(rec.mutex);
    cJSON* found = nullptr;
    rec.cond.wait_for(lock, std::chrono::seconds(3), [&] {
        for (const auto& p : rec.published) {
            if (p.message.find(method) == std::string::npos)
                continue;
            cJSON* doc = cJSON_Parse(p.message.c_str());
            cJSON* params = cJSON_GetObjectItem(doc, "params");
            cJSON* id = cJSON_GetObjectItem(params, "sessionId");
            if (cJSON_IsString(id) && session == id->valuestring) {
                found = doc;
                return true;
            }
            cJSON_Delete(doc);
        }
        return false;
    });
    return found;
}

TEST_F(TransQualityReportTest, PublishedReportParses) {
    ASSERT_EQ(0, Init());
    kestrel_test::Identity id(0, "pk", "dn", "ds");
    ASSERT_EQ(0, kestrel_test::Connect(&id.auth));

    const std::string odd = "tok\"en\\1";
    TransQuality empty;
    empty.SetSessionId(odd);
    empty.SetModule("relay");
    empty.Reset();
    empty.ForceReport();

    TransQuality busy;
    busy.SetSessionId("busy");
    busy.SetModule("relay");
    busy.Reset();
    const unsigned long base = kestrel::Time::GetSystemTimeInt(0);
    for (unsigned i = 0; i < 5; ++i)
        busy.AddVideoInfo(i == 0, i * 40, 1000, base + i * (i == 4 ? 60 : 40));
    busy.BufferQueue(4096);
    busy.ForceReport();

    cJSON* e = WaitReport(odd);
    ASSERT_NE(nullptr, e);
    cJSON* ep = cJSON_GetObjectItem(e, "params");
    EXPECT_STREQ("transQualityStatistic", cJSON_GetObjectItem(e, "method")->valuestring);
    EXPECT_EQ(200, cJSON_GetObjectItem(e, "code")->valueint);
    EXPECT_EQ(0, cJSON_GetObjectItem(ep, "buffQueue")->valueint);
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(ep, "buffQueue")));
    EXPECT_EQ(0, cJSON_GetArraySize(cJSON_GetObjectItem(ep, "sendDeltaSd")));
    EXPECT_EQ(0, cJSON_GetArraySize(cJSON_GetObjectItem(ep, "pingDelay")));
    cJSON_Delete(e);

    cJSON* b = WaitReport("busy");
    ASSERT_NE(nullptr, b);
    cJSON* bp = cJSON_GetObjectItem(b, "params");
    EXPECT_EQ(4096, cJSON_GetObjectItem(bp, "buffQueue")->valueint);
    EXPECT_EQ(5000, cJSON_GetObjectItem(bp, "totalFlow")->valueint);
    cJSON* sd = cJSON_GetObjectItem(bp, "sendDeltaSd");
    ASSERT_EQ(1, cJSON_GetArraySize(sd));
    // Intervals 40, 40, 40, 120: mean 60, variance 1200.
    EXPECT_DOUBLE_EQ(1200, cJSON_GetArrayItem(sd, 0)->valuedouble);
    for (const char* key : {"beginTs", "endTs", "baseUtc", "module"})
        EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItem(bp, key))) << key;
    cJSON_Delete(b);
}

}  // namespace

namespace {

// The relay report keeps its member order and stays JSON whatever the
// session id or message holds.
TEST_F(TransQualityReportTest, RelayReportKeepsItsOrderAndEscapesValues) {
    ASSERT_EQ(0, Init());
    kestrel_test::Identity id(0, "pk", "dn", "ds");
    ASSERT_EQ(0, kestrel_test::Connect(&id.auth));
    kestrel::MonitorRelayInfo info;
    info.method = "startRelayStreaming";
    info.code = "1010";
    info.message = "closed by \"server\"";
    info.session_id = "relay-odd\\1";
    info.video_codec = "h264";
    ASSERT_EQ(0, kestrel::Single<kestrel::DeviceMonitor>::Instance()->ReportRelayInfoV1_1(0, info));
    cJSON* doc = WaitReport(info.session_id, "startRelayStreaming");
    ASSERT_NE(nullptr, doc);
    EXPECT_EQ(1010, cJSON_GetObjectItem(doc, "code")->valueint);
    EXPECT_STREQ("closed by \"server\"", cJSON_GetObjectItem(doc, "message")->valuestring);
    const char* order[] = {"version", "method", "code", "message", "params"};
    int i = 0;
    for (cJSON* item = doc->child; item; item = item->next, ++i)
        EXPECT_STREQ(order[i], item->string);
    EXPECT_EQ(5, i);
    cJSON* params = cJSON_GetObjectItem(doc, "params");
    EXPECT_STREQ("sessionId", params->child->string);
    ASSERT_EQ(13, cJSON_GetArraySize(params));
    EXPECT_STREQ("encrypt", cJSON_GetArrayItem(params, 12)->string);
    cJSON_Delete(doc);
}

}  // namespace

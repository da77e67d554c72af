#include "sdk/records/rpc_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/single.h"
#include "sdk/sdk_fixture.h"

using namespace kestrel;
using namespace kestrel_test;

namespace {

using Items = std::vector<ks_query_record_response_item_s>;

ks_query_record_response_item_s Rec(int type, uint32_t b, uint32_t e, const char* name = "f",
                                    uint32_t size = 0) {
    return {b, e, size, const_cast<char*>(name), type};
}

std::string TimeList(Items items) {
    ks_query_record_response_param_s r = {static_cast<int>(items.size()), items.data(), nullptr};
    std::string json;
    EXPECT_EQ(0, RpcTimeListJson(r, &json));
    return json;
}

TEST(RecordAnswers, TimeListMergesRecordsLessThanThreeSecondsApart) {
    struct Case {
        const char* what;
        Items in;
        const char* out;
    } cases[] = {
        {"gap of one second joins, of five splits",
         {Rec(1, 100, 200), Rec(1, 201, 300), Rec(1, 305, 400)},
         R"({"TimeList":[{"Type":1,"EndTime":300,"BeginTime":100},{"Type":1,"EndTime":400,"BeginTime":305}]})"},
        {"a record inside the interval does not shorten it",
         {Rec(1, 100, 300), Rec(1, 150, 200)},
         R"({"TimeList":[{"Type":1,"EndTime":300,"BeginTime":100}]})"},
        {"one begin time keeps its longest record",
         {Rec(1, 100, 300), Rec(1, 100, 150)},
         R"({"TimeList":[{"Type":1,"EndTime":300,"BeginTime":100}]})"},
        {"types apart, ascending, whatever the order given",
         {Rec(2, 50, 60), Rec(0, 500, 600), Rec(2, 10, 20)},
         R"({"TimeList":[{"Type":0,"EndTime":600,"BeginTime":500},{"Type":2,"EndTime":20,"BeginTime":10},{"Type":2,"EndTime":60,"BeginTime":50}]})"},
        {"no begin time or an end before the begin is no interval",
         {Rec(1, 0, 50), Rec(1, 90, 80), Rec(1, 100, 110)},
         R"({"TimeList":[{"Type":1,"EndTime":110,"BeginTime":100}]})"},
        {"empty", {}, R"({"TimeList":[]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.out, TimeList(c.in));
    }
}

TEST(RecordAnswers, RecordListAndMonthTexts) {
    Items items = {Rec(1, 100, 200, "abc", 4096), Rec(2, 300, 4294967295u, "rec/2.flv", 7)};
    ks_query_record_response_param_s r = {2, items.data(), nullptr};
    std::string json;
    ASSERT_EQ(0, RpcRecordListJson(r, &json));
    EXPECT_EQ(
        R"({"RecordList":[{"FileName":"YWJj","Size":4096,"Type":1,"EndTime":200,"BeginTime":100},)"
        R"({"FileName":"cmVjLzIuZmx2","Size":7,"Type":2,"EndTime":4294967295,"BeginTime":300}]})",
        json);
    ks_query_record_response_param_s empty = {0, nullptr, nullptr};
    ASSERT_EQ(0, RpcRecordListJson(empty, &json));
    EXPECT_EQ(R"({"RecordList":[]})", json);
    items[1].file_name = nullptr;
    EXPECT_EQ(-2, RpcRecordListJson(r, &json));
    ks_query_record_response_param_s no_array = {3, nullptr, nullptr};
    EXPECT_EQ(-1, RpcRecordListJson(no_array, &json));
    EXPECT_EQ(-1, RpcTimeListJson(no_array, &json));

    int days[31] = {0};
    days[0] = 1;
    days[30] = 7;
    ks_query_record_response_param_s month = {0, nullptr, days};
    ASSERT_EQ(0, RpcMonthJson(month, &json));
    EXPECT_EQ(R"({"RecordFlags":"1000000000000000000000000000001"})", json);
    EXPECT_EQ(-1, RpcMonthJson(empty, &json));  // no day list
}

// The application's side: what it was asked, on the job thread.
struct Asked {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<ks_query_record_param_s> params;
    std::vector<std::string> months;
    static Asked& Get() {
        static Asked a;
        return a;
    }
    bool Wait(size_t n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::seconds(3), [&] { return params.size() >= n; });
    }
};

void OnQueryCb(const ks_device_auth_s*, const ks_query_record_param_s* p) {
    Asked& a = Asked::Get();
    std::lock_guard<std::mutex> lk(a.mu);
    a.params.push_back(*p);
    a.months.push_back(p->month ? p->month : "");
    a.params.back().month = nullptr;
    a.cv.notify_all();
}

std::atomic<uint64_t> g_now{1000};
uint64_t FakeNow() {
    return g_now.load();
}

class RpcSessionTest : public SdkTest {
  protected:
    void SetUp() override {
        SdkTest::SetUp();
        {
            std::lock_guard<std::mutex> lk(Asked::Get().mu);
            Asked::Get().params.clear();
            Asked::Get().months.clear();
        }
        ks_init_config_s c = DefaultConfig();
        ks_init_callback_s cb = DefaultCallbacks();
        cb.query_storage_record_cb = OnQueryCb;
        ks_init_system_s sys = {0};
        ASSERT_EQ(0, ks_init(&c, &cb, &sys));
        ASSERT_EQ(0, Connect(&id_.auth));
        Single<RpcSession>::Instance()->SetClock(FakeNow);
    }
    int Ask(const std::string& msg_id, const std::string& service, const std::string& payload) {
        return SendMessage(&id_.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, msg_id, service,
                           payload);
    }
    Identity id_{0, "pk", "dn", "c2VjcmV0"};
};

TEST_F(RpcSessionTest, QueryGoesToTheApplicationAndItsAnswerToTheCloudOnce) {
    ASSERT_EQ(0, Ask("77", "QueryRecordList",
                     R"({"BeginTime":100,"EndTime":900,"Type":1,"QuerySize":20})"));
    ASSERT_EQ(0, Ask("78", "QueryMonthRecord", R"({"Month":"202612"})"));
    ASSERT_TRUE(Asked::Get().Wait(2));
    ks_query_record_param_s list = Asked::Get().params[0];
    EXPECT_EQ(0, list.common_type);
    EXPECT_EQ(1, list.record_type);
    EXPECT_EQ(100u, list.begin_time);
    EXPECT_EQ(900u, list.end_time);
    EXPECT_EQ(20, list.num);
    EXPECT_EQ(1, Asked::Get().params[1].common_type);
    EXPECT_EQ("202612", Asked::Get().months[1]);

    // A bad answer is refused and the query stays open for a good one.
    Items items = {Rec(1, 100, 200, nullptr)};
    ks_query_record_response_param_s bad = {1, items.data(), nullptr};
    EXPECT_EQ(-2, ks_post_query_record(list.service_id, &bad));
    items[0].file_name = const_cast<char*>("abc");
    ASSERT_EQ(0, ks_post_query_record(list.service_id, &bad));
    std::vector<Published> got = Recorder::Get().WaitTopicSuffix("/rrpc/response/77");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ("/sys/pk/dn/rrpc/response/77", got.back().topic);
    EXPECT_NE(std::string::npos, got.back().message.find(R"("FileName":"YWJj")"))
        << got.back().message;
    EXPECT_EQ(-2, ks_post_query_record(list.service_id, &bad));  // answered already
}

TEST_F(RpcSessionTest, BadRequestsGetAnErrorLineAndNoQuery) {
    const char* bad[][2] = {
        {"QueryRecordList", "not json"},
        {"QueryRecordList", R"({"BeginTime":1,"EndTime":2,"Type":1})"},  // no QuerySize
        {"QueryRecordTimeList", R"({"BeginTime":"1","EndTime":2,"Type":1})"},
        {"QueryMonthRecord", R"({"Month":202612})"},
        {"QueryMonthRecord", "[]"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b[1]);
        log_.Clear();
        ASSERT_EQ(0, Ask("9", b[0], b[1]));
        EXPECT_TRUE(log_.WaitFor("parse value error"));
    }
    ASSERT_EQ(0, Ask("10", "QueryRecordTimeList", R"({"BeginTime":1,"EndTime":2,"Type":0})"));
    ASSERT_TRUE(Asked::Get().Wait(1));
    EXPECT_EQ(1u, Asked::Get().params.size());
    EXPECT_EQ(1u, Single<RpcSession>::Instance()->PendingCount());
}

TEST_F(RpcSessionTest, UnansweredQueryExpiresWithALogLine) {
    ASSERT_EQ(0, Ask("5", "QueryRecordTimeList", R"({"BeginTime":1,"EndTime":2,"Type":0})"));
    ASSERT_TRUE(Asked::Get().Wait(1));
    int id = Asked::Get().params[0].service_id;
    g_now += RpcSession::kQueryLifetimeS;
    Items none;
    ks_query_record_response_param_s answer = {0, none.data(), nullptr};
    EXPECT_EQ(-2, ks_post_query_record(id, &answer));
    EXPECT_TRUE(log_.Contains("expired unanswered"));
    EXPECT_EQ(0u, Single<RpcSession>::Instance()->PendingCount());
}

}  // namespace

// A late answer to a query asked before ks_destroy/ks_init must not answer a new
// query: the new one gets an id the old session never handed out.
TEST_F(RpcSessionTest, QueryIdsKeepIncreasingAcrossReinit) {
    ASSERT_EQ(0, Ask("1", "QueryRecordTimeList", R"({"BeginTime":1,"EndTime":2,"Type":0})"));
    ASSERT_TRUE(Asked::Get().Wait(1));
    int old_id = Asked::Get().params[0].service_id;
    ks_destroy();
    SetUp();
    ASSERT_EQ(0, Ask("2", "QueryRecordTimeList", R"({"BeginTime":1,"EndTime":2,"Type":0})"));
    ASSERT_TRUE(Asked::Get().Wait(1));
    int new_id = Asked::Get().params[0].service_id;
    EXPECT_GT(new_id, old_id);
    Items none;
    ks_query_record_response_param_s late = {0, none.data(), nullptr};
    EXPECT_EQ(-2, ks_post_query_record(old_id, &late));
    EXPECT_EQ(1u, Single<RpcSession>::Instance()->PendingCount());
}

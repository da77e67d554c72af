// The picture store's budget, the credential cache's timing and limits, and
// the event limiter, driven directly with injected clocks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/single.h"
#include "picture_fixture.h"
#include "sdk/device_env.h"
#include "sdk/picture/alarm_event.h"
#include "sdk/picture/intelligent_alarm.h"
#include "sdk/picture/picture_store.h"
#include "sdk/storage/kiv_identify.h"
#include "sdk_fixture.h"

using namespace kestrel;
using namespace kestrel_test;
using picture_test::WaitFor;

namespace {

TEST(PictureStoreBudget, EvictsWaitingPicturesButNotOnesInFlight) {
    LogCapture log;
    std::string a(60000, 'a'), b(50000, 'b');
    {
        PictureStore store;
        store.SetAbility(100000);
        int first = store.Copy(a.data(), a.size(), "[t]");
        ASSERT_GT(first, 0);
        int second = store.Copy(b.data(), b.size(), "[t]");
        ASSERT_GT(second, first);
        EXPECT_TRUE(store.Pop(first)->Empty());  // evicted to make room
        EXPECT_EQ(50000u, store.Used());
    }
    {
        PictureStore store;
        store.SetAbility(100000);
        SharedPtr<SharedBuffer> taken = store.Pop(store.Copy(a.data(), a.size(), "[t]"));
        ASSERT_EQ(60000ul, taken->GetLen());
        EXPECT_EQ(-1, store.Copy(b.data(), b.size(), "[t]"));
        taken = SharedPtr<SharedBuffer>();  // the upload ends: its bytes come back
        EXPECT_EQ(0u, store.Used());
        EXPECT_GT(store.Copy(b.data(), b.size(), "[t]"), 0);
    }
    PictureStore store;
    EXPECT_EQ(0, store.Copy(nullptr, 10, "[t]"));
    EXPECT_EQ(0, store.Copy(a.data(), 0, "[t]"));
    int index = store.Copy(a.data(), 10, "[t]");
    for (int bad : {0, -1, index + 1})
        EXPECT_TRUE(store.Pop(bad)->Empty()) << bad;
    EXPECT_EQ(10ul, store.Pop(index)->GetLen());
    EXPECT_TRUE(store.Pop(index)->Empty());
}

TEST(PictureStoreBudget, PictureInFlightMayOutliveItsStore) {
    std::string a(1000, 'a');
    SharedPtr<SharedBuffer> taken;
    {
        PictureStore store;
        taken = store.Pop(store.Copy(a.data(), a.size(), "[t]"));
    }
    taken = SharedPtr<SharedBuffer>();  // no call into the deleted store (ASan)
}

uint64_t g_now_s = 0;
uint64_t FakeSeconds() {
    return g_now_s;
}
uint64_t g_now_ms = 0;
uint64_t FakeMs() {
    return g_now_ms;
}

struct Heard {
    std::mutex mutex;
    std::vector<std::string> prefixes;
    static void On(void* user, int, const KivUploadIdentify& id) {
        auto* h = static_cast<Heard*>(user);
        std::lock_guard<std::mutex> lock(h->mutex);
        h->prefixes.push_back(id.file_name_prefix_);
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return prefixes.size();
    }
};

const char* kCredentials =
    "{\"params\":{\"accessKey\":\"ak\",\"accessSecret\":\"sk\",\"stsToken\":\"tok\","
    "\"endpoint\":\"store.test\",\"bucketName\":\"b\",\"fileNamePrefix\":\"p/\","
    "\"contentType\":\"image/jpeg\",\"activeTime\":3600}}";

class IdentifyTest : public SdkTest {
  protected:
    void SetUp() override {
        SdkTest::SetUp();
        ASSERT_EQ(0, Init());
        ASSERT_EQ(0, Connect(&device_.auth));
        identify_ = DeviceEnv::Get()->Identify();
        identify_->SetClock(FakeSeconds);
        identify_->Attach(&heard_, Heard::On);
    }
    size_t Requests() {
        size_t n = 0;
        for (const auto& p : Recorder::Get().WaitPublished(0, 0))
            n += p.topic.find("/vision/pic/kiv/upstream") != std::string::npos;
        return n;
    }
    KivIdentify* identify_ = nullptr;
    Heard heard_;
    Identity device_{0, "pkTest", "dnTest", "ZGV2aWNlLXNlY3JldA=="};
};

TEST_F(IdentifyTest, FreshCredentialsAreServedEarlyRefreshedAndRenewedWhenStale) {
    struct Case {
        uint64_t at;
        bool told;
        bool asked;
    } cases[] = {
        {3800, true, false},  // before 80 % of the lifetime
        {3900, true, true},   // between 80 % and 90 %: served, refreshed early
        {4300, false, true},  // past 90 %: asked again, served when it comes
    };
    g_now_s = 1000;
    identify_->ForceStsUpdate(0);  // nothing yet: asks
    EXPECT_EQ(1u, log_.Count("Start update kiv identify"));
    for (const Case& c : cases) {
        g_now_s = 1000;
        ASSERT_EQ(0, identify_->ParseDownstream(0, kCredentials));
        identify_->CheckUpdate(0);  // the answer came: the request is over
        size_t told = heard_.Size();
        size_t asked = log_.Count("Start update kiv identify");
        g_now_s = c.at;
        identify_->ForceStsUpdate(0);
        EXPECT_EQ(c.told ? told + 1 : told, heard_.Size()) << c.at;
        EXPECT_EQ(c.asked ? asked + 1 : asked, log_.Count("Start update kiv identify")) << c.at;
    }
    // Object names: the cloud's prefix, the token's MD5 in hex, "_".
    std::lock_guard<std::mutex> lock(heard_.mutex);
    EXPECT_EQ("p/60ae136e5d49fbdf037fab5f1d805634_", heard_.prefixes.front());
    EXPECT_TRUE(WaitFor([&] { return Requests() == 3; })) << Requests();
}

TEST_F(IdentifyTest, FifthRequestWithinAnHourIsLimitedAndTellsAnEmptyIdentity) {
    g_now_s = 50;
    identify_->ForceStsUpdate(0);
    identify_->ForceStsUpdate(0);  // one outstanding request at a time
    EXPECT_EQ(1u, log_.Count("Start update kiv identify"));
    for (int i = 0; i < 3; ++i)
        identify_->CheckUpdate(0);  // no answer: retried
    EXPECT_EQ(4u, log_.Count("Start update kiv identify"));
    identify_->CheckUpdate(0);
    EXPECT_EQ(1u, log_.Count("Sts update is limited"));
    ASSERT_EQ(1u, heard_.Size());
    EXPECT_EQ("", heard_.prefixes[0]);
    g_now_s = 50 + 3601;  // a new window
    identify_->ForceStsUpdate(0);
    EXPECT_EQ(5u, log_.Count("Start update kiv identify"));
}

TEST_F(IdentifyTest, BadCredentialAnswersChangeNothing) {
    g_now_s = 100;
    identify_->ForceStsUpdate(0);
    const std::string good = kCredentials;
    auto without = [&](const std::string& member) {
        std::string s = good;
        size_t at = s.find("\"" + member + "\"");
        size_t end = s.find_first_of(",}", at);
        return s.erase(at, end - at + (s[end] == ',' ? 1 : 0));
    };
    auto with = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        return s.replace(s.find(from), from.size(), to);
    };
    const std::string cases[] = {
        "",
        "not json",
        "[]",
        "{}",
        "{\"params\":3}",
        without("contentType"),
        without("activeTime"),
        without("stsToken"),
        with("\"tok\"", "7"),
        with("3600", "\"3600\""),
        with("\"ak\"", "\"\""),
        with("\"image/jpeg\"", "\"image/jpeg\\r\\nX-Evil: 1\""),
        with("\"store.test\"", "\"store.test\\u0001x\""),
    };
    for (const std::string& payload : cases) {
        log_.Clear();
        EXPECT_EQ(-1, identify_->ParseDownstream(0, payload)) << payload;
        EXPECT_TRUE(log_.Contains("Parse PicKivDownstream failed")) << payload;
    }
    EXPECT_EQ(0u, heard_.Size());
    // The cache stayed empty: the next use asks again rather than serving junk.
    identify_->CheckUpdate(0);
    EXPECT_TRUE(log_.Contains("Start update kiv identify"));
    // And the secrets never reach the log.
    ASSERT_EQ(0, identify_->ParseDownstream(0, with("\"sk\"", "\"s3cr3t-value\"")));
    for (const auto& line : log_.Lines())
        EXPECT_EQ(std::string::npos, line.find("s3cr3t-value")) << line;
}

TEST(EventLimitRules, SingleIntervalPerKeyAndCloudAdjustments) {
    LogCapture log;
    EventLimit limit;
    limit.SetClock(FakeMs);
    g_now_ms = 5000;  // soon after boot: the first post of a key is still allowed
    EXPECT_EQ(0, limit.SingleIsPermit(1));
    EXPECT_EQ(0, limit.SingleIsPermit(2));  // keys do not interfere
    g_now_ms = 5000 + 9999;
    EXPECT_EQ(-1, limit.SingleIsPermit(1));
    g_now_ms = 5000 + 10000;
    EXPECT_EQ(0, limit.SingleIsPermit(1));

    EXPECT_EQ(0, limit.Parse("{\"params\":{\"single\":-1,\"batch\":5}}"));
    EXPECT_EQ(0, limit.SingleIsPermit(1));
    EXPECT_EQ(0, limit.SingleIsPermit(1));
    EXPECT_EQ(0, limit.Parse("{\"params\":{\"single\":3000,\"batch\":5}}"));
    EXPECT_EQ(0, limit.SingleIsPermit(3));
    g_now_ms += 2999;
    EXPECT_EQ(-1, limit.SingleIsPermit(3));
    // Refused answers leave the limits as they were.
    for (const char* bad : {"{\"params\":{\"single\":-1}}",
                            "{\"params\":{\"single\":\"-1\","
                            "\"batch\":5}}",
                            "x", "{\"params\":[]}", "{}"}) {
        EXPECT_EQ(-1, limit.Parse(bad)) << bad;
        EXPECT_EQ(-1, limit.SingleIsPermit(3)) << bad;
    }
    EXPECT_EQ(5u, log.Count("Event limit answer refused"));
}

// Posts from application threads while the cloud changes the limits on the
// task-queue thread: the limiter's state is shared and must be locked (TSan).
TEST(EventLimitRules, ConcurrentPostsAndAnswers) {
    LogCapture log;
    EventLimit limit;
    std::atomic<int> permitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i)
                permitted += limit.SingleIsPermit(t * 1000 + i) == 0;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i)
            limit.Parse(i % 2 ? "{\"params\":{\"single\":-1,\"batch\":5}}"
                              : "{\"params\":{\"single\":100,\"batch\":5}}");
    });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(2000, permitted.load());  // every key is new
}

}  // namespace

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>

#include "core/time.h"
#include "log_capture.h"
#include "net/dns_service.h"
#include "net/net_engine.h"
#include "peers.h"

using namespace kestrel;
using namespace net_test;

namespace {

class Result : public DnsProtocolResult {
  public:
    void OnResult(int c, const std::string& i, unsigned short p, unsigned long t) override {
        std::lock_guard<std::mutex> lk(mu_);
        ++calls;
        code = c;
        ip = i;
        port = p;
        timeout = t;
        cv_.notify_all();
    }
    bool Wait(int ms = 5000) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return calls > 0; });
    }
    int calls = 0;
    int code = 99;
    std::string ip;
    unsigned short port = 0;
    unsigned long timeout = 0;

  private:
    std::mutex mu_;
    std::condition_variable cv_;
};

class DnsClient : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakeTempDir("dns");
        ASSERT_FALSE(dir_.empty());
        engine_ = SharedPtr<NetEngine>(new NetEngine);
        ASSERT_EQ(0, engine_->Start());
    }
    void TearDown() override {
        engine_->Stop(true);
        DnsService::SetResolvConfPath("/etc/resolv.conf");
        DnsService::SetServerPort(53);
        net_test::Run("rm -rf " + dir_);
    }
    void UseServer(uint16_t port, const std::string& conf_extra = "") {
        std::string conf = dir_ + "/resolv.conf";
        std::ofstream(conf) << "# local test resolver\n" << conf_extra << "nameserver 127.0.0.1\n";
        DnsService::SetResolvConfPath(conf);
        DnsService::SetServerPort(port);
        ASSERT_EQ(0, dns_.Start());
    }
    SharedPtr<Result> Lookup(const std::string& host, unsigned long timeout_ms = 2000) {
        SharedPtr<Result> r(new Result);
        dns_.GetAddrInfo(host, 8443, timeout_ms, engine_, r);
        EXPECT_TRUE(r->Wait()) << host;
        return r;
    }

    std::string dir_;
    SharedPtr<NetEngine> engine_;
    DnsService dns_;
};

TEST_F(DnsClient, ResolverFileGivesIpv4ServersOrTheFallback) {
    std::string conf = dir_ + "/resolv.conf";
    std::ofstream(conf) << "# comment\nsearch example.test\nnameserver\t10.1.2.3\n"
                           "nameserver fe80::1%eth0\nnameserver 2001:db8::1\n";
    DnsService::SetResolvConfPath(conf);
    DnsService one;
    one.Start();
    EXPECT_EQ(std::vector<std::string>{"10.1.2.3"}, one.Servers());

    std::ofstream(conf, std::ios::trunc) << "options ndots:2\n";
    DnsService none;
    none.Start();
    EXPECT_EQ(3u, none.Servers().size());

    DnsService::SetResolvConfPath(dir_ + "/missing");
    DnsService missing;
    missing.Start();
    EXPECT_EQ(3u, missing.Servers().size());
}

TEST_F(DnsClient, AnswersFromARealServer) {
    Dnsmasq server;
    ASSERT_TRUE(server.Start(
        dir_,
        {"--local-ttl=60", "--host-record=one.test,10.0.0.1", "--host-record=multi.test,10.0.0.2",
         "--host-record=multi.test,10.0.0.3", "--cname=alias.test,one.test",
         // A CNAME whose data is exactly four bytes long.
         "--host-record=ab,10.9.8.7", "--cname=x.test,ab"}));
    UseServer(server.Port());
    struct Case {
        const char* host;
        int code;
        std::vector<std::string> ips;
    } cases[] = {
        {"one.test", DNS_RESULT_OK, {"10.0.0.1"}},
        {"multi.test", DNS_RESULT_OK, {"10.0.0.2", "10.0.0.3"}},
        {"alias.test", DNS_RESULT_OK, {"10.0.0.1"}},
        {"x.test", DNS_RESULT_OK, {"10.9.8.7"}},
        {"nothing.test", DNS_RESULT_NO_ADDRESS, {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        SharedPtr<Result> r = Lookup(c.host);
        EXPECT_EQ(1, r->calls);
        EXPECT_EQ(c.code, r->code);
        EXPECT_NE(c.ips.end(), std::find(c.ips.begin(), c.ips.end(), r->ip)) << r->ip;
        if (c.code == DNS_RESULT_OK) {
            EXPECT_EQ(8443, r->port);
            EXPECT_GE(r->timeout, 1000u);  // what is left of the 2 s, at least 1 s
            EXPECT_LE(r->timeout, 2000u);
        } else {
            EXPECT_EQ(0, r->port);
        }
    }
    // With the server gone, a name looked up before is answered from the cache.
    server.Stop();
    SharedPtr<Result> again = Lookup("one.test");
    EXPECT_EQ(DNS_RESULT_OK, again->code);
    EXPECT_EQ("10.0.0.1", again->ip);
}

TEST_F(DnsClient, SilentServerIsAskedAgainAndTheLookupEndsAtTheTimeOut) {
    kestrel_test::LogCapture logs;
    ScriptedDns server;
    ASSERT_TRUE(server.Start(ScriptedDns::kSilent, "10.0.0.9"));
    UseServer(server.Port());
    unsigned long t0 = Time::GetSystemTimeInt(0);
    SharedPtr<Result> r = Lookup("cam.test", 1500);
    unsigned long took = Time::GetSystemTimeInt(0) - t0;
    EXPECT_EQ(DNS_RESULT_NO_ANSWER, r->code);
    EXPECT_GE(took, 1400u);
    EXPECT_LT(took, 3000u);
    EXPECT_GE(server.Queries(), 2);
    EXPECT_TRUE(logs.Contains("Dns query for cam.test timed out"));
}

TEST_F(DnsClient, LostQueryIsRetriedForgedAnswerIgnoredTruncatedRefused) {
    {
        ScriptedDns lose;
        ASSERT_TRUE(lose.Start(ScriptedDns::kLoseFirst, "10.0.0.7"));
        UseServer(lose.Port());
        SharedPtr<Result> r = Lookup("lose.test", 3000);
        EXPECT_EQ(DNS_RESULT_OK, r->code);
        EXPECT_EQ("10.0.0.7", r->ip);
        EXPECT_EQ(2, lose.Queries());
    }
    {
        ScriptedDns forged;
        ASSERT_TRUE(forged.Start(ScriptedDns::kWrongIdFirst, "10.0.0.8"));
        UseServer(forged.Port());
        SharedPtr<Result> r = Lookup("forged.test");
        EXPECT_EQ(DNS_RESULT_OK, r->code);
        EXPECT_EQ("10.0.0.8", r->ip);
    }
    {
        ScriptedDns cut;
        ASSERT_TRUE(cut.Start(ScriptedDns::kTruncated, "10.0.0.6"));
        UseServer(cut.Port());
        SharedPtr<Result> r = Lookup("cut.test");
        EXPECT_EQ(DNS_RESULT_NO_ADDRESS, r->code);
        EXPECT_EQ("", r->ip);
    }
}

}  // namespace

// The library's DNS resolver against a local responder, and TLS connections
// against a real `openssl s_server` with a throwaway CA. Nothing here leaves
// the loopback interface: the resolver list is pointed at local ports before
// any name is resolved.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "peers.h"
#include "port_test_util.h"
#include "tether/hal.h"

namespace {

using port_test::DnsResponder;
using port_test::Pki;
using port_test::TempDir;
using port_test::TlsEchoServer;

std::string ip_text(uint32_t a) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof(buf));
    return buf;
}

// A loopback UDP port with nobody behind it: queries fail at once.
std::string dead_server() {
    return "127.0.0.1:" + std::to_string(port_test::free_port(SOCK_DGRAM));
}

class Peers : public ::testing::Environment {
  public:
    void SetUp() override {
        // First of all, so that no test can ever reach a public resolver.
        std::string dead = dead_server();
        const char* list[] = {dead.c_str()};
        ASSERT_EQ(0, dns_set_servers(list, 1));
        dns_set_policy(300, 1, 1);
        LITE_set_loglevel(LOG_DEBUG_LEVEL);

        dir = std::make_unique<TempDir>();
        ASSERT_TRUE(pki.make(dir->path()));
        dns.add("device.test", {"127.0.0.1"});
        dns.add("other.test", {"127.0.0.1"});
        dns.add("many.test", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
        ASSERT_TRUE(dns.start());
        ASSERT_TRUE(server.start(pki));
        Pki ip_pki = pki;
        ip_pki.server_cert = pki.ip_server_cert;
        ASSERT_TRUE(ip_server.start(ip_pki));
    }
    void TearDown() override {
        ip_server.stop();
        server.stop();
        dns.stop();
        dir.reset();
    }
    std::unique_ptr<TempDir> dir;
    Pki pki;
    DnsResponder dns;
    TlsEchoServer server;
    TlsEchoServer ip_server;  // its certificate names 127.0.0.1
};

Peers* g_peers = static_cast<Peers*>(::testing::AddGlobalTestEnvironment(new Peers));

void use_servers(std::initializer_list<std::string> servers) {
    std::vector<const char*> list;
    for (const auto& s : servers) {
        list.push_back(s.c_str());
    }
    ASSERT_EQ(0, dns_set_servers(list.data(), static_cast<int>(list.size())));
}

// ---------------------------------------------------------------------------
// DNS
// ---------------------------------------------------------------------------
TEST(HalDnsTest, FirstAnsweringServerWinsAndAtMostThreeAddresses) {
    use_servers({dead_server(), g_peers->dns.address()});
    uint32_t a[DNS_MAX_ADDRS];
    ASSERT_EQ(1, dns_getaddrinfo("device.test", a));
    EXPECT_EQ("127.0.0.1", ip_text(a[0]));
    ASSERT_EQ(3, dns_getaddrinfo("many.test.", a));
    EXPECT_EQ("10.0.0.1", ip_text(a[0]));
    EXPECT_EQ("10.0.0.3", ip_text(a[2]));
    ASSERT_EQ(1, dns_getaddrinfo("cname.test", a));  // the CNAME record is skipped
    EXPECT_EQ("10.1.2.3", ip_text(a[0]));
}

TEST(HalDnsTest, Ipv4LiteralNeedsNoQuery) {
    use_servers({g_peers->dns.address()});
    int before = g_peers->dns.queries();
    uint32_t a[DNS_MAX_ADDRS];
    ASSERT_EQ(1, dns_getaddrinfo("192.0.2.7", a));
    EXPECT_EQ("192.0.2.7", ip_text(a[0]));
    EXPECT_EQ(before, g_peers->dns.queries());
}

TEST(HalDnsTest, BrokenOrMissingAnswersFail) {
    use_servers({g_peers->dns.address()});
    const char* names[] = {"unknown.test",   "bad-truncated.test", "bad-rdlength.test",
                           "bad-label.test", "bad-id.test",        "bad..name"};
    for (const char* n : names) {
        SCOPED_TRACE(n);
        uint32_t a[DNS_MAX_ADDRS];
        EXPECT_EQ(-1, dns_getaddrinfo(n, a));
    }
    uint32_t a[DNS_MAX_ADDRS];
    EXPECT_EQ(-1, dns_getaddrinfo(std::string(64, 'x').append(".test").c_str(), a));
    EXPECT_EQ(-1, dns_getaddrinfo("", a));
    EXPECT_EQ(-1, dns_getaddrinfo(nullptr, a));
}

TEST(HalDnsTest, ServerListIsValidated) {
    const char* bad[][1] = {{"1.2.3"},         {"1.2.3.4:0"}, {"1.2.3.4:x"},
                            {"1.2.3.4:70000"}, {"host:53"},   {nullptr}};
    for (auto& list : bad) {
        EXPECT_EQ(-1, dns_set_servers(list, 1)) << (list[0] ? list[0] : "null");
    }
    const char* four[] = {"1.1.1.1", "1.1.1.2", "1.1.1.3", "1.1.1.4"};
    EXPECT_EQ(-1, dns_set_servers(four, 4));
    // The list in force is unchanged by the refused calls.
    use_servers({g_peers->dns.address()});
    const char* bad_one[] = {"nonsense"};
    EXPECT_EQ(-1, dns_set_servers(bad_one, 1));
    uint32_t a[DNS_MAX_ADDRS];
    EXPECT_EQ(1, dns_getaddrinfo("device.test", a));
}

// ---------------------------------------------------------------------------
// TLS
// ---------------------------------------------------------------------------
class HalTlsTest : public ::testing::Test {
  protected:
    void SetUp() override { use_servers({g_peers->dns.address()}); }
    void TearDown() override {
        HAL_SetTrustAnchorPem(nullptr);
        HAL_SSLHooks_set(nullptr, nullptr);
    }
    static std::string pem(const std::string& path) { return port_test::read_file(path); }
    uintptr_t connect(const char* host, const std::string& ca_path, uint16_t port = 0) {
        std::string ca = pem(ca_path);
        return HAL_SSL_Establish(host, port ? port : g_peers->server.port(), ca.c_str(),
                                 static_cast<uint32_t>(ca.size() + 1));
    }
    // One line through the reversing echo peer.
    static void round_trip(uintptr_t h) {
        const std::string line = "hello tether\n";
        ASSERT_EQ(static_cast<int>(line.size()),
                  HAL_SSL_Write(h, line.data(), static_cast<int>(line.size()), 2000));
        char buf[64];
        ASSERT_EQ(static_cast<int>(line.size()),
                  HAL_SSL_Read(h, buf, static_cast<int>(line.size()), 5000));
        EXPECT_EQ("rehtet olleh\n", std::string(buf, line.size()));
    }
};

TEST_F(HalTlsTest, HostNameWithTheRightAnchorConnectsAndCarriesData) {
    uintptr_t h = connect("device.test", g_peers->pki.ca_pem);
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    EXPECT_EQ(HAL_SSL_OK, HAL_SSL_LastError());
    round_trip(h);
    round_trip(h);

    // Nothing more to read: the read gives up after its time-out.
    char buf[8];
    uint64_t t0 = HAL_UptimeMs();
    EXPECT_EQ(0, HAL_SSL_Read(h, buf, sizeof(buf), 100));
    EXPECT_GE(HAL_UptimeMs() - t0, 95u);
    EXPECT_EQ(0, HAL_SSL_Read(h, buf, sizeof(buf), 0));

    EXPECT_EQ(0, HAL_SSL_Destroy(h));
    EXPECT_EQ(-1, HAL_SSL_Destroy(h));
    EXPECT_EQ(-1, HAL_SSL_Read(h, buf, sizeof(buf), 10));
    EXPECT_EQ(-1, HAL_SSL_Write(h, buf, sizeof(buf), 10));
}

TEST_F(HalTlsTest, VerificationFailuresAreRefusedWithTheirReason) {
    struct Case {
        const char* host;
        std::string ca;
        int why;
    } cases[] = {
        {"device.test", g_peers->pki.wrong_ca_pem, HAL_SSL_ERR_CERT_UNTRUSTED},
        {"127.0.0.1", g_peers->pki.wrong_ca_pem, HAL_SSL_ERR_CERT_UNTRUSTED},
        {"other.test", g_peers->pki.ca_pem, HAL_SSL_ERR_CN_MISMATCH},
        // A good chain for names only: an address endpoint is not one of them.
        {"127.0.0.1", g_peers->pki.ca_pem, HAL_SSL_ERR_CN_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(0u, connect(c.host, c.ca));
        EXPECT_EQ(c.why, HAL_SSL_LastError());
    }
}

TEST_F(HalTlsTest, Ipv4LiteralIsAcceptedWhenTheCertificateNamesTheAddress) {
    uintptr_t h = connect("127.0.0.1", g_peers->pki.ca_pem, g_peers->ip_server.port());
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    round_trip(h);
    HAL_SSL_Destroy(h);
    // The same certificate under the wrong anchor is still refused.
    EXPECT_EQ(0u, connect("127.0.0.1", g_peers->pki.wrong_ca_pem, g_peers->ip_server.port()));
    EXPECT_EQ(HAL_SSL_ERR_CERT_UNTRUSTED, HAL_SSL_LastError());
}

TEST_F(HalTlsTest, SystemResolverIsTheFallback) {
    use_servers({dead_server()});
    uintptr_t h = connect("localhost", g_peers->pki.ca_pem);
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    HAL_SSL_Destroy(h);
}

TEST_F(HalTlsTest, TrustAnchorOverrideReplacesTheCallersAnchor) {
    const std::string right = g_peers->pki.ca_pem;
    const std::string wrong = g_peers->pki.wrong_ca_pem;
    // As a file path, then as PEM text.
    ASSERT_EQ(0, HAL_SetTrustAnchorPem(right.c_str()));
    uintptr_t h = connect("device.test", wrong);
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    HAL_SSL_Destroy(h);
    EXPECT_EQ(pem(right), HAL_GetTrustAnchorPem());

    ASSERT_EQ(0, HAL_SetTrustAnchorPem(pem(wrong).c_str()));
    EXPECT_EQ(0u, connect("device.test", right));
    EXPECT_EQ(HAL_SSL_ERR_CERT_UNTRUSTED, HAL_SSL_LastError());

    // Unusable anchors are refused and leave the override in place.
    std::string junk = g_peers->dir->file("junk.pem");
    FILE* f = fopen(junk.c_str(), "w");
    fputs("not a certificate\n", f);
    fclose(f);
    for (const std::string& bad : {junk, std::string("/nonexistent/ca.pem"),
                                   std::string("-----BEGIN CERTIFICATE-----\nAAAA\n")}) {
        EXPECT_EQ(-1, HAL_SetTrustAnchorPem(bad.c_str())) << bad;
    }
    EXPECT_EQ(pem(wrong), HAL_GetTrustAnchorPem());

    ASSERT_EQ(0, HAL_SetTrustAnchorPem(nullptr));
    EXPECT_STREQ(HAL_GetBuiltinTrustAnchorPem(), HAL_GetTrustAnchorPem());
    h = connect("device.test", right);
    ASSERT_NE(0u, h);
    HAL_SSL_Destroy(h);
}

TEST_F(HalTlsTest, BuiltinAnchorDoesNotTrustTheTestCa) {
    uintptr_t h = HAL_SSL_Establish("device.test", g_peers->server.port(), nullptr, 0);
    EXPECT_EQ(0u, h);
    EXPECT_EQ(HAL_SSL_ERR_CERT_UNTRUSTED, HAL_SSL_LastError());
    EXPECT_NE(nullptr, strstr(HAL_GetBuiltinTrustAnchorPem(), "-----BEGIN CERTIFICATE-----"));
}

TEST_F(HalTlsTest, BadArgumentsAndUnreachablePeers) {
    std::string ca = pem(g_peers->pki.ca_pem);
    std::string long_host(300, 'h');
    struct Case {
        const char* host;
        uint16_t port;
        const char* ca;
        int why;
    } cases[] = {
        {nullptr, 1, ca.c_str(), HAL_SSL_ERR_PARAM},
        {"", 1, ca.c_str(), HAL_SSL_ERR_PARAM},
        {"device.test", 0, ca.c_str(), HAL_SSL_ERR_PARAM},
        {long_host.c_str(), 1, ca.c_str(), HAL_SSL_ERR_PARAM},
        {"device.test", 1, "garbage", HAL_SSL_ERR_CA},
        // Names that the local responder cannot answer fall back to the system
        // resolver, so only /etc/hosts names and literals are used here.
        {"localhost", static_cast<uint16_t>(port_test::free_port(SOCK_STREAM)), ca.c_str(),
         HAL_SSL_ERR_CONNECT},
        {"127.0.0.1", static_cast<uint16_t>(port_test::free_port(SOCK_STREAM)), ca.c_str(),
         HAL_SSL_ERR_CONNECT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host ? c.host : "null");
        EXPECT_EQ(0u,
                  HAL_SSL_Establish(c.host, c.port, c.ca, static_cast<uint32_t>(strlen(c.ca) + 1)));
        EXPECT_EQ(c.why, HAL_SSL_LastError());
    }
}

// The caller's allocator holds each connection record: every step that fails
// after the record exists gives it back, as the destroy does, and an
// allocator that refuses is reported as lack of memory.
std::atomic<int> g_allocs{0};
std::atomic<int> g_frees{0};
std::atomic<bool> g_refuse{false};
void* counted_malloc(uint32_t n) {
    if (g_refuse)
        return nullptr;
    ++g_allocs;
    return malloc(n);
}
void counted_free(void* p) {
    ++g_frees;
    free(p);
}

TEST_F(HalTlsTest, AllocatorHooksGetEveryRecordBack) {
    EXPECT_EQ(-1, HAL_SSLHooks_set(counted_malloc, nullptr));
    ASSERT_EQ(0, HAL_SSLHooks_set(counted_malloc, counted_free));
    uintptr_t h = connect("device.test", g_peers->pki.ca_pem);
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    EXPECT_EQ(1, g_allocs.load());
    EXPECT_EQ(0, g_frees.load()) << "a live connection keeps its record";
    HAL_SSL_Destroy(h);
    EXPECT_EQ(1, g_frees.load());

    const std::string ca = pem(g_peers->pki.ca_pem);
    const uint16_t refused = static_cast<uint16_t>(port_test::free_port(SOCK_STREAM));
    const struct {
        const char* host;
        uint16_t port;
        const char* ca;
        int why;
    } cases[] = {
        {"device.test", g_peers->server.port(), "garbage", HAL_SSL_ERR_CA},
        {"127.0.0.1", refused, ca.c_str(), HAL_SSL_ERR_CONNECT},
        {"other.test", g_peers->server.port(), ca.c_str(), HAL_SSL_ERR_CN_MISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        int allocs = g_allocs, frees = g_frees;
        EXPECT_EQ(0u,
                  HAL_SSL_Establish(c.host, c.port, c.ca, static_cast<uint32_t>(strlen(c.ca) + 1)));
        EXPECT_EQ(c.why, HAL_SSL_LastError());
        EXPECT_EQ(allocs + 1, g_allocs.load());
        EXPECT_EQ(frees + 1, g_frees.load());
    }

    g_refuse = true;
    EXPECT_EQ(0u, connect("device.test", g_peers->pki.ca_pem));
    EXPECT_EQ(HAL_SSL_ERR_MEMORY, HAL_SSL_LastError());
    g_refuse = false;
}

TEST_F(HalTlsTest, Ipv6LiteralGoesStraightToTheSystemResolver) {
    dns_set_policy(300, 3, 1000);  // a query would cost seconds of retries
    int before = g_peers->dns.queries();
    uint64_t t0 = HAL_UptimeMs();
    std::string ca = pem(g_peers->pki.ca_pem);
    EXPECT_EQ(0u, HAL_SSL_Establish("::1", static_cast<uint16_t>(port_test::free_port(SOCK_STREAM)),
                                    ca.c_str(), static_cast<uint32_t>(ca.size() + 1)));
    EXPECT_EQ(HAL_SSL_ERR_CONNECT, HAL_SSL_LastError());
    EXPECT_EQ(before, g_peers->dns.queries());
    EXPECT_LT(HAL_UptimeMs() - t0, 1000u);
    dns_set_policy(300, 1, 1);
}

TEST_F(HalTlsTest, PeerCloseIsReportedAfterTheDataBeforeIt) {
    TlsEchoServer own;
    ASSERT_TRUE(own.start(g_peers->pki));
    std::string ca = pem(g_peers->pki.ca_pem);
    uintptr_t h = HAL_SSL_Establish("device.test", own.port(), ca.c_str(),
                                    static_cast<uint32_t>(ca.size() + 1));
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    round_trip(h);
    own.stop();
    char buf[16];
    EXPECT_EQ(-2, HAL_SSL_Read(h, buf, sizeof(buf), 2000));
    HAL_SSL_Destroy(h);
}

// Mutual TLS: a peer that demands a client certificate takes the device's
// own one, and refuses the device without it. A key that does not belong to
// the certificate is refused before any connection.
TEST_F(HalTlsTest, OwnClientCertificateIsPresentedWhenGiven) {
    TlsEchoServer strict;
    ASSERT_TRUE(strict.start(g_peers->pki, true));
    const Pki& pki = g_peers->pki;
    std::string ca = pem(pki.ca_pem);
    auto connect_strict = [&] {
        return HAL_SSL_Establish("device.test", strict.port(), ca.c_str(),
                                 static_cast<uint32_t>(ca.size() + 1));
    };
    EXPECT_EQ(0u, connect_strict()) << "no client certificate: refused";

    ASSERT_EQ(0,
              HAL_SetClientCertificate(pki.client_cert.c_str(), pki.client_key.c_str(), nullptr));
    uintptr_t h = connect_strict();
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    round_trip(h);
    HAL_SSL_Destroy(h);

    // PEM text works as well as a path; unusable pairs change nothing.
    std::string cert_text = pem(pki.client_cert), key_text = pem(pki.client_key);
    EXPECT_EQ(0, HAL_SetClientCertificate(cert_text.c_str(), key_text.c_str(), nullptr));
    const struct {
        const char* cert;
        const char* key;
    } bad[] = {{pki.client_cert.c_str(), pki.stray_key.c_str()},
               {pki.client_cert.c_str(), nullptr},
               {nullptr, pki.client_key.c_str()},
               {"/nonexistent.pem", pki.client_key.c_str()},
               {pki.client_key.c_str(), pki.client_key.c_str()}};
    for (const auto& b : bad)
        EXPECT_EQ(-1, HAL_SetClientCertificate(b.cert, b.key, nullptr)) << (b.cert ? b.cert : "-");
    h = connect_strict();
    EXPECT_NE(0u, h) << "a refused pair must leave the working one in place";
    HAL_SSL_Destroy(h);

    EXPECT_EQ(0, HAL_SetClientCertificate(nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, connect_strict());
}

// The wait the MQTT cycle blocks in: input, a waker signal from another
// thread, or the time-out ends it; decrypted bytes already buffered count.
TEST_F(HalTlsTest, WaitReadableEndsOnInputSignalOrTimeout) {
    uintptr_t h = connect("device.test", g_peers->pki.ca_pem);
    ASSERT_NE(0u, h) << HAL_SSL_LastError();
    void* waker = HAL_WakerCreate();
    ASSERT_NE(nullptr, waker);

    uint64_t t0 = HAL_UptimeMs();
    EXPECT_EQ(0, HAL_SSL_WaitReadable(h, waker, 100));
    EXPECT_GE(HAL_UptimeMs() - t0, 95u);

    std::thread poke([&] {
        HAL_SleepMs(50);
        HAL_WakerSignal(waker);
    });
    t0 = HAL_UptimeMs();
    EXPECT_EQ(0, HAL_SSL_WaitReadable(h, waker, 5000));
    EXPECT_LT(HAL_UptimeMs() - t0, 2000u);
    poke.join();
    EXPECT_EQ(0, HAL_WakerWait(waker, 0)) << "a signal ends one wait only";

    const std::string line = "ab\ncd\n";
    ASSERT_EQ(6, HAL_SSL_Write(h, line.data(), 6, 2000));
    EXPECT_EQ(1, HAL_SSL_WaitReadable(h, waker, 5000));
    char buf[3];
    ASSERT_EQ(3, HAL_SSL_Read(h, buf, 3, 2000));
    // The second line may already sit decrypted in the TLS buffer.
    EXPECT_EQ(1, HAL_SSL_WaitReadable(h, waker, 5000));
    ASSERT_EQ(3, HAL_SSL_Read(h, buf, 3, 2000));
    EXPECT_EQ(0, HAL_SSL_WaitReadable(h, nullptr, 50));
    HAL_SSL_Destroy(h);
    EXPECT_EQ(-1, HAL_SSL_WaitReadable(h, waker, 10));
    HAL_WakerDestroy(waker);
}

}  // namespace

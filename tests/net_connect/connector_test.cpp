#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "log_capture.h"
#include "net/dns_service.h"
#include "net/net_connector.h"
#include "net/net_test_util.h"
#include "peers.h"

using namespace kestrel;
using namespace kestrel_test;
using namespace net_test;

namespace {

// The connector with its resolver pointed at a local name server that
// answers every name with 127.0.0.1.
class Connector : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = MakeTempDir("connector");
        ASSERT_TRUE(pki_.Make(dir_));
        dns_ = new ScriptedDns;
        ASSERT_TRUE(dns_->Start(ScriptedDns::kAnswer, "127.0.0.1"));
        std::ofstream(dir_ + "/resolv.conf") << "nameserver 127.0.0.1\n";
        DnsService::SetResolvConfPath(dir_ + "/resolv.conf");
        DnsService::SetServerPort(dns_->Port());
    }
    static void TearDownTestSuite() {
        delete dns_;
        DnsService::SetResolvConfPath("/etc/resolv.conf");
        DnsService::SetServerPort(53);
        net_test::Run("rm -rf " + dir_);
    }
    void SetUp() override { ASSERT_EQ(0, NetConnector::Start()); }
    void TearDown() override { NetConnector::Stop(); }

    struct Client {
        SharedPtr<RecordingHandler> handler{new RecordingHandler};
        unsigned long id = 0;
    };

    // Connects, and sends `hello` from OnConnect (held until the handshake ends).
    Client Open(const std::string& host, uint16_t port, const std::string& ca_pem,
                const std::string& hello = "") {
        Client c;
        unsigned long* id = &c.id;
        c.handler->on_connect = [id, hello] {
            if (!hello.empty())
                NetConnector::Send(*id, hello.data(), hello.size());
        };
        c.id = NetConnector::Create(c.handler, NET_PROTOCOL_TCP,
                                    ca_pem.empty() ? nullptr : ca_pem.c_str(), ca_pem.size());
        EXPECT_NE(0ul, c.id);
        NetConnector::SetLogInfo(c.id, "[test " + host + "]");
        NetConnector::Connect(c.id, host, port, 3000);
        return c;
    }

    static std::string dir_;
    static Pki pki_;
    static ScriptedDns* dns_;
};

std::string Connector::dir_;
Pki Connector::pki_;
ScriptedDns* Connector::dns_ = nullptr;

TEST_F(Connector, PlainConnectByNameAndByAddress) {
    Listener listener;
    Client by_name = Open("plain.test", listener.Port(), "", "by-name");
    Client by_ip = Open("127.0.0.1", listener.Port(), "", "by-ip");
    std::string got;
    for (int i = 0; i < 2; ++i) {
        int peer = listener.Accept();
        ASSERT_GE(peer, 0);
        char buf[16] = {};
        ssize_t n = read(peer, buf, sizeof(buf));
        ASSERT_GT(n, 0);
        got += std::string(buf, n) + ";";
        close(peer);
    }
    EXPECT_TRUE(got == "by-name;by-ip;" || got == "by-ip;by-name;") << got;
    ASSERT_TRUE(WaitUntil([&] { return by_name.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_PEER_CLOSED, by_name.handler->Reason());
    EXPECT_EQ(-1, NetConnector::Send(by_name.id, "x", 1));  // the id is gone
}

TEST_F(Connector, TlsDeliversDataQueuedBeforeTheHandshakeAndLargeReplies) {
    TlsServer server;
    // The default certificate names another host: only a client that sends
    // SNI gets the device.test certificate, so success proves the SNI.
    ASSERT_TRUE(server.Start(pki_.wrong_cert, pki_.wrong_key, dir_ + "/sni.log", "device.test",
                             pki_.device_cert, pki_.device_key, {"-max_send_frag", "1024"}));
    std::string ca = ReadFile(pki_.ca);
    std::string lines;
    std::string reversed;
    for (int i = 0; i < 100; ++i) {
        std::string line(999, static_cast<char>('a' + i % 26));
        line[0] = 'X';
        lines += line + "\n";
        reversed += std::string(line.rbegin(), line.rend()) + "\n";
    }
    Client c = Open("device.test", server.Port(), ca, lines);
    ASSERT_TRUE(WaitUntil([&] { return c.handler->Data().size() >= reversed.size(); }, 10000))
        << "got " << c.handler->Data().size() << " bytes";
    EXPECT_EQ(reversed, c.handler->Data());
    NetConnector::Close(c.id);
    ASSERT_TRUE(WaitUntil([&] { return c.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_CLOSED, c.handler->Reason());
}

TEST_F(Connector, TlsRefusesPeersThatCannotProveWhoTheyAre) {
    struct Case {
        const char* what;
        std::string cert, key, host, ca;
        bool ok;
    } cases[] = {
        {"right CA and name", pki_.device_cert, pki_.device_key, "device.test", pki_.ca, true},
        {"IP literal named by the certificate", pki_.loopback_ip_cert, pki_.loopback_ip_key,
         "127.0.0.1", pki_.ca, true},
        {"IP literal, certificate names only hosts", pki_.wrong_cert, pki_.wrong_key, "127.0.0.1",
         pki_.ca, false},
        {"IP literal, certificate names another address", pki_.other_ip_cert, pki_.other_ip_key,
         "127.0.0.1", pki_.ca, false},
        {"IP literal named, untrusted chain", pki_.loopback_ip_cert, pki_.loopback_ip_key,
         "127.0.0.1", pki_.wrong_ca, false},
        {"untrusted chain", pki_.device_cert, pki_.device_key, "device.test", pki_.wrong_ca, false},
        {"wrong host name", pki_.wrong_cert, pki_.wrong_key, "device.test", pki_.ca, false},
        {"expired", pki_.expired_cert, pki_.expired_key, "device.test", pki_.ca, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture logs;
        TlsServer server;
        ASSERT_TRUE(server.Start(c.cert, c.key, dir_ + "/case.log"));
        Client client = Open(c.host, server.Port(), ReadFile(c.ca), "ping\n");
        if (c.ok) {
            ASSERT_TRUE(WaitUntil([&] { return client.handler->Data() == "gnip\n"; }));
            NetConnector::Close(client.id);
        }
        ASSERT_TRUE(WaitUntil([&] { return client.handler->disconnects.load() == 1; }));
        if (!c.ok) {
            EXPECT_EQ("", client.handler->Data());
            EXPECT_TRUE(logs.Contains("Server certificate refused")) << c.what;
        }
    }
}

TEST_F(Connector, TlsWithAnUnreadableAnchorFailsOnItsFirstWrite) {
    LogCapture logs;
    Listener listener;
    std::string garbage = "not a certificate";
    Client c = Open("127.0.0.1", listener.Port(), garbage);
    ASSERT_TRUE(WaitUntil([&] { return c.handler->disconnects.load() == 1; }));
    EXPECT_EQ((std::vector<std::string>{"connect", "disconnect:5"}), c.handler->Events());
    EXPECT_TRUE(logs.Contains("mbedtls_x509_crt_parse returned"));
}

TEST_F(Connector, UnresolvableNameClosesTheSocket) {
    LogCapture logs;
    DnsService::SetServerPort(static_cast<uint16_t>(FreePort(SOCK_DGRAM)));  // nobody there
    NetConnector::Stop();
    ASSERT_EQ(0, NetConnector::Start());
    Client c = Open("nowhere.test", 1, "");
    ASSERT_TRUE(WaitUntil([&] { return c.handler->disconnects.load() == 1; }, 8000));
    EXPECT_EQ(DISCONNECT_CLOSED, c.handler->Reason());
    EXPECT_EQ(0, c.handler->connects.load());
    EXPECT_TRUE(logs.Contains("Dns parse failed, ret = -3"));
    DnsService::SetServerPort(dns_->Port());
}

TEST_F(Connector, StopTellsEveryOpenSocketOnceAndCreateNeedsAStartedConnector) {
    Listener listener;
    Client a = Open("127.0.0.1", listener.Port(), "");
    Client idle;
    idle.id = NetConnector::Create(idle.handler, NET_PROTOCOL_TCP, nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return a.handler->connects.load() == 1; }));
    NetConnector::Stop();
    EXPECT_EQ(1, a.handler->disconnects.load());
    EXPECT_EQ(1, idle.handler->disconnects.load());
    EXPECT_EQ(0ul, NetConnector::Create(idle.handler, NET_PROTOCOL_TCP, nullptr, 0));
    EXPECT_EQ(-1, NetConnector::Send(a.id, "x", 1));
}

}  // namespace

// ks_set_max_sockets: the socket limit a firmware sets before ks_init is the
// one the SDK's network engine enforces, and it cannot change under a running
// engine.
#include <vector>

#include "net/net_connector.h"
#include "net/net_engine.h"
#include "sdk/sdk_fixture.h"

using namespace kestrel;

namespace {

class IdleHandler : public NetSocketHandler {
    void OnConnect() override {}
    void OnDisConnect(NetSocketDisconnectResult) override {}
    long OnData(const char*, unsigned long len) override { return static_cast<long>(len); }
    long OnWrite() override { return 0; }
};

class SocketLimitTest : public kestrel_test::SdkTest {
  protected:
    void TearDown() override {
        SdkTest::TearDown();
        ks_set_max_sockets(NetEngine::kDefaultMaxSockets);
    }
};

TEST_F(SocketLimitTest, OutOfRangeIsRefusedAndTheLimitStays) {
    ASSERT_EQ(0, ks_set_max_sockets(40));
    for (uint32_t n : {0u, (1u << 20) + 1, 0xffffffffu})
        EXPECT_EQ(-1, ks_set_max_sockets(n)) << n;
    EXPECT_EQ(40ul, NetConnector::GetMaxSockets());
    EXPECT_EQ(0, ks_set_max_sockets(1u << 20));
}

TEST_F(SocketLimitTest, AnInitRefusedForItsInputStartsNothing) {
    ASSERT_EQ(-1, ks_init(nullptr, nullptr, nullptr));
    EXPECT_EQ(0, ks_set_max_sockets(300)) << "the refused ks_init left the connector running";
}

TEST_F(SocketLimitTest, LimitSetBeforeInitIsTheEnginesAndHoldsWhileRunning) {
    const unsigned long limit = NetEngine::kDefaultMaxSockets + 45;
    ASSERT_EQ(0, ks_set_max_sockets(static_cast<uint32_t>(limit)));
    ASSERT_EQ(0, Init());

    // Sockets the SDK holds itself count too: fill what is left.
    SharedPtr<NetSocketHandler> handler(new IdleHandler);
    std::vector<unsigned long> ids;
    for (unsigned long id; ids.size() <= limit &&
                           (id = NetConnector::Create(handler, NET_PROTOCOL_TCP, nullptr, 0)) != 0;)
        ids.push_back(id);
    EXPECT_EQ(limit, NetConnector::SocketCount());

    log_.Clear();
    EXPECT_EQ(-1, ks_set_max_sockets(500));
    EXPECT_TRUE(log_.Contains("Socket limit 500 refused, connector running"));
    EXPECT_EQ(limit, NetConnector::GetMaxSockets());
    for (unsigned long id : ids)
        NetConnector::Close(id);

    // After ks_destroy the next ks_init may have another.
    ASSERT_EQ(0, ks_destroy());
    EXPECT_EQ(0, ks_set_max_sockets(64));
}

}  // namespace

#include "net/net_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/time.h"

using namespace kestrel;

namespace {

bool WaitUntil(const std::function<bool()>& pred, int ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A loopback TCP listener on a free port.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd_, 16) != 0)
            ADD_FAILURE() << "listener setup failed";
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    uint16_t Port() const { return port_; }
    int Accept() { return accept(fd_, nullptr, nullptr); }

  private:
    int fd_;
    uint16_t port_;
};

// A minimal real TCP client socket: non-blocking connect to 127.0.0.1 with
// an optional deadline. `stall` keeps it "connecting" however the connect
// went, standing in for a peer that never answers.
class TestSocket : public NetSocket {
  public:
    enum Mode { kNormal, kStall, kBadFd };

    TestSocket(uint16_t port, unsigned long timeout_ms = 0, Mode mode = kNormal)
        : port_(port), timeout_ms_(timeout_ms), mode_(mode) {}

    void Connect() {
        if (timeout_ms_ > 0)
            deadline_ = Time::GetSystemTimeInt(0) + timeout_ms_;
        SetState(SOCKET_CONNECT);
    }

    void RealConnect() override {
        ++real_connects;
        if (mode_ == kBadFd) {
            fd_ = -1;  // the multiplexer will refuse it
            SetState(SOCKET_CONNECTING);
            return;
        }
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        int r = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        if (r == 0 || errno == EINPROGRESS) {
            SetState(SOCKET_CONNECTING);
        } else {
            fail(DISCONNECT_CONNECT_FAILED);
        }
    }

    bool RealConnectCheck() override {
        if (deadline_ != 0 && Time::GetSystemTimeInt(0) > deadline_) {
            fail(DISCONNECT_CONNECT_TIMEOUT);
            return true;
        }
        return false;
    }

    void RealWrite() override {
        ++writes;
        if (GetState() == SOCKET_CONNECTING) {
            if (mode_ == kStall)
                return;
            int err = 0;
            socklen_t len = sizeof(err);
            if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
                fail(DISCONNECT_SOCKET_ERROR);
                return;
            }
            SetState(SOCKET_CONNECTED);
            ++connects;
        }
    }

    void RealRead() override {
        char buf[256];
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof(buf));
            if (n > 0) {
                std::lock_guard<std::mutex> lk(mu_);
                data_.append(buf, n);
                continue;
            }
            if (n == 0)
                fail(DISCONNECT_PEER_CLOSED);
            return;
        }
    }

    void RealDisconnect() override {
        last_reason = reason_.load();
        ++disconnects;
        if (fd_ > 0)
            close(fd_);
        fd_ = 0;
    }

    void Close() override {
        if (GetState() != SOCKET_CLOSING)
            reason_ = DISCONNECT_CLOSED;
        SetState(SOCKET_CLOSING);
    }

    std::string Data() {
        std::lock_guard<std::mutex> lk(mu_);
        return data_;
    }

    std::atomic<int> real_connects{0}, connects{0}, writes{0}, disconnects{0}, last_reason{-1};

  private:
    void fail(int reason) {
        reason_ = reason;
        SetState(SOCKET_CLOSING);
    }

    uint16_t port_;
    unsigned long timeout_ms_;
    Mode mode_;
    unsigned long deadline_ = 0;
    std::atomic<int> reason_{0};
    std::mutex mu_;
    std::string data_;
};

using Sock = SharedPtr<TestSocket>;

Sock NewSocket(uint16_t port, unsigned long timeout_ms = 0,
               TestSocket::Mode mode = TestSocket::kNormal) {
    return Sock(new TestSocket(port, timeout_ms, mode));
}

TEST(NetEngine, FirstAddWakesIdleEngineThenDataFlowsAndCloseIsSwept) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    // With no socket the loop sits in its 60 s wait; only the wake byte of
    // Add can get the connect going within the budget below.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Sock s = NewSocket(listener.Port());
    s->Connect();
    unsigned long id = engine.Add(s);
    ASSERT_EQ(1ul, id);
    ASSERT_TRUE(WaitUntil([&] { return s->connects.load() == 1; }))
        << "the first socket did not wake the idle engine";

    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(5, write(peer, "hello", 5));
    ASSERT_TRUE(WaitUntil([&] { return s->Data() == "hello"; }));
    // Polled for writability on every pass while it lives: the pull point.
    int writes = s->writes.load();
    ASSERT_TRUE(WaitUntil([&] { return s->writes.load() > writes + 2; }));

    SharedPtr<NetSocket> found;
    ASSERT_TRUE(engine.Query(id, found));
    EXPECT_EQ(s.get(), found.get());
    found = SharedPtr<NetSocket>();

    s->Close();  // from this (non-engine) thread
    ASSERT_TRUE(WaitUntil([&] { return s->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_CLOSED, s->last_reason.load());
    EXPECT_FALSE(engine.Query(id, found));
    EXPECT_EQ(0ul, engine.GetSocketCount());

    // Ids are never reused.
    Sock t = NewSocket(listener.Port());
    EXPECT_EQ(2ul, engine.Add(t));
    engine.Stop(true);
    EXPECT_EQ(1, s->disconnects.load());
    EXPECT_EQ(1, t->disconnects.load());
    close(peer);
}

TEST(NetEngine, ConnectDeadlinePassingDisconnectsWithTimeout) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    Sock stalled = NewSocket(listener.Port(), 100, TestSocket::kStall);
    Sock no_deadline = NewSocket(listener.Port(), 0, TestSocket::kStall);
    stalled->Connect();
    no_deadline->Connect();
    unsigned long id = engine.Add(stalled);
    engine.Add(no_deadline);
    unsigned long t0 = Time::GetSystemTimeInt(0);
    ASSERT_TRUE(WaitUntil([&] { return stalled->disconnects.load() == 1; }));
    EXPECT_GE(Time::GetSystemTimeInt(0), t0 + 100);
    EXPECT_EQ(DISCONNECT_CONNECT_TIMEOUT, stalled->last_reason.load());
    EXPECT_EQ(0, stalled->connects.load());
    SharedPtr<NetSocket> found;
    EXPECT_FALSE(engine.Query(id, found));
    // Time-out 0 never expires.
    EXPECT_EQ(0, no_deadline->disconnects.load());
    EXPECT_EQ(SOCKET_CONNECTING, no_deadline->GetState());
    engine.Stop(true);
    EXPECT_EQ(1, stalled->disconnects.load());
    EXPECT_EQ(1, no_deadline->disconnects.load());
}

// A descriptor the multiplexer refuses closes that socket only, with one
// disconnect, and the engine goes on serving the others.
TEST(NetEngine, RegistrationFailureClosesOnlyThatSocketOnce) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    Sock bad = NewSocket(listener.Port(), 0, TestSocket::kBadFd);
    Sock good = NewSocket(listener.Port());
    bad->Connect();
    good->Connect();
    engine.Add(bad);
    engine.Add(good);
    ASSERT_TRUE(WaitUntil([&] { return bad->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_CLOSED, bad->last_reason.load());
    ASSERT_TRUE(WaitUntil([&] { return good->connects.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a few more passes
    EXPECT_EQ(1, bad->disconnects.load());
    EXPECT_EQ(0, good->disconnects.load());
    engine.Stop(true);
    EXPECT_EQ(1, bad->disconnects.load());
    EXPECT_EQ(1, good->disconnects.load());
}

TEST(NetEngine, StopGivesEachOpenSocketExactlyOneDisconnect) {
    Listener listener;
    std::vector<Sock> socks;
    {
        NetEngine engine;
        ASSERT_EQ(0, engine.Start());
        Sock idle = NewSocket(listener.Port());  // never asked to connect
        Sock connected = NewSocket(listener.Port());
        Sock connecting = NewSocket(listener.Port(), 0, TestSocket::kStall);
        Sock swept = NewSocket(listener.Port());
        connected->Connect();
        connecting->Connect();
        for (auto& s : {idle, connected, connecting, swept}) {
            ASSERT_NE(0ul, engine.Add(s));
            socks.push_back(s);
        }
        ASSERT_TRUE(WaitUntil([&] { return connected->connects.load() == 1; }));
        swept->Close();
        ASSERT_TRUE(WaitUntil([&] { return swept->disconnects.load() == 1; }));
        engine.Stop(true);
        for (auto& s : socks)
            EXPECT_EQ(1, s->disconnects.load());
        EXPECT_EQ(0ul, engine.GetSocketCount());
    }
    for (auto& s : socks)
        EXPECT_EQ(1, s->disconnects.load());  // destructor adds none

    // An engine that never ran still tells its sockets when it goes.
    Sock orphan = NewSocket(listener.Port());
    {
        NetEngine engine;
        EXPECT_EQ(1ul, engine.Add(orphan));
    }
    EXPECT_EQ(1, orphan->disconnects.load());
    EXPECT_EQ(DISCONNECT_CLOSED, orphan->last_reason.load());
}

// The multiplexer has room for 256 descriptors, one of them the wake pipe.
TEST(NetEngine, RefusesSocketsBeyondTheDescriptorLimit) {
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    std::vector<Sock> socks;
    for (unsigned long i = 1; i <= NetEngine::kMaxSockets; ++i) {
        socks.push_back(NewSocket(1));
        ASSERT_EQ(i, engine.Add(socks.back()));
    }
    Sock extra = NewSocket(1);
    EXPECT_EQ(0ul, engine.Add(extra));
    EXPECT_EQ(0ul, engine.Add(SharedPtr<NetSocket>()));

    socks[0]->Close();
    ASSERT_TRUE(WaitUntil([&] { return engine.GetSocketCount() < NetEngine::kMaxSockets; }));
    EXPECT_EQ(NetEngine::kMaxSockets + 1, engine.Add(extra));
    engine.Stop(true);
    for (auto& s : socks)
        EXPECT_EQ(1, s->disconnects.load());
    EXPECT_EQ(1, extra->disconnects.load());
}

}  // namespace

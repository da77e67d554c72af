#include "net/net_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/time.h"
#include "net/net_transmission.h"
#include "log_capture.h"
#include "net_test_util.h"

using namespace kestrel;
using namespace kestrel_test;

namespace {

using Handler = SharedPtr<RecordingHandler>;

// A real plain socket; `bad_fd` stands in for a descriptor the multiplexer refuses.
class TestSocket : public NetTransmission {
  public:
    TestSocket(Handler h, bool bad_fd) : NetTransmission(h), bad_fd_(bad_fd) {}
    void RealConnect() override {
        if (!bad_fd_) {
            NetTransmission::RealConnect();
            return;
        }
        fd_ = -1;
        SetState(SOCKET_CONNECTING);
    }

  private:
    bool bad_fd_;
};

struct Conn {
    Handler handler{new RecordingHandler};
    SharedPtr<NetSocket> socket;
};

Conn NewConn(uint16_t port, unsigned long timeout_ms = 0, bool connect = true,
             bool bad_fd = false) {
    Conn c;
    c.socket = SharedPtr<NetSocket>(new TestSocket(c.handler, bad_fd));
    c.socket->SetRemoteIp("127.0.0.1", port);
    if (connect)
        c.socket->Connect(timeout_ms);
    return c;
}

// A listener whose accept queue is full: further connects stay in progress,
// like a peer that never answers.
struct StalledPeer {
    Listener listener{0};
    std::vector<int> fillers;
    StalledPeer() {
        for (int i = 0; i < 4; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(listener.Port());
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
            fillers.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~StalledPeer() {
        for (int fd : fillers)
            close(fd);
    }
};

TEST(NetEngine, FirstAddWakesIdleEngineThenDataFlowsAndCloseIsSwept) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    // With no socket the loop sits in its 60 s wait; only the wake of Add can
    // get the connect going within the budget below.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Conn c = NewConn(listener.Port());
    unsigned long id = engine.Add(c.socket);
    ASSERT_EQ(1ul, id);
    ASSERT_TRUE(WaitUntil([&] { return c.handler->connects.load() == 1; }))
        << "the first socket did not wake the idle engine";
    // The owner gets one write turn right after the connect.
    ASSERT_TRUE(WaitUntil([&] { return c.handler->writes.load() == 1; }));

    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(5, write(peer, "hello", 5));
    ASSERT_TRUE(WaitUntil([&] { return c.handler->Data() == "hello"; }));

    // Bytes queued from this thread wake the engine and reach the peer.
    ASSERT_EQ(4, c.socket->Send("ping", 4));
    char buf[8] = {};
    ASSERT_EQ(4, read(peer, buf, sizeof(buf)));
    EXPECT_EQ(std::string("ping"), std::string(buf, 4));
    // A drained queue grants the owner another turn; then it idles until asked.
    ASSERT_TRUE(WaitUntil([&] { return c.handler->writes.load() == 2; }));
    c.socket->RequestWrite();
    ASSERT_TRUE(WaitUntil([&] { return c.handler->writes.load() == 3; }));

    SharedPtr<NetSocket> found;
    ASSERT_TRUE(engine.Query(id, found));
    EXPECT_EQ(c.socket.get(), found.get());
    found = SharedPtr<NetSocket>();

    c.socket->Close();  // from this (non-engine) thread
    ASSERT_TRUE(WaitUntil([&] { return c.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_CLOSED, c.handler->Reason());
    EXPECT_FALSE(engine.Query(id, found));
    EXPECT_EQ(0ul, engine.GetSocketCount());

    // Ids are never reused.
    Conn t = NewConn(listener.Port(), 0, false);
    EXPECT_EQ(2ul, engine.Add(t.socket));
    engine.Stop(true);
    EXPECT_EQ(1, c.handler->disconnects.load());
    EXPECT_EQ(1, t.handler->disconnects.load());
    close(peer);
}

// The engine waits on events, not on a clock: an open, quiet connection
// costs no passes, and a timer wakes it when due.
TEST(NetEngine, QuietConnectionCostsNoPassesAndTimerFires) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    Conn c = NewConn(listener.Port());
    engine.Add(c.socket);
    int peer = listener.Accept();
    ASSERT_TRUE(WaitUntil([&] { return c.handler->writes.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unsigned long passes = engine.GetPassCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(engine.GetPassCount(), passes + 1);

    unsigned long t0 = Time::GetSystemTimeInt(0);
    c.socket->SetTimer(50);
    ASSERT_TRUE(WaitUntil([&] { return c.handler->timers.load() == 1; }));
    EXPECT_GE(Time::GetSystemTimeInt(0), t0 + 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, c.handler->timers.load());  // one-shot
    engine.Stop(true);
    close(peer);
}

// A read that fills the read buffer exactly is handed on at once, not held
// until more bytes arrive; a handler that consumes nothing sees the same
// bytes again with the new ones behind them.
TEST(NetEngine, ExactFillReadIsDeliveredAndUnconsumedBytesComeBack) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    Conn c = NewConn(listener.Port());
    engine.Add(c.socket);
    int peer = listener.Accept();
    ASSERT_TRUE(WaitUntil([&] { return c.handler->connects.load() == 1; }));
    std::string block(16384, 'x');
    ASSERT_EQ(16384, write(peer, block.data(), block.size()));
    ASSERT_TRUE(WaitUntil([&] { return c.handler->Data().size() == 16384; }, 1000))
        << "an exactly full read was held back";
    engine.Stop(true);
    close(peer);

    Listener l2;
    NetEngine e2;
    ASSERT_EQ(0, e2.Start());
    Conn d = NewConn(l2.Port());
    d.handler->consume_limit = 0;
    e2.Add(d.socket);
    int p2 = l2.Accept();
    ASSERT_EQ(3, write(p2, "abc", 3));
    ASSERT_TRUE(WaitUntil([&] { return d.handler->Deliveries().size() == 1; }));
    ASSERT_EQ(2, write(p2, "de", 2));
    ASSERT_TRUE(WaitUntil([&] { return d.handler->Deliveries().size() == 2; }));
    EXPECT_EQ(5ul, d.handler->Deliveries()[1]);
    e2.Stop(true);
    close(p2);
}

TEST(NetEngine, DisconnectReasons) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    // Peer closes.
    Conn peer_closed = NewConn(listener.Port());
    engine.Add(peer_closed.socket);
    int peer = listener.Accept();
    ASSERT_TRUE(WaitUntil([&] { return peer_closed.handler->connects.load() == 1; }));
    close(peer);
    ASSERT_TRUE(WaitUntil([&] { return peer_closed.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_PEER_CLOSED, peer_closed.handler->Reason());

    // Nobody listens: the asynchronous connect fails.
    uint16_t dead_port;
    {
        Listener gone;
        dead_port = gone.Port();
    }
    Conn refused = NewConn(dead_port);
    engine.Add(refused.socket);
    ASSERT_TRUE(WaitUntil([&] { return refused.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_SOCKET_ERROR, refused.handler->Reason());
    EXPECT_EQ(0, refused.handler->connects.load());

    // Not a dotted address.
    Conn illegal;
    illegal.socket = SharedPtr<NetSocket>(new NetTransmission(illegal.handler));
    illegal.socket->SetRemoteIp("300.1.1.1", 80);
    illegal.socket->Connect(0);
    engine.Add(illegal.socket);
    ASSERT_TRUE(WaitUntil([&] { return illegal.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_ILLEGAL_IP, illegal.handler->Reason());

    // A close after an error keeps the error's reason.
    illegal.socket->Close();
    EXPECT_EQ(DISCONNECT_ILLEGAL_IP, illegal.socket->GetReason());
    engine.Stop(true);
}

TEST(NetEngine, ConnectDeadlinePassingDisconnectsWithTimeout) {
    StalledPeer stalled_peer;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    // The bound runs from Connect, so the clock is read before it.
    unsigned long t0 = Time::GetSystemTimeInt(0);
    Conn stalled = NewConn(stalled_peer.listener.Port(), 100);
    Conn no_deadline = NewConn(stalled_peer.listener.Port(), 0);
    unsigned long id = engine.Add(stalled.socket);
    engine.Add(no_deadline.socket);
    ASSERT_TRUE(WaitUntil([&] { return stalled.handler->disconnects.load() == 1; }));
    EXPECT_GE(Time::GetSystemTimeInt(0), t0 + 100);
    EXPECT_EQ(DISCONNECT_CONNECT_TIMEOUT, stalled.handler->Reason());
    EXPECT_EQ(0, stalled.handler->connects.load());
    SharedPtr<NetSocket> found;
    EXPECT_FALSE(engine.Query(id, found));
    // Time-out 0 never expires.
    EXPECT_EQ(0, no_deadline.handler->disconnects.load());
    EXPECT_EQ(SOCKET_CONNECTING, no_deadline.socket->GetState());
    engine.Stop(true);
    EXPECT_EQ(1, stalled.handler->disconnects.load());
    EXPECT_EQ(1, no_deadline.handler->disconnects.load());
}

// A close racing the engine's connect step is never lost: every socket
// closed right after its connect request ends closed, with one disconnect.
TEST(NetEngine, CloseRacingConnectIsNeverLost) {
    Listener listener(256);
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    std::vector<Conn> conns;
    for (int i = 0; i < 100; ++i) {
        conns.push_back(NewConn(listener.Port()));
        engine.Add(conns.back().socket);
        if (i % 2)
            std::this_thread::yield();
        conns.back().socket->Close();
    }
    for (auto& c : conns) {
        ASSERT_TRUE(WaitUntil([&] { return c.handler->disconnects.load() == 1; }));
        EXPECT_EQ(DISCONNECT_CLOSED, c.handler->Reason());
    }
    EXPECT_EQ(0ul, engine.GetSocketCount());
    engine.Stop(true);
    for (auto& c : conns)
        EXPECT_EQ(1, c.handler->disconnects.load());
}

// A descriptor the multiplexer refuses closes that socket only, with one
// disconnect, and the engine goes on serving the others.
TEST(NetEngine, RegistrationFailureClosesOnlyThatSocketOnce) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    Conn bad = NewConn(listener.Port(), 0, true, true);
    Conn good = NewConn(listener.Port());
    engine.Add(bad.socket);
    engine.Add(good.socket);
    ASSERT_TRUE(WaitUntil([&] { return bad.handler->disconnects.load() == 1; }));
    EXPECT_EQ(DISCONNECT_CLOSED, bad.handler->Reason());
    ASSERT_TRUE(WaitUntil([&] { return good.handler->connects.load() == 1; }));
    EXPECT_EQ(0, good.handler->disconnects.load());
    engine.Stop(true);
    EXPECT_EQ(1, bad.handler->disconnects.load());
    EXPECT_EQ(1, good.handler->disconnects.load());
}

TEST(NetEngine, StopGivesEachOpenSocketExactlyOneDisconnect) {
    Listener listener;
    StalledPeer stalled_peer;
    std::vector<Conn> conns;
    {
        NetEngine engine;
        ASSERT_EQ(0, engine.Start());
        Conn idle = NewConn(listener.Port(), 0, false);  // never asked to connect
        Conn connected = NewConn(listener.Port());
        Conn connecting = NewConn(stalled_peer.listener.Port());
        Conn swept = NewConn(listener.Port(), 0, false);
        for (auto* c : {&idle, &connected, &connecting, &swept}) {
            ASSERT_NE(0ul, engine.Add(c->socket));
            conns.push_back(*c);
        }
        ASSERT_TRUE(WaitUntil([&] { return connected.handler->connects.load() == 1; }));
        swept.socket->Close();
        ASSERT_TRUE(WaitUntil([&] { return swept.handler->disconnects.load() == 1; }));
        engine.Stop(true);
        for (auto& c : conns)
            EXPECT_EQ(1, c.handler->disconnects.load());
        EXPECT_EQ(0ul, engine.GetSocketCount());
    }
    for (auto& c : conns)
        EXPECT_EQ(1, c.handler->disconnects.load());  // destructor adds none

    // An engine that never ran still tells its sockets when it goes.
    Conn orphan = NewConn(listener.Port(), 0, false);
    {
        NetEngine engine;
        EXPECT_EQ(1ul, engine.Add(orphan.socket));
    }
    EXPECT_EQ(1, orphan.handler->disconnects.load());
    EXPECT_EQ(DISCONNECT_CLOSED, orphan.handler->Reason());
}

// The default table holds 255 sockets (the wake pipe takes the 256th slot);
// an engine sized at start-up holds what it was sized for. Either refuses the
// next socket with 0 and one log line, and takes it once a socket is swept.
TEST(NetEngine, RefusesSocketsBeyondItsConfiguredLimit) {
    for (unsigned long limit : {0ul, 3ul, 600ul}) {
        SCOPED_TRACE(limit);
        LogCapture log;
        std::unique_ptr<NetEngine> engine(limit ? new NetEngine(limit) : new NetEngine);
        unsigned long max = limit ? limit : 255ul;
        EXPECT_EQ(max, engine->MaxSockets());
        ASSERT_EQ(0, engine->Start());
        std::vector<Conn> conns;
        for (unsigned long i = 1; i <= max; ++i) {
            conns.push_back(NewConn(1, 0, false));
            ASSERT_EQ(i, engine->Add(conns.back().socket));
        }
        Conn extra = NewConn(1, 0, false);
        EXPECT_EQ(0ul, engine->Add(extra.socket));
        EXPECT_EQ(1u, log.Count("Too many sockets"));
        EXPECT_EQ(0ul, engine->Add(SharedPtr<NetSocket>()));

        conns[0].socket->Close();
        ASSERT_TRUE(WaitUntil([&] { return engine->GetSocketCount() < max; }));
        EXPECT_EQ(max + 1, engine->Add(extra.socket));
        engine->Stop(true);
        for (auto& c : conns)
            EXPECT_EQ(1, c.handler->disconnects.load());
        EXPECT_EQ(1, extra.handler->disconnects.load());
    }
}

// Past the old fixed table of 255: 400 connections at once, all connected
// and each carrying its own bytes both ways.
TEST(NetEngine, ConfiguredEngineServesMoreThanTheDefaultTable) {
    const int n = 400;
    Listener listener(n);
    NetEngine engine(n + 1);
    ASSERT_EQ(0, engine.Start());
    std::vector<Conn> conns;
    for (int i = 0; i < n; ++i) {
        conns.push_back(NewConn(listener.Port()));
        ASSERT_NE(0ul, engine.Add(conns.back().socket)) << i;
    }
    std::vector<int> peers;
    for (int i = 0; i < n; ++i) {
        int p = listener.Accept();
        ASSERT_GE(p, 0);
        peers.push_back(p);
    }
    for (auto& c : conns)
        ASSERT_TRUE(WaitUntil([&] { return c.handler->connects.load() == 1; }));
    // Peers are accepted in connect order only by chance, so each peer sends
    // its own index and the handler that got it answers with it.
    for (int i = 0; i < n; ++i) {
        std::string msg = std::to_string(i) + ";";
        ASSERT_EQ(static_cast<ssize_t>(msg.size()), write(peers[i], msg.data(), msg.size()));
    }
    std::set<std::string> got;
    for (auto& c : conns) {
        ASSERT_TRUE(WaitUntil([&] { return !c.handler->Data().empty(); }));
        std::string d = c.handler->Data();
        got.insert(d);
        ASSERT_EQ(static_cast<long>(d.size()), c.socket->Send(d.data(), d.size()));
    }
    EXPECT_EQ(static_cast<size_t>(n), got.size());
    for (int i = 0; i < n; ++i) {
        char buf[16] = {};
        std::string want = std::to_string(i) + ";";
        ASSERT_EQ(static_cast<ssize_t>(want.size()), read(peers[i], buf, sizeof(buf)));
        EXPECT_EQ(want, std::string(buf, want.size()));
    }
    engine.Stop(true);
    for (auto& c : conns)
        EXPECT_EQ(1, c.handler->disconnects.load());
    for (int p : peers)
        close(p);
}

// Counts every call the engine makes into a socket.
class CountingSocket : public NetTransmission {
  public:
    explicit CountingSocket(Handler h) : NetTransmission(h) {}
    void RealWrite() override {
        ++touches;
        NetTransmission::RealWrite();
    }
    void RealRead() override {
        ++touches;
        NetTransmission::RealRead();
    }
    void RealTimer(uint64_t now) override {
        ++touches;
        NetTransmission::RealTimer(now);
    }
    uint64_t NextDeadline() override {
        ++touches;
        return NetTransmission::NextDeadline();
    }
    bool WantsWrite() override {
        ++touches;
        return NetTransmission::WantsWrite();
    }
    std::atomic<int> touches{0};
};

// A pass costs the sockets that have something to do: while one connection
// moves a hundred messages and a timer fires on another, a quiet connection
// is never looked at.
TEST(NetEngine, QuietSocketIsNotTouchedWhileOthersWork) {
    Listener listener;
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    Handler qh(new RecordingHandler);
    SharedPtr<CountingSocket> quiet(new CountingSocket(qh));
    quiet->SetRemoteIp("127.0.0.1", listener.Port());
    quiet->Connect(0);
    engine.Add(quiet);
    int qpeer = listener.Accept();
    ASSERT_TRUE(WaitUntil([&] { return qh->writes.load() == 1; }));
    Conn busy = NewConn(listener.Port());
    engine.Add(busy.socket);
    int bpeer = listener.Accept();
    ASSERT_TRUE(WaitUntil([&] { return busy.handler->writes.load() == 1; }));
    Conn timed = NewConn(listener.Port());
    engine.Add(timed.socket);
    int tpeer = listener.Accept();
    ASSERT_TRUE(WaitUntil([&] { return timed.handler->connects.load() == 1; }));

    int before = quiet->touches.load();
    unsigned long passes = engine.GetPassCount();
    timed.socket->SetTimer(5);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(1, write(bpeer, "x", 1));
        ASSERT_TRUE(WaitUntil([&] { return busy.handler->Data().size() == size_t(i + 1); }));
        ASSERT_EQ(1, busy.socket->Send("y", 1));
        char c;
        ASSERT_EQ(1, read(bpeer, &c, 1));
    }
    ASSERT_TRUE(WaitUntil([&] { return timed.handler->timers.load() == 1; }));
    EXPECT_GE(engine.GetPassCount(), passes + 100);
    EXPECT_EQ(before, quiet->touches.load());
    EXPECT_EQ(0, qh->timers.load());

    // Still served when it has something to do.
    ASSERT_EQ(2, write(qpeer, "hi", 2));
    ASSERT_TRUE(WaitUntil([&] { return qh->Data() == "hi"; }));
    EXPECT_GT(quiet->touches.load(), before);
    engine.Stop(true);
    close(qpeer);
    close(bpeer);
    close(tpeer);
}

// Notes, in firing order, the deadline each timer was armed for.
struct TimerLog {
    struct Fire {
        int socket;
        uint64_t armed, at;
    };
    std::mutex mu;
    std::vector<Fire> fires;
};

class TimedSocket : public NetTransmission {
  public:
    TimedSocket(Handler h, TimerLog* log, int index)
        : NetTransmission(h), log_(log), index_(index) {}
    void RealTimer(uint64_t now) override {
        uint64_t armed = timer_at_.load();
        NetTransmission::RealTimer(now);
        if (armed != 0 && now >= armed) {
            std::lock_guard<std::mutex> l(log_->mu);
            log_->fires.push_back({index_, armed, now});
        }
    }

  private:
    TimerLog* log_;
    int index_;
};

// Timers on many sockets fire nearest deadline first, none before its time,
// a moved timer at its new time only, and a disarmed one never.
TEST(NetEngine, TimersFireInDeadlineOrder) {
    Listener listener(32);
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    TimerLog log;
    std::vector<Conn> conns;
    std::vector<int> peers;
    for (int i = 0; i < 8; ++i) {
        Conn c;
        c.socket = SharedPtr<NetSocket>(new TimedSocket(c.handler, &log, i));
        c.socket->SetRemoteIp("127.0.0.1", listener.Port());
        c.socket->Connect(0);
        engine.Add(c.socket);
        peers.push_back(listener.Accept());
        ASSERT_TRUE(WaitUntil([&] { return c.handler->connects.load() == 1; }));
        conns.push_back(c);
    }
    const unsigned long delays[] = {120, 30, 90, 60, 150, 10};
    for (int i = 0; i < 6; ++i)
        conns[i].socket->SetTimer(delays[i]);
    conns[6].socket->SetTimer(5000);
    conns[7].socket->SetTimer(40);
    conns[7].socket->SetTimer(0);
    conns[6].socket->SetTimer(75);
    for (int i = 0; i < 7; ++i)
        ASSERT_TRUE(WaitUntil([&] { return conns[i].handler->timers.load() == 1; })) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, conns[7].handler->timers.load());
    std::lock_guard<std::mutex> l(log.mu);
    ASSERT_EQ(7u, log.fires.size());
    std::set<int> fired;
    for (size_t i = 0; i < log.fires.size(); ++i) {
        const auto& f = log.fires[i];
        fired.insert(f.socket);
        EXPECT_GE(f.at, f.armed) << f.socket;
        if (i > 0) {
            EXPECT_LE(log.fires[i - 1].armed, f.armed) << "socket " << f.socket << " fired early";
        }
    }
    EXPECT_EQ(7u, fired.size());
    EXPECT_EQ(0u, fired.count(7));
    engine.Stop(true);
    for (int p : peers)
        close(p);
}

}  // namespace

// Every frame of every stream rings the engine from the producer's thread
// without a lock. Rings from several threads at once, while other sockets
// come and go, must each lead to a write: a lost one leaves bytes queued
// until the engine's idle wait of a minute, far past this test's deadline.
TEST(NetEngine, RingsFromManyThreadsAreNeverLostWhileSocketsComeAndGo) {
    constexpr int kThreads = 4, kPerThread = 4, kRounds = 400, kMsg = 100;
    Listener listener(64), churn_listener(256);
    NetEngine engine;
    ASSERT_EQ(0, engine.Start());
    std::vector<Conn> conns;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        conns.push_back(NewConn(listener.Port()));
        engine.Add(conns.back().socket);
    }
    std::vector<int> peers;
    for (size_t i = 0; i < conns.size(); ++i)
        peers.push_back(listener.Accept());
    for (auto& c : conns)
        ASSERT_TRUE(WaitUntil([&] { return c.handler->connects.load() == 1; }));

    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            std::string msg(kMsg, static_cast<char>('a' + t));
            for (int r = 0; r < kRounds; ++r)
                for (int k = 0; k < kPerThread; ++k)
                    ASSERT_EQ(kMsg, conns[t * kPerThread + k].socket->Send(msg.data(), kMsg));
        });
    }
    // Rings right after an add race the engine taking the add.
    std::vector<Conn> churned[2];
    std::vector<std::thread> churn;
    for (auto& mine : churned) {
        churn.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                mine.push_back(NewConn(churn_listener.Port()));
                engine.Add(mine.back().socket);
                for (int k = 0; k < 3; ++k)
                    mine.back().socket->Send("x", 1);
                mine.back().socket->Close();
            }
        });
    }
    std::vector<size_t> got(peers.size(), 0);
    auto all_in = [&] {
        bool done = true;
        for (size_t i = 0; i < peers.size(); ++i) {
            char buf[8192];
            ssize_t n;
            while ((n = recv(peers[i], buf, sizeof buf, MSG_DONTWAIT)) > 0)
                got[i] += static_cast<size_t>(n);
            done = done && got[i] == static_cast<size_t>(kRounds) * kMsg;
        }
        return done;
    };
    for (auto& p : producers)
        p.join();
    for (auto& c : churn)
        c.join();
    EXPECT_TRUE(WaitUntil(all_in, 10000));
    for (size_t i = 0; i < peers.size(); ++i) {
        EXPECT_EQ(static_cast<size_t>(kRounds) * kMsg, got[i]) << "peer " << i;
        close(peers[i]);
    }
    for (auto& mine : churned)
        for (auto& c : mine)
            EXPECT_TRUE(WaitUntil([&] { return c.handler->disconnects.load() == 1; }));
    engine.Stop(true);
    for (auto& mine : churned)
        for (auto& c : mine)
            EXPECT_EQ(1, c.handler->disconnects.load());
}

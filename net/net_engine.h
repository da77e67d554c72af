// The one thread that owns every socket of the SDK: it drives each socket's
// connection state machine and calls its read and write steps on readiness.
// It sleeps in epoll until a descriptor is ready, the nearest socket deadline
// comes, or another thread rings (a connect, close, send or write request).
#pragma once

#include <atomic>
#include <map>
#include <vector>

#include "core/mutex.h"
#include "core/shared_ptr.h"
#include "core/thread.h"
#include "net/io_multiplexing.h"
#include "net/net_socket.h"
#include "net/net_socket_pair.h"

namespace kestrel {

class NetEngine : public Thread {
  public:
    // The wake pipe takes one of the multiplexer's slots.
    enum : unsigned long { kMaxSockets = IoMultiplexing::kMaxEvents - 1 };
    enum : unsigned long { kIdleWaitMs = 60000 };

    NetEngine();
    ~NetEngine() override;

    // The socket's id (from 1, never reused), or 0 when refused: a null
    // socket, or kMaxSockets sockets already held.
    unsigned long Add(SharedPtr<NetSocket> socket);
    // False for ids not held (never added, or closed and swept).
    bool Query(unsigned long id, SharedPtr<NetSocket>& out);
    unsigned long GetSocketCount();
    // Passes the loop has run; lets tests and benchmarks see that an idle
    // engine really sleeps.
    unsigned long GetPassCount() const { return passes_.load(); }

  protected:
    int beforeStart() override;
    void beforeStop() override;
    int beforeThread() override;
    int realThread() override;
    int afterThread() override;
    void afterStop() override;

  private:
    class Wake;
    using SocketList = std::vector<SharedPtr<NetSocket>>;

    void disconnectAll();
    bool classify(SocketList& connect, SocketList& check, SocketList& live, SocketList& close);
    void closeSockets(SocketList& close);
    void startConnects(SocketList& connect, SocketList& check);
    void checkConnects(SocketList& check, SocketList& live);
    unsigned long prepareWait(SocketList& live);
    void fireTimers(SocketList& live);
    int serveEvents(SocketList& live);

    unsigned long last_id_ = 0;
    Mutex* mutex_;
    NetSocketPair* pair_;
    IoMultiplexing* io_;
    SharedPtr<Wake> wake_;
    std::map<unsigned long, SharedPtr<NetSocket>> sockets_;
    bool pair_registered_ = false;
    std::atomic<unsigned long> passes_{0};
};

}  // namespace kestrel

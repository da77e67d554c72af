// The one thread that owns every socket of the SDK: it drives each socket's
// connection state machine and calls its read and write steps on readiness.
// It sleeps in epoll until a descriptor is ready, the nearest socket deadline
// comes, or another thread rings (a connect, close, send or write request).
//
// A pass costs what happened, not how many sockets are held: ready
// descriptors lead to their sockets through a table indexed by descriptor,
// a socket that rang comes with its own id, and deadlines wait in a sorted
// set whose head is the next wake-up. A quiet socket is not looked at.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
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
    // Sockets held at once unless the owner asks for more: the multiplexer's
    // classic 256 slots, one of them the wake pipe.
    enum : unsigned long { kDefaultMaxSockets = IoMultiplexing::kMaxEvents - 1 };
    // Far above any camera or recorder; bounds what a wrong setting allocates.
    enum : unsigned long { kMaxSocketsLimit = 1UL << 20 };
    enum : unsigned long { kIdleWaitMs = 60000 };

    // `max_sockets` (1..kMaxSocketsLimit, clamped) is fixed for the engine's
    // life: it sizes the multiplexer and the descriptor table.
    explicit NetEngine(unsigned long max_sockets = kDefaultMaxSockets);
    ~NetEngine() override;

    // The socket's id (from 1, never reused), or 0 when refused: a null
    // socket, or MaxSockets() sockets already held (one ERROR line).
    unsigned long Add(SharedPtr<NetSocket> socket);
    // False for ids not held (never added, or closed and swept).
    bool Query(unsigned long id, SharedPtr<NetSocket>& out);
    unsigned long GetSocketCount();
    unsigned long MaxSockets() const { return max_sockets_; }
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
    class SocketWake;
    struct Entry;
    // Why a socket is looked at in a pass.
    enum : unsigned { kReadable = 1, kWritable = 2, kDue = 4, kRang = 8 };
    // Write turns a socket gets in one visit while the kernel takes all it writes.
    enum : int { kTurnsPerVisit = 8 };

    void disconnectAll();
    bool serveRequests();
    bool fireDeadlines();
    bool serveEvents();
    unsigned long nextWait();
    // Runs the socket's next step; false only for a state the engine does
    // not know, which ends the thread. The entry may be gone afterwards.
    bool visit(Entry* e, unsigned why, uint64_t now);
    void moreTurns(NetSocket* s);
    void registerFd(Entry* e);
    void rearm(Entry* e);
    void arm(Entry* e, uint64_t key);
    void sweep(Entry* e);
    Entry* find(unsigned long id);

    const unsigned long max_sockets_;
    unsigned long last_id_ = 0;
    Mutex* mutex_;
    NetSocketPair* pair_;  // the doorbell's, which outlives the engine
    IoMultiplexing* io_;
    SharedPtr<Wake> wake_;
    // Guarded by mutex_: what Query and Add see.
    std::unordered_map<unsigned long, SharedPtr<NetSocket>> sockets_;
    // Engine thread only.
    std::unordered_map<unsigned long, std::unique_ptr<Entry>> entries_;
    std::vector<Entry*> by_fd_;
    std::set<std::pair<uint64_t, unsigned long>> deadlines_;
    // Doorbells of swept sockets that may still be on the rang stack; kept
    // until the engine next takes it.
    std::vector<SharedPtr<SocketWake>> retired_;
    bool pair_registered_ = false;
    std::atomic<unsigned long> passes_{0};
};

}  // namespace kestrel

// The one thread that owns every socket of the SDK: it drives each socket's
// connection state machine and calls its read and write steps on readiness.
#ifndef KESTREL_NET_NET_ENGINE_H
#define KESTREL_NET_NET_ENGINE_H

#include <map>

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
    enum : unsigned long { kIdleWaitMs = 60000, kPassSleepMs = 30, kIoWaitMs = 30 };

    NetEngine();
    ~NetEngine() override;

    // The socket's id (from 1, never reused), or 0 when refused: a null
    // socket, or kMaxSockets sockets already held.
    unsigned long Add(SharedPtr<NetSocket> socket);
    // False for ids not held (never added, or closed and swept).
    bool Query(unsigned long id, SharedPtr<NetSocket>& out);
    unsigned long GetSocketCount();

  protected:
    int beforeStart() override;
    void beforeStop() override;
    int realThread() override;
    int afterThread() override;
    void afterStop() override;

  private:
    void disconnectAll();

    unsigned long last_id_ = 0;
    Mutex* mutex_;
    NetSocketPair* pair_;
    IoMultiplexing* io_;
    std::map<unsigned long, SharedPtr<NetSocket>> sockets_;
    bool pair_registered_ = false;
};

}  // namespace kestrel

#endif  // KESTREL_NET_NET_ENGINE_H

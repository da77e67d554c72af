// What the network engine drives: a connection state machine with a
// descriptor. The engine reads the state on its own thread; other threads
// change it (connect requests, Close), so it is atomic.
#ifndef KESTREL_NET_NET_SOCKET_H
#define KESTREL_NET_NET_SOCKET_H

#include <atomic>

namespace kestrel {

enum NetSocketState {
    SOCKET_IDLE = 0,        // created, no connect requested
    SOCKET_CONNECT = 1,     // connect requested, not yet started
    SOCKET_CONNECTING = 2,  // non-blocking connect in progress
    SOCKET_CONNECTED = 3,   // connected, data flows
    SOCKET_CLOSING = 4,     // to be removed and closed by the engine
};

enum NetSocketDisconnectResult {
    DISCONNECT_PEER_CLOSED = 0,
    DISCONNECT_ILLEGAL_IP = 1,
    DISCONNECT_CONNECT_TIMEOUT = 2,
    DISCONNECT_STATUS_ERROR = 3,
    DISCONNECT_READ_ERROR = 4,
    DISCONNECT_SOCKET_ERROR = 5,
    DISCONNECT_CONNECT_FAILED = 6,
    DISCONNECT_CLOSED = 7,
};

class NetSocket {
  public:
    virtual ~NetSocket() = default;

    int GetState() const { return state_.load(); }
    void SetState(int state) { state_.store(state); }
    int GetFd() const { return fd_; }
    bool IsRegistered() const { return registered_; }
    void SetRegistered(bool registered) { registered_ = registered; }

    // Called only on the engine thread.
    // State 1: create the descriptor and start the connect (-> 2 or 4).
    virtual void RealConnect() = 0;
    // State 2: true when the connect deadline has passed and the socket has
    // moved to 4.
    virtual bool RealConnectCheck() = 0;
    // The descriptor is writable (also how the end of a connect shows).
    virtual void RealWrite() = 0;
    virtual void RealRead() = 0;
    // Tells the owner the socket is gone (exactly once) and closes the descriptor.
    virtual void RealDisconnect() = 0;

    // Any thread: asks the engine to tear the socket down on its next pass.
    virtual void Close() = 0;

  protected:
    int fd_ = 0;  // 0 until created
    std::atomic<int> state_{SOCKET_IDLE};
    bool registered_ = false;  // engine thread only
};

}  // namespace kestrel

#endif  // KESTREL_NET_NET_SOCKET_H

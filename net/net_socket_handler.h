// What a client of the socket layer implements. Every callback runs on the
// network engine thread, one at a time across all sockets.
#pragma once

#include "net/net_socket.h"

namespace kestrel {

class NetSocketHandler {
  public:
    virtual ~NetSocketHandler() = default;
    // TCP is connected (for TLS: before the handshake; what is sent from here
    // waits until the handshake ends).
    virtual void OnConnect() = 0;
    // Exactly once per socket, whatever ended it.
    virtual void OnDisConnect(NetSocketDisconnectResult reason) = 0;
    // Every received and not yet consumed byte; returns how many it consumed
    // (0..len). The rest is offered again, with newer bytes behind it. A
    // negative result closes the socket with DISCONNECT_READ_ERROR.
    virtual long OnData(const char* data, unsigned long len) = 0;
    // The socket's own queue is empty and it can take more: the pull point
    // for streaming. A negative result closes it with DISCONNECT_SOCKET_ERROR.
    virtual long OnWrite() = 0;
    // The one-shot timer armed with NetConnector::SetTimer is due.
    virtual void OnTimer() {}
};

}  // namespace kestrel

// The one way the SDK opens a network connection. Sockets are named by the id
// the engine gives them; every call may come from any thread, every handler
// callback arrives on the engine thread.
#pragma once

#include <string>

#include "core/shared_ptr.h"
#include "net/net_socket_handler.h"

namespace kestrel {

class NetEngine;
class DnsService;

enum NetConnectProtocol { NET_PROTOCOL_TCP = 0, NET_PROTOCOL_UDP = 1 };

class NetConnector {
  public:
    // Starts the engine thread and the DNS service; 0 when already started.
    static int Start();
    // Every open socket's handler gets its one OnDisConnect.
    static void Stop();
    static bool IsStarted();

    // A TLS socket when ca/ca_len name a PEM trust anchor, else plain. The
    // id (> 0), or 0 when the connector is not started or holds too many
    // sockets. A TLS socket whose set-up failed still gets an id; it closes
    // with DISCONNECT_SOCKET_ERROR on its first write step.
    static unsigned long Create(SharedPtr<NetSocketHandler> handler, int protocol,
                                const char* ca, unsigned long ca_len);
    // Host name or dotted IPv4; timeout_ms bounds name resolution and the
    // TCP connect (0: the default bound for names, none for the connect).
    static void Connect(unsigned long id, const std::string& host, unsigned short port,
                        unsigned long timeout_ms);
    // len, or -1 when the id is gone, TLS is not set up or the queue would
    // pass 1 MiB (nothing is queued then: a message goes in whole or not at all).
    static long Send(unsigned long id, const char* data, unsigned long len);
    // Bytes queued and not yet written (ciphertext included for TLS); -1 when
    // the id is gone. Lets a streaming client check room before taking a frame.
    static long Pending(unsigned long id);
    static void Close(unsigned long id);
    static void SetLogInfo(unsigned long id, const std::string& info);
};

}  // namespace kestrel

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
    // How many sockets the engine may hold at once, fixed when Start() builds
    // it (default 255, the classic 256-slot multiplexer less its wake pipe).
    // A recorder with many channels (live, pre-event and storage streams per
    // channel, plus DNS and uploads) sizes it before Start(); the process's
    // descriptor limit (RLIMIT_NOFILE) must allow as many. 0 when taken, -1
    // for 0 or above NetEngine::kMaxSocketsLimit, or while started.
    static int SetMaxSockets(unsigned long n);
    static unsigned long GetMaxSockets();

    // A TLS socket when ca/ca_len name a PEM trust anchor, else plain. The
    // id (> 0), or 0 when the connector is not started or holds too many
    // sockets. A TLS socket whose set-up failed still gets an id; it closes
    // with DISCONNECT_SOCKET_ERROR on its first write step.
    static unsigned long Create(SharedPtr<NetSocketHandler> handler, int protocol, const char* ca,
                                unsigned long ca_len);
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
    // Gives the handler an OnWrite turn on the next writable pass although
    // nothing is queued: the engine does not poll for writability, so a
    // handler that declined a turn asks again when it has data to pull.
    // (A drained queue grants a turn by itself.)
    static void RequestWrite(unsigned long id);
    // One-shot OnTimer after delay_ms on the engine thread (0 disarms); lets
    // a client bound what it waits for without a thread of its own.
    static void SetTimer(unsigned long id, unsigned long delay_ms);
    // Tests and deployments with a private CA: when set, every TLS socket
    // trusts this PEM instead of the anchor its creator passed. Empty clears it.
    static void SetTrustAnchorOverride(const std::string& pem);
    static void SetLogInfo(unsigned long id, const std::string& info);
    // TCP keep-alive for a connection where the device may wait on the peer
    // with nothing queued; call before Connect. idle_s 0 turns it off.
    static void SetKeepAlive(unsigned long id, int idle_s, int interval_s, int count);
    // The socket behind an id, for a client that drives it from the engine
    // thread without a look-up per message (empty when the id is gone). The
    // socket holds its handler: a handler that keeps the socket drops it in
    // OnDisConnect.
    static SharedPtr<NetSocket> Find(unsigned long id);
    // Sockets the engine holds (0 when not started): lets tests see a leak.
    static unsigned long SocketCount();
};

}  // namespace kestrel

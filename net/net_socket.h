// What the network engine drives: a connection state machine over one
// descriptor. Client threads request (connect, close, send, ask for a write
// turn); the engine thread acts. Every request from another thread wakes the
// engine, so it can sleep until the next event or deadline.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/shared_buffer.h"
#include "core/shared_ptr.h"
#include "proto/io_pieces.h"

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

// The engine's doorbell, shared with its sockets so that a socket outliving
// the engine rings nothing. Rings coalesce until the engine starts its next pass.
class NetWake {
  public:
    virtual ~NetWake() = default;
    virtual void Ring() = 0;
};

class NetSocket {
  public:
    NetSocket();
    virtual ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // --- transport: what a concrete socket does with the bytes ---
    // Any thread: queue bytes whole (len) or not at all (-1).
    virtual long Send(const char* data, unsigned long len) = 0;
    // Engine thread only: one message in pieces, queued whole or not at all
    // (total, or -1 when it would pass the queue's bound or the socket
    // failed). Transient pieces are copied if the message has to wait; the
    // others are kept by reference, `keep` holding their memory until they
    // are written. Without `keep` every byte that has to wait is copied:
    // once the call returns, nothing the caller passed is referred to, so
    // the pieces may point into memory that is reused right after (a frame
    // ring). This one flattens the pieces into Send; a socket that can
    // write them as they are overrides it.
    virtual long SendPieces(const IoPieces& pieces, const SharedPtr<SharedBytes>& keep);
    // Any thread: bytes queued and not yet written.
    virtual long Pending() = 0;
    virtual void OnConnect() = 0;
    virtual void OnDisConnect(NetSocketDisconnectResult reason) = 0;
    // Received bytes; `last` when no more are waiting in the kernel, which is
    // when they are handed on. Negative closes with DISCONNECT_READ_ERROR.
    virtual long OnRead(const char* data, unsigned long len, bool last) = 0;
    // Writable: write what is queued, or give the owner its turn. Negative
    // closes with DISCONNECT_SOCKET_ERROR.
    virtual long OnWrite() = 0;
    // Whether the engine should wait for writability.
    virtual bool WantsWrite() = 0;
    // The timer armed with SetTimer is due.
    virtual void OnTimer() {}
    // The name the peer is expected to prove (TLS); set before the connect.
    virtual void SetServerName(const std::string&) {}

    // --- client side: any thread ---
    void SetLogInfo(const std::string& info);
    std::string LogInfo();
    void SetConnectProtocol(int protocol) { protocol_ = protocol; }
    void SetRemoteIp(const std::string& ip, unsigned short port);
    void Connect(unsigned long timeout_ms);
    virtual void Close();
    // Asks for an OnWrite turn even though nothing is queued (more data to pull).
    void RequestWrite();
    // One-shot timer relative to now; 0 disarms it.
    void SetTimer(unsigned long delay_ms);
    // TCP keep-alive, applied when the socket is created (set before
    // Connect): a peer that vanishes while nothing is queued is still noticed.
    void SetKeepAlive(int idle_s, int interval_s, int count);

    // --- engine thread ---
    virtual void RealConnect();
    virtual bool RealConnectCheck();
    virtual void RealWrite();
    virtual void RealRead();
    virtual void RealDisconnect();
    // Earliest monotonic ms at which the engine must look at this socket; 0 = none.
    virtual uint64_t NextDeadline();
    // Fires the timer when due.
    virtual void RealTimer(uint64_t now_ms);

    int GetState() const { return state_.load(); }
    void SetState(int state) { state_.store(state); }
    int GetFd() const { return fd_; }
    bool IsRegistered() const { return registered_; }
    void SetRegistered(bool registered) { registered_ = registered; }
    bool WriteInterest() const { return write_interest_; }
    void SetWriteInterest(bool on) { write_interest_ = on; }
    void SetWake(SharedPtr<NetWake> wake);
    int GetReason() const { return reason_.load(); }

  protected:
    // Moves to closing with `reason` unless already closing.
    void fail(NetSocketDisconnectResult reason);
    long privateSend(const char* data, unsigned long len);
    // Gathered write: bytes written (maybe fewer than offered), 0 when the
    // kernel buffer is full, -1 on error (logged).
    long privateSendv(const struct iovec* iov, int count);
    bool takeWriteRequest() { return write_requested_.exchange(false); }
    bool writeRequested() const { return write_requested_.load(); }
    void ring();

    static constexpr unsigned long kReadBufferLen = 16384;
    // A read pass stops after this much so one busy peer cannot starve the others.
    static constexpr unsigned long kReadBudget = 1024 * 1024;

    char read_buffer_[kReadBufferLen];
    unsigned short remote_port_ = 0;
    int fd_ = -1;  // -1 until created: 0 is a valid descriptor
    int protocol_ = 0;
    std::atomic<int> state_{SOCKET_IDLE};
    std::atomic<uint64_t> connect_deadline_{0};  // 0 = none
    std::atomic<uint64_t> timer_at_{0};          // 0 = none
    bool registered_ = false;                    // engine thread only
    bool write_interest_ = false;                // engine thread only
    std::atomic<int> reason_{DISCONNECT_PEER_CLOSED};
    std::atomic<bool> write_requested_{false};
    std::string remote_ip_;
    std::atomic<int> keepalive_idle_s_{0};  // 0 = off
    int keepalive_interval_s_ = 0;
    int keepalive_count_ = 0;

  private:
    std::mutex info_mutex_;
    std::string log_info_;
    SharedPtr<NetWake> wake_;
};

namespace NetSocketCommon {
int MakeNonBlock(int fd);
bool ErrorWouldBlock();
bool IpValid(const std::string& ip);
}  // namespace NetSocketCommon

}  // namespace kestrel

// The self-wake pipe of an event loop: any thread writes a byte to the write
// end, the loop polls the read end and drains it.
#ifndef KESTREL_NET_NET_SOCKET_PAIR_H
#define KESTREL_NET_NET_SOCKET_PAIR_H

#include <atomic>

namespace kestrel {

class NetSocketPair {
  public:
    NetSocketPair() = default;
    ~NetSocketPair();
    NetSocketPair(const NetSocketPair&) = delete;
    NetSocketPair& operator=(const NetSocketPair&) = delete;

    // The loop's owner: Start, GetReadFd, Readable, Stop and IsClosed, never
    // at the same time as each other.
    int Start();
    int GetReadFd() const { return read_fd_; }
    bool IsClosed() const { return closed_.load(); }
    // Drains the read end; end of stream or a hard error stops the pair.
    void Readable();
    // Waits for Sends in flight (one non-blocking write each) to leave
    // before the descriptors close.
    void Stop();

    // Any thread, without a lock: it is how every frame wakes the loop.
    // Bytes written, or -1 when closed or the write failed. A full pipe counts
    // as delivered: the loop already has unread wake bytes waiting.
    long Send(const char* data, unsigned long len);

  private:
    // A Send counts itself in before it looks at closed_, and Stop marks
    // closed_ before it waits for the count to drain, so no Send writes to
    // a descriptor number already closed (and perhaps reused).
    std::atomic<bool> closed_{true};
    std::atomic<int> senders_{0};
    std::atomic<int> write_fd_{-1};
    int read_fd_ = -1;
    char buffer_[256];
};

}  // namespace kestrel

#endif  // KESTREL_NET_NET_SOCKET_PAIR_H

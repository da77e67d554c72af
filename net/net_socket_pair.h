// The self-wake pipe of an event loop: any thread writes a byte to the write
// end, the loop polls the read end and drains it.
#ifndef KESTREL_NET_NET_SOCKET_PAIR_H
#define KESTREL_NET_NET_SOCKET_PAIR_H

#include <mutex>

namespace kestrel {

class NetSocketPair {
  public:
    NetSocketPair() = default;
    ~NetSocketPair();
    NetSocketPair(const NetSocketPair&) = delete;
    NetSocketPair& operator=(const NetSocketPair&) = delete;

    int Start();
    // Bytes written, or -1 when closed or the write failed. A full pipe counts
    // as delivered: the loop already has unread wake bytes waiting.
    long Send(const char* data, unsigned long len);
    int GetReadFd();
    bool IsClosed();
    // Drains the read end; end of stream or a hard error stops the pair.
    void Readable();
    void Stop();

  private:
    void stopLocked();

    // Send may run on any thread while the loop stops the pair; the lock keeps
    // a late Send from writing to a descriptor number already closed (and
    // perhaps reused).
    std::mutex mutex_;
    bool closed_ = true;
    int write_fd_ = -1;
    int read_fd_ = -1;
    char buffer_[256];
};

}  // namespace kestrel

#endif  // KESTREL_NET_NET_SOCKET_PAIR_H

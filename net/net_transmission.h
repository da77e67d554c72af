// Plain buffered transport: bytes queued by any thread leave on writable
// passes; received bytes wait in the read queue until the handler takes them.
// Messages in pieces (engine thread) are written with one gathered write
// when nothing waits before them, and otherwise queued as descriptors that
// point at the pieces: a partial write resumes in the middle of a piece.
// A connection uses one way or the other: bytes queued with Send go out
// before any queued pieces.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "core/auto_grow_buffer.h"
#include "core/shared_ptr.h"
#include "net/net_socket.h"
#include "net/net_socket_handler.h"

namespace kestrel {

class NetTransmission : public NetSocket {
  public:
    explicit NetTransmission(SharedPtr<NetSocketHandler> handler);
    ~NetTransmission() override;

    long Send(const char* data, unsigned long len) override;
    long SendPieces(const IoPieces& pieces, const SharedPtr<SharedBytes>& keep) override;
    long Pending() override;
    void OnConnect() override;
    void OnDisConnect(NetSocketDisconnectResult reason) override;
    long OnRead(const char* data, unsigned long len, bool last) override;
    long OnWrite() override;
    bool WantsWrite() override;
    void OnTimer() override;

  private:
    static long writeOut(void* self, const char* data, unsigned long len);
    static long deliver(void* self, const char* data, unsigned long len);

    // A message that could not be written whole at once.
    struct Queued {
        std::vector<struct iovec> iov;
        size_t next = 0;  // first iovec not written whole
        std::unique_ptr<uint8_t[]> copies;  // the transient pieces' bytes
        SharedPtr<SharedBytes> keep;
    };
    // Writes queued descriptors; bytes written, or -1.
    struct PieceCursor {
        size_t piece = 0;
        size_t skip = 0;  // bytes of `piece` already written
    };
    long writeNow(const IoPieces& pieces, PieceCursor& at);
    void queueRest(const IoPieces& pieces, PieceCursor at, const SharedPtr<SharedBytes>& keep);
    long writeQueued();

    SharedPtr<NetSocketHandler> handler_;
    AutoGrowBuffer write_queue_;
    AutoGrowBuffer read_queue_;
    std::deque<Queued> queued_;  // engine thread only
    // Bytes waiting in write_queue_ and queued_: read without a lock from
    // any thread (Pending, WantsWrite).
    std::atomic<long> byte_pending_{0};
    std::atomic<long> piece_pending_{0};
};

}  // namespace kestrel

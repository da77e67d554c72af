// Plain buffered transport: bytes queued by any thread leave on writable
// passes; received bytes wait in the read queue until the handler takes them.
#pragma once

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

    SharedPtr<NetSocketHandler> handler_;
    AutoGrowBuffer write_queue_;
    AutoGrowBuffer read_queue_;
};

}  // namespace kestrel

// A small event-driven HTTP/1.1 client for uploads to object storage, plain
// or TLS as its connector is created. Responses are framed by Content-Length
// only; a response the client cannot frame ends the connection.
//
// Everything reaching the handler runs on the network engine thread. Bodies
// are handed to OnBody in pieces as they arrive (together they make exactly
// Content-Length bytes), so a body may be larger than the connector's receive
// queue. Uploads are pulled: OnWrite says the socket's queue is empty, and the
// handler feeds the next piece with SendContent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/shared_ptr.h"
#include "net/net_socket_handler.h"
#include "proto/http.h"

namespace kestrel {

class HttpClientHandler {
  public:
    virtual ~HttpClientHandler() = default;
    virtual void OnConnect() = 0;
    // A valid head the client can frame. Content-Length 0 means no body follows.
    virtual void OnHeader(const HttpResponseParse& response) = 0;
    // The next piece of the current body.
    virtual void OnBody(const char* data, size_t len) = 0;
    // The socket's queue is empty: room for the next piece of an upload.
    virtual void OnWrite() = 0;
    // Exactly once, whatever ended the connection; nothing follows it.
    virtual void OnDisconnect() = 0;
    // The one-shot timer armed with HttpClient::SetTimer is due.
    virtual void OnTimer() {}
};

class HttpClient : public NetSocketHandler {
  public:
    // TLS when ca/ca_len name a PEM trust anchor, else plain TCP. Empty when
    // the connector cannot take another socket (it is not started or full).
    static SharedPtr<HttpClient> Create(SharedPtr<HttpClientHandler> handler, const char* ca,
                                        size_t ca_len);

    // Host name or dotted IPv4; timeout_ms bounds the name lookup and connect.
    void ConnectAddr(const std::string& host, unsigned short port, unsigned long timeout_ms);
    // The head; -1 when it cannot be written or the connector refuses it,
    // else the bytes queued.
    long SendRequest(const HttpRequestConstruct& request);
    // Body bytes, queued whole or not at all: -1 when they do not fit the
    // socket's queue (1 MiB less what Pending() reports) or it is gone.
    long SendContent(const char* data, size_t len);
    // Bytes queued and not yet written; -1 when the socket is gone.
    long Pending() const;
    // Asks for another OnWrite although nothing is queued: for a handler
    // that had nothing to send at its last turn and has data now.
    void RequestWrite();
    // One-shot OnTimer to the handler after delay_ms (0 disarms): lets an
    // upload bound how long it waits for the peer.
    void SetTimer(unsigned long delay_ms);
    void Close();
    unsigned long Id() const { return id_; }

    // NetSocketHandler, on the engine thread.
    void OnConnect() override;
    void OnDisConnect(NetSocketDisconnectResult reason) override;
    long OnData(const char* data, unsigned long len) override;
    long OnWrite() override;
    void OnTimer() override;

  private:
    explicit HttpClient(SharedPtr<HttpClientHandler> handler) : handler_(std::move(handler)) {}
    long TakeHead(const char* data, size_t len);
    void TakeBody(const char* data, size_t len);

    unsigned long id_ = 0;
    bool attached_ = false;
    std::atomic<bool> closed_{false};
    SharedPtr<HttpClientHandler> handler_;
    HttpResponseParse parser_;
    bool reading_body_ = false;
    uint64_t body_left_ = 0;
};

}  // namespace kestrel

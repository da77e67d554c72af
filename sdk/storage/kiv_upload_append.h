// Appends to one object of the object store: "POST /KEY?append&position=N"
// signed with temporary credentials, over one kept-alive HTTP(S) connection.
//
// One append is in flight at a time: the next position is only known from
// the reply to the previous one, and a reply is only accepted when it names
// exactly the position the store must have reached (position + length). A
// refused or unusable reply, a stall, or a body the socket cannot take ends
// the connection; the owner then hears OnClose and abandons the object
// rather than append at a guessed position.
//
// Everything but Create, Connect and Close runs on the network engine thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/shared_ptr.h"
#include "net/http_client.h"
#include "sdk/storage/kiv_identify.h"

namespace kestrel {

class KivUploadHandler {
  public:
    virtual ~KivUploadHandler() = default;
    // The connection is up: appends may start.
    virtual void OnConnect() = 0;
    // One append answered: 0 stored (the position moved on), -1 refused.
    virtual void OnResult(int result) = 0;
    // Connected, nothing in flight and the socket drained.
    virtual void OnWrite() = 0;
    // Once, whatever ended the connection; nothing follows it. `reason` is
    // kKivCloseRefused when the store refused the credentials (403), else
    // kKivCloseFailed.
    virtual void OnClose(int reason) = 0;
};

enum : int { kKivCloseFailed = -1, kKivCloseRefused = -403 };

// How long the connect may take, and how long an append may wait for its
// reply once its last byte is queued.
struct KivAppendLimits {
    unsigned long connect_ms = 10000;
    unsigned long reply_ms = 15000;
};
void kiv_append_set_limits(const KivAppendLimits& limits);
KivAppendLimits kiv_append_limits();

class KivUploadAppend : public HttpClientHandler {
  public:
    static SharedPtr<KivUploadAppend> Create(SharedPtr<KivUploadHandler> handler, const char* ca,
                                             size_t ca_len);

    // Once only. `port` is used unless the endpoint names its own. -1
    // (logged) for a second call or an endpoint that cannot be used.
    int Connect(unsigned short port, const KivUploadIdentify& identify);
    // Whether Connect could use the endpoint ("host[:port]", port 1..65535).
    static bool EndpointUsable(const std::string& endpoint);
    // The next appends go to `name` (behind the credentials' prefix); a new
    // name starts at position 0. Credentials given here sign from now on.
    void SetObject(const std::string& name, const KivUploadIdentify* identify = nullptr);
    // 0 when the request is queued. -1 (logged) when not connected, an
    // append is still in flight, the connection is ending, or the request
    // cannot be made; a request that was half queued also closes.
    int Append(const char* data, size_t len);
    // Releases the connection whether or not Connect was called.
    void Close();
    void RequestWrite();
    // While idle: one more OnWrite turn after delay_ms, for a batch that
    // waits to fill.
    void ArmTurn(unsigned long delay_ms);

    bool Idle() const { return connected_ && !in_flight_ && !closing_; }
    const std::string& Object() const { return object_; }
    uint64_t Position() const { return position_; }
    // The full key of the current object (prefix and name).
    std::string Key() const { return identify_.file_name_prefix_ + object_; }

    // HttpClientHandler, on the engine thread.
    void OnConnect() override;
    void OnHeader(const HttpResponseParse& response) override;
    void OnBody(const char*, size_t) override {}
    void OnWrite() override;
    void OnDisconnect() override;
    void OnTimer() override;

  private:
    explicit KivUploadAppend(SharedPtr<KivUploadHandler> handler) : handler_(std::move(handler)) {}
    void fail(const char* why);

    SharedPtr<KivUploadHandler> handler_;
    WeakPtr<HttpClient> client_;
    KivUploadIdentify identify_;
    std::string object_;
    uint64_t position_ = 0;
    uint64_t sent_len_ = 0;  // length of the append in flight
    bool connect_called_ = false;
    bool connected_ = false;
    bool in_flight_ = false;
    bool closing_ = false;
    int close_reason_ = kKivCloseFailed;
};

}  // namespace kestrel

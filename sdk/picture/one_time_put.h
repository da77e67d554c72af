// One picture, one HTTP PUT: to a pre-signed URL the cloud supplied
// (OneTimePutDirect) or to the bucket with temporary credentials
// (OneTimePutSts). Both run through the upload pool; every upload that is
// started reports exactly one OnResult, whatever ends it.
#pragma once

#include <string>

#include "core/async_process.h"
#include "core/shared_buffer.h"
#include "core/shared_ptr.h"
#include "net/http_client.h"
#include "sdk/storage/kiv_identify.h"

namespace kestrel {

class OneTimePutHandler {
  public:
    virtual ~OneTimePutHandler() = default;
    virtual void OnResult(bool success) = 0;
};

// Bounds of one upload: the name lookup and connect, and any wait for the
// peer after that (re-armed whenever the transfer makes progress).
struct OneTimePutLimits {
    unsigned long connect_ms = 10000;
    unsigned long stall_ms = 30000;
};
void one_time_put_set_limits(const OneTimePutLimits& limits);
OneTimePutLimits one_time_put_limits();

class OneTimePutProcess : public HttpClientHandler {
  public:
    enum : unsigned long { kChunk = 131072, kAnswerBodyMax = 65536 };

    OneTimePutProcess(AsyncProcessPool* pool, SharedPtr<OneTimePutHandler> handler,
                      std::string prefix);
    ~OneTimePutProcess() override;

    void SetHttpClient(const SharedPtr<HttpClient>& client) { client_ = client; }
    void SendContent(const SharedPtr<SharedBuffer>& body) { body_ = body; }
    // Reports failure now, for an upload that could not be started.
    void Fail(const char* why);

    void OnConnect() override;
    void OnHeader(const HttpResponseParse& response) override;
    void OnBody(const char* data, size_t len) override;
    void OnWrite() override;
    void OnDisconnect() override;
    void OnTimer() override;

  private:
    void report(bool success);
    void arm();
    void closeClient();

    SharedPtr<SharedBuffer> body_;
    unsigned long sent_ = 0;
    WeakPtr<HttpClient> client_;
    bool success_ = false;
    bool reported_ = false;
    int status_ = 0;
    unsigned long answer_left_ = 0;
    AsyncProcessCount* token_;
    SharedPtr<OneTimePutHandler> handler_;
    std::string prefix_;
};

class OneTimePutDirect : public AsyncProcess {
  public:
    OneTimePutDirect(AsyncProcessPool* pool, SharedPtr<OneTimePutHandler> handler)
        : pool_(pool), handler_(std::move(handler)) {}
    void SetAddr(const std::string& url, const std::string& prefix) {
        url_ = url;
        prefix_ = prefix;
    }
    void SendContent(const SharedPtr<SharedBuffer>& body) { body_ = body; }
    void Run() override;

  private:
    void fail(const char* why);

    AsyncProcessPool* pool_;
    std::string url_;
    SharedPtr<OneTimePutHandler> handler_;
    SharedPtr<SharedBuffer> body_;
    std::string prefix_;
};

class OneTimePutSts : public AsyncProcess {
  public:
    OneTimePutSts(AsyncProcessPool* pool, SharedPtr<OneTimePutHandler> handler)
        : pool_(pool), handler_(std::move(handler)) {}
    // The identity's file_name_prefix_ is the full object name here.
    void SetIdentify(const KivUploadIdentify& identify, const std::string& prefix) {
        identify_ = identify;
        prefix_ = prefix;
    }
    void SendContent(const SharedPtr<SharedBuffer>& body) { body_ = body; }
    void Run() override;

  private:
    void fail(const char* why);

    AsyncProcessPool* pool_;
    SharedPtr<OneTimePutHandler> handler_;
    SharedPtr<SharedBuffer> body_;
    KivUploadIdentify identify_;
    std::string prefix_;
};

// Splits "host[:port]"; -1 when the port is not a number in 1..65535.
int split_endpoint(const std::string& endpoint, std::string& host, unsigned short& port);

}  // namespace kestrel

#include "sdk/picture/one_time_put.h"

#include <cstdlib>
#include <mutex>

#include "core/logger.h"
#include "net/url_parse.h"
#include "proto/storage_sign.h"
#include "sdk/storage/kiv_ca.h"
#include "sdk/storage/kiv_upload_assistant.h"

namespace kestrel {

namespace {

std::mutex g_limits_mutex;
OneTimePutLimits g_limits;

// The path without its query: pre-signed URLs carry their signature there.
std::string PathOnly(const std::string& path) {
    return path.substr(0, path.find('?'));
}

}  // namespace

void one_time_put_set_limits(const OneTimePutLimits& limits) {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    g_limits = limits;
}

OneTimePutLimits one_time_put_limits() {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    return g_limits;
}

int split_endpoint(const std::string& endpoint, std::string& host, unsigned short& port) {
    size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos) {
        host = endpoint;
        return 0;
    }
    std::string digits = endpoint.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    unsigned long value = strtoul(digits.c_str(), nullptr, 10);
    if (value == 0 || value > 65535 || colon == 0) {
        return -1;
    }
    host = endpoint.substr(0, colon);
    port = static_cast<unsigned short>(value);
    return 0;
}

// --- OneTimePutProcess -------------------------------------------------------

OneTimePutProcess::OneTimePutProcess(AsyncProcessPool* pool, SharedPtr<OneTimePutHandler> handler,
                                     std::string prefix)
    : token_(new AsyncProcessCount(pool)),
      handler_(std::move(handler)),
      prefix_(std::move(prefix)) {}

OneTimePutProcess::~OneTimePutProcess() {
    // An upload dropped without its disconnect (the engine went away) still
    // owes its owner a result.
    report(false);
    body_ = SharedPtr<SharedBuffer>();
    delete token_;
}

void OneTimePutProcess::report(bool success) {
    if (reported_) {
        return;
    }
    reported_ = true;
    if (handler_) {
        handler_->OnResult(success);
    }
}

void OneTimePutProcess::Fail(const char* why) {
    KS_LOGE("%s Put picture not started: %s", prefix_.c_str(), why);
    report(false);
}

void OneTimePutProcess::arm() {
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->SetTimer(one_time_put_limits().stall_ms);
    }
}

void OneTimePutProcess::OnConnect() {
    arm();
}

void OneTimePutProcess::OnWrite() {
    if (!body_ || sent_ >= body_->GetLen()) {
        return;
    }
    SharedPtr<HttpClient> client = client_.Lock();
    if (!client) {
        return;
    }
    unsigned long left = body_->GetLen() - sent_;
    unsigned long piece = left < kChunk ? left : static_cast<unsigned long>(kChunk);
    if (client->SendContent(body_->GetData() + sent_, piece) < 0) {
        KS_LOGE("%s Put picture body not queued at %lu of %lu bytes", prefix_.c_str(), sent_,
                body_->GetLen());
        client->Close();
        return;
    }
    sent_ += piece;
    arm();
}

void OneTimePutProcess::OnHeader(const HttpResponseParse& response) {
    status_ = response.GetStatusCode();
    // Only a final 200 stores the object (interim answers never get here).
    success_ = status_ == 200 && body_ && sent_ == body_->GetLen();
    if (!success_) {
        KS_LOGE("%s Put picture answered %d %s", prefix_.c_str(), status_,
                response.GetReason().c_str());
    }
    // A short answer body is read to its end so the connection closes
    // cleanly; anything longer is of no interest and is cut off.
    uint64_t len = response.GetContentLen();
    answer_left_ = len <= kAnswerBodyMax ? static_cast<unsigned long>(len) : 0;
    if (answer_left_ == 0) {
        closeClient();
    }
}

void OneTimePutProcess::OnBody(const char*, size_t len) {
    answer_left_ = len >= answer_left_ ? 0 : answer_left_ - static_cast<unsigned long>(len);
    if (answer_left_ == 0) {
        closeClient();
    }
}

void OneTimePutProcess::closeClient() {
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->Close();
    }
}

void OneTimePutProcess::OnTimer() {
    KS_LOGE("%s Put picture stalled: nothing moved for %lu ms, %lu of %lu bytes sent",
            prefix_.c_str(), one_time_put_limits().stall_ms, sent_, body_ ? body_->GetLen() : 0ul);
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->Close();
    }
}

void OneTimePutProcess::OnDisconnect() {
    if (status_ == 0) {
        KS_LOGE("%s Put picture connection ended before a response, %lu bytes sent",
                prefix_.c_str(), sent_);
    }
    report(success_);
}

// Creates the process and its client, queues the head before connecting (so
// no body byte can overtake it) and connects with a bound. Reports failure
// itself when the client cannot be had.
static void StartPut(AsyncProcessPool* pool, const SharedPtr<OneTimePutHandler>& handler,
                     const std::string& prefix, const SharedPtr<SharedBuffer>& body,
                     const HttpRequestConstruct& request, bool tls, const std::string& host,
                     unsigned short port) {
    SharedPtr<OneTimePutProcess> process(new OneTimePutProcess(pool, handler, prefix));
    std::string ca = tls ? KivCa::Bundle() : std::string();
    SharedPtr<HttpClient> client =
        HttpClient::Create(process, tls ? ca.c_str() : nullptr, tls ? ca.size() : 0);
    if (!client) {
        process->Fail("no connection available");
        return;
    }
    process->SetHttpClient(client);
    process->SendContent(body);
    if (client->SendRequest(request) < 0) {
        process->Fail("request head not queued");
        client->Close();
        return;
    }
    client->ConnectAddr(host, port, one_time_put_limits().connect_ms);
}

// --- OneTimePutDirect --------------------------------------------------------

void OneTimePutDirect::fail(const char* why) {
    KS_LOGE("%s Put picture not started: %s", prefix_.c_str(), why);
    if (handler_) {
        handler_->OnResult(false);
    }
}

void OneTimePutDirect::Run() {
    NetUrlParse url;
    if (url.Parse(url_) != 0) {
        KS_LOGE("Url parse failed");
        fail("upload url unusable");
        return;
    }
    bool tls;
    unsigned short port;
    if (url.scheme == "https" || url.scheme == "HTTPS") {
        tls = true;
        port = 443;
    } else if (url.scheme == "http" || url.scheme == "HTTP") {
        tls = false;
        port = 80;
    } else {
        KS_LOGE("Url protocol failed");
        fail("upload url scheme is neither http nor https");
        return;
    }
    if (url.port != 0) {
        port = url.port;
    }
    if (url.host.empty() || !storage_text_clean(url.host) || !storage_text_clean(url.path) ||
        url.path.empty() || url.path[0] != '/') {
        fail("upload url host or path unusable");
        return;
    }
    if (!body_ || body_->Empty()) {
        fail("no picture");
        return;
    }
    HttpRequestConstruct request;
    request.SetRequestLine(HttpProtocolAssistant::METHOD_PUT, url.path,
                           HttpProtocolAssistant::VERSION_1_1);
    request.SetHost(url.host);
    request.SetContentLength(body_->GetLen());
    request.SetHeader("Content-type", "image/jpeg");
    StartPut(pool_, handler_, prefix_, body_, request, tls, url.host, port);
    KS_LOGI("%s Start put picture, %s://%s:%u%s", prefix_.c_str(), url.scheme.c_str(),
            url.host.c_str(), port, PathOnly(url.path).c_str());
}

// --- OneTimePutSts -----------------------------------------------------------

void OneTimePutSts::fail(const char* why) {
    KS_LOGE("%s Put picture not started: %s", prefix_.c_str(), why);
    if (handler_) {
        handler_->OnResult(false);
    }
}

void OneTimePutSts::Run() {
    std::string host;
    unsigned short port = KivCa::GetPort();
    if (split_endpoint(identify_.endpoint_, host, port) != 0 || host.empty()) {
        fail("storage endpoint unusable");
        return;
    }
    if (!body_ || body_->Empty()) {
        fail("no picture");
        return;
    }
    KivSignedRequest r;
    r.method = HttpProtocolAssistant::METHOD_PUT;
    r.content_type = identify_.content_type_;
    r.security_token = identify_.sts_token_;
    r.endpoint = identify_.endpoint_;
    r.bucket = identify_.bucket_name_;
    r.key = identify_.file_name_prefix_;
    r.access_key = identify_.access_key_;
    r.access_secret = identify_.access_secret_;
    r.content_length = body_->GetLen();
    HttpRequestConstruct request;
    if (KivUploadAssistant::GetHttpConStruct(request, r) != 0) {
        fail("signed request refused");
        return;
    }
    StartPut(pool_, handler_, prefix_, body_, request, true, host, port);
    KS_LOGI("%s Start put picture, picture_id = %s", prefix_.c_str(),
            identify_.file_name_prefix_.c_str());
}

}  // namespace kestrel

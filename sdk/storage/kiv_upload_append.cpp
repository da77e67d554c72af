#include "sdk/storage/kiv_upload_append.h"

#include <mutex>

#include "core/logger.h"
#include "proto/storage_append.h"
#include "sdk/picture/one_time_put.h"
#include "sdk/storage/kiv_upload_assistant.h"

namespace kestrel {

namespace {

std::mutex g_limits_mutex;
KivAppendLimits g_limits;

}  // namespace

void kiv_append_set_limits(const KivAppendLimits& limits) {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    g_limits = limits;
}

KivAppendLimits kiv_append_limits() {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    return g_limits;
}

SharedPtr<KivUploadAppend> KivUploadAppend::Create(SharedPtr<KivUploadHandler> handler,
                                                   const char* ca, size_t ca_len) {
    SharedPtr<KivUploadAppend> self(new KivUploadAppend(std::move(handler)));
    SharedPtr<HttpClient> client = HttpClient::Create(self, ca, ca_len);
    if (!client) {
        KS_LOGE("Append upload not created: no connection available");
        return SharedPtr<KivUploadAppend>();
    }
    self->client_ = client;
    return self;
}

bool KivUploadAppend::EndpointUsable(const std::string& endpoint) {
    std::string host;
    unsigned short port = 0;
    return split_endpoint(endpoint, host, port) == 0 && !host.empty();
}

int KivUploadAppend::Connect(unsigned short port, const KivUploadIdentify& identify) {
    if (connect_called_) {
        KS_LOGE("Append upload already connecting to %s", identify_.endpoint_.c_str());
        return -1;
    }
    std::string host;
    if (split_endpoint(identify.endpoint_, host, port) != 0 || host.empty()) {
        KS_LOGE("Append upload refused: storage endpoint '%s' unusable",
                identify.endpoint_.c_str());
        return -1;
    }
    SharedPtr<HttpClient> client = client_.Lock();
    if (!client) {
        KS_LOGE("Append upload refused: its connection is gone");
        return -1;
    }
    identify_ = identify;
    connect_called_ = true;
    client->ConnectAddr(host, port, kiv_append_limits().connect_ms);
    return 0;
}

void KivUploadAppend::SetObject(const std::string& name, const KivUploadIdentify* identify) {
    if (identify != nullptr) {
        identify_ = *identify;
    }
    if (name != object_) {
        object_ = name;
        position_ = 0;
    }
}

int KivUploadAppend::Append(const char* data, size_t len) {
    if (!connect_called_ || !connected_) {
        KS_LOGE("Not connect");
        return -1;
    }
    if (closing_) {
        KS_LOGW("Disconnect");
        return -1;
    }
    if (in_flight_) {
        KS_LOGE("Append to %s refused: the append at %llu is not answered yet", object_.c_str(),
                static_cast<unsigned long long>(position_));
        return -1;
    }
    if (data == nullptr || len == 0 || object_.empty()) {
        KS_LOGE("Append refused: %s", object_.empty() ? "no object name" : "no data");
        return -1;
    }
    SharedPtr<HttpClient> client = client_.Lock();
    if (!client) {
        KS_LOGW("Disconnect");
        return -1;
    }
    KivSignedRequest r;
    r.method = HttpProtocolAssistant::METHOD_POST;
    r.content_type = identify_.content_type_;
    r.security_token = identify_.sts_token_;
    r.endpoint = identify_.endpoint_;
    r.bucket = identify_.bucket_name_;
    r.key = Key();
    r.sub_query = storage_append_query(position_);
    r.access_key = identify_.access_key_;
    r.access_secret = identify_.access_secret_;
    r.content_length = len;
    HttpRequestConstruct request;
    if (KivUploadAssistant::GetHttpConStruct(request, r) != 0) {
        fail("the signed request could not be made");
        return -1;
    }
    request.SetHeader("Keep-Alive", "300");
    if (client->SendRequest(request) < 0 || client->SendContent(data, len) < 0) {
        fail("the request could not be queued");
        return -1;
    }
    in_flight_ = true;
    sent_len_ = len;
    client->SetTimer(kiv_append_limits().reply_ms);
    KS_LOGV("Append %zu bytes to %s at %llu", len, object_.c_str(),
            static_cast<unsigned long long>(position_));
    return 0;
}

void KivUploadAppend::Close() {
    // The socket exists from Create on: an upload that never connected must
    // give it back too, or every refused endpoint costs one engine slot.
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->Close();
    }
}

void KivUploadAppend::RequestWrite() {
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->RequestWrite();
    }
}

void KivUploadAppend::ArmTurn(unsigned long delay_ms) {
    if (!Idle()) {
        return;  // the reply's deadline owns the timer
    }
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->SetTimer(delay_ms);
    }
}

void KivUploadAppend::fail(const char* why) {
    KS_LOGE("Append to %s at %llu failed: %s", object_.c_str(),
            static_cast<unsigned long long>(position_), why);
    bool was_in_flight = in_flight_;
    in_flight_ = false;
    closing_ = true;
    if (was_in_flight && handler_) {
        handler_->OnResult(-1);
    }
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->Close();
    }
}

void KivUploadAppend::OnConnect() {
    connected_ = true;
    if (SharedPtr<HttpClient> client = client_.Lock()) {
        client->SetTimer(0);
    }
    if (handler_) {
        handler_->OnConnect();
    }
}

void KivUploadAppend::OnHeader(const HttpResponseParse& response) {
    if (closing_) {
        return;
    }
    if (!in_flight_) {
        fail("a reply came with no append in flight");
        return;
    }
    int status = response.GetStatusCode();
    if (status != 200) {
        KS_LOGE("Append to %s at %llu answered %d %s", object_.c_str(),
                static_cast<unsigned long long>(position_), status, response.GetReason().c_str());
        if (status == 403) {
            // Usually expired or revoked credentials: the owner asks for new ones.
            close_reason_ = kKivCloseRefused;
        }
        fail("refused by the store");
        return;
    }
    uint64_t next = 0;
    std::string value = response.GetHeaderValue("x-kiv-next-append-position");
    if (storage_parse_next_position(value, next) != 0) {
        KS_LOGE("Append reply without a usable next position: '%.40s'", value.c_str());
        fail("no next position");
        return;
    }
    if (next != position_ + sent_len_) {
        KS_LOGE("Append reply names position %llu, expected %llu",
                static_cast<unsigned long long>(next),
                static_cast<unsigned long long>(position_ + sent_len_));
        fail("the store's position disagrees");
        return;
    }
    position_ = next;
    in_flight_ = false;
    KS_LOGD("Position:%llu", static_cast<unsigned long long>(position_));
    SharedPtr<HttpClient> client = client_.Lock();
    if (client) {
        client->SetTimer(0);
    }
    if (handler_) {
        handler_->OnResult(0);
    }
    // The socket may have drained long ago: ask for a turn to send the next.
    if (client && Idle()) {
        client->RequestWrite();
    }
}

void KivUploadAppend::OnWrite() {
    if (Idle() && handler_) {
        handler_->OnWrite();
    }
}

void KivUploadAppend::OnTimer() {
    if (!connected_) {
        KS_LOGE("Append upload: no connection to %s within %lu ms", identify_.endpoint_.c_str(),
                kiv_append_limits().connect_ms);
        closing_ = true;
        if (SharedPtr<HttpClient> client = client_.Lock()) {
            client->Close();
        }
        return;
    }
    if (in_flight_) {
        fail("no reply in time");
    } else if (Idle() && handler_) {
        handler_->OnWrite();
    }
}

void KivUploadAppend::OnDisconnect() {
    if (in_flight_) {
        KS_LOGE("Append to %s at %llu: the connection ended before the reply", object_.c_str(),
                static_cast<unsigned long long>(position_));
        in_flight_ = false;
        if (handler_) {
            handler_->OnResult(-1);
        }
    }
    closing_ = true;
    connected_ = false;
    SharedPtr<KivUploadHandler> handler = handler_;
    if (handler) {
        handler->OnClose(close_reason_);
    }
}

}  // namespace kestrel

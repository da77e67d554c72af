#include "net/http_client.h"

#include "core/logger.h"
#include "net/net_connector.h"

namespace kestrel {

namespace {

void LogHeader(void*, const std::string& name, const std::string& value) {
    KS_LOGV("header %s : %s", name.c_str(), value.c_str());
}

// The head as it may be logged: no query (pre-signed URLs carry their
// signature there) and no credential or signature header values.
std::string RedactedHead(const std::string& head) {
    std::string out;
    size_t pos = 0;
    bool first = true;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        if (first) {
            size_t q = line.find('?');
            size_t sp = line.rfind(' ');
            if (q != std::string::npos && sp != std::string::npos && q < sp)
                line = line.substr(0, q) + "?(query withheld)" + line.substr(sp);
            first = false;
        } else {
            size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            if (colon != std::string::npos && (http_name_equal(name, "Authorization") ||
                                               http_name_equal(name, "x-kiv-security-token")))
                line = name + ": (withheld)";
        }
        out += line + "\n";
    }
    return out;
}

const char* HeadError(int result) {
    return result == HTTP_HEAD_TOO_LARGE ? "larger than 16 KiB" : "malformed";
}

}  // namespace

SharedPtr<HttpClient> HttpClient::Create(SharedPtr<HttpClientHandler> handler, const char* ca,
                                         size_t ca_len) {
    SharedPtr<HttpClient> client(new HttpClient(std::move(handler)));
    bool tls = ca != nullptr && ca_len != 0;
    unsigned long id = NetConnector::Create(client, NET_PROTOCOL_TCP, tls ? ca : nullptr,
                                            tls ? static_cast<unsigned long>(ca_len) : 0);
    if (id == 0) {
        KS_LOGE("Http client create failed: the connector took no %s socket", tls ? "TLS" : "TCP");
        return SharedPtr<HttpClient>();
    }
    client->id_ = id;
    client->attached_ = true;
    return client;
}

void HttpClient::ConnectAddr(const std::string& host, unsigned short port,
                             unsigned long timeout_ms) {
    NetConnector::Connect(id_, host, port, timeout_ms);
}

long HttpClient::SendRequest(const HttpRequestConstruct& request) {
    std::string head;
    int ret = request.GetHeaderString(head);
    if (ret == HTTP_REQUEST_LINE_MISSED) {
        KS_LOGE("Request line missed");
        return -1;
    }
    if (ret != HTTP_REQUEST_OK) {
        KS_LOGE("Request target holds a space or line break, not sent");
        return -1;
    }
    if (!attached_) {
        KS_LOGE("Http request without a connection");
        return -1;
    }
    KS_LOGV("Header:\n%s\n", RedactedHead(head).c_str());
    long sent = NetConnector::Send(id_, head.data(), head.size());
    if (sent < 0) {
        KS_LOGE("Http request of %zu bytes not queued on socket %lu", head.size(), id_);
    }
    return sent;
}

long HttpClient::SendContent(const char* data, size_t len) {
    if (!attached_) {
        KS_LOGE("Http content without a connection");
        return -1;
    }
    return NetConnector::Send(id_, data, len);
}

long HttpClient::Pending() const {
    return attached_ ? NetConnector::Pending(id_) : -1;
}

void HttpClient::RequestWrite() {
    if (attached_) {
        NetConnector::RequestWrite(id_);
    }
}

void HttpClient::SetTimer(unsigned long delay_ms) {
    if (attached_) {
        NetConnector::SetTimer(id_, delay_ms);
    }
}

void HttpClient::OnTimer() {
    if (handler_ && !closed_.load()) {
        handler_->OnTimer();
    }
}

void HttpClient::Close() {
    closed_.store(true);
    if (attached_) {
        NetConnector::Close(id_);
    }
}

void HttpClient::OnConnect() {
    if (handler_) {
        handler_->OnConnect();
    }
}

void HttpClient::OnDisConnect(NetSocketDisconnectResult reason) {
    if (reading_body_) {
        KS_LOGE("Http body cut short on socket %lu: %llu bytes missing, reason = %d", id_,
                static_cast<unsigned long long>(body_left_), static_cast<int>(reason));
    }
    // Nothing follows the disconnect, so the handler is let go here: a
    // handler that owns this client would otherwise keep both alive.
    SharedPtr<HttpClientHandler> handler = std::move(handler_);
    if (handler) {
        handler->OnDisconnect();
    }
}

long HttpClient::OnWrite() {
    if (handler_ && !closed_.load()) {
        handler_->OnWrite();
    }
    return 0;
}

long HttpClient::OnData(const char* data, unsigned long len) {
    KS_LOGV("Get http data, len = %lu", len);
    size_t used = 0;
    while (used < len && handler_ && !closed_.load()) {
        if (reading_body_) {
            size_t piece = len - used;
            if (piece > body_left_) {
                piece = static_cast<size_t>(body_left_);
            }
            TakeBody(data + used, piece);
            used += piece;
            continue;
        }
        long taken = TakeHead(data + used, len - used);
        if (taken < 0) {
            return -1;
        }
        used += static_cast<size_t>(taken);
        // An unfinished head takes every byte given; a finished one (an
        // interim answer, or a head without body) may leave the next
        // response's bytes behind it in this read.
        if (taken == 0) {
            break;
        }
    }
    // After Close the rest is of no interest to anyone.
    return static_cast<long>(closed_.load() || !handler_ ? len : used);
}

// Feeds the head parser; on a complete head reports it and sets up the body.
// -1 when the connection has to end.
long HttpClient::TakeHead(const char* data, size_t len) {
    size_t taken = parser_.AppendData(data, len);
    KS_LOGV("append http head %lu", static_cast<unsigned long>(taken));
    int result = parser_.IsParseFinished();
    if (result == HTTP_HEAD_INCOMPLETE) {
        return static_cast<long>(taken);
    }
    if (result != HTTP_HEAD_OK) {
        KS_LOGE("Http response head %s on socket %lu, closing", HeadError(result), id_);
        return -1;
    }
    if (!parser_.IsFramingSupported()) {
        KS_LOGE("Http transfer encoding \"%s\" not supported on socket %lu, closing",
                parser_.GetHeaderValue("Transfer-Encoding").c_str(), id_);
        return -1;
    }
    int status = parser_.GetStatusCode();
    if (status >= 100 && status < 200 && status != 101) {
        // An interim answer (100 Continue, 102, 103) carries no body and
        // is not the result: the final answer follows on the same connection.
        KS_LOGD("Http interim response %d on socket %lu, waiting for the final one", status, id_);
        parser_.ClearData();
        return static_cast<long>(taken);
    }
    KS_LOGV("HeaderTraverse:");
    parser_.HeaderTraverse(LogHeader, nullptr);
    handler_->OnHeader(parser_);
    body_left_ = parser_.GetContentLen();
    KS_LOGV("Parse http head, %llu", static_cast<unsigned long long>(body_left_));
    if (body_left_ == 0) {
        parser_.ClearData();
    } else {
        reading_body_ = true;
    }
    return static_cast<long>(taken);
}

void HttpClient::TakeBody(const char* data, size_t len) {
    body_left_ -= len;
    if (body_left_ == 0) {
        reading_body_ = false;
        parser_.ClearData();
        KS_LOGV("Parse http body");
    }
    handler_->OnBody(data, len);
}

}  // namespace kestrel

#include "infra/httpc.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tether/hal.h"

std::string nexo_url_for_log(const std::string& url) {
    std::string out = url;
    size_t scheme = out.find("://");
    size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    size_t at = out.find('@', host);
    size_t path = out.find_first_of("/?#", host);
    if (at != std::string::npos && (path == std::string::npos || at < path))
        out = out.substr(0, host) + out.substr(at + 1);
    size_t q = out.find_first_of("?#");
    if (q != std::string::npos)
        out = out.substr(0, q) + "?<" + std::to_string(out.size() - q - 1) + " bytes>";
    return out;
}

#define MOD "utils"

namespace {

// Case-insensitive search for a header name at the start of a line.
long ContentLength(const std::string& head) {
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (strncasecmp(head.c_str() + pos, "Content-Length:", 15) == 0) {
            return strtol(head.c_str() + pos + 15, nullptr, 10);
        }
    }
    return -1;
}

}  // namespace

int nexo_https_post(const char* host, uint16_t port, const char* path, const char* content_type,
                    const char* extra_headers, const char* body, char* resp, size_t resp_cap,
                    int timeout_ms) {
    if (host == nullptr || path == nullptr || body == nullptr || resp == nullptr || resp_cap == 0) {
        log_err(MOD, "Invalid Parameter");
        return -1;
    }
    resp[0] = '\0';
    uintptr_t h = HAL_SSL_Establish(host, port, nullptr, 0);
    if (h == 0) {
        log_err(MOD, "https connect to %s:%u failed (%d)", host, port, HAL_SSL_LastError());
        return -1;
    }
    std::string req = std::string("POST ") + path + " HTTP/1.1\r\nHost: " + host +
                      "\r\nConnection: close\r\nContent-Type: " +
                      (content_type ? content_type : "application/octet-stream") +
                      "\r\nContent-Length: " + std::to_string(strlen(body)) + "\r\n" +
                      (extra_headers ? extra_headers : "") + "\r\n" + body;
    int rc = HAL_SSL_Write(h, req.data(), static_cast<int>(req.size()), timeout_ms);
    if (rc != static_cast<int>(req.size())) {
        log_err(MOD, "https request write failed");
        HAL_SSL_Destroy(h);
        return -1;
    }
    // Read until the peer closes, the body is complete or the time runs out;
    // the whole exchange is bounded by 16 KiB, far above what these replies
    // carry.
    std::string in;
    uint64_t deadline = HAL_UptimeMs() + static_cast<uint64_t>(timeout_ms);
    long want = -1;
    size_t head_end = std::string::npos;
    char buf[1024];
    while (in.size() < 16384 && HAL_UptimeMs() < deadline) {
        int n = HAL_SSL_Read(h, buf, sizeof(buf), 200);
        if (n < 0)
            break;
        in.append(buf, static_cast<size_t>(n));
        if (head_end == std::string::npos) {
            head_end = in.find("\r\n\r\n");
            if (head_end != std::string::npos)
                want = ContentLength(in.substr(0, head_end + 2));
        }
        if (head_end != std::string::npos && want >= 0 &&
            in.size() >= head_end + 4 + static_cast<size_t>(want)) {
            break;
        }
    }
    HAL_SSL_Destroy(h);
    if (head_end == std::string::npos || in.compare(0, 5, "HTTP/") != 0) {
        log_err(MOD, "https response incomplete (%zu bytes)", in.size());
        return -1;
    }
    size_t sp = in.find(' ');
    int status = sp == std::string::npos ? -1 : atoi(in.c_str() + sp + 1);
    std::string b = in.substr(head_end + 4);
    if (want >= 0 && b.size() > static_cast<size_t>(want))
        b.resize(static_cast<size_t>(want));
    size_t n = b.size() < resp_cap - 1 ? b.size() : resp_cap - 1;
    memcpy(resp, b.data(), n);
    resp[n] = '\0';
    return status;
}

// --- streamed GET --------------------------------------------------------------

namespace {

struct Url {
    std::string host, path;
    uint16_t port = 443;
};

bool ParseHttpsUrl(const char* url, Url* out) {
    const char kScheme[] = "https://";
    if (url == nullptr || strncasecmp(url, kScheme, sizeof(kScheme) - 1) != 0)
        return false;
    std::string rest = url + sizeof(kScheme) - 1;
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    out->path = slash == std::string::npos ? "/" : rest.substr(slash);
    size_t colon = std::string::npos;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        out->host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            colon = close + 1;
        }
    } else {
        colon = authority.find(':');
        out->host = authority.substr(0, colon);
    }
    if (colon != std::string::npos) {
        char* end = nullptr;
        long port = strtol(authority.c_str() + colon + 1, &end, 10);
        if (end == authority.c_str() + colon + 1 || *end != '\0' || port < 1 || port > 65535)
            return false;
        out->port = static_cast<uint16_t>(port);
    }
    for (char ch : out->path) {
        if (static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f)
            return false;
    }
    return !out->host.empty();
}

// The value of a header (case-insensitive name) in a response head, or
// false when absent.
bool HeaderValue(const std::string& head, const char* name, std::string* value) {
    size_t n = strlen(name);
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (strncasecmp(head.c_str() + pos, name, n) == 0 && head.compare(pos + n, 1, ":") == 0) {
            size_t end = head.find("\r\n", pos);
            std::string v =
                head.substr(pos + n + 1, end == std::string::npos ? end : end - pos - n - 1);
            size_t b = v.find_first_not_of(" \t");
            size_t e = v.find_last_not_of(" \t");
            *value = b == std::string::npos ? "" : v.substr(b, e - b + 1);
            return true;
        }
    }
    return false;
}

class GetReader {
  public:
    GetReader(nexo_http_read_fn read, void* read_ctx, int idle_ms, const nexo_http_sink_t* sink)
        : read_(read), read_ctx_(read_ctx), idle_ms_(idle_ms), sink_(sink) {}

    // More bytes into in_; 1 got some, 0 peer closed, negative error.
    int Fill() {
        char buf[4096];
        uint64_t deadline = HAL_UptimeMs() + static_cast<uint64_t>(idle_ms_);
        for (;;) {
            int n = read_(read_ctx_, buf, sizeof(buf));
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                return 1;
            }
            if (n == -2)
                return 0;
            if (n < 0)
                return NEXO_HTTP_ERR_TRUNCATED;
            if (sink_->keep_going && !sink_->keep_going(sink_->ctx))
                return NEXO_HTTP_ERR_ABORTED;
            if (HAL_UptimeMs() >= deadline)
                return NEXO_HTTP_ERR_TIMEOUT;
        }
    }
    std::string in_;

  private:
    nexo_http_read_fn read_;
    void* read_ctx_;
    int idle_ms_;
    const nexo_http_sink_t* sink_;
};

// Reads from the TLS connection in steps short enough to look at the sink's
// keep_going and the idle time between them.
int ReadTls(void* ctx, char* buf, int len) {
    return HAL_SSL_Read(*static_cast<uintptr_t*>(ctx), buf, len, 100);
}

int StreamLength(GetReader* r, const nexo_http_sink_t* sink, long long want) {
    long long got = 0;
    for (;;) {
        if (!r->in_.empty()) {
            // Without a length the body runs to the close; with one, bytes
            // past it are not part of it.
            size_t take = want < 0 ? r->in_.size()
                                   : static_cast<size_t>(std::min<long long>(
                                         want - got, static_cast<long long>(r->in_.size())));
            if (take > 0 && !sink->on_body(sink->ctx, r->in_.data(), take))
                return NEXO_HTTP_ERR_ABORTED;
            got += static_cast<long long>(take);
            r->in_.clear();
        }
        if (want >= 0 && got >= want)
            return 0;
        int rc = r->Fill();
        if (rc == 0)
            return want < 0 ? 0 : NEXO_HTTP_ERR_TRUNCATED;
        if (rc < 0)
            return rc;
    }
}

int StreamChunked(GetReader* r, const nexo_http_sink_t* sink) {
    for (;;) {
        size_t eol;
        while ((eol = r->in_.find("\r\n")) == std::string::npos) {
            if (r->in_.size() > 1024)
                return NEXO_HTTP_ERR_RESPONSE;
            int rc = r->Fill();
            if (rc <= 0)
                return rc == 0 ? NEXO_HTTP_ERR_TRUNCATED : rc;
        }
        char* end = nullptr;
        unsigned long long size = strtoull(r->in_.c_str(), &end, 16);
        if (end == r->in_.c_str() || size > (1ull << 40))
            return NEXO_HTTP_ERR_RESPONSE;
        r->in_.erase(0, eol + 2);
        if (size == 0)
            return 0;  // trailers are not needed
        while (size > 0) {
            if (r->in_.empty()) {
                int rc = r->Fill();
                if (rc <= 0)
                    return rc == 0 ? NEXO_HTTP_ERR_TRUNCATED : rc;
            }
            size_t take = static_cast<size_t>(std::min<unsigned long long>(size, r->in_.size()));
            if (!sink->on_body(sink->ctx, r->in_.data(), take))
                return NEXO_HTTP_ERR_ABORTED;
            r->in_.erase(0, take);
            size -= take;
        }
        while (r->in_.size() < 2) {
            int rc = r->Fill();
            if (rc <= 0)
                return rc == 0 ? NEXO_HTTP_ERR_TRUNCATED : rc;
        }
        if (r->in_.compare(0, 2, "\r\n") != 0)
            return NEXO_HTTP_ERR_RESPONSE;
        r->in_.erase(0, 2);
    }
}

int ReadHeadAndBody(GetReader* r, const nexo_http_sink_t* sink) {
    size_t head_end;
    while ((head_end = r->in_.find("\r\n\r\n")) == std::string::npos) {
        if (r->in_.size() > 16384) {
            log_err(MOD, "https response head larger than 16 KiB");
            return NEXO_HTTP_ERR_RESPONSE;
        }
        int rc = r->Fill();
        if (rc <= 0) {
            log_err(MOD, "https response head incomplete (%zu bytes)", r->in_.size());
            return rc == 0 ? NEXO_HTTP_ERR_RESPONSE : rc;
        }
    }
    std::string head = r->in_.substr(0, head_end + 2);
    r->in_.erase(0, head_end + 4);
    int status = -1;
    if (head.compare(0, 5, "HTTP/") == 0 && head.find(' ') != std::string::npos)
        status = atoi(head.c_str() + head.find(' ') + 1);
    if (status < 100 || status > 999) {
        log_err(MOD, "https response without a status line");
        return NEXO_HTTP_ERR_RESPONSE;
    }
    std::string te, cl;
    bool chunked =
        HeaderValue(head, "Transfer-Encoding", &te) && strcasecmp(te.c_str(), "chunked") == 0;
    long long length = -1;
    if (!chunked && HeaderValue(head, "Content-Length", &cl)) {
        char* end = nullptr;
        length = strtoll(cl.c_str(), &end, 10);
        if (end == cl.c_str() || *end != '\0' || length < 0) {
            log_err(MOD, "https response with a bad Content-Length '%s'", cl.c_str());
            return NEXO_HTTP_ERR_RESPONSE;
        }
    }
    if (!sink->on_head(sink->ctx, status, length))
        return NEXO_HTTP_ERR_ABORTED;
    int rc = chunked ? StreamChunked(r, sink) : StreamLength(r, sink, length);
    return rc < 0 ? rc : status;
}

}  // namespace

int nexo_http_read_response(nexo_http_read_fn read, void* read_ctx, const nexo_http_sink_t* sink,
                            int idle_timeout_ms) {
    if (read == nullptr || sink == nullptr || sink->on_head == nullptr || sink->on_body == nullptr)
        return NEXO_HTTP_ERR_URL;
    GetReader r(read, read_ctx, idle_timeout_ms, sink);
    return ReadHeadAndBody(&r, sink);
}

int nexo_https_get(const char* url, const nexo_http_sink_t* sink, int idle_timeout_ms) {
    Url u;
    if (sink == nullptr || sink->on_head == nullptr || sink->on_body == nullptr ||
        !ParseHttpsUrl(url, &u)) {
        log_err(MOD, "https get: unusable URL '%s'",
                url ? nexo_url_for_log(url).c_str() : "(null)");
        return NEXO_HTTP_ERR_URL;
    }
    uintptr_t h = HAL_SSL_Establish(u.host.c_str(), u.port, nullptr, 0);
    if (h == 0) {
        log_err(MOD, "https connect to %s:%u failed (%d)", u.host.c_str(), u.port,
                HAL_SSL_LastError());
        return NEXO_HTTP_ERR_CONNECT;
    }
    bool v6 = u.host.find(':') != std::string::npos;
    std::string host_header =
        (v6 ? "[" + u.host + "]" : u.host) + (u.port == 443 ? "" : ":" + std::to_string(u.port));
    std::string req = "GET " + u.path + " HTTP/1.1\r\nHost: " + host_header +
                      "\r\nConnection: close\r\nAccept: */*\r\n\r\n";
    int rc;
    if (HAL_SSL_Write(h, req.data(), static_cast<int>(req.size()), idle_timeout_ms) !=
        static_cast<int>(req.size())) {
        log_err(MOD, "https request write to %s failed", u.host.c_str());
        rc = NEXO_HTTP_ERR_CONNECT;
    } else {
        rc = nexo_http_read_response(ReadTls, &h, sink, idle_timeout_ms);
    }
    HAL_SSL_Destroy(h);
    return rc;
}

#include "infra/httpc.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "tether/hal.h"

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

// The library's small HTTPS client: one POST per connection, used by
// bootstrap and dynamic registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A URL as it may be logged: download addresses are pre-signed, so the query
// (and any user:password@) is replaced by its length.
std::string nexo_url_for_log(const std::string& url);

// POSTs body to https://host:port/path with the given content type and extra
// header lines (each ending in "\r\n", may be NULL). The response body is
// copied into resp (cut to resp_cap - 1 bytes, always terminated). Returns the
// HTTP status code, or a negative code when no response could be read.
int nexo_https_post(const char* host, uint16_t port, const char* path, const char* content_type,
                    const char* extra_headers, const char* body, char* resp, size_t resp_cap,
                    int timeout_ms);

// Where a streamed GET delivers what it receives. on_head is called once
// with the status code and the announced body length (-1 when not given);
// on_body with each piece of the body in order. Either returns false to stop
// the transfer (the GET then fails with NEXO_HTTP_ERR_ABORTED).
struct nexo_http_sink_t {
    bool (*on_head)(void* ctx, int status, long long content_length);
    bool (*on_body)(void* ctx, const char* data, size_t len);
    void* ctx;
    // Optional: asked while waiting for data; false ends the transfer
    // (NEXO_HTTP_ERR_ABORTED) without waiting for the idle time-out.
    bool (*keep_going)(void* ctx);
};

enum {
    NEXO_HTTP_ERR_URL = -2,        // not an https URL of the form https://host[:port]/path
    NEXO_HTTP_ERR_CONNECT = -3,    // TCP or TLS (certificate) failure
    NEXO_HTTP_ERR_RESPONSE = -4,   // no complete or no well-formed response head
    NEXO_HTTP_ERR_TRUNCATED = -5,  // the body ended before its announced end
    NEXO_HTTP_ERR_TIMEOUT = -6,    // nothing arrived for idle_timeout_ms
    NEXO_HTTP_ERR_ABORTED = -7,    // a sink callback stopped it
};

// GETs an https URL (the server's certificate verified against the trust
// anchor, as for MQTT) and streams the body to the sink. The body is complete
// at its Content-Length, at the end of a chunked body, or, when neither is
// given, when the server closes. Returns the status code when the whole body
// arrived (the body of any status is streamed), else NEXO_HTTP_ERR_*.
int nexo_https_get(const char* url, const nexo_http_sink_t* sink, int idle_timeout_ms);

// The response reader of nexo_https_get over any byte source: read returns
// the bytes it put in buf (> 0), 0 when none came in its short wait, -2 when
// the peer closed, -1 on an error. Returns as nexo_https_get.
typedef int (*nexo_http_read_fn)(void* ctx, char* buf, int len);
int nexo_http_read_response(nexo_http_read_fn read, void* read_ctx, const nexo_http_sink_t* sink,
                            int idle_timeout_ms);

// The HTTP response reader of the firmware and configuration downloads, fed
// from memory in reads of a chosen size: each way a body can end, and each
// way a response can be cut or malformed.
#include "infra/httpc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Source {
    std::string data;
    size_t pos = 0;
    size_t step = 1;
};

int Read(void* ctx, char* buf, int len) {
    Source* s = static_cast<Source*>(ctx);
    if (s->pos >= s->data.size())
        return -2;
    size_t n = std::min({s->step, s->data.size() - s->pos, static_cast<size_t>(len)});
    memcpy(buf, s->data.data() + s->pos, n);
    s->pos += n;
    return static_cast<int>(n);
}

struct Got {
    int status = 0;
    long long length = -2;
    std::string body;
};

bool OnHead(void* ctx, int status, long long length) {
    static_cast<Got*>(ctx)->status = status;
    static_cast<Got*>(ctx)->length = length;
    return true;
}

bool OnBody(void* ctx, const char* data, size_t len) {
    static_cast<Got*>(ctx)->body.append(data, len);
    return true;
}

TEST(HttpResponseReader, BodiesEndAtTheirLengthTheLastChunkOrTheClose) {
    const struct {
        const char* what;
        std::string response;
        int rc;
        long long length;
        std::string body;
    } cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", 200, 5, "hello"},
        {"chunked",
         "HTTP/1.1 200 OK\r\ntransfer-encoding:  "
         "chunked\r\n\r\n4\r\nwiki\r\n5;x=y\r\npedia\r\n0\r\n\r\n",
         200, -1, "wikipedia"},
        {"until close", "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\nuntil the close", 200,
         -1, "until the close"},
        {"empty", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", 204, 0, ""},
        {"error status", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope", 404, 4, "nope"},
        {"cut body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", NEXO_HTTP_ERR_TRUNCATED,
         100, "short"},
        {"cut chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc",
         NEXO_HTTP_ERR_TRUNCATED, -1, "abc"},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         NEXO_HTTP_ERR_RESPONSE, -1, ""},
        {"bad length", "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello", NEXO_HTTP_ERR_RESPONSE,
         -2, ""},
        {"no status", "HELLO\r\n\r\n", NEXO_HTTP_ERR_RESPONSE, -2, ""},
        {"head cut", "HTTP/1.1 200 OK\r\nContent-Len", NEXO_HTTP_ERR_RESPONSE, -2, ""},
    };
    for (const auto& c : cases) {
        for (size_t step : {1, 7, 4096}) {
            Source src{c.response, 0, step};
            Got got;
            nexo_http_sink_t sink{OnHead, OnBody, &got, nullptr};
            EXPECT_EQ(c.rc, nexo_http_read_response(Read, &src, &sink, 1000))
                << c.what << " step " << step;
            EXPECT_EQ(c.length, got.length) << c.what;
            EXPECT_EQ(c.body, got.body) << c.what << " step " << step;
        }
    }
}

// Download addresses are pre-signed: what may be logged keeps the place and
// drops what grants access.
TEST(HttpUrlForLog, QueryAndCredentialsBecomeLengths) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"https://h.example/fw/1.bin", "https://h.example/fw/1.bin"},
        {"https://h.example/fw/1.bin?Signature=abc&Expires=1",
         "https://h.example/fw/1.bin?<23 bytes>"},
        {"https://user:pw@h.example/f?x=1", "https://h.example/f?<3 bytes>"},
        {"https://h.example/f#frag", "https://h.example/f?<4 bytes>"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, nexo_url_for_log(c.in)) << c.in;
}

TEST(HttpResponseReader, UnusableUrlsAreRefusedBeforeAnyConnection) {
    Got got;
    nexo_http_sink_t sink{OnHead, OnBody, &got, nullptr};
    for (const char* url :
         {"http://127.0.0.1/fw.bin", "https://", "https://[::1/x", "https://host:0/x",
          "https://host:70000/x", "https://host:1x/x", "https://host/a b", "ftp://host/x"}) {
        EXPECT_EQ(NEXO_HTTP_ERR_URL, nexo_https_get(url, &sink, 100)) << url;
    }
    EXPECT_EQ(0, got.status);
}

}  // namespace

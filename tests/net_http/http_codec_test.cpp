// Request-head writing and response-head parsing, without any socket.
#include <gtest/gtest.h>

#include <string>

#include "proto/http.h"

using namespace kestrel;

namespace {

TEST(HttpCodec, VocabularyTables) {
    EXPECT_STREQ("POST", HttpProtocolAssistant::MethodString(0));
    EXPECT_STREQ("GET", HttpProtocolAssistant::MethodString(1));
    EXPECT_STREQ("PUT", HttpProtocolAssistant::MethodString(2));
    EXPECT_STREQ("INVALID", HttpProtocolAssistant::MethodString(3));
    EXPECT_STREQ("INVALID", HttpProtocolAssistant::MethodString(-1));
    EXPECT_STREQ("HTTP/1.0", HttpProtocolAssistant::VersionString(0));
    EXPECT_STREQ("HTTP/1.1", HttpProtocolAssistant::VersionString(1));
    EXPECT_STREQ("HTTP/2.0", HttpProtocolAssistant::VersionString(2));
    EXPECT_STREQ("HTTP/1.1", HttpProtocolAssistant::VersionString(7));
    EXPECT_TRUE(HttpProtocolAssistant::CheckVersionString("HTTP/1.0"));
    EXPECT_FALSE(HttpProtocolAssistant::CheckVersionString("http/1.1"));
    EXPECT_FALSE(HttpProtocolAssistant::CheckVersionString("HTTP/1.1 "));
}

TEST(HttpCodec, RequestHeadHasLengthFirstThenHeadersByName) {
    HttpRequestConstruct req;
    req.SetRequestLine(HttpProtocolAssistant::METHOD_PUT, "/a", HttpProtocolAssistant::VERSION_1_1);
    req.SetHost("h");
    EXPECT_EQ(0, req.SetHeader("Date", "d"));
    req.SetContentLength(5);
    std::string out;
    ASSERT_EQ(HTTP_REQUEST_OK, req.GetHeaderString(out));
    EXPECT_EQ("PUT /a HTTP/1.1\r\nContent-Length: 5\r\nDate: d\r\nHost: h\r\n\r\n", out);

    HttpRequestConstruct get;
    NetUrl url;
    ASSERT_EQ(URL_OK, net_url_parse("https://store.test:8443/b/c?x=1&y=2", &url));
    EXPECT_EQ(HTTP_REQUEST_OK, get.SetRequestLineUrl(HttpProtocolAssistant::METHOD_GET,
                                                     HttpProtocolAssistant::VERSION_1_1, url));
    ASSERT_EQ(HTTP_REQUEST_OK, get.GetHeaderString(out));
    EXPECT_EQ("GET /b/c?x=1&y=2 HTTP/1.1\r\nContent-Length: 0\r\nHost: store.test\r\n\r\n", out);
}

TEST(HttpCodec, SetHeaderRefusesWhatWouldBreakTheHead) {
    struct Case {
        const char* name;
        const char* value;
        int result;
    } cases[] = {
        {"Content-Length", "9", HTTP_REQUEST_CONTENT_LENGTH},
        {"content-length", "9", HTTP_REQUEST_CONTENT_LENGTH},
        {"X-A", "1\r\nContent-Length: 99", HTTP_REQUEST_BAD_TEXT},
        {"X-A\r\nEvil", "1", HTTP_REQUEST_BAD_TEXT},
        {"X A", "1", HTTP_REQUEST_BAD_TEXT},
        {"X:A", "1", HTTP_REQUEST_BAD_TEXT},
        {"", "1", HTTP_REQUEST_OK},    // ignored
        {"X-A", "", HTTP_REQUEST_OK},  // ignored
    };
    for (const auto& c : cases) {
        HttpRequestConstruct req;
        req.SetRequestLine(HttpProtocolAssistant::METHOD_GET, "/", 1);
        EXPECT_EQ(c.result, req.SetHeader(c.name, c.value)) << c.name << " / " << c.value;
        std::string out;
        ASSERT_EQ(HTTP_REQUEST_OK, req.GetHeaderString(out));
        EXPECT_EQ("GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", out) << c.name;
    }
}

TEST(HttpCodec, SetHeaderReplacesANameInAnyCase) {
    HttpRequestConstruct req;
    req.SetRequestLine(HttpProtocolAssistant::METHOD_GET, "/", 1);
    req.SetHeader("host", "old");
    req.SetHost("new");
    std::string out;
    ASSERT_EQ(HTTP_REQUEST_OK, req.GetHeaderString(out));
    EXPECT_EQ("GET / HTTP/1.1\r\nContent-Length: 0\r\nHost: new\r\n\r\n", out);
}

TEST(HttpCodec, RequestLineMissingOrUnsafe) {
    std::string out = "junk";
    HttpRequestConstruct none;
    EXPECT_EQ(HTTP_REQUEST_LINE_MISSED, none.GetHeaderString(out));
    EXPECT_TRUE(out.empty());
    HttpRequestConstruct empty_target;
    empty_target.SetRequestLine(0, "", 1);
    EXPECT_EQ(HTTP_REQUEST_LINE_MISSED, empty_target.GetHeaderString(out));
    HttpRequestConstruct unknown_method;
    unknown_method.SetRequestLine(7, "/", 1);
    EXPECT_EQ(HTTP_REQUEST_LINE_MISSED, unknown_method.GetHeaderString(out));
    HttpRequestConstruct bad_host;
    bad_host.SetRequestLine(1, "/", 1);
    EXPECT_EQ(HTTP_REQUEST_BAD_TEXT, bad_host.SetHost("h\r\nX-Evil: 1"));
    HttpRequestConstruct split;
    split.SetRequestLine(0, "/a HTTP/1.0\r\nX: y", 1);
    EXPECT_EQ(HTTP_REQUEST_BAD_TEXT, split.GetHeaderString(out));
    EXPECT_TRUE(out.empty());
}

// Feeds text in pieces of the given size; returns the bytes the parser took.
size_t feed(HttpResponseParse& p, const std::string& text, size_t piece) {
    size_t taken = 0;
    for (size_t off = 0; off < text.size(); off += piece) {
        taken += p.AppendData(text.data() + off, std::min(piece, text.size() - off));
    }
    return taken;
}

TEST(HttpCodec, HeadSplitAnywhereIsFoundOnceComplete) {
    const std::string head = "HTTP/1.1 201 Created\r\nContent-Length: 3\r\nETag: \"x\"\r\n\r\n";
    for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(7), head.size()}) {
        HttpResponseParse p;
        EXPECT_EQ(head.size(), feed(p, head, piece)) << piece;
        ASSERT_EQ(HTTP_HEAD_OK, p.IsParseFinished()) << piece;
        EXPECT_EQ(201, p.GetStatusCode());
        EXPECT_EQ("Created", p.GetReason());
        EXPECT_EQ(3u, p.GetContentLen());
        EXPECT_EQ("\"x\"", p.GetHeaderValue("etag"));
    }
    // Split inside the closing CRLF CRLF.
    HttpResponseParse p;
    size_t cut = head.size() - 2;
    EXPECT_EQ(cut, p.AppendData(head.data(), cut));
    EXPECT_EQ(HTTP_HEAD_INCOMPLETE, p.IsParseFinished());
    EXPECT_EQ(0u, p.GetStatusCode());
    EXPECT_EQ(2u, p.AppendData(head.data() + cut, 2));
    EXPECT_EQ(HTTP_HEAD_OK, p.IsParseFinished());
}

TEST(HttpCodec, HeadAndBodyInOnePieceTakesOnlyTheHead) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    const std::string all = head + "hello" + "HTTP/1.1 200 OK\r\n";
    HttpResponseParse p;
    EXPECT_EQ(head.size(), p.AppendData(all.data(), all.size()));
    EXPECT_EQ(HTTP_HEAD_OK, p.IsParseFinished());
    EXPECT_EQ(head, p.HeadText());
    EXPECT_EQ(0u, p.AppendData(all.data(), all.size()));  // finished: takes nothing more
    p.ClearData();
    EXPECT_EQ(HTTP_HEAD_INCOMPLETE, p.IsParseFinished());
    EXPECT_EQ(0u, p.GetContentLen());
    EXPECT_EQ(0u, p.AppendData(nullptr, 4));
    EXPECT_EQ(0u, p.AppendData("x", 0));
}

// Header lines as servers really write them, and lines no reader should guess at.
TEST(HttpCodec, HeaderLines) {
    struct Case {
        const char* lines;  // between the status line and the empty line
        int result;
        const char* name;  // looked up in another case
        const char* value;
    } cases[] = {
        {"content-length: 12\r\n", HTTP_HEAD_OK, "Content-Length", "12"},
        {"Content-Length:12\r\n", HTTP_HEAD_OK, "content-length", "12"},
        {"X-Tag: \t spaced out \t\r\n", HTTP_HEAD_OK, "x-tag", "spaced out"},
        {"Location: http://a:80/b\r\n", HTTP_HEAD_OK, "LOCATION", "http://a:80/b"},
        {"X-Empty:\r\n", HTTP_HEAD_OK, "X-Empty", ""},
        {"X-A: 1\r\nx-a: 2\r\n", HTTP_HEAD_OK, "X-A", "2"},
        {"Content-Length: 4\r\ncontent-length: 4\r\n", HTTP_HEAD_OK, "Content-Length", "4"},
        {"Transfer-Encoding: identity\r\n", HTTP_HEAD_OK, "transfer-encoding", "identity"},
        {"No colon here\r\n", HTTP_HEAD_INVALID, "", ""},
        {": no name\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Bad Name: 1\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Name : 1\r\n", HTTP_HEAD_INVALID, "", ""},
        {"X-A: 1\r\n folded\r\n", HTTP_HEAD_INVALID, "", ""},
        {"X-A: 1\nX-B: 2\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Content-Length: 4\r\nContent-Length: 5\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Content-Length: -1\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Content-Length: 0x10\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Content-Length: 99999999999999999999\r\n", HTTP_HEAD_INVALID, "", ""},
        {"Content-Length: \r\n", HTTP_HEAD_INVALID, "", ""},
    };
    for (const auto& c : cases) {
        std::string head = std::string("HTTP/1.1 200 OK\r\n") + c.lines + "\r\n";
        HttpResponseParse p;
        EXPECT_EQ(head.size(), p.AppendData(head.data(), head.size())) << c.lines;
        EXPECT_EQ(c.result, p.IsParseFinished()) << c.lines;
        if (c.result == HTTP_HEAD_OK) {
            EXPECT_EQ(c.value, p.GetHeaderValue(c.name)) << c.lines;
        } else {
            EXPECT_EQ(0, p.GetStatusCode()) << c.lines;
            EXPECT_EQ("", p.GetVersion()) << c.lines;
        }
    }
}

TEST(HttpCodec, StatusLines) {
    struct Case {
        const char* line;
        int result;
        int code;
        const char* reason;
    } cases[] = {
        {"HTTP/1.1 200 OK", HTTP_HEAD_OK, 200, "OK"},
        {"HTTP/1.0 404 Not Found", HTTP_HEAD_OK, 404, "Not Found"},
        {"HTTP/2.0 500 ", HTTP_HEAD_OK, 500, ""},
        {"HTTP/1.1 204", HTTP_HEAD_OK, 204, ""},
        {"HTTP/1.1 100 Continue", HTTP_HEAD_OK, 100, "Continue"},
        {"HTTP/1.1 599 Edge", HTTP_HEAD_OK, 599, "Edge"},
        {"HTTP/1.1 99 Low", HTTP_HEAD_INVALID, 0, ""},
        {"HTTP/1.1 600 High", HTTP_HEAD_INVALID, 0, ""},
        {"HTTP/1.1 0200 Padded", HTTP_HEAD_INVALID, 0, ""},
        {"HTTP/1.1 2x0 Letters", HTTP_HEAD_INVALID, 0, ""},
        {"HTTP/1.1  200 Two spaces", HTTP_HEAD_INVALID, 0, ""},
        {"HTTP/3 200 OK", HTTP_HEAD_INVALID, 0, ""},
        {"ICY 200 OK", HTTP_HEAD_INVALID, 0, ""},
        {"HTTP/1.1", HTTP_HEAD_INVALID, 0, ""},
        {"", HTTP_HEAD_INVALID, 0, ""},
    };
    for (const auto& c : cases) {
        std::string head = std::string(c.line) + "\r\nServer: t\r\n\r\n";
        HttpResponseParse p;
        p.AppendData(head.data(), head.size());
        EXPECT_EQ(c.result, p.IsParseFinished()) << c.line;
        EXPECT_EQ(c.code, p.GetStatusCode()) << c.line;
        EXPECT_EQ(c.reason, p.GetReason()) << c.line;
        EXPECT_EQ(c.result == HTTP_HEAD_OK ? "t" : "", p.GetHeaderValue("server")) << c.line;
    }
}

TEST(HttpCodec, TransferCodingsOtherThanIdentityAreReported) {
    for (const char* coding : {"chunked", "Chunked", "gzip, chunked", "identity, chunked"}) {
        std::string head =
            std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: ") + coding + "\r\n\r\n";
        HttpResponseParse p;
        p.AppendData(head.data(), head.size());
        EXPECT_EQ(HTTP_HEAD_OK, p.IsParseFinished()) << coding;
        EXPECT_FALSE(p.IsFramingSupported()) << coding;
    }
    HttpResponseParse plain;
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: Identity \r\n\r\n";
    plain.AppendData(head.data(), head.size());
    EXPECT_TRUE(plain.IsFramingSupported());
}

TEST(HttpCodec, HeadLimitBoundsTheBuffer) {
    // Exactly at the limit is still a head.
    std::string line = "HTTP/1.1 200 OK\r\nX-Fill: ";
    std::string fits = line + std::string(HTTP_MAX_HEAD - line.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(HTTP_MAX_HEAD, fits.size());
    HttpResponseParse ok;
    EXPECT_EQ(fits.size(), feed(ok, fits, 1000));
    EXPECT_EQ(HTTP_HEAD_OK, ok.IsParseFinished());

    // One byte more, or a peer that never ends its head, is refused and not
    // taken in beyond the limit.
    std::string over = line + std::string(HTTP_MAX_HEAD - line.size() - 3, 'a') + "\r\n\r\n";
    std::string endless = line + std::string(3 * HTTP_MAX_HEAD, 'a');
    for (const std::string* text : {&over, &endless}) {
        HttpResponseParse p;
        EXPECT_EQ(HTTP_MAX_HEAD, feed(p, *text, 700));
        EXPECT_EQ(HTTP_HEAD_TOO_LARGE, p.IsParseFinished());
        EXPECT_EQ(HTTP_MAX_HEAD, p.HeadText().size());
        EXPECT_EQ(0, p.GetStatusCode());
    }
}

TEST(HttpCodec, TraverseVisitsValidHeadsOnly) {
    const std::string head = "HTTP/1.1 200 OK\r\nb: 2\r\nA: 1\r\n\r\n";
    HttpResponseParse p;
    p.AppendData(head.data(), head.size());
    std::string seen;
    auto collect = [](void* param, const std::string& n, const std::string& v) {
        *static_cast<std::string*>(param) += n + "=" + v + ";";
    };
    p.HeaderTraverse(collect, &seen);
    EXPECT_EQ("A=1;b=2;", seen);

    HttpResponseParse bad;
    const std::string bad_head = "HTTP/1.1 700 X\r\nA: 1\r\n\r\n";
    bad.AppendData(bad_head.data(), bad_head.size());
    seen.clear();
    bad.HeaderTraverse(collect, &seen);
    EXPECT_EQ("", seen);
}

}  // namespace

#include "proto/url.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "net/url_parse.h"

using namespace kestrel;

namespace {

struct NetUrlCase {
    const char* url;
    int ret;
    const char* scheme;
    const char* host;
    uint16_t port;
    const char* path;
    const char* app;
    const char* stream;
    const char* conn_url;
};

TEST(NetUrl, SplitsNetworkAndRtmpUrls) {
    const NetUrlCase cases[] = {
        {"rtmp://h:1935/app/s?x=1", URL_OK, "rtmp", "h", 1935, "/app/s?x=1", "app/", "s?x=1",
         "rtmp://h:1935/app/"},
        {" \thttp://store.test/a/b.jpg?sig=1\r\n", URL_OK, "http", "store.test", 0,
         "/a/b.jpg?sig=1", "", "", ""},
        {"rtmp://10.0.0.1/live", URL_OK, "rtmp", "10.0.0.1", 0, "/live", "live", "",
         "rtmp://10.0.0.1/live"},
        {"https://h:443/", URL_OK, "https", "h", 443, "/", "", "", ""},
        {"h/path", URL_NO_SCHEME, "", "", 0, "", "", "", ""},
        {"http://host-only", URL_NO_PATH, "http", "", 0, "", "", "", ""},
        {"http://h:99999/x", URL_BAD_PORT, "http", "", 0, "", "", "", ""},
        {"http://h:12a/x", URL_BAD_PORT, "http", "", 0, "", "", "", ""},
        {"http://:80/x", URL_EMPTY_HOST, "http", "", 80, "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        NetUrl u;
        ASSERT_EQ(c.ret, net_url_parse(c.url, &u));
        if (c.ret != URL_OK)
            continue;
        EXPECT_EQ(c.scheme, u.scheme);
        EXPECT_EQ(c.host, u.host);
        EXPECT_EQ(c.port, u.port);
        EXPECT_EQ(c.path, u.path);
        EXPECT_EQ(c.app, u.app);
        EXPECT_EQ(c.stream, u.stream);
        EXPECT_EQ(c.conn_url, u.conn_url);
    }
}

TEST(CloudUrl, QueryFirstOccurrenceWinsAndPiecesWithoutValueAreDropped) {
    CloudUrl u;
    ASSERT_EQ(URL_OK, cloud_url_parse("rtmp://relay.test:1935/live?a=1&a=2&b&c=x=y/cam1", &u));
    EXPECT_EQ("relay.test:1935", u.host);
    EXPECT_EQ("live", u.path);
    EXPECT_EQ("cam1", u.stream);
    EXPECT_EQ("1", u.Query("a"));
    EXPECT_EQ("x=y", u.Query("c"));
    EXPECT_EQ(0u, u.query.count("b"));
    EXPECT_EQ("", u.Query("missing"));

    EXPECT_EQ(URL_NO_QUERY, cloud_url_parse("rtmp://h/live", &u));
    EXPECT_EQ(URL_NO_QUERY, cloud_url_parse("rtmp://h/live?", &u));
    EXPECT_EQ(URL_NO_SCHEME, cloud_url_parse("relay/live?a=1", &u));
    EXPECT_EQ(URL_EMPTY_HOST, cloud_url_parse("rtmp:///live?a=1", &u));
}

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[256];
    while (fgets(buf, sizeof(buf), p))
        out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// HMAC-SHA256 keyed with the base64-decoded secret, as openssl computes it.
std::string OpensslSign(const std::string& content, const std::string& secret_b64) {
    std::string hexkey =
        Shell("printf %s '" + secret_b64 + "' | base64 -d | od -An -tx1 | tr -d ' \\n'");
    std::string out = Shell("printf %s '" + content +
                            "' | openssl dgst -sha256 -mac HMAC -macopt hexkey:" + hexkey);
    size_t eq = out.rfind("= ");
    return eq == std::string::npos ? out : out.substr(eq + 2);
}

TEST(UrlParse, SignedLiveVodAndVoiceMatchAnIndependentHmac) {
    const std::string secret = "c2VjcmV0LWtleS1vZi10aGUtZGV2aWNlIQ==";  // 24 bytes
    UrlParse live;
    ASSERT_EQ(0, live.Parse("rtmp://relay.test:1935/live?token=T1&expire=99&app=x/cam-1", "pk1",
                            "dev1", secret));
    std::string sign = OpensslSign("cam-1-pk1-dev1-T1", secret);
    ASSERT_EQ(64u, sign.size());
    EXPECT_EQ("rtmp://relay.test:1935/live?app=x&expire=99&token=T1-" + sign + "/cam-1",
              live.CalculateRtmpLiveUrl());

    UrlParse vod;
    ASSERT_EQ(0, vod.Parse("rtmp://relay.test/vod?session=S9&token=T2&other=1/rec", "pk1", "dev1",
                           secret));
    std::string vsign = OpensslSign("S9-pk1-dev1-T2", secret);
    EXPECT_EQ("rtmp://relay.test/vod?token=T2-" + vsign + "&session=S9/rec",
              vod.CalculateRtmpVodUrl());

    UrlParse voice;
    ASSERT_EQ(
        0, voice.Parse("rtmp://relay.test/talk?streamName=v1&token=T3/v1", "pk1", "dev1", secret));
    EXPECT_EQ(OpensslSign("v1-pk1-dev1-T3", secret), voice.CalculateVoiceIntercomSign());
}

TEST(UrlParse, SecretThatIsNotBase64GivesAnEmptySignature) {
    for (const char* bad : {"not base64!", "abc", "",
                            // 36 bytes: more than the key may hold
                            "MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5MDEyMzQ1"}) {
        SCOPED_TRACE(bad);
        UrlParse u;
        ASSERT_EQ(0, u.Parse("rtmp://h/live?token=T/s", "pk", "dn", bad));
        EXPECT_EQ("rtmp://h/live?token=T-/s", u.CalculateRtmpLiveUrl());
        EXPECT_EQ("", u.CalculateVoiceIntercomSign());
    }
}

}  // namespace

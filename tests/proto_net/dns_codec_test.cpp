#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "proto/dns.h"

using namespace kestrel;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void PutName(Bytes& b, const std::string& name) {
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        b.push_back(static_cast<uint8_t>(dot - start));
        b.insert(b.end(), name.begin() + start, name.begin() + dot);
        start = dot + 1;
    }
    b.push_back(0);
}

// A response header and the echoed question for `host`.
Bytes Answer(uint16_t id, const std::string& host, uint16_t an, uint16_t flags = 0x8180,
             uint16_t ns = 0) {
    Bytes b;
    Put16(b, id);
    Put16(b, flags);
    Put16(b, 1);
    Put16(b, an);
    Put16(b, ns);
    Put16(b, 0);
    PutName(b, host);
    Put16(b, 1);
    Put16(b, 1);
    return b;
}

// A record whose owner is a pointer to the question name (offset 12).
void Record(Bytes& b, uint16_t type, const Bytes& rdata, uint32_t ttl = 60) {
    b.push_back(0xc0);
    b.push_back(12);
    Put16(b, type);
    Put16(b, 1);
    Put16(b, static_cast<uint16_t>(ttl >> 16));
    Put16(b, static_cast<uint16_t>(ttl));
    Put16(b, static_cast<uint16_t>(rdata.size()));
    b.insert(b.end(), rdata.begin(), rdata.end());
}

int Parse(const Bytes& b, std::vector<std::string>* ips, uint16_t id = 0x1234,
          const std::string& host = "cam.example.test", uint32_t* ttl_out = nullptr) {
    std::vector<uint32_t> addrs;
    uint32_t ttl = 0;
    size_t used = 0;
    int ret = dns_parse_answer(b.data(), b.size(), id, host, &addrs, &ttl, &used);
    EXPECT_LE(used, b.size());
    ips->clear();
    for (uint32_t a : addrs)
        ips->push_back(dns_ipv4_text(a));
    if (ttl_out)
        *ttl_out = ttl;
    return ret;
}

TEST(DnsCodec, QueryIsARecursiveAQuestionWithTheGivenId) {
    uint8_t out[kDnsMaxMessage];
    int len = dns_build_query("cam.example.test", 0xbeef, out, sizeof(out));
    Bytes expect = {0xbe, 0xef, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    PutName(expect, "cam.example.test");
    Put16(expect, 1);
    Put16(expect, 1);
    ASSERT_EQ(static_cast<int>(expect.size()), len);
    EXPECT_EQ(expect, Bytes(out, out + len));

    EXPECT_EQ(len, dns_build_query("cam.example.test.", 0xbeef, out, sizeof(out)));
    EXPECT_EQ(DNS_BAD_NAME, dns_build_query("", 1, out, sizeof(out)));
    EXPECT_EQ(DNS_BAD_NAME, dns_build_query("a..b", 1, out, sizeof(out)));
    EXPECT_EQ(DNS_BAD_NAME, dns_build_query(std::string(64, 'a') + ".test", 1, out, sizeof(out)));
    EXPECT_EQ(DNS_BAD_NAME, dns_build_query(std::string(254, 'a'), 1, out, sizeof(out)));
    EXPECT_EQ(DNS_BUFFER_TOO_SHORT, dns_build_query("cam.example.test", 1, out, 20));
}

TEST(DnsCodec, TakesOnlyARecordsOfTheAnswerSection) {
    std::vector<std::string> ips;
    // CNAME with exactly four data bytes first, then the real address: the
    // CNAME's bytes are not an address.
    Bytes b = Answer(0x1234, "cam.example.test", 2);
    Record(b, 5, {2, 'a', 'b', 0});
    Record(b, 1, {10, 9, 8, 7}, 30);
    uint32_t ttl = 0;
    ASSERT_EQ(DNS_OK, Parse(b, &ips, 0x1234, "CAM.Example.test", &ttl));
    EXPECT_EQ(std::vector<std::string>{"10.9.8.7"}, ips);
    EXPECT_EQ(30u, ttl);

    // Several addresses, owner names written out in full rather than as pointers.
    Bytes several = Answer(0x1234, "cam.example.test", 2);
    for (uint8_t last : {1, 2}) {
        PutName(several, "cam.example.test");
        Put16(several, 1);
        Put16(several, 1);
        Put16(several, 0);
        Put16(several, 10);
        Put16(several, 4);
        several.insert(several.end(), {192, 0, 2, last});
    }
    ASSERT_EQ(DNS_OK, Parse(several, &ips));
    EXPECT_EQ((std::vector<std::string>{"192.0.2.1", "192.0.2.2"}), ips);

    // An A record in the authority section is not an answer.
    Bytes authority = Answer(0x1234, "cam.example.test", 0, 0x8180, 1);
    Record(authority, 1, {1, 2, 3, 4});
    EXPECT_EQ(DNS_NO_ADDRESS, Parse(authority, &ips));
    // AAAA and an A record of the wrong length are skipped.
    Bytes other = Answer(0x1234, "cam.example.test", 2);
    Record(other, 28, Bytes(16, 1));
    Record(other, 1, {1, 2, 3});
    EXPECT_EQ(DNS_NO_ADDRESS, Parse(other, &ips));
}

TEST(DnsCodec, RefusesWhatIsNotTheAnswerToOurQuery) {
    std::vector<std::string> ips;
    auto with_a = [](Bytes b) {
        Record(b, 1, {10, 0, 0, 1});
        return b;
    };
    struct Case {
        const char* what;
        Bytes msg;
        int ret;
    } cases[] = {
        {"other id", with_a(Answer(0x9999, "cam.example.test", 1)), DNS_NOT_ANSWER},
        {"a query, not a response", with_a(Answer(0x1234, "cam.example.test", 1, 0x0100)),
         DNS_NOT_ANSWER},
        {"other question", with_a(Answer(0x1234, "evil.test", 1)), DNS_NOT_ANSWER},
        {"NXDOMAIN", Answer(0x1234, "cam.example.test", 0, 0x8183), DNS_SERVER_ERROR},
        {"SERVFAIL", Answer(0x1234, "cam.example.test", 0, 0x8182), DNS_SERVER_ERROR},
        {"truncated flag", with_a(Answer(0x1234, "cam.example.test", 1, 0x8380)), DNS_TRUNCATED},
        {"header only", Bytes{0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1}, DNS_MALFORMED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.ret, Parse(c.msg, &ips));
        EXPECT_TRUE(ips.empty());
    }
}

TEST(DnsCodec, MalformedAnswersFailWithoutReadingPastTheMessage) {
    std::vector<std::string> ips;
    Bytes good = Answer(0x1234, "cam.example.test", 1);
    Record(good, 1, {10, 0, 0, 1});
    // Every cut of a good answer fails cleanly.
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + n);
        EXPECT_NE(DNS_OK, Parse(cut, &ips)) << "cut at " << n;
    }
    // More records announced than present.
    Bytes short_count = Answer(0x1234, "cam.example.test", 2);
    Record(short_count, 1, {10, 0, 0, 1});
    EXPECT_EQ(DNS_MALFORMED, Parse(short_count, &ips));
    EXPECT_TRUE(ips.empty())
        << "a broken answer must not yield the addresses read before the break";
    // An owner name that points at itself.
    Bytes loop = Answer(0x1234, "cam.example.test", 1);
    size_t at = loop.size();
    loop.push_back(static_cast<uint8_t>(0xc0 | (at >> 8)));
    loop.push_back(static_cast<uint8_t>(at));
    EXPECT_EQ(DNS_MALFORMED, Parse(loop, &ips));
    // Data length beyond the message.
    Bytes long_rdata = Answer(0x1234, "cam.example.test", 1);
    Record(long_rdata, 1, {10, 0, 0, 1});
    long_rdata[long_rdata.size() - 5] = 0x10;
    EXPECT_EQ(DNS_MALFORMED, Parse(long_rdata, &ips));
}

}  // namespace

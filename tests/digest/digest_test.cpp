#include "core/digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

const unsigned char* U(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(Md5, KnownVectorsAsHexWithoutTerminator) {
    const struct {
        const char* in;
        const char* hex;
    } cases[] = {{"", "d41d8cd98f00b204e9800998ecf8427e"},
                 {"abc", "900150983cd24fb0d6963f7d28e17f72"},
                 {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                  "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        unsigned char md[16];
        ASSERT_EQ(0, ks_md5(U(c.in), strlen(c.in), md));
        unsigned char text[34];
        memset(text, '#', sizeof(text));
        ASSERT_EQ(0, ks_md5_hexstr(md, text));
        EXPECT_EQ(c.hex, std::string(reinterpret_cast<char*>(text), 32));
        EXPECT_EQ('#', text[32]);  // the caller owns the terminator
    }
    unsigned char md[16];
    unsigned char text[33];
    EXPECT_EQ(-1, ks_md5(nullptr, 3, md));
    EXPECT_EQ(-1, ks_md5(U("abc"), 3, nullptr));
    EXPECT_EQ(-1, ks_md5_hexstr(nullptr, text));
    EXPECT_EQ(-1, ks_md5_hexstr(md, nullptr));
}

// --- Base64 --------------------------------------------------------------

TEST(Base64, EncodeRfc4648VectorsExactCapacityNoTerminator) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"},
                 {"abc", "YWJj"},
                 {"ab", "YWI="}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        unsigned ilen = strlen(c.in), want = strlen(c.out);
        unsigned char buf[16];
        memset(buf, '#', sizeof(buf));
        unsigned olen = 999;
        // Capacity exactly the encoded length: there is no room for (and no) NUL.
        ASSERT_EQ(0, ks_base64encode(U(c.in), ilen, want, buf, &olen));
        EXPECT_EQ(want, olen);
        EXPECT_EQ(c.out, std::string(reinterpret_cast<char*>(buf), olen));
        EXPECT_EQ('#', buf[olen]);
        if (want > 0) {
            olen = 0;
            memset(buf, '#', sizeof(buf));
            EXPECT_EQ(-1, ks_base64encode(U(c.in), ilen, want - 1, buf, &olen));
            EXPECT_EQ(want, olen);  // the needed length is reported even on refusal
            EXPECT_EQ('#', buf[0]);
        }
    }
    unsigned olen = 0;
    EXPECT_EQ(-1, ks_base64encode(U("abc"), 3, 100, nullptr, &olen));
    EXPECT_EQ(-1,
              ks_base64encode(U("abc"), 3, 100, reinterpret_cast<unsigned char*>(&olen), nullptr));
}

TEST(Base64, DecodeLengthRulesAndStrictAlphabet) {
    const struct {
        const char* in;
        int ret;
        std::string out;
    } cases[] = {
        {"", 0, ""},
        {"YWI=", 0, "ab"},
        {"Zg==", 0, "f"},
        {"Zm9vYmFy", 0, "foobar"},
        {"Zm9vYmE=", 0, "fooba"},
        {"YWJjZG", -1, ""},  // not a multiple of 4
        {"YWJ", -1, ""},
        // A name is refused rather than decoded into other bytes.
        {"Y*I=", -1, ""},
        {"AB=C", -1, ""},  // padding only at the end
        {"A===", -1, ""},
        {"YW I", -1, ""},
        {"YWI=\n\n\n\n", -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        unsigned char buf[16];
        memset(buf, '#', sizeof(buf));
        unsigned olen = 999;
        int ret = ks_base64decode(U(c.in), strlen(c.in), sizeof(buf), buf, &olen);
        ASSERT_EQ(c.ret, ret);
        if (ret == 0) {
            EXPECT_EQ(c.out, std::string(reinterpret_cast<char*>(buf), olen));
            EXPECT_EQ('#', buf[olen]);
        }
    }
    unsigned char buf[4];
    unsigned olen = 0;
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(-1, ks_base64decode(U("Zm9vYmFy"), 8, 5, buf, &olen));
    EXPECT_EQ(6u, olen);
    EXPECT_EQ('#', buf[0]);
    EXPECT_EQ(0, ks_base64decode(U("YWI="), 4, 2, buf, &olen));
    EXPECT_EQ(-1, ks_base64decode(U("YWI="), 4, 2, buf, nullptr));
}

// Lengths around the encoder's internal chunking and every byte value.
TEST(Base64, RoundTripAcrossLengths) {
    std::vector<unsigned char> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    for (unsigned n : {1u, 47u, 48u, 49u, 95u, 96u, 97u, 255u, 256u, 300u}) {
        SCOPED_TRACE(n);
        std::vector<unsigned char> enc((n + 2) / 3 * 4 + 1, '#');
        unsigned elen = 0;
        ASSERT_EQ(0, ks_base64encode(data.data(), n, enc.size() - 1, enc.data(), &elen));
        ASSERT_EQ(enc.size() - 1, elen);
        EXPECT_EQ('#', enc.back());
        std::vector<unsigned char> dec(n);
        unsigned dlen = 0;
        ASSERT_EQ(0, ks_base64decode(enc.data(), elen, n, dec.data(), &dlen));
        ASSERT_EQ(n, dlen);
        EXPECT_EQ(0, memcmp(dec.data(), data.data(), n));
    }
}

}  // namespace

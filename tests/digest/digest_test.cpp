#include "core/digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

std::string Hex(const unsigned char* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

const unsigned char* U(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// One digest family behind a common face, so every vector runs through the
// one-shot form, a piecewise update and a clone taken half way.
struct Family {
    const char* name;
    size_t len;
    int (*one_shot)(const unsigned char*, unsigned long, unsigned char*);
    std::string (*piecewise)(const std::string&, size_t piece);
    std::string (*cloned)(const std::string&);
};

template <typename Ctx, void (*Init)(Ctx*), void (*Free)(Ctx*), void (*Clone)(Ctx*, const Ctx*),
          int (*Starts)(Ctx*), int (*Update)(Ctx*, const unsigned char*, unsigned long),
          int (*Finish)(Ctx*, unsigned char*), size_t N>
struct Ops {
    static std::string Piecewise(const std::string& in, size_t piece) {
        Ctx c;
        Init(&c);
        EXPECT_EQ(0, Starts(&c));
        for (size_t off = 0; off < in.size(); off += piece) {
            EXPECT_EQ(0, Update(&c, U(in) + off, std::min(piece, in.size() - off)));
        }
        unsigned char out[N];
        EXPECT_EQ(0, Finish(&c, out));
        Free(&c);
        return Hex(out, N);
    }
    // Clone after the first half, then finish both copies with the second half:
    // the clone must carry the whole running state, not just the chaining words.
    static std::string Cloned(const std::string& in) {
        Ctx a, b;
        Init(&a);
        Init(&b);
        Starts(&a);
        size_t half = in.size() / 2;
        Update(&a, U(in), half);
        Clone(&b, &a);
        Update(&a, U(in) + half, in.size() - half);
        Update(&b, U(in) + half, in.size() - half);
        unsigned char oa[N], ob[N];
        Finish(&a, oa);
        Finish(&b, ob);
        Free(&a);
        Free(&b);
        EXPECT_EQ(Hex(oa, N), Hex(ob, N));
        return Hex(ob, N);
    }
};

using Md5Ops = Ops<ks_md5_context, ks_md5_init, ks_md5_free, ks_md5_clone, ks_md5_starts,
                   ks_md5_update, ks_md5_finish, 16>;
using Sha1Ops = Ops<ks_sha1_context, ks_sha1_init, ks_sha1_free, ks_sha1_clone, ks_sha1_starts,
                    ks_sha1_update, ks_sha1_finish, 20>;
using Sha256Ops = Ops<ks_sha256_context, ks_sha256_init, ks_sha256_free, ks_sha256_clone,
                      ks_sha256_starts, ks_sha256_update, ks_sha256_finish, 32>;

const Family kMd5{"md5", 16, ks_md5, Md5Ops::Piecewise, Md5Ops::Cloned};
const Family kSha1{"sha1", 20, ks_sha1, Sha1Ops::Piecewise, Sha1Ops::Cloned};
const Family kSha256{"sha256", 32, ks_sha256, Sha256Ops::Piecewise, Sha256Ops::Cloned};

const std::string kAbc448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string kMillionA(1000000, 'a');

struct DigestVector {
    const Family* fam;
    std::string input;
    const char* expect;
};

// RFC 1321 appendix A.5 and FIPS 180 example messages.
const std::vector<DigestVector> kDigestVectors = {
    {&kMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {&kMd5, "a", "0cc175b9c0f1b6a831c399e269772661"},
    {&kMd5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {&kMd5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {&kMd5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {&kMd5, "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {&kSha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {&kSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {&kSha1, kAbc448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {&kSha1, kMillionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {&kSha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {&kSha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {&kSha256, kAbc448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {&kSha256, kMillionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Digest, KnownVectorsOneShotPiecewiseAndCloned) {
    for (const auto& v : kDigestVectors) {
        SCOPED_TRACE(std::string(v.fam->name) + " len " + std::to_string(v.input.size()));
        unsigned char out[32];
        ASSERT_EQ(0, v.fam->one_shot(U(v.input), v.input.size(), out));
        EXPECT_EQ(v.expect, Hex(out, v.fam->len));
        // 7 does not divide 64, so pieces straddle block boundaries.
        EXPECT_EQ(v.expect, v.fam->piecewise(v.input, 7));
        EXPECT_EQ(v.expect, v.fam->cloned(v.input));
    }
}

// _process compresses exactly one block; its effect must equal what update
// does with a full 64-byte block.
TEST(Digest, ProcessMatchesOneBlockOfUpdate) {
    unsigned char block[64];
    for (int i = 0; i < 64; ++i)
        block[i] = static_cast<unsigned char>(i * 7);

    ks_md5_context m1, m2;
    ks_md5_init(&m1);
    ks_md5_init(&m2);
    ks_md5_starts(&m1);
    ks_md5_starts(&m2);
    ASSERT_EQ(0, ks_md5_process(&m1, block));
    ks_md5_update(&m2, block, 64);
    EXPECT_EQ(0, memcmp(m1.ctx.state, m2.ctx.state, sizeof(m1.ctx.state)));

    ks_sha1_context s1, s2;
    ks_sha1_init(&s1);
    ks_sha1_init(&s2);
    ks_sha1_starts(&s1);
    ks_sha1_starts(&s2);
    ASSERT_EQ(0, ks_sha1_process(&s1, block));
    ks_sha1_update(&s2, block, 64);
    EXPECT_EQ(0, memcmp(s1.ctx.state, s2.ctx.state, sizeof(s1.ctx.state)));

    ks_sha256_context t1, t2;
    ks_sha256_init(&t1);
    ks_sha256_init(&t2);
    ks_sha256_starts(&t1);
    ks_sha256_starts(&t2);
    ASSERT_EQ(0, ks_sha256_process(&t1, block));
    ks_sha256_update(&t2, block, 64);
    EXPECT_EQ(0, memcmp(t1.ctx.state, t2.ctx.state, sizeof(t1.ctx.state)));
    EXPECT_EQ(0, t1.ctx.is224);

    ks_md5_free(&m1);
    ks_md5_free(&m2);
    ks_sha1_free(&s1);
    ks_sha1_free(&s2);
    ks_sha256_free(&t1);
    ks_sha256_free(&t2);
}

TEST(Digest, FreeZeroesAndNullArgumentsAreRefused) {
    ks_sha256_context c;
    ks_sha256_init(&c);
    ks_sha256_starts(&c);
    ks_sha256_update(&c, U("abc"), 3);
    ks_sha256_free(&c);
    ks_sha256_context zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, memcmp(&c, &zero, sizeof(c)));

    unsigned char out[32];
    EXPECT_EQ(-1, ks_md5(nullptr, 3, out));
    EXPECT_EQ(-1, ks_sha1(U("abc"), 3, nullptr));
    EXPECT_EQ(-1, ks_sha256_update(nullptr, U("abc"), 3));
    EXPECT_EQ(-1, ks_md5_finish(nullptr, out));
    // An empty message may come with a null pointer.
    EXPECT_EQ(0, ks_md5(nullptr, 0, out));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Hex(out, 16));
}

TEST(Hex, DigitsAndMd5HexStringWithoutTerminator) {
    const struct {
        unsigned char in;
        char out;
    } digits[] = {{0x00, '0'}, {0x09, '9'}, {0x0a, 'a'}, {0x0f, 'f'}, {0xf3, '3'}, {0xab, 'b'}};
    for (const auto& d : digits)
        EXPECT_EQ(d.out, ks_hb2hex(d.in)) << int(d.in);

    unsigned char md[16];
    ks_md5(U(""), 0, md);
    unsigned char text[34];
    memset(text, '#', sizeof(text));
    ASSERT_EQ(0, ks_md5_hexstr(md, text));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", std::string(reinterpret_cast<char*>(text), 32));
    EXPECT_EQ('#', text[32]);  // the caller owns the terminator
    EXPECT_EQ(-1, ks_md5_hexstr(nullptr, text));
}

// --- HMAC ----------------------------------------------------------------

enum HmacKind { kMd5Hex, kSha1Hex, kSha1RawA, kSha1RawB, kSha256Raw };

struct HmacVector {
    HmacKind kind;
    std::string key;
    std::string msg;
    const char* expect;  // lowercase hex of the MAC
};

// Runs one HMAC function into a buffer pre-filled with '#'. Returns its
// result; `out` receives the whole buffer so tests can check what was written.
int RunHmac(HmacKind kind, const char* msg, int msg_len, const char* key, int key_len,
            bool null_out, std::string* out) {
    char buf[80];
    memset(buf, '#', sizeof(buf));
    char* o = null_out ? nullptr : buf;
    unsigned char* uo = reinterpret_cast<unsigned char*>(o);
    int ret = -2;
    switch (kind) {
        case kMd5Hex:
            ret = ks_hmac_md5(msg, msg_len, o, key, key_len);
            break;
        case kSha1Hex:
            ret = ks_hmac_sha1(msg, msg_len, o, key, key_len);
            break;
        case kSha1RawA:
            ret = ks_hmac_sha1_hex(msg, msg_len, uo, key, key_len);
            break;
        case kSha1RawB:
            ret = ks_hmac_sha1_raw(msg, msg_len, uo, key, key_len);
            break;
        case kSha256Raw:
            ret = ks_hmac_sha256(msg, msg_len, uo, key, key_len);
            break;
    }
    out->assign(buf, sizeof(buf));
    return ret;
}

size_t WrittenLen(HmacKind k) {
    switch (k) {
        case kMd5Hex:
            return 32;
        case kSha1Hex:
            return 40;
        case kSha1RawA:
        case kSha1RawB:
            return 20;
        case kSha256Raw:
            return 32;
    }
    return 0;
}

std::string KeyRange(int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i)
        s += static_cast<char>(i);
    return s;
}

// RFC 2202 (MD5, SHA-1) and RFC 4231 (SHA-256) test cases 1-4.
const std::vector<HmacVector> kHmacVectors = {
    {kMd5Hex, std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
    {kMd5Hex, "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
    {kMd5Hex, std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
    {kMd5Hex, KeyRange(1, 25), std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
    {kSha1Hex, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
    {kSha1Hex, "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {kSha1RawA, std::string(20, '\xaa'), std::string(50, '\xdd'),
     "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
    {kSha1RawB, KeyRange(1, 25), std::string(50, '\xcd'),
     "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
    {kSha256Raw, std::string(20, '\x0b'), "Hi There",
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {kSha256Raw, "Jefe", "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {kSha256Raw, std::string(20, '\xaa'), std::string(50, '\xdd'),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {kSha256Raw, KeyRange(1, 25), std::string(50, '\xcd'),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
};

TEST(Hmac, RfcVectorsAndExactOutputLength) {
    for (const auto& v : kHmacVectors) {
        SCOPED_TRACE(std::string("kind ") + std::to_string(v.kind) + " expect " + v.expect);
        std::string out;
        ASSERT_EQ(0, RunHmac(v.kind, v.msg.data(), static_cast<int>(v.msg.size()), v.key.data(),
                             static_cast<int>(v.key.size()), false, &out));
        size_t n = WrittenLen(v.kind);
        std::string got = (v.kind == kMd5Hex || v.kind == kSha1Hex)
                              ? out.substr(0, n)
                              : Hex(reinterpret_cast<const unsigned char*>(out.data()), n);
        EXPECT_EQ(v.expect, got);
        EXPECT_EQ('#', out[n]) << "wrote past the MAC (a terminator?)";
    }
}

TEST(Hmac, RefusedInputsLeaveOutputUntouched) {
    const std::string key64(64, 'k');
    const std::string key65(65, 'k');
    const std::string untouched(80, '#');
    for (HmacKind kind : {kMd5Hex, kSha1Hex, kSha1RawA, kSha1RawB, kSha256Raw}) {
        SCOPED_TRACE(kind);
        std::string out;
        EXPECT_EQ(-1, RunHmac(kind, "msg", 3, key65.data(), 65, false, &out));
        EXPECT_EQ(untouched, out);
        EXPECT_EQ(-1, RunHmac(kind, nullptr, 3, "key", 3, false, &out));
        EXPECT_EQ(untouched, out);
        EXPECT_EQ(-1, RunHmac(kind, "msg", 3, nullptr, 3, false, &out));
        EXPECT_EQ(untouched, out);
        EXPECT_EQ(-1, RunHmac(kind, "msg", -1, "key", 3, false, &out));
        EXPECT_EQ(untouched, out);
        EXPECT_EQ(-1, RunHmac(kind, "msg", 3, "key", 3, true, &out));
        // A key of exactly one block is still accepted.
        EXPECT_EQ(0, RunHmac(kind, "msg", 3, key64.data(), 64, false, &out));
        EXPECT_NE(untouched, out);
    }
    std::string out;
    ASSERT_EQ(0, RunHmac(kMd5Hex, "msg", 3, key64.data(), 64, false, &out));
    EXPECT_EQ("7350d7e9ec9d1235174e9ded54edfa8c", out.substr(0, 32));
}

TEST(Hmac, Sha1Base64) {
    char out[40];
    memset(out, '#', sizeof(out));
    int len = sizeof(out);
    ASSERT_EQ(0, ks_hmac_sha1_base64("what do ya want for nothing?", 28, "Jefe", 4, out, &len));
    EXPECT_EQ(28, len);
    EXPECT_EQ("7/zfauXrL6LSdBbV8YTfnCWafHk=", std::string(out, 28));
    EXPECT_EQ('#', out[28]);

    // Capacity one short of the 28 characters: refused, nothing written.
    memset(out, '#', sizeof(out));
    len = 27;
    EXPECT_EQ(-1, ks_hmac_sha1_base64("m", 1, "Jefe", 4, out, &len));
    EXPECT_EQ(std::string(40, '#'), std::string(out, 40));
    len = 28;
    EXPECT_EQ(-1, ks_hmac_sha1_base64("m", 1, std::string(65, 'k').c_str(), 65, out, &len));
    EXPECT_EQ(-1, ks_hmac_sha1_base64("m", 1, "Jefe", 4, out, nullptr));
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

TEST(Base64, DecodeLengthRulesAndLenientAlphabet) {
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
        // Non-alphabet characters are taken as zero bits, not rejected:
        // 'Y'=24, '*'=0, 'I'=8 -> 0x60 0x02.
        {"Y*I=", 0, std::string("\x60\x02", 2)},
        // Only the last two characters count as padding.
        {"AB=C", 0, std::string("\x00\x10", 2)},
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

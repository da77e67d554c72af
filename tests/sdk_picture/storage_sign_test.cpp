// Storage request signatures against the openssl command line, and the
// guards on what goes into a request head.
#include "proto/storage_sign.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace kestrel;

namespace {

// Base64(HMAC-SHA1) as `openssl dgst -sha1 -hmac KEY -binary | base64` makes it.
std::string OpensslSignature(const std::string& key, const std::string& text) {
    char path[] = "/tmp/kestrel-sign-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE* f = fdopen(fd, "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    std::string cmd = "openssl dgst -sha1 -hmac '" + key + "' -binary < " + path + " | base64";
    FILE* p = popen(cmd.c_str(), "r");
    EXPECT_NE(nullptr, p);
    char buf[128] = {0};
    size_t n = fread(buf, 1, sizeof(buf) - 1, p);
    pclose(p);
    remove(path);
    std::string out(buf, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

TEST(StorageSign, StringToSignHasEveryLineInOrder) {
    EXPECT_EQ(
        "PUT\n\nimage/jpeg\nThu, 10 Dec 2026 15:00:00 GMT\nx-kiv-security-token:tok\n/bkt/p/a.jpg",
        storage_string_to_sign("PUT", "image/jpeg", "Thu, 10 Dec 2026 15:00:00 GMT", "tok", "bkt",
                               "/p/a.jpg"));
    // An append carries its sub-resources; an empty content type keeps its line.
    EXPECT_EQ("POST\n\n\nD\nx-kiv-security-token:t\n/b/o.flv?append&position=0",
              storage_string_to_sign("POST", "", "D", "t", "b", "/o.flv?append&position=0"));
}

TEST(StorageSign, SignatureMatchesOpenssl) {
    const std::string text =
        storage_string_to_sign("PUT", "image/jpeg", "Thu, 10 Dec 2026 15:00:00 GMT",
                               "CAES+wMIARKAAZhjH0EUOIhJMQBMjRywXq7MQ/cjLYg80Aho1ek0Jm63X",
                               "bucket", "/pics/0123456789abcdef0123456789abcdef_05");
    struct Case {
        const char* name;
        std::string key;
    } cases[] = {
        {"short key", "secret"},
        {"64-byte key (one block)", std::string(64, 'k')},
        // Longer than a block: HMAC hashes the key first.
        {"100-byte key", std::string(60, 'a') + std::string(40, 'Z')},
        {"one byte", "x"},
    };
    for (const Case& c : cases) {
        std::string sig;
        ASSERT_EQ(0, storage_signature(c.key, text, sig)) << c.name;
        EXPECT_EQ(OpensslSignature(c.key, text), sig) << c.name;
        EXPECT_EQ(28u, sig.size()) << c.name;
    }
    std::string sig;
    ASSERT_EQ(0, storage_signature("k", "", sig));
    EXPECT_EQ(OpensslSignature("k", ""), sig);
    EXPECT_EQ("KIV ak:" + sig, storage_authorization("ak", sig));
}

TEST(StorageSign, ControlCharactersAreRefused) {
    struct Case {
        std::string text;
        bool clean;
    } cases[] = {
        {"image/jpeg", true},
        {"", true},
        {"a b~!\x80\xff", true},
        {"a\r\nX-Evil: 1", false},
        {std::string("a\0b", 3), false},
        {"tab\there", false},
        {"del\x7f", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.clean, storage_text_clean(c.text)) << c.text;
}

TEST(StorageSign, ObjectKeyIsPercentEncodedForTheRequestLine) {
    EXPECT_EQ("pics/a-b_c.~1.jpg", storage_encode_key("pics/a-b_c.~1.jpg"));
    EXPECT_EQ("a%20b%3Fc%23d%25%0D%0A", storage_encode_key("a b?c#d%\r\n"));
    EXPECT_EQ("%C3%A9", storage_encode_key("\xc3\xa9"));
}

}  // namespace

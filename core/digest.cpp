#include "core/digest.h"

#include <mbedtls/base64.h>
#include <mbedtls/md.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "core/logger.h"

namespace kestrel {

namespace {

bool bad_args(const char* fn, bool bad) {
    if (bad) {
        KS_LOGE("%s: invalid argument", fn);
    }
    return bad;
}

int md_result(const char* fn, int ret) {
    if (ret != 0) {
        KS_LOGE("%s failed, ret = %d", fn, ret);
        return -1;
    }
    return 0;
}

}  // namespace

// --- MD5 -------------------------------------------------------------------

void ks_md5_init(ks_md5_context* ctx) {
    if (ctx != nullptr) {
        mbedtls_md5_init(&ctx->ctx);
    }
}

void ks_md5_free(ks_md5_context* ctx) {
    if (ctx != nullptr) {
        mbedtls_md5_free(&ctx->ctx);
    }
}

void ks_md5_clone(ks_md5_context* dst, const ks_md5_context* src) {
    if (bad_args(__func__, dst == nullptr || src == nullptr)) {
        return;
    }
    mbedtls_md5_clone(&dst->ctx, &src->ctx);
}

int ks_md5_starts(ks_md5_context* ctx) {
    if (bad_args(__func__, ctx == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_md5_starts_ret(&ctx->ctx));
}

int ks_md5_process(ks_md5_context* ctx, const unsigned char block[64]) {
    if (bad_args(__func__, ctx == nullptr || block == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_internal_md5_process(&ctx->ctx, block));
}

int ks_md5_update(ks_md5_context* ctx, const unsigned char* input, unsigned long len) {
    if (bad_args(__func__, ctx == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    return md_result(__func__, mbedtls_md5_update_ret(&ctx->ctx, input, len));
}

int ks_md5_finish(ks_md5_context* ctx, unsigned char output[16]) {
    if (bad_args(__func__, ctx == nullptr || output == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_md5_finish_ret(&ctx->ctx, output));
}

int ks_md5(const unsigned char* input, unsigned long len, unsigned char output[16]) {
    if (bad_args(__func__, output == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    return md_result(__func__, mbedtls_md5_ret(input, len, output));
}

// --- SHA-1 -----------------------------------------------------------------

void ks_sha1_init(ks_sha1_context* ctx) {
    if (ctx != nullptr) {
        mbedtls_sha1_init(&ctx->ctx);
    }
}

void ks_sha1_free(ks_sha1_context* ctx) {
    if (ctx != nullptr) {
        mbedtls_sha1_free(&ctx->ctx);
    }
}

void ks_sha1_clone(ks_sha1_context* dst, const ks_sha1_context* src) {
    if (bad_args(__func__, dst == nullptr || src == nullptr)) {
        return;
    }
    mbedtls_sha1_clone(&dst->ctx, &src->ctx);
}

int ks_sha1_starts(ks_sha1_context* ctx) {
    if (bad_args(__func__, ctx == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha1_starts_ret(&ctx->ctx));
}

int ks_sha1_process(ks_sha1_context* ctx, const unsigned char block[64]) {
    if (bad_args(__func__, ctx == nullptr || block == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_internal_sha1_process(&ctx->ctx, block));
}

int ks_sha1_update(ks_sha1_context* ctx, const unsigned char* input, unsigned long len) {
    if (bad_args(__func__, ctx == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha1_update_ret(&ctx->ctx, input, len));
}

int ks_sha1_finish(ks_sha1_context* ctx, unsigned char output[20]) {
    if (bad_args(__func__, ctx == nullptr || output == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha1_finish_ret(&ctx->ctx, output));
}

int ks_sha1(const unsigned char* input, unsigned long len, unsigned char output[20]) {
    if (bad_args(__func__, output == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha1_ret(input, len, output));
}

// --- SHA-256 ---------------------------------------------------------------

void ks_sha256_init(ks_sha256_context* ctx) {
    if (ctx != nullptr) {
        mbedtls_sha256_init(&ctx->ctx);
    }
}

void ks_sha256_free(ks_sha256_context* ctx) {
    if (ctx != nullptr) {
        mbedtls_sha256_free(&ctx->ctx);
    }
}

void ks_sha256_clone(ks_sha256_context* dst, const ks_sha256_context* src) {
    if (bad_args(__func__, dst == nullptr || src == nullptr)) {
        return;
    }
    mbedtls_sha256_clone(&dst->ctx, &src->ctx);
}

int ks_sha256_starts(ks_sha256_context* ctx) {
    if (bad_args(__func__, ctx == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha256_starts_ret(&ctx->ctx, 0));
}

int ks_sha256_process(ks_sha256_context* ctx, const unsigned char block[64]) {
    if (bad_args(__func__, ctx == nullptr || block == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_internal_sha256_process(&ctx->ctx, block));
}

int ks_sha256_update(ks_sha256_context* ctx, const unsigned char* input, unsigned long len) {
    if (bad_args(__func__, ctx == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha256_update_ret(&ctx->ctx, input, len));
}

int ks_sha256_finish(ks_sha256_context* ctx, unsigned char output[32]) {
    if (bad_args(__func__, ctx == nullptr || output == nullptr)) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha256_finish_ret(&ctx->ctx, output));
}

int ks_sha256(const unsigned char* input, unsigned long len, unsigned char output[32]) {
    if (bad_args(__func__, output == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    return md_result(__func__, mbedtls_sha256_ret(input, len, output, 0));
}

// --- Hex -------------------------------------------------------------------

char ks_hb2hex(unsigned char hb) {
    static const char kDigits[] = "0123456789abcdef";
    return kDigits[hb & 0x0f];
}

namespace {

void to_hex(const unsigned char* raw, size_t len, char* out) {
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = ks_hb2hex(raw[i] >> 4);
        out[2 * i + 1] = ks_hb2hex(raw[i]);
    }
}

}  // namespace

int ks_md5_hexstr(const unsigned char* digest, unsigned char* output) {
    if (bad_args(__func__, digest == nullptr || output == nullptr)) {
        return -1;
    }
    to_hex(digest, KS_MD5_LEN, reinterpret_cast<char*>(output));
    return 0;
}

// --- HMAC ------------------------------------------------------------------

namespace {

// Computes the raw HMAC into `mac` (large enough for the digest). Keys are
// limited to one block: every signing key the system uses fits, and the
// limit is part of the contract callers were written against.
int hmac_raw(const char* fn, mbedtls_md_type_t type, const char* msg, int msg_len, const char* key,
             int key_len, bool out_null, unsigned char* mac) {
    if (msg == nullptr || key == nullptr || out_null || msg_len < 0 || key_len < 0) {
        KS_LOGE("%s: invalid argument", fn);
        return -1;
    }
    if (key_len > KS_HMAC_MAX_KEY_LEN) {
        KS_LOGE("%s: key too long, len = %d, max = %d", fn, key_len, KS_HMAC_MAX_KEY_LEN);
        return -1;
    }
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    if (info == nullptr) {
        KS_LOGE("%s: digest not available", fn);
        return -1;
    }
    int ret = mbedtls_md_hmac(
        info, reinterpret_cast<const unsigned char*>(key), static_cast<size_t>(key_len),
        reinterpret_cast<const unsigned char*>(msg), static_cast<size_t>(msg_len), mac);
    return md_result(fn, ret);
}

}  // namespace

int ks_hmac_md5(const char* msg, int msg_len, char* output, const char* key, int key_len) {
    unsigned char mac[KS_MD5_LEN];
    if (hmac_raw(__func__, MBEDTLS_MD_MD5, msg, msg_len, key, key_len, output == nullptr, mac) !=
        0) {
        return -1;
    }
    to_hex(mac, sizeof(mac), output);
    return 0;
}

int ks_hmac_sha1(const char* msg, int msg_len, char* output, const char* key, int key_len) {
    unsigned char mac[KS_SHA1_LEN];
    if (hmac_raw(__func__, MBEDTLS_MD_SHA1, msg, msg_len, key, key_len, output == nullptr, mac) !=
        0) {
        return -1;
    }
    to_hex(mac, sizeof(mac), output);
    return 0;
}

int ks_hmac_sha1_hex(const char* msg, int msg_len, unsigned char* output, const char* key,
                     int key_len) {
    unsigned char mac[KS_SHA1_LEN];
    if (hmac_raw(__func__, MBEDTLS_MD_SHA1, msg, msg_len, key, key_len, output == nullptr, mac) !=
        0) {
        return -1;
    }
    memcpy(output, mac, sizeof(mac));
    return 0;
}

int ks_hmac_sha1_raw(const char* msg, int msg_len, unsigned char* output, const char* key,
                     int key_len) {
    unsigned char mac[KS_SHA1_LEN];
    if (hmac_raw(__func__, MBEDTLS_MD_SHA1, msg, msg_len, key, key_len, output == nullptr, mac) !=
        0) {
        return -1;
    }
    memcpy(output, mac, sizeof(mac));
    return 0;
}

int ks_hmac_sha256(const char* msg, int msg_len, unsigned char* output, const char* key,
                   int key_len) {
    unsigned char mac[KS_SHA256_LEN];
    if (hmac_raw(__func__, MBEDTLS_MD_SHA256, msg, msg_len, key, key_len, output == nullptr, mac) !=
        0) {
        return -1;
    }
    memcpy(output, mac, sizeof(mac));
    return 0;
}

int ks_hmac_sha1_base64(const char* msg, int msg_len, const char* key, int key_len, char* output,
                        int* output_len) {
    if (bad_args(__func__, output_len == nullptr || *output_len < 0)) {
        return -1;
    }
    unsigned char mac[KS_SHA1_LEN];
    if (hmac_raw(__func__, MBEDTLS_MD_SHA1, msg, msg_len, key, key_len, output == nullptr, mac) !=
        0) {
        return -1;
    }
    unsigned olen = 0;
    if (ks_base64encode(mac, sizeof(mac), static_cast<unsigned>(*output_len),
                        reinterpret_cast<unsigned char*>(output), &olen) != 0) {
        return -1;
    }
    *output_len = static_cast<int>(olen);
    return 0;
}

// --- Base64 ----------------------------------------------------------------

int ks_base64encode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen) {
    if (bad_args(__func__, olen == nullptr || (input == nullptr && ilen != 0))) {
        return -1;
    }
    uint64_t need = (static_cast<uint64_t>(ilen) + 2) / 3 * 4;
    if (need > UINT_MAX) {
        KS_LOGE("ks_base64encode: input too long, len = %u", ilen);
        return -1;
    }
    *olen = static_cast<unsigned>(need);
    if (output == nullptr || capacity < need) {
        KS_LOGE("ks_base64encode: output too small, need = %u, capacity = %u", *olen, capacity);
        return -1;
    }
    // The library always appends a NUL, which our callers' buffers have no
    // room for; encode in chunks through a stack buffer instead.
    constexpr unsigned kChunkIn = 48;
    constexpr unsigned kChunkOut = kChunkIn / 3 * 4;
    unsigned char chunk[kChunkOut + 1];
    unsigned in_off = 0;
    unsigned out_off = 0;
    while (in_off < ilen) {
        unsigned n = ilen - in_off < kChunkIn ? ilen - in_off : kChunkIn;
        size_t written = 0;
        int ret = mbedtls_base64_encode(chunk, sizeof(chunk), &written, input + in_off, n);
        if (ret != 0) {
            KS_LOGE("ks_base64encode: encode failed, ret = %d", ret);
            return -1;
        }
        memcpy(output + out_off, chunk, written);
        in_off += n;
        out_off += static_cast<unsigned>(written);
    }
    return 0;
}

namespace {

// Outside the alphabet (including "=") counts as zero bits.
unsigned b64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 0;
}

}  // namespace

int ks_base64decode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen) {
    if (bad_args(__func__, olen == nullptr || (input == nullptr && ilen != 0))) {
        return -1;
    }
    if (ilen % 4 != 0) {
        KS_LOGE("ks_base64decode: length %u is not a multiple of 4", ilen);
        return -1;
    }
    unsigned need = ilen / 4 * 3;
    if (ilen > 0) {
        need -= input[ilen - 1] == '=' ? 1 : 0;
        need -= input[ilen - 2] == '=' ? 1 : 0;
    }
    *olen = need;
    if (need > 0 && (output == nullptr || capacity < need)) {
        KS_LOGE("ks_base64decode: output too small, need = %u, capacity = %u", need, capacity);
        return -1;
    }
    unsigned out = 0;
    for (unsigned i = 0; i < ilen; i += 4) {
        uint32_t v = b64_value(input[i]) << 18 | b64_value(input[i + 1]) << 12 |
                     b64_value(input[i + 2]) << 6 | b64_value(input[i + 3]);
        const unsigned char bytes[3] = {static_cast<unsigned char>(v >> 16),
                                        static_cast<unsigned char>(v >> 8),
                                        static_cast<unsigned char>(v)};
        for (unsigned k = 0; k < 3 && out < need; ++k) {
            output[out++] = bytes[k];
        }
    }
    return 0;
}

}  // namespace kestrel

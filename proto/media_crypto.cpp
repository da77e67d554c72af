#include "proto/media_crypto.h"

#include <mbedtls/aes.h>
#include <mbedtls/base64.h>

#include <cstring>

namespace kestrel {

namespace {

constexpr size_t kBlock = 16;

bool decode16(const std::string& b64, uint8_t out[16]) {
    // Decode into room for more than 16 bytes so a longer value is detected
    // rather than cut.
    uint8_t tmp[64];
    size_t n = 0;
    if (b64.empty() || b64.size() > 88 ||
        mbedtls_base64_decode(tmp, sizeof(tmp), &n, reinterpret_cast<const uint8_t*>(b64.data()),
                              b64.size()) != 0 ||
        n != kBlock) {
        return false;
    }
    memcpy(out, tmp, kBlock);
    return true;
}

int cbc(const MediaKey& key, int mode, size_t len, const uint8_t* in, uint8_t* out) {
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    uint8_t iv[kBlock];
    memcpy(iv, key.iv, kBlock);
    int rc = mode == MBEDTLS_AES_ENCRYPT ? mbedtls_aes_setkey_enc(&ctx, key.key, 128)
                                         : mbedtls_aes_setkey_dec(&ctx, key.key, 128);
    if (rc == 0) {
        rc = mbedtls_aes_crypt_cbc(&ctx, mode, len, iv, in, out);
    }
    mbedtls_aes_free(&ctx);
    return rc == 0 ? CRYPTO_OK : CRYPTO_FAILED;
}

}  // namespace

const char* crypto_result_text(int result) {
    switch (result) {
        case CRYPTO_OK:
            return "ok";
        case CRYPTO_BAD_KEY:
            return "key is not 16 bytes of base64";
        case CRYPTO_BAD_IV:
            return "iv is not 16 bytes of base64";
        case CRYPTO_BAD_LENGTH:
            return "ciphertext is not whole 16-byte blocks";
        case CRYPTO_BAD_PADDING:
            return "bad padding";
        case CRYPTO_FAILED:
            return "cipher failed";
        default:
            return "unknown result";
    }
}

int media_key_from_base64(const std::string& key_b64, const std::string& iv_b64, MediaKey* out) {
    MediaKey k;
    if (!decode16(key_b64, k.key)) {
        return CRYPTO_BAD_KEY;
    }
    if (!decode16(iv_b64, k.iv)) {
        return CRYPTO_BAD_IV;
    }
    *out = k;
    return CRYPTO_OK;
}

int media_encrypt(const MediaKey& key, std::vector<uint8_t>* buf, size_t from, size_t* pad) {
    if (from > buf->size()) {
        return CRYPTO_BAD_LENGTH;
    }
    size_t n = kBlock - (buf->size() - from) % kBlock;
    buf->insert(buf->end(), n, static_cast<uint8_t>(n));
    uint8_t* p = buf->data() + from;
    int r = cbc(key, MBEDTLS_AES_ENCRYPT, buf->size() - from, p, p);
    if (r != CRYPTO_OK) {
        buf->resize(buf->size() - n);
        return r;
    }
    if (pad) {
        *pad = n;
    }
    return CRYPTO_OK;
}

int media_decrypt(const MediaKey& key, const uint8_t* data, size_t len, std::vector<uint8_t>* out) {
    if (!data || len < kBlock || len % kBlock != 0) {
        return CRYPTO_BAD_LENGTH;
    }
    out->resize(len);
    int r = cbc(key, MBEDTLS_AES_DECRYPT, len, data, out->data());
    if (r != CRYPTO_OK) {
        out->clear();
        return r;
    }
    uint8_t n = out->back();
    bool ok = n >= 1 && n <= kBlock;
    for (size_t i = 0; ok && i < n; ++i) {
        ok = (*out)[len - 1 - i] == n;
    }
    if (!ok) {
        out->clear();
        return CRYPTO_BAD_PADDING;
    }
    out->resize(len - n);
    return CRYPTO_OK;
}

}  // namespace kestrel

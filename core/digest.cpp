#include "core/digest.h"

#include <mbedtls/base64.h>
#include <mbedtls/md5.h>

#include <algorithm>
#include <vector>

#include "core/logger.h"

namespace kestrel {

namespace {

bool bad_args(const char* fn, bool bad) {
    if (bad) {
        KS_LOGE("%s: bad arguments", fn);
    }
    return bad;
}

}  // namespace

int ks_md5(const unsigned char* input, unsigned long len, unsigned char output[16]) {
    if (bad_args(__func__, output == nullptr || (input == nullptr && len != 0))) {
        return -1;
    }
    static const unsigned char kEmpty = 0;
    return mbedtls_md5_ret(input != nullptr ? input : &kEmpty, len, output) == 0 ? 0 : -1;
}

int ks_md5_hexstr(const unsigned char* digest, unsigned char* output) {
    if (bad_args(__func__, digest == nullptr || output == nullptr)) {
        return -1;
    }
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < KS_MD5_LEN; ++i) {
        output[2 * i] = static_cast<unsigned char>(kDigits[digest[i] >> 4]);
        output[2 * i + 1] = static_cast<unsigned char>(kDigits[digest[i] & 0x0f]);
    }
    return 0;
}

int ks_base64encode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen) {
    if (bad_args(__func__, olen == nullptr || (input == nullptr && ilen != 0))) {
        return -1;
    }
    const unsigned long need = 4ul * ((static_cast<unsigned long>(ilen) + 2) / 3);
    *olen = static_cast<unsigned>(need);
    if (need == 0) {
        return 0;
    }
    if (output == nullptr || capacity < need) {
        KS_LOGE("ks_base64encode: output too small, need = %lu, capacity = %u", need, capacity);
        return -1;
    }
    // mbedTLS writes a terminating NUL, which the caller has not made room for.
    std::vector<unsigned char> tmp(need + 1);
    size_t written = 0;
    if (mbedtls_base64_encode(tmp.data(), tmp.size(), &written, input, ilen) != 0 ||
        written != need) {
        KS_LOGE("ks_base64encode: encoding %u bytes failed", ilen);
        return -1;
    }
    std::copy(tmp.begin(), tmp.begin() + static_cast<long>(need), output);
    return 0;
}

int ks_base64decode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen) {
    if (bad_args(__func__, olen == nullptr || (input == nullptr && ilen != 0))) {
        return -1;
    }
    if (ilen % 4 != 0) {
        KS_LOGE("ks_base64decode: length %u is not a multiple of 4", ilen);
        return -1;
    }
    if (ilen == 0) {
        *olen = 0;
        return 0;
    }
    // mbedTLS also skips white space and line breaks; names on the wire carry none.
    for (unsigned i = 0; i < ilen; ++i) {
        const unsigned char c = input[i];
        if (c == ' ' || c == '\r' || c == '\n') {
            KS_LOGE("ks_base64decode: character %u of %u is not in the alphabet", i, ilen);
            return -1;
        }
    }
    size_t need = 0;
    int ret = mbedtls_base64_decode(nullptr, 0, &need, input, ilen);
    if (ret != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL) {
        KS_LOGE("ks_base64decode: %u characters are not valid Base64 (-0x%04x)", ilen, -ret);
        return -1;
    }
    // For valid input mbedTLS's estimate is the exact length.
    *olen = static_cast<unsigned>(need);
    if (output == nullptr || capacity < need) {
        KS_LOGE("ks_base64decode: output too small, need = %zu, capacity = %u", need, capacity);
        return -1;
    }
    size_t got = 0;
    ret = mbedtls_base64_decode(output, capacity, &got, input, ilen);
    if (ret != 0) {
        KS_LOGE("ks_base64decode: %u characters are not valid Base64 (-0x%04x)", ilen, -ret);
        return -1;
    }
    *olen = static_cast<unsigned>(got);
    return 0;
}

}  // namespace kestrel

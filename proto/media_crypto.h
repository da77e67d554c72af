// AES-128-CBC of media bodies with PKCS#7 padding. Every body starts again
// from the session IV, so any one body decrypts on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

enum CryptoResult {
    CRYPTO_OK = 0,
    CRYPTO_BAD_KEY = -1,      // key is not base64 of exactly 16 bytes
    CRYPTO_BAD_IV = -2,       // IV is not base64 of exactly 16 bytes
    CRYPTO_BAD_LENGTH = -3,   // ciphertext shorter than a block or not whole blocks
    CRYPTO_BAD_PADDING = -4,  // last block does not end in valid PKCS#7 padding
    CRYPTO_FAILED = -5,       // the cipher itself refused
};

const char* crypto_result_text(int result);

struct MediaKey {
    uint8_t key[16] = {};
    uint8_t iv[16] = {};
};

// Decodes the session's base64 key and IV. Anything but 16 bytes each is
// refused: a shorter key would weaken the cipher and a longer one was never
// meant for AES-128.
int media_key_from_base64(const std::string& key_b64, const std::string& iv_b64, MediaKey* out);

// Pads buf from offset `from` to whole blocks and encrypts that part in place.
// *pad (optional) receives the number of bytes added (1..16).
int media_encrypt(const MediaKey& key, std::vector<uint8_t>* buf, size_t from,
                  size_t* pad = nullptr);

// Decrypts a whole body into *out with the padding removed. The body must be
// one or more whole blocks ending in 1..16 pad bytes of equal value.
int media_decrypt(const MediaKey& key, const uint8_t* data, size_t len, std::vector<uint8_t>* out);

}  // namespace kestrel

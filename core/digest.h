// Digests (MD5, SHA-1, SHA-256), HMAC over them, hex helpers and Base64.
//
// The maths comes from mbedTLS; these functions only fix the interfaces and
// the output forms (raw bytes, lowercase hex without NUL, Base64 without NUL)
// that request signing and object naming depend on.
//
// Results: 0 on success, -1 on a bad argument (logged at ERROR). A function
// that fails leaves its output untouched.
#ifndef KESTREL_CORE_DIGEST_H
#define KESTREL_CORE_DIGEST_H

#include <mbedtls/md5.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>

namespace kestrel {

struct ks_md5_context {
    mbedtls_md5_context ctx;
};

struct ks_sha1_context {
    mbedtls_sha1_context ctx;
};

// Always SHA-256; there is no SHA-224 mode.
struct ks_sha256_context {
    mbedtls_sha256_context ctx;
};

enum {
    KS_MD5_LEN = 16,
    KS_SHA1_LEN = 20,
    KS_SHA256_LEN = 32,
    KS_DIGEST_BLOCK_LEN = 64,
    KS_HMAC_MAX_KEY_LEN = 64,
};

// --- MD5 -------------------------------------------------------------------
void ks_md5_init(ks_md5_context* ctx);
void ks_md5_free(ks_md5_context* ctx);  // zeroes the context
void ks_md5_clone(ks_md5_context* dst, const ks_md5_context* src);
int ks_md5_starts(ks_md5_context* ctx);
int ks_md5_process(ks_md5_context* ctx, const unsigned char block[64]);
int ks_md5_update(ks_md5_context* ctx, const unsigned char* input, unsigned long len);
int ks_md5_finish(ks_md5_context* ctx, unsigned char output[16]);
int ks_md5(const unsigned char* input, unsigned long len, unsigned char output[16]);

// --- SHA-1 -----------------------------------------------------------------
void ks_sha1_init(ks_sha1_context* ctx);
void ks_sha1_free(ks_sha1_context* ctx);
void ks_sha1_clone(ks_sha1_context* dst, const ks_sha1_context* src);
int ks_sha1_starts(ks_sha1_context* ctx);
int ks_sha1_process(ks_sha1_context* ctx, const unsigned char block[64]);
int ks_sha1_update(ks_sha1_context* ctx, const unsigned char* input, unsigned long len);
int ks_sha1_finish(ks_sha1_context* ctx, unsigned char output[20]);
int ks_sha1(const unsigned char* input, unsigned long len, unsigned char output[20]);

// --- SHA-256 ---------------------------------------------------------------
void ks_sha256_init(ks_sha256_context* ctx);
void ks_sha256_free(ks_sha256_context* ctx);
void ks_sha256_clone(ks_sha256_context* dst, const ks_sha256_context* src);
int ks_sha256_starts(ks_sha256_context* ctx);
int ks_sha256_process(ks_sha256_context* ctx, const unsigned char block[64]);
int ks_sha256_update(ks_sha256_context* ctx, const unsigned char* input, unsigned long len);
int ks_sha256_finish(ks_sha256_context* ctx, unsigned char output[32]);
int ks_sha256(const unsigned char* input, unsigned long len, unsigned char output[32]);

// --- Hex -------------------------------------------------------------------
// Lowercase hex digit of the low four bits.
char ks_hb2hex(unsigned char hb);
// 16-byte digest -> 32 lowercase hex digits. Writes no NUL: the caller
// supplies 33 bytes and zeroes the last one.
int ks_md5_hexstr(const unsigned char* digest, unsigned char* output);

// --- HMAC ------------------------------------------------------------------
// Arguments: message, message length, output, key, key length. Keys longer
// than 64 bytes and null pointers are refused with the output untouched.
int ks_hmac_md5(const char* msg, int msg_len, char* output, const char* key,
                int key_len);  // 32 hex chars, no NUL
int ks_hmac_sha1(const char* msg, int msg_len, char* output, const char* key,
                 int key_len);  // 40 hex chars, no NUL
int ks_hmac_sha1_hex(const char* msg, int msg_len, unsigned char* output, const char* key,
                     int key_len);  // 20 raw bytes
int ks_hmac_sha1_raw(const char* msg, int msg_len, unsigned char* output, const char* key,
                     int key_len);  // 20 raw bytes
int ks_hmac_sha256(const char* msg, int msg_len, unsigned char* output, const char* key,
                   int key_len);  // 32 raw bytes

// HMAC-SHA1, Base64-encoded (28 chars, no NUL). `output_len` holds the
// capacity on entry and the encoded length on return.
int ks_hmac_sha1_base64(const char* msg, int msg_len, const char* key, int key_len, char* output,
                        int* output_len);

// --- Base64 (RFC 4648 alphabet, "=" padding, no NUL) ------------------------
// `olen` is set to 4 * ceil(ilen / 3) before the capacity check.
int ks_base64encode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen);
// `ilen` must be a multiple of 4. Characters outside the alphabet decode as
// zero bits rather than being rejected; trailing "=" (at most two) shorten
// the output.
int ks_base64decode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen);

}  // namespace kestrel

#endif  // KESTREL_CORE_DIGEST_H

// The digests and encodings the SDK itself needs: MD5 (storage object names)
// and Base64 (playback file names in and record names out). The maths is
// mbedTLS's; these functions only fix the output forms callers depend on
// (lowercase hex without NUL, Base64 without NUL).
//
// Results: 0 on success, -1 on a bad argument (logged at ERROR). A function
// that fails leaves its output untouched.
#ifndef KESTREL_CORE_DIGEST_H
#define KESTREL_CORE_DIGEST_H

namespace kestrel {

enum { KS_MD5_LEN = 16 };

int ks_md5(const unsigned char* input, unsigned long len, unsigned char output[16]);
// 16-byte digest -> 32 lowercase hex digits. Writes no NUL: the caller
// supplies 33 bytes and zeroes the last one.
int ks_md5_hexstr(const unsigned char* digest, unsigned char* output);

// --- Base64 (RFC 4648 alphabet, "=" padding, no NUL) ------------------------
// `olen` is set to 4 * ceil(ilen / 3) before the capacity check.
int ks_base64encode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen);
// `ilen` must be a multiple of 4 and every character in the alphabet, with
// at most two "=" at the end; anything else is refused. `olen` is set to
// the decoded length before the capacity check.
int ks_base64decode(const unsigned char* input, unsigned ilen, unsigned capacity,
                    unsigned char* output, unsigned* olen);

}  // namespace kestrel

#endif  // KESTREL_CORE_DIGEST_H

// Request signing for the object store's temporary-credential uploads: the
// text that is signed, its HMAC-SHA1 in Base64 and the "KIV" authorization
// value, plus the checks a cloud-supplied value must pass before it goes into
// a request head. Pure functions over strings.
#pragma once

#include <string>

namespace kestrel {

// method "\n" "\n" content_type "\n" date "\n" "x-kiv-security-token:" token
// "\n/" bucket resource. `resource` is the raw object path ("/" + key, with a
// sub-resource query when there is one), not the percent-encoded request target.
std::string storage_string_to_sign(const std::string& method, const std::string& content_type,
                                   const std::string& date, const std::string& security_token,
                                   const std::string& bucket, const std::string& resource);

// Base64 of HMAC-SHA1(secret, text). Keys of any length are accepted (longer
// than a block they are hashed first). 0, or -1 with `out` untouched when the
// digest cannot be computed.
int storage_signature(const std::string& secret, const std::string& text, std::string& out);

// "KIV " access_key ":" signature.
std::string storage_authorization(const std::string& access_key, const std::string& signature);

// True when `text` holds no byte below 0x20 and no DEL: safe for a head line.
bool storage_text_clean(const std::string& text);

// The object key for a request line: unreserved characters and "/" stay,
// every other byte becomes %XX (upper-case hex).
std::string storage_encode_key(const std::string& key);

}  // namespace kestrel

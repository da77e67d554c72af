#include "proto/storage_sign.h"

#include <mbedtls/base64.h>
#include <mbedtls/md.h>

namespace kestrel {

std::string storage_string_to_sign(const std::string& method, const std::string& content_type,
                                   const std::string& date, const std::string& security_token,
                                   const std::string& bucket, const std::string& resource) {
    std::string text;
    text.reserve(method.size() + content_type.size() + date.size() + security_token.size() +
                 bucket.size() + resource.size() + 40);
    text.append(method).append("\n\n");
    text.append(content_type).append("\n");
    text.append(date).append("\n");
    text.append("x-kiv-security-token:").append(security_token).append("\n/");
    text.append(bucket).append(resource);
    return text;
}

int storage_signature(const std::string& secret, const std::string& text, std::string& out) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
    if (info == nullptr) {
        return -1;
    }
    unsigned char mac[20];
    if (mbedtls_md_hmac(info, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                        reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                        mac) != 0) {
        return -1;
    }
    unsigned char b64[32];
    size_t olen = 0;
    if (mbedtls_base64_encode(b64, sizeof(b64), &olen, mac, sizeof(mac)) != 0) {
        return -1;
    }
    out.assign(reinterpret_cast<const char*>(b64), olen);
    return 0;
}

std::string storage_authorization(const std::string& access_key, const std::string& signature) {
    return "KIV " + access_key + ":" + signature;
}

bool storage_text_clean(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string storage_encode_key(const std::string& key) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(key.size());
    for (unsigned char c : key) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0f]);
        }
    }
    return out;
}

}  // namespace kestrel

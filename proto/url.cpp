#include "proto/url.h"

#include <mbedtls/base64.h>
#include <mbedtls/md.h>

namespace kestrel {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int parse_port(const std::string& text, uint16_t* port) {
    if (text.empty() || text.size() > 5) {
        return URL_BAD_PORT;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return URL_BAD_PORT;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return URL_BAD_PORT;
    }
    *port = static_cast<uint16_t>(value);
    return URL_OK;
}

// scheme "://" and the "/" that ends the authority.
int split_scheme(const std::string& url, std::string* scheme, size_t* slash) {
    size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) {
        return URL_NO_SCHEME;
    }
    *scheme = url.substr(0, sep);
    *slash = url.find('/', sep + 3);
    return *slash == std::string::npos ? URL_NO_PATH : URL_OK;
}

}  // namespace

std::string url_trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_blank(text[begin])) {
        ++begin;
    }
    while (end > begin && is_blank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

int net_url_parse(const std::string& raw, NetUrl* out) {
    *out = NetUrl();
    std::string url = url_trim(raw);
    size_t slash = 0;
    int ret = split_scheme(url, &out->scheme, &slash);
    if (ret != URL_OK) {
        return ret;
    }
    size_t sep = out->scheme.size();
    std::string authority = url.substr(sep + 3, slash - sep - 3);
    size_t colon = authority.find(':');
    if (colon != std::string::npos) {
        ret = parse_port(authority.substr(colon + 1), &out->port);
        if (ret != URL_OK) {
            return ret;
        }
        authority.resize(colon);
    }
    if (authority.empty()) {
        return URL_EMPTY_HOST;
    }
    out->host = authority;
    out->path = url.substr(slash);
    if (out->scheme == "rtmp") {
        size_t second = out->path.find('/', 1);
        if (second != std::string::npos) {
            out->stream = out->path.substr(second + 1);
            out->app = out->path.substr(1, second);
        } else {
            out->app = out->path.substr(1);
        }
        out->conn_url = "rtmp://" + out->host;
        if (out->port != 0) {
            out->conn_url += ":" + std::to_string(out->port);
        }
        out->conn_url += "/" + out->app;
    }
    return URL_OK;
}

std::string CloudUrl::Query(const std::string& key) const {
    auto it = query.find(key);
    return it == query.end() ? std::string() : it->second;
}

int cloud_url_parse(const std::string& raw, CloudUrl* out) {
    *out = CloudUrl();
    std::string url = url_trim(raw);
    size_t slash = 0;
    int ret = split_scheme(url, &out->scheme, &slash);
    if (ret != URL_OK) {
        return ret;
    }
    size_t sep = out->scheme.size();
    if (slash == sep + 3) {
        return URL_EMPTY_HOST;
    }
    out->host = url.substr(sep + 3, slash - sep - 3);
    size_t mark = url.find('?', slash);
    if (mark == std::string::npos) {
        return URL_NO_QUERY;
    }
    out->path = url.substr(slash + 1, mark - slash - 1);
    std::string query = url.substr(mark + 1);
    if (query.empty()) {
        return URL_NO_QUERY;
    }
    if (out->scheme == "rtmp") {
        size_t s = query.find('/');
        if (s != std::string::npos) {
            out->stream = query.substr(s + 1);
            query.resize(s);
        }
    }
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        std::string piece =
            query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        size_t eq = piece.find('=');
        if (eq != std::string::npos) {
            out->query.emplace(piece.substr(0, eq), piece.substr(eq + 1));
        }
        if (amp == std::string::npos) {
            break;
        }
        pos = amp + 1;
    }
    return URL_OK;
}

std::string url_sign_content(const std::string& first, const std::string& product_key,
                             const std::string& device_name, const std::string& token) {
    return first + "-" + product_key + "-" + device_name + "-" + token;
}

int url_sign(const std::string& content, const std::string& secret_b64, std::string* hex_out,
             unsigned* key_len) {
    hex_out->clear();
    *key_len = 0;
    unsigned char key[32];
    size_t olen = 0;
    int ret = mbedtls_base64_decode(key, sizeof(key), &olen,
                                    reinterpret_cast<const unsigned char*>(secret_b64.data()),
                                    secret_b64.size());
    if (ret != 0 || olen == 0) {
        return URL_SIGN_BAD_SECRET;
    }
    *key_len = static_cast<unsigned>(olen);
    unsigned char digest[32];
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (info == nullptr ||
        mbedtls_md_hmac(info, key, olen, reinterpret_cast<const unsigned char*>(content.data()),
                        content.size(), digest) != 0) {
        return URL_SIGN_FAILED;
    }
    static const char kHex[] = "0123456789abcdef";
    hex_out->reserve(64);
    for (unsigned char b : digest) {
        hex_out->push_back(kHex[b >> 4]);
        hex_out->push_back(kHex[b & 0x0f]);
    }
    return URL_SIGN_OK;
}

std::string url_rtmp_live(const CloudUrl& url, const std::string& sign) {
    std::string result = url.scheme + "://" + url.host + "/" + url.path + "?";
    bool first = true;
    for (const auto& kv : url.query) {
        if (!first) {
            result += "&";
        }
        first = false;
        result += kv.first + "=" + kv.second;
        if (kv.first == "token") {
            result += "-" + sign;
        }
    }
    return result + "/" + url.stream;
}

std::string url_rtmp_vod(const CloudUrl& url, const std::string& sign) {
    return url.scheme + "://" + url.host + "/" + url.path + "?token=" + url.Query("token") + "-" +
           sign + "&session=" + url.Query("session") + "/" + url.stream;
}

}  // namespace kestrel

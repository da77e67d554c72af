// URLs the SDK meets: network URLs of the HTTP and RTMP clients, and the
// cloud-issued streaming URLs whose query carries the token the device signs.
// Pure functions over strings; the caller logs what they report.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kestrel {

enum UrlResult {
    URL_OK = 0,
    URL_NO_SCHEME = -1,   // no "://"
    URL_NO_PATH = -2,     // no "/" after the authority
    URL_BAD_PORT = -3,    // port not a decimal number in 1..65535
    URL_NO_QUERY = -4,    // cloud URL without "?" or with an empty query
    URL_EMPTY_HOST = -5,  // nothing between "://" and the path
};

// scheme://host[:port]/path; for rtmp also the application, the stream and
// the connection URL ("rtmp://host[:port]/app", the app keeping its slash).
struct NetUrl {
    uint16_t port = 0;  // 0 when the URL names none
    std::string scheme;
    std::string host;
    std::string path;  // from the first "/" after the host, query included
    std::string stream;
    std::string app;
    std::string conn_url;
};

int net_url_parse(const std::string& url, NetUrl* out);

// scheme://host/path?k=v&...[/stream] as the cloud issues it. The first
// occurrence of a key wins; pieces without "=" are dropped. For rtmp the
// text after the first "/" of the query is the stream.
struct CloudUrl {
    std::string scheme;
    std::string host;  // with any port
    std::string path;  // between the host's "/" and "?", without either
    std::string stream;
    std::map<std::string, std::string> query;

    std::string Query(const std::string& key) const;
};

int cloud_url_parse(const std::string& url, CloudUrl* out);

enum UrlSignResult {
    URL_SIGN_OK = 0,
    URL_SIGN_BAD_SECRET = -1,  // the secret is not base64 of 1..32 bytes
    URL_SIGN_FAILED = -2,      // the digest could not be computed
};

// HMAC-SHA256 of content keyed with the base64-decoded secret, as 64
// lowercase hex digits. *key_len receives the decoded key length (0 when
// decoding failed) for the caller's log line.
int url_sign(const std::string& content, const std::string& secret_b64, std::string* hex_out,
             unsigned* key_len);

// What the signature covers for each kind of stream: the named query value
// (stream, "session" or "streamName"), product key, device name and token.
std::string url_sign_content(const std::string& first, const std::string& product_key,
                             const std::string& device_name, const std::string& token);

// Live: every query pair in key order, the token followed by "-" + sign, then
// "/" + stream.
std::string url_rtmp_live(const CloudUrl& url, const std::string& sign);
// Playback: only the token (with its signature) and the session, then the stream.
std::string url_rtmp_vod(const CloudUrl& url, const std::string& sign);

// Trims space, tab, CR and LF at both ends.
std::string url_trim(const std::string& text);

}  // namespace kestrel

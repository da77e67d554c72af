// Builds signed object-store requests from temporary credentials.
#pragma once

#include <string>

#include "proto/http.h"

namespace kestrel {

struct KivSignedRequest {
    int method = HttpProtocolAssistant::METHOD_PUT;
    std::string content_type;
    std::string security_token;
    std::string endpoint;  // host, or host:port
    std::string bucket;
    std::string key;        // raw object key (no leading "/")
    std::string sub_query;  // "" or e.g. "append&position=0", signed and sent as is
    std::string access_key;
    std::string access_secret;
    std::string date;  // empty: the current GMT date
    unsigned long long content_length = 0;
};

class KivUploadAssistant {
  public:
    // Request line, Host (bucket "." endpoint), Content-Length, Content-Type,
    // Date, x-kiv-security-token and Authorization. The key is sent
    // percent-encoded and signed raw. -1 (logged, nothing secret in the
    // line) when a value is empty where it must not be or would break the head.
    static int GetHttpConStruct(HttpRequestConstruct& out, const KivSignedRequest& r);
};

}  // namespace kestrel

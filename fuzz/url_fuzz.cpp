// Network and cloud URL parsing, and the signed URLs built from what parsed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "proto/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    std::string text(reinterpret_cast<const char*>(data), size);
    NetUrl net;
    if (net_url_parse(text, &net) == URL_OK && net.path.empty())
        abort();
    CloudUrl cloud;
    if (cloud_url_parse(text, &cloud) == URL_OK) {
        std::string sign;
        unsigned key_len = 0;
        url_sign(url_sign_content(cloud.stream, "pk", "dn", cloud.Query("token")),
                 cloud.Query("secret"), &sign, &key_len);
        if (key_len > 32 || (!sign.empty() && sign.size() != 64))
            abort();
        (void)url_rtmp_live(cloud, sign);
        (void)url_rtmp_vod(cloud, sign);
    }
    return 0;
}

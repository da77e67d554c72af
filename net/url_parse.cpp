#include "net/url_parse.h"

#include "core/logger.h"
#include "core/redact.h"

namespace kestrel {

int NetUrlParse::Parse(const std::string& url) {
    NetUrl parts;
    int ret = net_url_parse(url, &parts);
    port = parts.port;
    scheme = parts.scheme;
    host = parts.host;
    path = parts.path;
    stream = parts.stream;
    app = parts.app;
    conn_url = parts.conn_url;
    if (ret != URL_OK) {
        KS_LOGE("Url parse failed, ret = %d, url = %s", ret, redact_url(url).c_str());
        return -1;
    }
    return 0;
}

int UrlParse::Parse(const std::string& url, const std::string& productKey,
                    const std::string& deviceName, const std::string& deviceSecret) {
    url_ = url;
    product_key_ = productKey;
    device_name_ = deviceName;
    device_secret_ = deviceSecret;
    int ret = cloud_url_parse(url, &parts_);
    if (ret != URL_OK) {
        KS_LOGE("Url parse failed, ret = %d, url = %s", ret, redact_url(url).c_str());
        return -1;
    }
    return 0;
}

std::string UrlParse::GetQuery(const std::string& key) const {
    return parts_.Query(key);
}

std::string UrlParse::calculateSign(const std::string& first) const {
    std::string content =
        url_sign_content(first, product_key_, device_name_, parts_.Query("token"));
    std::string sign;
    unsigned key_len = 0;
    int ret = url_sign(content, device_secret_, &sign, &key_len);
    if (ret != URL_SIGN_OK) {
        KS_LOGE("decode failed, ret = %d, len = %u", ret, key_len);
        return "";
    }
    return sign;
}

std::string UrlParse::CalculateRtmpLiveUrl() const {
    return url_rtmp_live(parts_, calculateSign(parts_.stream));
}

std::string UrlParse::CalculateRtmpVodUrl() const {
    return url_rtmp_vod(parts_, calculateSign(parts_.Query("session")));
}

std::string UrlParse::CalculateVoiceIntercomSign() const {
    return calculateSign(parts_.Query("streamName"));
}

}  // namespace kestrel

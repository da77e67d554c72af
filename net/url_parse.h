// The SDK's view of the URLs it is given: network URLs for its clients and
// the cloud's streaming URLs, which it signs with the device secret.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "proto/url.h"

namespace kestrel {

class NetUrlParse {
  public:
    // 0, or -1 with an ERROR line naming the URL and what is wrong with it.
    int Parse(const std::string& url);

    uint16_t port = 0;
    std::string scheme;
    std::string host;
    std::string path;
    std::string stream;
    std::string app;
    std::string conn_url;
};

class UrlParse {
  public:
    int Parse(const std::string& url, const std::string& productKey, const std::string& deviceName,
              const std::string& deviceSecret);
    std::string GetQuery(const std::string& key) const;

    // Signed URLs and signatures; the signature is empty (and the cause
    // logged) when the device secret is not base64 of at most 32 bytes.
    std::string CalculateRtmpLiveUrl() const;
    std::string CalculateRtmpVodUrl() const;
    std::string CalculateVoiceIntercomSign() const;

    const CloudUrl& Parts() const { return parts_; }
    const std::string& Url() const { return url_; }

  private:
    std::string calculateSign(const std::string& first) const;

    std::string url_;
    CloudUrl parts_;
    std::string product_key_;
    std::string device_name_;
    std::string device_secret_;
};

}  // namespace kestrel

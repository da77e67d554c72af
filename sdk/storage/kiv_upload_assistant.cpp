#include "sdk/storage/kiv_upload_assistant.h"

#include "core/logger.h"
#include "core/time.h"
#include "proto/storage_sign.h"

namespace kestrel {

namespace {

bool Check(const char* what, const std::string& value, bool may_be_empty) {
    if (!may_be_empty && value.empty()) {
        KS_LOGE("Storage request refused: %s is empty", what);
        return false;
    }
    if (!storage_text_clean(value)) {
        KS_LOGE("Storage request refused: %s holds control characters", what);
        return false;
    }
    return true;
}

}  // namespace

int KivUploadAssistant::GetHttpConStruct(HttpRequestConstruct& out, const KivSignedRequest& r) {
    if (!Check("security token", r.security_token, false) ||
        !Check("endpoint", r.endpoint, false) || !Check("bucket", r.bucket, false) ||
        !Check("object key", r.key, false) || !Check("access key", r.access_key, false) ||
        !Check("access secret", r.access_secret, false) ||
        !Check("content type", r.content_type, true) || !Check("sub-resource", r.sub_query, true)) {
        return -1;
    }
    std::string date = r.date.empty() ? Time::GetGmtDate() : r.date;
    std::string query = r.sub_query.empty() ? std::string() : "?" + r.sub_query;
    std::string method = HttpProtocolAssistant::MethodString(r.method);
    std::string text = storage_string_to_sign(method, r.content_type, date, r.security_token,
                                              r.bucket, "/" + r.key + query);
    std::string signature;
    if (storage_signature(r.access_secret, text, signature) != 0) {
        KS_LOGE("Storage request refused: the signature could not be computed");
        return -1;
    }
    KS_LOGV("signature_source: %s /%s/%s%s (%zu bytes, token and signature withheld)",
            method.c_str(), r.bucket.c_str(), r.key.c_str(), query.c_str(), text.size());
    out.SetRequestLine(r.method, "/" + storage_encode_key(r.key) + query,
                       HttpProtocolAssistant::VERSION_1_1);
    out.SetHost(r.bucket + "." + r.endpoint);
    out.SetContentLength(r.content_length);
    if (out.SetHeader("Content-Type", r.content_type) < 0 || out.SetHeader("Date", date) < 0 ||
        out.SetHeader("x-kiv-security-token", r.security_token) < 0 ||
        out.SetHeader("Authorization", storage_authorization(r.access_key, signature)) < 0) {
        KS_LOGE("Storage request refused: a header value does not fit a request head");
        return -1;
    }
    return 0;
}

}  // namespace kestrel
